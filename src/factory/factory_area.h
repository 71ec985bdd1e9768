#pragma once
// Writing a board's factory data into its factory area (and its secure storage area), after
// its flash procedure succeeded, under "MY_MUTEX_FACTORY". The factory area holds two copies
// of the factory archive; each is written, read back and compared, and the archive's head is
// stamped between the two.
#include "foundation/station_state.h"
#include "usblink/flash_options.h"
#include "usblink/nand_bbt.h"
#include "usblink/usb_wrappers.h"

namespace station {

// Makes sure a NAND board has its bad block table, checks that the board's areas have a
// position and stay clear of what the loaded package's installation occupies (17 before
// anything is sent otherwise), then takes one of three roads: "burn factory" (the storage area
// first when "burn se_storage" is set, then the factory archive with the board's MAC, SN and
// key), an only-upgrade option (the board's own factory data rebuilt and written again), or a
// blank factory archive. When the step fails after the board received its secure key, the key
// files are deleted so that no other board is given the same key.
ResultCode WriteFactoryArea(int slot, DeviceSlot& dev, FlashInfo info, BurnOption option, NandBbt& bbt);

// The factory archive in key mode ("burn factory") or blank mode, written as copies 0 and 1.
ResultCode WriteFactory(DevHandle device, int slot, FlashInfo info, BurnOption option, NandBbt& bbt);

// The board's factory area read back, the archive rebuilt from it with the new package's
// template and layout, and written as copies 0 and 1.
ResultCode RegenFactoryOnlyUpgradeFw(DevHandle device, int slot, FlashInfo info, BurnOption option, NandBbt& bbt);

}  // namespace station

#pragma once
// Writing a board's factory data into its factory area (and its secure storage area), after
// its flash procedure succeeded, under "MY_MUTEX_FACTORY".
#include "foundation/station_state.h"
#include "usblink/flash_options.h"
#include "usblink/nand_bbt.h"
#include "usblink/usb_wrappers.h"

namespace station {

// This station cannot build or write factory data yet: the step fails with 17 ("factory
// error") and says so in the slot's log, so that no board that needs its factory data is
// reported done without it.
ResultCode WriteFactoryArea(int slot, DeviceSlot& dev, FlashInfo info, BurnOption option, NandBbt& bbt);

}  // namespace station

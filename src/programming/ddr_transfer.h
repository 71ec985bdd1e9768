#pragma once
// The programming procedure of boards that only boot from DDR (flash type 1, NOR): the board's
// DDR boot program, the ramlet, goes in one DDR write to 0x1500000 and the board is told to
// run it (routing value B 1). Nothing is written to flash.
#include <cstdint>

#include "foundation/fw_entry.h"
#include "foundation/result_messages.h"
#include "foundation/station_state.h"
#include "usblink/flash_options.h"
#include "usblink/nand_bbt.h"

namespace station {

inline constexpr uint32_t kRamletDdrAddress = 0x1500000;

// Sends the loaded ramlet (the NOR image buffer) with the slot's ramlet counter, which falls as
// the data goes out. Only the slot, its record and `info` are used; the other arguments give
// the procedure the call form of the flash procedures. The outcome is reported through
// ReportResult; returns 100 or the send's code, or 3 when the slot's counter does not describe
// the loaded ramlet (nothing is sent then).
ResultCode TransRamletToDdr(int slot, DeviceSlot& dev, FlashInfo info, FwEntryTable& table, BurnOption option,
                            NandBbt& bbt);

}  // namespace station

#pragma once
// The USB hardware setting of a board: before anything is written to its flash, the board
// gets the hardware-setting program for the chosen DDR type in DDR at 0x1500000 (opcode 0xF5)
// and is then told to enable its DDR (opcode 0xFA). A board that has it keeps it until it is
// unplugged, so a further pass of a job skips both commands.
#include <atomic>
#include <cstdint>

#include "foundation/result_messages.h"
#include "foundation/station_state.h"
#include "usblink/flash_options.h"

namespace station {

constexpr uint32_t kHwsettingDdrAddress = 0x1500000;
constexpr int64_t kHwsettingSettleMs = 1500;  // the board starts the program after the send

// Sends the hardware setting to the board on `dev` and enables its DDR, unless `pending` is 0.
// `pending` becomes 0 once both commands succeeded and 1 on any failure. Every outcome is
// reported through ReportResult with the step's name; returns 100 or the failure's code.
ResultCode RunUsbHwsetting(int slot, DeviceSlot& dev, FlashInfo info, std::atomic<int>& pending);

}  // namespace station

#pragma once
// Two steps of a slot's job that guard and finish a board. Before anything is written with
// "burn factory" set, the key check makes sure that the key file named on the main dialog is
// there and that its counter has not passed the key maximum. After a successful installation
// the efuse step sends the efuse programmer and then its verifier into the board's DDR, each at
// the DDR address the layout gives it, and gives the board four seconds to burn its efuses.
#include <cstdint>

#include "foundation/fw_entry.h"
#include "foundation/result_messages.h"
#include "foundation/station_state.h"
#include "usblink/flash_options.h"

namespace station {

// Main dialog controls the key check reads.
constexpr int kKeyPathEdit = 1066;
constexpr int kKeyCounterEdit = 1110;
constexpr int kKeyMaximumEdit = 1111;

// The board's time to burn its efuses once the programs are in DDR.
constexpr int64_t kEfuseBurnWaitMs = 4000;

// True to go on. Without "burn factory" nothing is read. A missing key path or key file
// reports 20, a key counter past the maximum 23; each then shows its message box and gives
// false, with the reported code in `*refused` when it is given.
bool CheckSecureKey(int slot, BurnOption option, ResultCode* refused = nullptr);

// Sends entry FW_EFUSE_PROGRAMMER (23) and then FW_EFUSE_VERIFY (22) of `table` to their
// targets with the write-to-DDR command, counting down the slot's remaining sizes of both
// entries, then waits 4 s. Without a programmer (remaining size 0) it passes at once with 100;
// a failing programmer returns its code at once, without the verifier and without the wait.
// Otherwise returns the verifier's code, or the programmer's when no verifier was sent.
ResultCode BurnEfuse(int slot, DeviceSlot& dev, FwEntryTable& table, FlashInfo info, BurnOption option);

}  // namespace station

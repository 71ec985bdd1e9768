#pragma once
// The full installation of a NAND board. In a fixed order it writes the boot area (seven
// boot-loader pieces, each four times, packed block by block from block 6), the firmware
// entries of the layout, the firmware table and its gold copy one block further, the profile
// and its gold copy at block 3, the gold entries, and then the partition images, each followed
// by its head page. Addresses are page numbers. With "compare mode" every write is read back
// and compared before the next one. The bad block table is made here and filled by the send
// routine as the board reports bad blocks; the job burns it once this procedure succeeded.
#include "foundation/result_messages.h"
#include "foundation/station_state.h"
#include "usblink/flash_options.h"
#include "usblink/nand_bbt.h"

namespace station {

// A partition's head page is sent at most this many times to the same page when the board
// fails it with an ordinary error code; then the procedure ends with that code. (A bad block
// under the head page moves it to the next block instead; that costs no attempt.)
constexpr int kHeadPageSendLimit = 3;

// The first block of the boot area and the block of the profile's gold copy.
constexpr int kNandBootFirstBlock = 6;
constexpr int kNandGoldProfileBlock = 3;

// Part markers that tell the board what a NAND write holds.
namespace nand_marker {
inline constexpr uint16_t kHwsetting = 0x23;
inline constexpr uint16_t kBootcode = 0x79;
inline constexpr uint16_t kFsbl = 0x89;
inline constexpr uint16_t kTee = 0x90;
inline constexpr uint16_t kBl31 = 0x91;
inline constexpr uint16_t kRsaFw = 0x92;
inline constexpr uint16_t kRsaTee = 0x93;
inline constexpr uint16_t kProfile = 0xD0;
inline constexpr uint16_t kData = 0xFF;
}  // namespace nand_marker

// Whether the main dialog names the board's NAND model: a board can only be programmed for a
// known one. When none is chosen the operator is told, the slot's device is closed, the slot
// shows its board as connected and the controls that choose the package and model are enabled
// again; false then.
bool NandModelChosen(int slot, DeviceSlot& dev);

// Installs the loaded image on the NAND board of slot `slot` (device open in `dev`). The
// slot's remaining-byte counters must have been filled for this pass; they are consumed, and
// the firmware table's and profile's are left at 0. `bbt` is made afresh here and kept by the
// caller. Returns 100 when everything was written (and compared), otherwise the first failing
// code: 22 when no NAND model is chosen (after a warning box; the device is then closed) or
// no table can be made, 3 when a write left part of its item unsent, 21 from a compare, or the
// send routine's code.
ResultCode NandFullInstall(int slot, DeviceSlot& dev, FlashInfo info, FwEntryTable& table, BurnOption option,
                           NandBbt& bbt);

}  // namespace station

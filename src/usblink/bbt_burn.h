#pragma once
// The board's own copies of its bad block table: after a NAND installation the table is
// written to the first page of blocks 1 and 2, and the read-back finds remapped blocks again
// by reading those copies from the board.
#include <cstdint>

#include "foundation/station_state.h"
#include "usblink/flash_options.h"
#include "usblink/nand_bbt.h"
#include "usblink/usb_wrappers.h"

namespace station {

inline constexpr ResultCode kResultBbtCreate = 22;
inline constexpr uint16_t kBbtPartMarker = 0xBB;
// Blocks whose first page holds a copy of the table, in the order they are written and read.
inline constexpr int kBbtCopyBlocks[] = {1, 2};

// Writes the whole table (lastIndex + 1 entries) to the first page of block 1, then block 2,
// reporting each write as "burn BBT". The first failed write ends the burn with its code and
// leaves the second copy unwritten.
ResultCode BurnBBT(int slot, DeviceSlot& device, FlashInfo info, NandBbtEntry* table, int32_t& remapCount,
                   int32_t lastIndex);

// Looks `page` up in the board's copies of the table, copy 1 first; the first copy that
// remaps the page's block answers and the other is not read. `foundPage` receives the first
// page of the replacement block, or `page` itself when no copy remaps it. 100, or the code of
// a failed read; 9 when neither copy could be loaded from the read-back file.
ResultCode FindBbtRemapCount(DevHandle device, const FlashInfo& info, int slot, uint32_t page, uint32_t& foundPage);

// Loads the table the board carries (block 1's copy, else block 2's) into `bbt`, so that a
// job that writes without an installation keeps the installation's remaps. A copy counts only
// when it reads as a table: used entries naming blocks of the flash, then unused ones; an
// erased or foreign block leaves a fresh, empty table. 100, 22 when no table can be made, or
// the code of a failed read.
ResultCode ReadBurntBbt(DevHandle device, const FlashInfo& info, int slot, NandBbt& bbt);

}  // namespace station

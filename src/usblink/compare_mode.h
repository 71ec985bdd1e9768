#pragma once
// Verifying a write: the written range is read back from the board into the slot's read-back
// file and compared byte for byte with the buffer that was sent. eMMC and NOR ranges are read
// back in one piece, NAND ranges block by block through the bad block table.
#include <cstdint>

#include "foundation/station_state.h"
#include "usblink/nand_bbt.h"
#include "usblink/usb_wrappers.h"

namespace station {

inline constexpr ResultCode kResultDataDiffers = 21;

// Reads `length` bytes from `address` (NAND page, NOR byte, eMMC sector) back and compares
// them with `source`. The whole 64-bit length is read and compared, on every flash type.
// NAND blocks are read from their replacement when `table` remaps them (a null table remaps
// nothing). 100 when equal, 21 when not, or the read's code. The flash geometry is taken from
// the options dialog at each call.
ResultCode CompareDeviceData(DevHandle device, uint32_t address, int64_t length, int slot, const uint8_t* source,
                             const NandBbtEntry* table);

// Compares the slot's read-back file with `length` bytes of `source`: 100, and the file
// deleted, when they are equal; 21 when the file is missing or unreadable, its length differs
// or a byte differs (the file then stays for inspection).
ResultCode CompareFlashData(const uint8_t* source, int64_t length, int slot);

}  // namespace station

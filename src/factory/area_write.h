#pragma once
// What the storage and factory writers share: the geometry a write needs, the room an area
// has before the next one, the write of an archive with its read-back compare, and the note
// that a board now carries the slot's secure key.
#include <cstdint>

#include "foundation/station_state.h"
#include "usblink/flash_options.h"
#include "usblink/nand_bbt.h"
#include "usblink/usb_wrappers.h"

namespace station {

// The factory step's own failures: 17 when an archive cannot be built or placed, or a step of
// the board fails; 18 when a work file cannot be read, stamped or removed.
inline constexpr ResultCode kFactoryError = 17;
inline constexpr ResultCode kFactoryFileError = 18;

// The part marker of an area write: 0xFF on NAND, the board's special value otherwise.
uint16_t AreaPartMarker(const FlashInfo& info);

// True when the flash type has factory areas (NAND or eMMC) and, on NAND, the page and block
// sizes are set and a block is a whole number of pages. Without that an area has no position
// and a write would divide by zero.
bool AreaGeometryUsable(const FlashInfo& info);

// Bytes factory copy `copy` may take: 0x200000, or less when another area in use starts
// after it sooner (on NAS NAND the copies lie two blocks apart); 0 when another area starts
// where it starts. The storage area is in use when "burn factory" and "burn se_storage" are
// both set.
uint32_t FactoryCopyRoom(const FlashInfo& info, const BurnOption& option, int copy);
// Bytes the storage area may take: 0x400000, or less when a factory copy starts sooner.
uint32_t StorageAreaRoom(const FlashInfo& info, const BurnOption& option);

// The storage area's position for `info`.
uint32_t StorageAreaStart(const FlashInfo& info);

// Writes `length` bytes to the area at `start` with WriteFlash (sub-code 1), reporting the
// result as `label`. A write that leaves bytes unsent is no success (3).
ResultCode WriteAreaData(DevHandle device, int slot, const FlashInfo& info, uint32_t start, const uint8_t* data,
                         int64_t length, NandBbt& bbt, const char* label);

// The slot's secure key goes out to its board in a write (storage archive, or a factory
// archive that carries the key): from then on the key is spent even when the step fails, or
// the station stops before its clean-up (the note is made durable, MarkKeySpent). Called
// before the write is sent; false when the note cannot be made, and then nothing may be sent.
bool NoteKeySent(int slot);
// Whether the key went out since the last call, and forgets it.
bool TakeKeySent(int slot);

}  // namespace station

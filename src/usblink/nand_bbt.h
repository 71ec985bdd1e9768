#pragma once
// A NAND board's bad block table for one programming job: a fixed number of remap entries,
// each naming a bad block and the block that took its data. The entries in memory are also the
// table's flash image (8 bytes each, little-endian, back to back).
#include <bit>
#include <cstdint>
#include <memory>

#include "usblink/flash_options.h"

namespace station {

struct NandBbtEntry {
  uint16_t marker;       // 0xEEEE unused, 0 used
  uint16_t badBlock;     // 0xFFFE unused
  uint16_t reserved;     // 0
  uint16_t replacement;  // 0x0FFF - index unused, else the block that holds the data
};
static_assert(sizeof(NandBbtEntry) == 8, "a table entry is 8 bytes on the flash");
static_assert(std::endian::native == std::endian::little, "the table is used as its own flash image");

inline constexpr uint16_t kBbtUnusedMarker = 0xEEEE;
inline constexpr uint16_t kBbtUnusedBlock = 0xFFFE;
inline constexpr uint32_t kNoRemapPage = 0xFFFFFFFF;

struct NandBbt {
  std::unique_ptr<NandBbtEntry[]> table;  // null before allocation
  int32_t remapCount = 0;                 // entries used so far
  int32_t lastIndex = 0;                  // entries - 1 (0 when no table could be made)
};

// Entries of a table: 5 % of the flash's blocks, in 32-bit steps that each truncate.
uint32_t NandBbtEntryCount(uint32_t nandSizeM, uint32_t blockSizeK);

// Makes a fresh table for the flash of `info` (freeing the old one). False, with a null table
// and a last index of 0, when the flash has room for no entry.
bool AllocNandBbt(const FlashInfo& info, int32_t& lastIndex, std::unique_ptr<NandBbtEntry[]>& table);
bool AllocNandBbt(const FlashInfo& info, NandBbt& bbt);

// The page to read instead of `page`: the first page of the replacement block when the page's
// block was remapped, the page itself when not. kNoRemapPage when the flash has no table or the
// table is full without a match. A null table remaps nothing.
uint32_t RemapPageAddress(uint32_t page, const NandBbtEntry* table, const FlashInfo& info);

}  // namespace station

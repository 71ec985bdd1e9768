#pragma once
// Where a board's factory archive (two copies) and its storage archive lie in its flash. The
// positions follow from the flash type, the block and page size and two burn options, and are
// part of the board's flash layout: a NAND position is a page number, an eMMC one a 512-byte
// sector, a NOR one a fixed address.
#include <cstdint>

#include "usblink/flash_options.h"

namespace station {

constexpr uint32_t kNoPosition = 0xFFFFFFFFu;
// Bytes each factory copy and the storage archive may take.
constexpr uint32_t kFactoryCopyMaxBytes = 0x200000;
constexpr uint32_t kStorageMaxBytes = 0x400000;

// The first page (NAND) or sector (eMMC) of factory copy 0 or 1. On eMMC "burn se_storage"
// moves both copies behind the storage area (0x1100/0x2100 become 0x3100/0x4100); on NAND the
// block size and "NAS enable" decide, and a copy number other than 1 counts as 0. kNoPosition
// for another flash type, another eMMC copy number, or a NAND page size of 0.
uint32_t GetFactoryAreaOffset(const FlashInfo& info, const BurnOption& option, int copy);

// The first page (NAND), sector (eMMC, 0x1100) or address (NOR, 0x1830C000) of the storage
// area; `blockBytes` is the block size in bytes. kNoPosition for another flash type or a NAND
// page size of 0 or below.
uint32_t GetStorageAreaOffset(int64_t pageSize, uint32_t blockBytes, int flashType);

}  // namespace station

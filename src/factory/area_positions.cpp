#include "factory/area_positions.h"

#include "usblink/flash_read.h"

namespace station {

namespace {

// The bits below the block size cleared.
uint32_t BlockDown(uint32_t value, uint32_t block) { return value & ~(block - 1); }

uint32_t NandFactoryBytes(uint32_t block, bool nas) {
  if (nas) return BlockDown(4 * block - 1, block) + 4 * (BlockDown(0xBFFFF, block) + block) + 11 * block;
  const uint32_t blocks = block < 0x40000 ? 74 : 50;
  return (BlockDown(0x3FFFFF, block) - 0x400000 + block) + blocks * block;
}

}  // namespace

uint32_t GetFactoryAreaOffset(const FlashInfo& info, const BurnOption& option, int copy) {
  if (info.FlashType == 2) {
    const uint32_t base = option.useSecureStorage ? 0x620000 : 0x220000;
    if (copy == 0) return base / kEmmcSector;
    if (copy == 1) return (base + 0x200000) / kEmmcSector;
    return kNoPosition;
  }
  if (info.FlashType != 0 || info.PageSize == 0) return kNoPosition;
  const uint32_t block = info.BlockSizeK * 1024;
  const uint32_t page = info.PageSize;
  const bool nas = option.nasEnable != 0;
  uint32_t start = NandFactoryBytes(block, nas) / page;
  if (copy == 1) start += (nas ? 2 * block : 0x200000u) / page;
  return start;
}

uint32_t GetStorageAreaOffset(int64_t pageSize, uint32_t blockBytes, int flashType) {
  if (flashType == 1) return 0x1830C000;
  if (flashType == 2) return 0x220000 / kEmmcSector;
  if (flashType != 0 || pageSize <= 0) return kNoPosition;
  const uint32_t b = blockBytes;
  const uint32_t x = BlockDown(0x7FFFFF, b) + 4 * BlockDown(0x7FFFF, b) + 15 * b;
  const uint64_t y = static_cast<uint64_t>(static_cast<double>(x) * 1.2);
  const uint32_t o = static_cast<uint32_t>(((y - 1) & ~static_cast<uint64_t>(b - 1)) + b - 0x800000);
  return static_cast<uint32_t>(o / static_cast<uint64_t>(pageSize));
}

}  // namespace station

#include "usblink/nand_bbt.h"

namespace station {

uint32_t NandBbtEntryCount(uint32_t nandSizeM, uint32_t blockSizeK) {
  if (blockSizeK == 0) return 0;
  uint32_t blocks = (nandSizeM * 1024u) / blockSizeK;
  return blocks * 5u / 100u;
}

bool AllocNandBbt(const FlashInfo& info, int32_t& lastIndex, std::unique_ptr<NandBbtEntry[]>& table) {
  table.reset();
  uint32_t n = NandBbtEntryCount(info.NandSizeM, info.BlockSizeK);
  lastIndex = static_cast<int32_t>(n);
  if (n == 0) return false;
  lastIndex = static_cast<int32_t>(n - 1);
  table.reset(new NandBbtEntry[n]());
  for (uint32_t i = 0; i < n; ++i)
    table[i] = NandBbtEntry{kBbtUnusedMarker, kBbtUnusedBlock, 0, static_cast<uint16_t>(0x0FFF - i)};
  return true;
}

bool AllocNandBbt(const FlashInfo& info, NandBbt& bbt) {
  bbt.remapCount = 0;
  return AllocNandBbt(info, bbt.lastIndex, bbt.table);
}

uint32_t RemapPageAddress(uint32_t page, const NandBbtEntry* table, const FlashInfo& info) {
  if (!table) return page;
  uint32_t pageSize = info.PageSize & 0xFFFF;
  uint32_t pagesPerBlock = pageSize ? (info.BlockSizeK * 1024u) / pageSize : 0;
  uint32_t n = NandBbtEntryCount(info.NandSizeM, info.BlockSizeK);
  if (n == 0 || pagesPerBlock == 0) return kNoRemapPage;
  uint32_t block = page / pagesPerBlock;
  for (uint32_t i = 0; i < n; ++i) {
    const NandBbtEntry& e = table[i];
    if (e.marker == kBbtUnusedMarker && e.badBlock == kBbtUnusedBlock) return page;
    if (e.badBlock == block) return e.replacement * pagesPerBlock;
  }
  return kNoRemapPage;
}

}  // namespace station

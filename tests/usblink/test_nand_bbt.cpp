// The NAND bad block table: its size, its flash image and the page lookup in memory.
#include "usblink/nand_bbt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using namespace station;

FlashInfo Nand(uint32_t sizeM, uint32_t blockK = 128, uint32_t page = 2048) {
  FlashInfo f{};
  f.NandSizeM = sizeM;
  f.BlockSizeK = blockK;
  f.PageSize = page;
  return f;
}

TEST(NandBbt, TableOfAThousandBlocksAndItsImage) {
  NandBbt bbt;
  ASSERT_TRUE(AllocNandBbt(Nand(128), bbt));
  EXPECT_EQ(bbt.lastIndex, 50);  // 1024 blocks, 51 entries
  const size_t bytes = (bbt.lastIndex + 1) * sizeof(NandBbtEntry);
  EXPECT_EQ(bytes, 408u);
  std::vector<uint8_t> image(bytes);
  std::memcpy(image.data(), bbt.table.get(), bytes);
  const std::vector<uint8_t> first = {0xEE, 0xEE, 0xFE, 0xFF, 0x00, 0x00, 0xFF, 0x0F};
  const std::vector<uint8_t> last = {0xEE, 0xEE, 0xFE, 0xFF, 0x00, 0x00, 0xCD, 0x0F};  // 0x0FFF - 50
  EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.begin() + 8), first);
  EXPECT_EQ(std::vector<uint8_t>(image.end() - 8, image.end()), last);
}

TEST(NandBbt, FlashTooSmallForATable) {
  std::unique_ptr<NandBbtEntry[]> table(new NandBbtEntry[1]());
  int32_t lastIndex = 9;
  EXPECT_FALSE(AllocNandBbt(Nand(2), lastIndex, table));  // 16 blocks
  EXPECT_EQ(lastIndex, 0);
  EXPECT_EQ(table, nullptr);
  EXPECT_FALSE(AllocNandBbt(Nand(128, 0), lastIndex, table));
  EXPECT_EQ(NandBbtEntryCount(2, 128), 0u);
  EXPECT_EQ(NandBbtEntryCount(3, 128), 1u);  // 24 blocks
}

TEST(NandBbt, RemapPageAddress) {
  const FlashInfo info = Nand(128);  // 64 pages per block
  NandBbt bbt;
  ASSERT_TRUE(AllocNandBbt(info, bbt));
  EXPECT_EQ(RemapPageAddress(700, bbt.table.get(), info), 700u);  // a fresh table remaps nothing
  bbt.table[0] = {0, 10, 0, 1023};
  bbt.table[1] = {0, 12, 0, 1022};
  struct Row {
    uint32_t page, expected;
  };
  const Row rows[] = {
      {640, 1023 * 64},  // first page of block 10
      {700, 1023 * 64},  // inside block 10: the offset in the block is not kept
      {12 * 64 + 1, 1022 * 64},
      {11 * 64, 11 * 64},  // block 11 was not remapped
  };
  for (const Row& r : rows) EXPECT_EQ(RemapPageAddress(r.page, bbt.table.get(), info), r.expected) << r.page;

  // A full table that does not know the block has no answer.
  for (int i = 0; i <= bbt.lastIndex; ++i) bbt.table[i] = {0, static_cast<uint16_t>(100 + i), 0, 7};
  EXPECT_EQ(RemapPageAddress(5, bbt.table.get(), info), kNoRemapPage);
  EXPECT_EQ(RemapPageAddress(100 * 64, bbt.table.get(), info), 7u * 64);
  // Nor has a flash too small for a table; a missing table remaps nothing.
  EXPECT_EQ(RemapPageAddress(5, bbt.table.get(), Nand(2)), kNoRemapPage);
  EXPECT_EQ(RemapPageAddress(5, nullptr, info), 5u);
}

}  // namespace

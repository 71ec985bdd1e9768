#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "platform/pages.h"

namespace {

constexpr uint64_t kMiB = 1ull << 20;
constexpr uint64_t kHuge = 2 * kMiB;

bool AllZero(const plat::PageBuffer& b) {
  return std::all_of(b.data(), b.data() + b.size(), [](uint8_t v) { return v == 0; });
}

// Blocks below, at and past one huge page, and ones that end inside a base page or a huge page:
// every byte of the block is there, zeroed and writable, and a large block starts on a huge-page
// boundary (the padding used to reach one must not cut into the block at either end).
TEST(PageBuffer, EveryByteOfTheBlockIsZeroedAndWritable) {
  const uint64_t sizes[] = {1, 4095, 4096, 4097, kHuge - 1, kHuge, kHuge + 1, 5 * kMiB + 17, 48 * kMiB};
  for (uint64_t size : sizes) {
    SCOPED_TRACE(size);
    plat::PageBuffer b;
    ASSERT_TRUE(b.Reserve(size));
    ASSERT_FALSE(b.empty());
    EXPECT_EQ(b.size(), size);
    EXPECT_TRUE(AllZero(b));
    if (size >= kHuge) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(b.data()) % kHuge, 0u);
    }
    for (uint64_t i = 0; i < size; ++i) b.data()[i] = static_cast<uint8_t>(i * 7 + 1);
    EXPECT_EQ(b.data()[0], 1);
    EXPECT_EQ(b.data()[size - 1], static_cast<uint8_t>((size - 1) * 7 + 1));
  }
}

TEST(PageBuffer, ZeroBytesSucceedAndHoldNothing) {
  plat::PageBuffer b;
  ASSERT_TRUE(b.Reserve(0));
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(b.size(), 0u);
}

TEST(PageBuffer, ASizeNoAddressSpaceHoldsFailsAndLeavesTheBufferEmpty) {
  plat::PageBuffer b;
  ASSERT_TRUE(b.Reserve(kHuge));
  EXPECT_FALSE(b.Reserve(1ull << 62));
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(b.size(), 0u);
}

// A new reservation gives up the old block and hands out fresh zeroed bytes, large or small.
TEST(PageBuffer, ReservingAgainGivesAFreshZeroedBlock) {
  plat::PageBuffer b;
  for (uint64_t size : {3 * kHuge, uint64_t{8192}, 3 * kHuge}) {
    SCOPED_TRACE(size);
    ASSERT_TRUE(b.Reserve(size));
    EXPECT_EQ(b.size(), size);
    EXPECT_TRUE(AllZero(b));
    std::fill(b.data(), b.data() + b.size(), uint8_t{0xEE});
  }
  b.Release();
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(b.size(), 0u);
}

TEST(PageBuffer, MovingHandsTheBlockOverAndEmptiesTheSource) {
  plat::PageBuffer a;
  ASSERT_TRUE(a.Reserve(kHuge + 4096));
  a.data()[kHuge] = 0x5A;
  const uint8_t* block = a.data();

  plat::PageBuffer b(std::move(a));
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(b.data(), block);
  EXPECT_EQ(b.size(), kHuge + 4096);

  plat::PageBuffer c;
  ASSERT_TRUE(c.Reserve(4096));
  c = std::move(b);
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(c.data(), block);
  EXPECT_EQ(c.data()[kHuge], 0x5A);
}

}  // namespace

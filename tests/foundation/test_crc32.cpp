// CRC-32: known values, agreement of the folding and table paths at every length and
// alignment around their block sizes, and many threads at once.
#include "foundation/crc32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using station::Crc32;
using station::Crc32Calc;
using station::Crc32Portable;

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(gen());
  return v;
}

// Bit at a time, straight from the polynomial: slow, but shares nothing with the code under test.
uint32_t BitwiseCrc(const uint8_t* p, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

TEST(Crc32, KnownValues) {
  struct Case {
    std::string data;
    uint32_t crc;
  } cases[] = {
      {"", 0x00000000u},
      {"123456789", 0xCBF43926u},
      {"a", 0xE8B7BE43u},
      {std::string("test\0", 5), 0xDB6CDCD8u},  // the payload of the no-data commands
  };
  for (const auto& c : cases) {
    uint32_t out = 0x12345678u;
    EXPECT_EQ(Crc32Calc(c.data.data(), c.data.size(), &out), 0);
    EXPECT_EQ(out, c.crc) << '"' << c.data << '"';
    EXPECT_EQ(Crc32Portable(c.data.data(), c.data.size()), c.crc);
  }
  // The no-data payload gets the same value on every call.
  EXPECT_EQ(Crc32("test", 5), Crc32("test", 5));
}

TEST(Crc32, ZeroLengthIgnoresPointer) {
  uint32_t out = 1;
  EXPECT_EQ(Crc32Calc(nullptr, 0, &out), 0);
  EXPECT_EQ(out, 0u);
}

// Every length from 0 to 300 at every start offset 0..15 covers the folding path's entry
// (64 bytes), its lane tail (16) and the byte tail the tables finish.
TEST(Crc32, AllLengthsAndAlignmentsMatchBitwiseReference) {
  const auto buf = RandomBytes(300 + 16, 7);
  for (size_t off = 0; off < 16; ++off)
    for (size_t len = 0; len <= 300; ++len) {
      const uint8_t* p = buf.data() + off;
      const uint32_t want = BitwiseCrc(p, len);
      ASSERT_EQ(Crc32(p, len), want) << "off " << off << " len " << len;
      ASSERT_EQ(Crc32Portable(p, len), want) << "off " << off << " len " << len;
    }
}

TEST(Crc32, LargeBuffersMatchBitwiseReference) {
  for (size_t len : {size_t{1} << 16, (size_t{1} << 20) + 13, size_t{3} << 20}) {
    const auto buf = RandomBytes(len, static_cast<uint32_t>(len));
    const uint32_t want = BitwiseCrc(buf.data(), buf.size());
    EXPECT_EQ(Crc32(buf.data(), buf.size()), want) << len;
    EXPECT_EQ(Crc32Portable(buf.data(), buf.size()), want) << len;
  }
  // All-zero and all-ones blocks stress the folding constants differently from random data.
  for (uint8_t fill : {uint8_t{0x00}, uint8_t{0xFF}}) {
    std::vector<uint8_t> buf(100000, fill);
    EXPECT_EQ(Crc32(buf.data(), buf.size()), BitwiseCrc(buf.data(), buf.size())) << int(fill);
  }
}

TEST(Crc32, TwelveThreadsAgreeWithSingleThreadReference) {
  std::vector<std::vector<uint8_t>> inputs;
  std::vector<uint32_t> reference;
  for (int i = 0; i < 12; ++i) {
    inputs.push_back(RandomBytes(50000 + 977 * i, 100 + i));
    reference.push_back(Crc32Portable(inputs.back().data(), inputs.back().size()));
  }
  std::vector<int> mismatches(12, 0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 12; ++t)
      threads.emplace_back([&, t] {
        if (t % 2 == 0) station::Crc32InitTable();  // racing the first use is harmless
        for (int round = 0; round < 200; ++round) {
          const int i = (t + round) % 12;
          uint32_t out = 0;
          Crc32Calc(inputs[i].data(), inputs[i].size(), &out);
          if (out != reference[i]) ++mismatches[t];
        }
      });
  }
  for (int t = 0; t < 12; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace

// AES-128: the published example vector, CBC chaining and padding, the default-key path, and
// calls on several threads that must not see each other's keys.
#include "foundation/aes128.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using namespace station;

using Block = std::array<uint8_t, 16>;

Block Seq(uint8_t start, uint8_t step) {
  Block b{};
  for (int i = 0; i < 16; ++i) b[i] = static_cast<uint8_t>(start + step * i);
  return b;
}

// The example of the standard's appendix C.1: key 00..0f, plaintext 00 11 22 .. ff.
const Block kKeyC1 = Seq(0x00, 0x01);
const Block kPlainC1 = Seq(0x00, 0x11);
const Block kCipherC1 = {0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30,
                         0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};

TEST(Aes128, StandardVectorBothWays) {
  const auto w = Aes128KeyExpansion(kKeyC1.data());
  Block b = kPlainC1;
  Aes128Cipher(b.data(), w);
  EXPECT_EQ(b, kCipherC1);
  Aes128InvCipher(b.data(), w);
  EXPECT_EQ(b, kPlainC1);

  Block out{};
  Aes128EcbDecrypt(kCipherC1.data(), kKeyC1.data(), out.data());
  EXPECT_EQ(out, kPlainC1);
}

TEST(Aes128, KeyScheduleLastRoundKey) {
  // Last round key of the standard's key expansion example (key 2b7e1516 28aed2a6 ...).
  const Block key = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                     0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
  const auto w = Aes128KeyExpansion(key.data());
  const Block last = {0xd0, 0x14, 0xf9, 0xa8, 0xc9, 0xee, 0x25, 0x89,
                      0xe1, 0x3f, 0x0c, 0xc8, 0xb6, 0x63, 0x0c, 0xa6};
  EXPECT_TRUE(std::equal(last.begin(), last.end(), w.begin() + 160));
}

TEST(Aes128, NullKeyUsesDefaultKey) {
  const Aes128Key& dk = Aes128DefaultKey();
  Block plain = Seq(0x40, 0x03);
  Block cipher = plain;
  Aes128Cipher(cipher.data(), Aes128KeyExpansion(dk.data()));
  Block out{};
  Aes128EcbDecrypt(cipher.data(), nullptr, out.data());
  EXPECT_EQ(out, plain);
  // In-place decryption (output is the input) works too.
  Aes128EcbDecrypt(cipher.data(), nullptr, cipher.data());
  EXPECT_EQ(cipher, plain);
}

TEST(Aes128, CbcMatchesStandardExample) {
  // The first two blocks of the CBC-AES128 example of NIST SP 800-38A, F.2.1.
  const Block key = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                     0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
  const Block iv = Seq(0x00, 0x01);
  const uint8_t plain[32] = {0x6b, 0xc1, 0xbe, 0xe2, 0x2e, 0x40, 0x9f, 0x96, 0xe9, 0x3d, 0x7e,
                             0x11, 0x73, 0x93, 0x17, 0x2a, 0xae, 0x2d, 0x8a, 0x57, 0x1e, 0x03,
                             0xac, 0x9c, 0x9e, 0xb7, 0x6f, 0xac, 0x45, 0xaf, 0x8e, 0x51};
  const uint8_t cipher[32] = {0x76, 0x49, 0xab, 0xac, 0x81, 0x19, 0xb2, 0x46, 0xce, 0xe9, 0x8e,
                              0x9b, 0x12, 0xe9, 0x19, 0x7d, 0x50, 0x86, 0xcb, 0x9b, 0x50, 0x72,
                              0x19, 0xee, 0x95, 0xdb, 0x11, 0x3a, 0x91, 0x76, 0x78, 0xb2};
  uint8_t out[32];
  Aes128CbcEncrypt(out, plain, 32, key.data(), iv.data());
  EXPECT_EQ(0, std::memcmp(out, cipher, 32));
  uint8_t back[32];
  Aes128CbcDecrypt(back, out, 32, key.data(), iv.data());
  EXPECT_EQ(0, std::memcmp(back, plain, 32));
}

TEST(Aes128, CbcPadsShortLastBlockWithZeros) {
  const Block key = Seq(0x10, 0x07);
  const Block iv = Seq(0xA0, 0x01);
  uint8_t plain[20];
  for (int i = 0; i < 20; ++i) plain[i] = static_cast<uint8_t>(0x30 + i);

  std::vector<uint8_t> out(32 + 8, 0xEE);  // guard bytes past the two blocks
  Aes128CbcEncrypt(out.data(), plain, 20, key.data(), iv.data());
  for (int i = 32; i < 40; ++i) EXPECT_EQ(out[i], 0xEE) << "wrote past the last block";

  // Second block by hand: E(K, (last 4 bytes, 12 zeros) XOR C0).
  const auto w = Aes128KeyExpansion(key.data());
  Block c0 = {};
  std::memcpy(c0.data(), plain, 16);
  for (int i = 0; i < 16; ++i) c0[i] ^= iv[i];
  Aes128Cipher(c0.data(), w);
  Block c1 = {};
  std::memcpy(c1.data(), plain + 16, 4);
  for (int i = 0; i < 16; ++i) c1[i] ^= c0[i];
  Aes128Cipher(c1.data(), w);
  EXPECT_TRUE(std::equal(c0.begin(), c0.end(), out.begin()));
  EXPECT_TRUE(std::equal(c1.begin(), c1.end(), out.begin() + 16));

  // Decrypting the 32 bytes gives the 20 bytes and the 12 zero bytes of padding.
  uint8_t back[32];
  Aes128CbcDecrypt(back, out.data(), 32, key.data(), iv.data());
  EXPECT_EQ(0, std::memcmp(back, plain, 20));
  for (int i = 20; i < 32; ++i) EXPECT_EQ(back[i], 0) << i;
}

TEST(Aes128, CbcInPlaceDecryption) {
  const Block key = Seq(0x01, 0x05);
  const Block iv = Seq(0x77, 0x0B);
  std::vector<uint8_t> plain(64);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 13);
  std::vector<uint8_t> buf(64);
  Aes128CbcEncrypt(buf.data(), plain.data(), 64, key.data(), iv.data());
  Aes128CbcDecrypt(buf.data(), buf.data(), 64, key.data(), iv.data());
  EXPECT_EQ(buf, plain);
}

TEST(Aes128, ThreadsWithDifferentKeysKeepTheirOwn) {
  struct Job {
    Block key, iv;
    std::vector<uint8_t> plain, cipher;
    int failures = 0;
  };
  std::vector<Job> jobs(4);
  for (int j = 0; j < 4; ++j) {
    jobs[j].key = Seq(static_cast<uint8_t>(j * 31), static_cast<uint8_t>(j + 1));
    jobs[j].iv = Seq(static_cast<uint8_t>(j * 7), 3);
    jobs[j].plain.resize(4096);
    for (size_t i = 0; i < 4096; ++i) jobs[j].plain[i] = static_cast<uint8_t>(i * (j + 3));
    jobs[j].cipher.resize(4096);
    Aes128CbcEncrypt(jobs[j].cipher.data(), jobs[j].plain.data(), 4096, jobs[j].key.data(),
                     jobs[j].iv.data());
  }
  {
    std::vector<std::jthread> threads;
    for (auto& job : jobs)
      threads.emplace_back([&job] {
        std::vector<uint8_t> out(4096);
        Block one{};
        for (int round = 0; round < 50; ++round) {
          Aes128CbcDecrypt(out.data(), job.cipher.data(), 4096, job.key.data(), job.iv.data());
          if (out != job.plain) ++job.failures;
          // ECB of the first cipher block gives P0 XOR IV.
          Aes128EcbDecrypt(job.cipher.data(), job.key.data(), one.data());
          for (int i = 0; i < 16; ++i)
            if ((one[i] ^ job.iv[i]) != job.plain[i]) ++job.failures;
        }
      });
  }
  for (const auto& job : jobs) EXPECT_EQ(job.failures, 0);
}

}  // namespace

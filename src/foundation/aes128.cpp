// AES-128: Nk = 4, Nr = 10, 44-word key schedule. The S-boxes are computed at compile time
// from the field inverse and the affine map, so no hand-typed table can hold a wrong entry.
// Nothing here is global but constants: every call works on its own expanded key and blocks.
#include "foundation/aes128.h"

#include <cstring>

#ifndef STATION_AES_DEFAULT_KEY_HEX
// The key shared with the boards' firmware; the build normally passes it from the
// STATION_AES_DEFAULT_KEY cache variable (src/foundation/CMakeLists.txt).
#define STATION_AES_DEFAULT_KEY_HEX "3a7f19c2e4580b6d91c4f02e7ab35d68"
#endif

namespace station {
namespace {

constexpr int kNb = 4;
constexpr int kNk = 4;
constexpr int kNr = 10;

constexpr uint8_t XTime(uint8_t x) { return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0)); }

constexpr uint8_t GfMul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  while (b) {
    if (b & 1) r ^= a;
    a = XTime(a);
    b >>= 1;
  }
  return r;
}

struct SBoxes {
  uint8_t fwd[256];
  uint8_t inv[256];
};

// The field inverse comes from power and logarithm tables of the generator 3, built in one
// pass of 255 steps: inv(x) = 3^(255 - log3(x)). A search for each inverse would cost 64K field
// multiplications, more than some compilers allow a constant evaluation.
constexpr SBoxes BuildSBoxes() {
  uint8_t power[255] = {};
  uint8_t log[256] = {};
  uint8_t v = 1;
  for (int i = 0; i < 255; ++i) {
    power[i] = v;
    log[v] = static_cast<uint8_t>(i);
    v = static_cast<uint8_t>(v ^ XTime(v));  // v * 3
  }
  SBoxes s{};
  for (int x = 0; x < 256; ++x) {
    const uint8_t inv = x == 0 ? 0 : power[(255 - log[x]) % 255];
    auto rotl = [](uint8_t byte, int n) { return static_cast<uint8_t>((byte << n) | (byte >> (8 - n))); };
    const uint8_t b = static_cast<uint8_t>(inv ^ rotl(inv, 1) ^ rotl(inv, 2) ^ rotl(inv, 3) ^
                                           rotl(inv, 4) ^ 0x63);
    s.fwd[x] = b;
    s.inv[b] = static_cast<uint8_t>(x);
  }
  return s;
}

constexpr SBoxes kBox = BuildSBoxes();
static_assert(kBox.fwd[0x00] == 0x63 && kBox.fwd[0x53] == 0xED && kBox.inv[0x63] == 0x00);
static_assert(kBox.fwd[0x01] == 0x7C && kBox.fwd[0xFF] == 0x16 && kBox.inv[0x00] == 0x52);

// Holds only when the forward box is a permutation, so that every entry of inv was written.
constexpr bool BoxesUndoEachOther(const SBoxes& s) {
  for (int y = 0; y < 256; ++y)
    if (s.fwd[s.inv[y]] != y) return false;
  return true;
}
static_assert(BoxesUndoEachOther(kBox));

constexpr uint8_t kRcon[11] = {0x8D, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1B, 0x36};

constexpr uint8_t HexNibble(char c) {
  return static_cast<uint8_t>(c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : 0xFF);
}

constexpr Aes128Key ParseKey(const char* hex) {
  Aes128Key k{};
  for (int i = 0; i < 16; ++i) k[i] = static_cast<uint8_t>(HexNibble(hex[2 * i]) << 4 | HexNibble(hex[2 * i + 1]));
  return k;
}

constexpr bool ValidKeyHex(const char* hex) {
  for (int i = 0; i < 32; ++i)
    if (HexNibble(hex[i]) == 0xFF) return false;
  return hex[32] == '\0';
}
static_assert(ValidKeyHex(STATION_AES_DEFAULT_KEY_HEX),
              "STATION_AES_DEFAULT_KEY must be 32 hexadecimal digits");

constexpr Aes128Key kDefaultKey = ParseKey(STATION_AES_DEFAULT_KEY_HEX);

void AddRoundKey(int round, uint8_t state[16], const Aes128ExpandedKey& w) {
  for (int i = 0; i < 16; ++i) state[i] ^= w[round * kNb * 4 + i];
}

void SubBytes(uint8_t state[16]) {
  for (int i = 0; i < 16; ++i) state[i] = kBox.fwd[state[i]];
}

void InvSubBytes(uint8_t state[16]) {
  for (int i = 0; i < 16; ++i) state[i] = kBox.inv[state[i]];
}

// The state is column-major: byte r + 4c is row r, column c. Row r rotates left by r.
void ShiftRows(uint8_t s[16]) {
  uint8_t t[16];
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) t[r + 4 * c] = s[r + 4 * ((c + r) % 4)];
  std::memcpy(s, t, 16);
}

void InvShiftRows(uint8_t s[16]) {
  uint8_t t[16];
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) t[r + 4 * ((c + r) % 4)] = s[r + 4 * c];
  std::memcpy(s, t, 16);
}

void Aes128MixColumns(uint8_t s[16]) {
  for (int c = 0; c < 4; ++c) {
    uint8_t* col = s + 4 * c;
    const uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
    const uint8_t all = a0 ^ a1 ^ a2 ^ a3;
    col[0] = a0 ^ all ^ XTime(a0 ^ a1);
    col[1] = a1 ^ all ^ XTime(a1 ^ a2);
    col[2] = a2 ^ all ^ XTime(a2 ^ a3);
    col[3] = a3 ^ all ^ XTime(a3 ^ a0);
  }
}

void Aes128InvMixColumns(uint8_t s[16]) {
  for (int c = 0; c < 4; ++c) {
    uint8_t* col = s + 4 * c;
    const uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
    col[0] = GfMul(a0, 0x0E) ^ GfMul(a1, 0x0B) ^ GfMul(a2, 0x0D) ^ GfMul(a3, 0x09);
    col[1] = GfMul(a0, 0x09) ^ GfMul(a1, 0x0E) ^ GfMul(a2, 0x0B) ^ GfMul(a3, 0x0D);
    col[2] = GfMul(a0, 0x0D) ^ GfMul(a1, 0x09) ^ GfMul(a2, 0x0E) ^ GfMul(a3, 0x0B);
    col[3] = GfMul(a0, 0x0B) ^ GfMul(a1, 0x0D) ^ GfMul(a2, 0x09) ^ GfMul(a3, 0x0E);
  }
}

void XorBlock(uint8_t* dst, const uint8_t* src) {
  for (int i = 0; i < 16; ++i) dst[i] ^= src[i];
}

}  // namespace

const Aes128Key& Aes128DefaultKey() { return kDefaultKey; }

Aes128ExpandedKey Aes128KeyExpansion(const uint8_t key[16]) {
  Aes128ExpandedKey w{};
  std::memcpy(w.data(), key, 16);
  for (int i = kNk; i < kNb * (kNr + 1); ++i) {
    uint8_t t[4];
    std::memcpy(t, &w[(i - 1) * 4], 4);
    if (i % kNk == 0) {
      const uint8_t first = t[0];  // RotWord, SubWord, Rcon
      t[0] = static_cast<uint8_t>(kBox.fwd[t[1]] ^ kRcon[i / kNk]);
      t[1] = kBox.fwd[t[2]];
      t[2] = kBox.fwd[t[3]];
      t[3] = kBox.fwd[first];
    }
    for (int j = 0; j < 4; ++j) w[i * 4 + j] = static_cast<uint8_t>(w[(i - kNk) * 4 + j] ^ t[j]);
  }
  return w;
}

void Aes128Cipher(uint8_t state[16], const Aes128ExpandedKey& w) {
  AddRoundKey(0, state, w);
  for (int round = 1; round < kNr; ++round) {
    SubBytes(state);
    ShiftRows(state);
    Aes128MixColumns(state);
    AddRoundKey(round, state, w);
  }
  SubBytes(state);
  ShiftRows(state);
  AddRoundKey(kNr, state, w);
}

void Aes128InvCipher(uint8_t state[16], const Aes128ExpandedKey& w) {
  AddRoundKey(kNr, state, w);
  for (int round = kNr - 1; round > 0; --round) {
    InvShiftRows(state);
    InvSubBytes(state);
    AddRoundKey(round, state, w);
    Aes128InvMixColumns(state);
  }
  InvShiftRows(state);
  InvSubBytes(state);
  AddRoundKey(0, state, w);
}

void Aes128EcbDecrypt(const uint8_t input[16], const uint8_t* key, uint8_t output[16]) {
  std::memmove(output, input, 16);
  const Aes128ExpandedKey w = Aes128KeyExpansion(key ? key : kDefaultKey.data());
  Aes128InvCipher(output, w);
}

void Aes128CbcEncrypt(uint8_t* output, const uint8_t* input, size_t length, const uint8_t key[16],
                      const uint8_t iv[16]) {
  const Aes128ExpandedKey w = Aes128KeyExpansion(key);
  uint8_t chain[16];
  std::memcpy(chain, iv, 16);
  for (size_t off = 0; off < length; off += 16) {
    uint8_t block[16] = {};  // a short last block is padded with zero bytes
    const size_t n = length - off < 16 ? length - off : 16;
    std::memcpy(block, input + off, n);
    XorBlock(block, chain);
    Aes128Cipher(block, w);
    std::memcpy(output + off, block, 16);
    std::memcpy(chain, block, 16);
  }
}

void Aes128CbcDecrypt(uint8_t* output, const uint8_t* input, size_t length, const uint8_t key[16],
                      const uint8_t iv[16]) {
  const Aes128ExpandedKey w = Aes128KeyExpansion(key);
  uint8_t chain[16];
  std::memcpy(chain, iv, 16);
  for (size_t off = 0; off < length; off += 16) {
    uint8_t cipher[16] = {};
    const size_t n = length - off < 16 ? length - off : 16;
    std::memcpy(cipher, input + off, n);
    uint8_t block[16];
    std::memcpy(block, cipher, 16);
    Aes128InvCipher(block, w);
    XorBlock(block, chain);
    std::memcpy(output + off, block, 16);
    std::memcpy(chain, cipher, 16);  // taken before the write: output may be the input buffer
  }
}

}  // namespace station

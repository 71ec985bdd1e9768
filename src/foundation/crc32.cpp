// CRC-32 (reflected 0xEDB88320). Two paths give the same result:
//  - carry-less multiply folding (PCLMULQDQ), picked at run time when the processor has it;
//  - slicing-by-16 over constant tables, everywhere else and for short tails.
// All tables are built at compile time, so any number of threads may compute at once.
#include "foundation/crc32.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define STATION_CRC32_CLMUL 1
#endif

namespace station {
namespace {

constexpr uint32_t kPolyReflected = 0xEDB88320u;  // 0x04C11DB7 bit-reversed
constexpr int kSlices = 16;

using SliceTables = std::array<std::array<uint32_t, 256>, kSlices>;

constexpr SliceTables BuildTables() {
  SliceTables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ kPolyReflected : c >> 1;
    t[0][i] = c;
  }
  // t[s][i]: the register after byte i is followed by s zero bytes.
  for (int s = 1; s < kSlices; ++s)
    for (int i = 0; i < 256; ++i) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFFu];
  return t;
}

constexpr SliceTables kTables = BuildTables();

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  return v;
}

// Works on the raw register (already complemented by the caller).
uint32_t UpdateTables(uint32_t crc, const uint8_t* p, size_t n) {
  const auto& t = kTables;
  while (n >= 16) {
    const uint32_t a = Load32(p) ^ crc;
    const uint32_t b = Load32(p + 4);
    const uint32_t c = Load32(p + 8);
    const uint32_t d = Load32(p + 12);
    crc = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
          t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
          t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
          t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
    p += 16;
    n -= 16;
  }
  while (n--) crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
  return crc;
}

#ifdef STATION_CRC32_CLMUL

// Folding constants for the reflected polynomial: x^(k) mod P for the fold distances of
// 512+64 / 512 bits (four lanes), 128+64 / 128 bits (one lane), 64 bits, and the Barrett pair
// (P' = floor(x^64 / P), P itself), all bit-reflected and shifted as the reflected folding needs.
alignas(16) constexpr uint64_t kFold4[2] = {0x0154442bd4ull, 0x01c6e41596ull};
alignas(16) constexpr uint64_t kFold1[2] = {0x01751997d0ull, 0x00ccaa009eull};
alignas(16) constexpr uint64_t kFold64[2] = {0x0163cd6124ull, 0};
alignas(16) constexpr uint64_t kBarrett[2] = {0x01db710641ull, 0x01f7011641ull};

#define STATION_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

STATION_CLMUL_TARGET inline __m128i Load128(const uint8_t* q) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}

// acc * x^(distance) folded onto the next 128 bits; k holds the two distance constants.
STATION_CLMUL_TARGET inline __m128i Fold(__m128i acc, __m128i k, __m128i next) {
  const __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
  const __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// Needs n >= 64 and n a multiple of 16; returns the raw register.
STATION_CLMUL_TARGET uint32_t UpdateClmul(uint32_t crc, const uint8_t* p, size_t n) {
  __m128i x1 = Load128(p), x2 = Load128(p + 16), x3 = Load128(p + 32), x4 = Load128(p + 48);
  x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold4));
  p += 64;
  n -= 64;

  while (n >= 64) {
    x1 = Fold(x1, k, Load128(p));
    x2 = Fold(x2, k, Load128(p + 16));
    x3 = Fold(x3, k, Load128(p + 32));
    x4 = Fold(x4, k, Load128(p + 48));
    p += 64;
    n -= 64;
  }

  // Four lanes into one.
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold1));
  x1 = Fold(x1, k, x2);
  x1 = Fold(x1, k, x3);
  x1 = Fold(x1, k, x4);
  while (n >= 16) {
    x1 = Fold(x1, k, Load128(p));
    p += 16;
    n -= 16;
  }

  // 128 bits to 64.
  const __m128i mask32 = _mm_setr_epi32(~0, 0, ~0, 0);
  x2 = _mm_clmulepi64_si128(x1, k, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kFold64));
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k, 0x00);
  x1 = _mm_xor_si128(x1, x2);

  // Barrett reduction to 32 bits.
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kBarrett));
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k, 0x10);
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, mask32), k, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

bool HaveClmul() {
  static const bool have = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  }();
  return have;
}

#endif  // STATION_CRC32_CLMUL

}  // namespace

void Crc32InitTable() {
  // The tables are compile-time constants; only the processor check is left to do once.
#ifdef STATION_CRC32_CLMUL
  (void)HaveClmul();
#endif
}

uint32_t Crc32(const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t crc = 0xFFFFFFFFu;
#ifdef STATION_CRC32_CLMUL
  if (length >= 64 && HaveClmul()) {
    const size_t bulk = length & ~static_cast<size_t>(15);
    crc = UpdateClmul(crc, p, bulk);
    p += bulk;
    length -= bulk;
  }
#endif
  crc = UpdateTables(crc, p, length);
  return crc ^ 0xFFFFFFFFu;
}

uint32_t Crc32Portable(const void* data, size_t length) {
  return UpdateTables(0xFFFFFFFFu, static_cast<const uint8_t*>(data), length) ^ 0xFFFFFFFFu;
}

int Crc32Calc(const void* data, size_t length, uint32_t* out) {
  *out = Crc32(data, length);
  return 0;
}

}  // namespace station

#include "support/emmc_image.h"

#include <sys/time.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "foundation/fw_entry.h"
#include "foundation/station_state.h"

namespace benchsupport {

using namespace station;

namespace {
constexpr uint64_t kPiece = 0x3000000;
double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }
}  // namespace

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

void Fill(uint8_t* p, uint64_t n, uint64_t seed) {
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  uint64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(p + i, &x, 8);
  }
  for (; i < n; ++i) p[i] = static_cast<uint8_t>(x >> (8 * (i % 8)));
}

void LoadEmmcImage(uint64_t total) {
  StationState& s = state();
  uint64_t used = 0;
  for (int k = 0; k < kBootPieceCount; ++k) {
    ImageBuffer& b = s.images.boot[k];
    b.length = 64 << 10;
    b.data.resize(b.length + 1);
    Fill(b.data.data(), b.length, 100 + k);
    used += b.length;
  }
  struct E {
    int index;
    uint64_t offset, size;
  };
  const E entries[] = {{FW_KERNEL, 0x1000000, 8 << 20},        {FW_KERNEL_DT, 0x1900000, 64 << 10},
                       {FW_RESCUE_DT, 0x1A00000, 64 << 10},    {FW_RESCUE_ROOTFS, 0x1B00000, 8 << 20},
                       {FW_KERNEL_ROOTFS, 0x2400000, 16 << 20}, {FW_AKERNEL, 0x3500000, 4 << 20},
                       {FW_FWTBL, 0x3A00000, 1 << 10},          {FW_GOLD_KERNEL, 0x3B00000, 8 << 20}};
  FwEntryTable& table = *s.fwEntries;
  for (const E& e : entries) {
    FwEntry& f = table[e.index];
    f.Buffer.Reserve(e.size);
    Fill(f.Buffer.data(), e.size, 200 + e.index);
    f.Size = e.size;
    f.Offset = e.offset;
    used += e.size * (e.index == FW_FWTBL ? 2 : 1);
  }
  for (int m = 0; m < 2; ++m) {
    MbrImage mbr;
    mbr.name = " MBR" + std::to_string(m);
    mbr.heap.resize(513);
    Fill(mbr.heap.data(), 512, 300 + m);
    mbr.length = 512;
    mbr.offset = m == 0 ? 0 : 0x200000;
    s.images.mbrImages.push_back(std::move(mbr));
    used += 512;
  }
  const uint64_t partition = total > used ? total - used : 0;
  for (uint64_t at = 0; at < partition; at += kPiece) {
    PartitionPiece p;
    p.name = " PART0";
    p.length = std::min(kPiece, partition - at);
    p.offset = 0x4000000;
    p.layoutSize = partition;
    p.pages.Reserve(p.length);
    Fill(p.pages.data(), p.length, 400 + at / kPiece);
    s.images.partitionPieces.push_back(std::move(p));
  }
}

}  // namespace benchsupport

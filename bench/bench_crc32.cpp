// CRC-32 throughput on a 256 KiB buffer: the station's routine (with and without the folding
// path) against zlib's crc32().
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "foundation/crc32.h"

namespace {

const std::vector<uint8_t>& Buffer() {
  static const std::vector<uint8_t> buf = [] {
    std::vector<uint8_t> v(256 * 1024);
    std::mt19937 gen(1);
    for (auto& b : v) b = static_cast<uint8_t>(gen());
    return v;
  }();
  return buf;
}

void BM_StationCrc32(benchmark::State& state) {
  const auto& buf = Buffer();
  for (auto _ : state) benchmark::DoNotOptimize(station::Crc32(buf.data(), buf.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * buf.size());
}

void BM_StationCrc32Portable(benchmark::State& state) {
  const auto& buf = Buffer();
  for (auto _ : state) benchmark::DoNotOptimize(station::Crc32Portable(buf.data(), buf.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * buf.size());
}

void BM_ZlibCrc32(benchmark::State& state) {
  const auto& buf = Buffer();
  for (auto _ : state)
    benchmark::DoNotOptimize(crc32(0L, buf.data(), static_cast<uInt>(buf.size())));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * buf.size());
}

BENCHMARK(BM_StationCrc32);
BENCHMARK(BM_StationCrc32Portable);
BENCHMARK(BM_ZlibCrc32);

}  // namespace

BENCHMARK_MAIN();

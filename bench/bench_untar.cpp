// Unpacking an installation package with the station's tar reader, against GNU tar itself.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "foundation/station_state.h"
#include "mkpackage/mkpackage.h"
#include "package/install_image.h"
#include "package/tar_reader.h"

namespace {

namespace fs = std::filesystem;

// One package with a 64 MiB partition and the usual small entries, built once.
const mkpackage::PackageInfo& Package() {
  static const mkpackage::PackageInfo info = [] {
    mkpackage::PackageOptions o;
    o.outDir = (fs::temp_directory_path() / "bench-untar").string();
    o.partitions = {{0, "rootfs.bin", 64ull << 20, 0, 0}, {1, "etc.bin", 1 << 20, 0, 0}};
    return mkpackage::BuildPackage(o);
  }();
  return info;
}

uint64_t ImageBytes() { return fs::file_size(Package().imagePath); }

fs::path Dest() { return fs::temp_directory_path() / "bench-untar" / "dest"; }

void Fresh() {
  fs::remove_all(Dest());
  fs::create_directories(Dest());
}

void BM_UntarInstallImg(benchmark::State& st) {
  station::ScopedStation station;
  const std::string image = Package().imagePath;
  for (auto _ : st) {
    st.PauseTiming();
    Fresh();
    st.ResumeTiming();
    uint16_t max = 0;
    uint32_t step = 0;
    station::UntarInstallImg(image, Dest().string(), nullptr, max, step, 0);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * ImageBytes()));
}
BENCHMARK(BM_UntarInstallImg)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GnuTarExtract(benchmark::State& st) {
  const std::string image = Package().imagePath;
  for (auto _ : st) {
    st.PauseTiming();
    Fresh();
    st.ResumeTiming();
    mkpackage::RunTar({"-C", Dest().string(), "-xf", image});
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * ImageBytes()));
}
BENCHMARK(BM_GnuTarExtract)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TarWalkHeaders(benchmark::State& st) {
  const std::string image = Package().imagePath;
  for (auto _ : st) {
    station::TarReader reader(image, 0);
    int n = 0;
    for (station::TarEntry e = reader.FirstEntry(); !e.IsEnd(); e = reader.NextEntry()) ++n;
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_TarWalkHeaders)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

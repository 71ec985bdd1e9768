// Loading a 2 GiB installation package: the station's "open" (delete the old unpack, unpack
// with the station's tar reader, load every entry, partition piece and MBR image), its
// "reload img" (load the unpacked tree again), GNU tar unpacking the same file, and a plain
// read of every file of the unpacked tree. The package lives in a temporary folder that is
// removed at the end. Runs with a warm page cache: the figures compare the station's work
// with the least the system needs for the same bytes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/file_utils.h"
#include "foundation/image_buffers.h"
#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "mkpackage/mkpackage.h"
#include "package/image_loading.h"
#include "package/package_loading.h"
#include "package/type_lists.h"
#include "platform/clock.h"
#include "platform/ui.h"

namespace {

namespace fs = std::filesystem;

struct Setup {
  fs::path root;      // everything the benchmark writes
  fs::path station;   // the station folder
  mkpackage::PackageInfo info;
  uint64_t imageBytes = 0;
  uint64_t dataBytes = 0;  // bytes the station loads
};
Setup* g_setup = nullptr;

uint64_t TreeBytes(const fs::path& dir) {
  uint64_t total = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) total += e.file_size();
  return total;
}

void ReportMemory(benchmark::State& state) {
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  state.counters["peak_rss_MiB"] = static_cast<double>(ru.ru_maxrss) / 1024.0;
  uint64_t loaded = 0;
  for (const station::PartitionPiece& p : station::state().images.partitionPieces) loaded += p.length;
  for (const station::FwEntry& e : *station::state().fwEntries) loaded += e.Size;
  state.counters["loaded_MiB"] = static_cast<double>(loaded) / (1 << 20);
}

void BM_StationOpen(benchmark::State& state) {
  ui::HeadlessHost host;
  ui::SetPrompter(&host);
  for (auto _ : state) {
    host.QueueFile(g_setup->info.imagePath);
    station::OpenImageThread(nullptr);
    if (station::state().images.partitionPieces.empty()) state.SkipWithError("the package did not load");
    state.PauseTiming();
    ReportMemory(state);
    station::FreeImageBuffers();
    state.ResumeTiming();
  }
  ui::SetPrompter(nullptr);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_setup->imageBytes));
}

void BM_StationReload(benchmark::State& state) {
  for (auto _ : state) {
    station::ReloadImageThread(nullptr);
    if (station::state().images.partitionPieces.empty()) state.SkipWithError("the tree did not load");
    state.PauseTiming();
    ReportMemory(state);
    station::FreeImageBuffers();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_setup->dataBytes));
}

void BM_GnuTarExtract(benchmark::State& state) {
  const fs::path out = g_setup->root / "tar-x";
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(out);
    fs::create_directories(out);
    state.ResumeTiming();
    mkpackage::RunTar({"-xf", g_setup->info.imagePath, "-C", out.string()});
  }
  fs::remove_all(out);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_setup->imageBytes));
}

void BM_PlainReadOfTree(benchmark::State& state) {
  const fs::path tree = g_setup->station / "UnTarTmp";
  std::vector<char> buf(1 << 20);
  uint64_t bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    for (const auto& e : fs::recursive_directory_iterator(tree)) {
      if (!e.is_regular_file()) continue;
      const int fd = ::open(e.path().c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      ssize_t n;
      while ((n = ::read(fd, buf.data(), buf.size())) > 0) bytes += static_cast<uint64_t>(n);
      ::close(fd);
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

BENCHMARK(BM_StationOpen)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_StationReload)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_GnuTarExtract)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_PlainReadOfTree)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  Setup setup;
  setup.root = fs::path(station::GetTempDir()) / ("bench-package-load-" + std::to_string(::getpid()));
  setup.station = setup.root / "station";
  int rc = 0;
  try {
    fs::remove_all(setup.root);
    fs::create_directories(setup.station);
    mkpackage::InstallStationFiles(setup.station.string());

    // An eMMC package whose first partition is past 2 GiB, as large eMMC boards carry.
    mkpackage::PackageOptions o;
    o.outDir = (setup.root / "build").string();
    o.emmc = true;
    o.partitions = {{0, "rootfs.bin", (2ull << 30) + 16, 0, 0},
                    {1, "etc.bin", 96ull << 20, 0, 0},
                    {2, "cache.bin", 16ull << 20, 0, 0}};
    setup.info = mkpackage::BuildPackage(o);
    // Only install.img is needed from here on.
    fs::remove_all(setup.info.treeDir);
    setup.imageBytes = fs::file_size(setup.info.imagePath);

    plat::ScopedFastClock fastClock;  // the retrying deletes wait through the clock
    station::ScopedStation st;
    station::SetAppDir(setup.station.string());
    st->mainDlg.SetText(station::kFlashTypeList, "EMMC");
    st->mainDlg.SetText(station::kDdrTypeList, "2DDR4_1GB");
    station::GetDdrFolderName(1);

    // The reload and the plain read use the tree the first open leaves.
    g_setup = &setup;
    {
      ui::HeadlessHost host;
      ui::SetPrompter(&host);
      host.QueueFile(setup.info.imagePath);
      station::OpenImageThread(nullptr);
      ui::SetPrompter(nullptr);
      station::FreeImageBuffers();
    }
    setup.dataBytes = TreeBytes(setup.station / "UnTarTmp");
    std::printf("package: %s, %.1f MiB (%.1f MiB of data files)\n", setup.info.imagePath.c_str(),
                static_cast<double>(setup.imageBytes) / (1 << 20), static_cast<double>(setup.dataBytes) / (1 << 20));

    benchmark::RunSpecifiedBenchmarks();
    station::FreeImageBuffers();
    station::SetAppDir("");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_package_load: %s\n", e.what());
    rc = 1;
  }
  std::error_code ec;
  fs::remove_all(setup.root, ec);
  benchmark::Shutdown();
  return rc;
}

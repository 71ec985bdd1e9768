// The eMMC installation of a 1 GiB image to simulated boards: one board without and with
// compare mode, and twelve boards at once. Reported per run:
//   station_cpu_s_per_GiB  CPU of the job threads (getrusage RUSAGE_THREAD) per GiB installed
//   other_cpu_s_per_GiB    the rest of the process's CPU (the simulated boards) per GiB
//   wall_s                 from the start of the first job to the end of the last
//   usb2_s                 what the same bytes need on one 53 MB/s USB 2.0 link (read-backs
//                          included in compare mode)
//   wall_per_usb2          wall_s / usb2_s
// BENCH_EMMC_MIB sets the image size per board (default 1024); the boards keep what they are
// sent in memory, so twelve boards of 1 GiB need about 13 GiB. Work files go to a folder in
// /tmp that is removed at the end.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "boardsim/board_sim.h"
#include "foundation/fw_entry.h"
#include "foundation/image_buffers.h"
#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "platform/device_nodes.h"
#include "platform/ui.h"
#include "programming/emmc_install.h"
#include "programming/slot_params.h"
#include "usblink/flash_options.h"
#include "usblink/usb_device.h"

namespace {

namespace fs = std::filesystem;
using namespace station;

constexpr double kUsb2BytesPerSecond = 53e6;
constexpr uint64_t kGiB = 1ull << 30;
constexpr uint64_t kPiece = 0x3000000;

uint64_t ImageBytes() {
  const char* v = std::getenv("BENCH_EMMC_MIB");
  const uint64_t mib = v && *v ? std::strtoull(v, nullptr, 10) : 1024;
  return (mib ? mib : 1024) << 20;
}

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }
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

// The station folder, the device root and the temporary folder of the run, all in /tmp.
struct WorkFolders {
  WorkFolders() {
    char tmpl[] = "/tmp/bench-emmc-XXXXXX";
    root = mkdtemp(tmpl);
    fs::create_directories(root + "/dev");
    fs::create_directories(root + "/temp");
    fs::create_directories(root + "/station");
    setenv("USB_DEVICE_ROOT", (root + "/dev").c_str(), 1);
    setenv("TEMP", (root + "/temp").c_str(), 1);
    SetAppDir(root + "/station");
  }
  ~WorkFolders() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  std::string root;
};

// A board image of `total` bytes: the seven boot pieces, a typical set of firmware entries,
// the firmware table and two MBR images, the rest one partition in 48 MiB pieces.
void LoadImage(uint64_t total) {
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

void DescribeEmmc() {
  ui::Dialog& d = state().optionsDlg;
  d.SetText(option_id::kFlashType, "2");
  d.SetText(option_id::kTransmissionSizeK, "256");
  d.SetText(option_id::kOneWriteSizeM, "16");
}

void BM_EmmcInstall(benchmark::State& st, int boards, bool compare) {
  const uint64_t bytes = ImageBytes();
  DescribeEmmc();
  FlashInfo info{};
  GetFlashInfo(info, 0);
  BurnOption option{};
  option.compareMode = compare;

  double stationCpu = 0, processCpu = 0, wall = 0;
  for (auto _ : st) {
    st.PauseTiming();
    std::vector<std::unique_ptr<boardsim::Board>> sims;
    for (int b = 0; b < boards; ++b) {
      boardsim::BoardConfig cfg;
      cfg.flash = boardsim::FlashKind::Emmc;
      cfg.emmcBytes = 0x4000000 + bytes + (64ull << 20);
      cfg.requireDdrEnable = false;
      sims.push_back(std::make_unique<boardsim::Board>(cfg));
      const std::string path = sims.back()->Plug(plat::ClassFolder(kUsbClassGuid), "board-" + std::to_string(b));
      DeviceSlot& dev = state().slots[b];
      dev.DeviceHandle = OpenUsbDevice(path.c_str());
      dev.Busy = 1;
      FillDeviceParams(b);
      SetDeviceLogText(b, "");
    }
    std::vector<double> cpu(boards, 0);
    std::vector<ResultCode> result(boards, -1);
    st.ResumeTiming();

    const double process0 = CpuSeconds(RUSAGE_SELF);
    const auto t0 = std::chrono::steady_clock::now();
    {
      std::vector<std::jthread> jobs;
      for (int b = 0; b < boards; ++b)
        jobs.emplace_back([&, b] {
          const double c0 = CpuSeconds(RUSAGE_THREAD);
          NandBbt bbt;
          result[b] = EmmcFullInstall(b, state().slots[b], info, *state().fwEntries, option, bbt);
          cpu[b] = CpuSeconds(RUSAGE_THREAD) - c0;
        });
    }
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    processCpu += CpuSeconds(RUSAGE_SELF) - process0;

    st.PauseTiming();
    for (int b = 0; b < boards; ++b) {
      stationCpu += cpu[b];
      if (result[b] != kResultDone) st.SkipWithError(("board " + std::to_string(b) + " ended with " +
                                                      std::to_string(result[b])).c_str());
      CloseDevice(state().slots[b].DeviceHandle);
      state().slots[b].Busy = 0;
      SetDeviceLogText(b, "");
    }
    sims.clear();
    st.ResumeTiming();
  }

  const double runs = static_cast<double>(st.iterations());
  const double gib = static_cast<double>(bytes) * boards / kGiB * runs;
  const double linkBytes = static_cast<double>(bytes) * boards * (compare ? 2 : 1);
  st.counters["station_cpu_s_per_GiB"] = stationCpu / gib;
  st.counters["other_cpu_s_per_GiB"] = (processCpu - stationCpu) / gib;
  st.counters["wall_s"] = wall / runs;
  st.counters["usb2_s"] = linkBytes / kUsb2BytesPerSecond;
  st.counters["wall_per_usb2"] = (wall / runs) / (linkBytes / kUsb2BytesPerSecond);
  st.SetBytesProcessed(static_cast<int64_t>(bytes * boards * st.iterations()));
}

BENCHMARK_CAPTURE(BM_EmmcInstall, one_board, 1, false)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_EmmcInstall, one_board_compare, 1, true)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_EmmcInstall, twelve_boards, kSlotCount, false)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  int rc = 0;
  {
    WorkFolders folders;
    ui::ScopedHeadlessHost host;
    ScopedStation station;
    FreeImageBuffers();
    LoadImage(ImageBytes());
    benchmark::RunSpecifiedBenchmarks();
    FreeImageBuffers();
  }
  benchmark::Shutdown();
  return rc;
}

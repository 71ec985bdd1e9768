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
#include "support/emmc_image.h"
#include "usblink/usb_device.h"

namespace {

namespace fs = std::filesystem;
using namespace station;

constexpr double kUsb2BytesPerSecond = 53e6;
constexpr uint64_t kGiB = 1ull << 30;

uint64_t ImageBytes() {
  const char* v = std::getenv("BENCH_EMMC_MIB");
  const uint64_t mib = v && *v ? std::strtoull(v, nullptr, 10) : 1024;
  return (mib ? mib : 1024) << 20;
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

    const double process0 = benchsupport::CpuSeconds(RUSAGE_SELF);
    const auto t0 = std::chrono::steady_clock::now();
    {
      std::vector<std::jthread> jobs;
      for (int b = 0; b < boards; ++b)
        jobs.emplace_back([&, b] {
          const double c0 = benchsupport::CpuSeconds(RUSAGE_THREAD);
          NandBbt bbt;
          result[b] = EmmcFullInstall(b, state().slots[b], info, *state().fwEntries, option, bbt);
          cpu[b] = benchsupport::CpuSeconds(RUSAGE_THREAD) - c0;
        });
    }
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    processCpu += benchsupport::CpuSeconds(RUSAGE_SELF) - process0;

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
    benchsupport::LoadEmmcImage(ImageBytes());
    benchmark::RunSpecifiedBenchmarks();
    FreeImageBuffers();
  }
  benchmark::Shutdown();
  return rc;
}

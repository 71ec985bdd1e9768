// Twelve slot jobs at once, started by their buttons, against twelve simulated eMMC boards
// served by the boardsim program (another process, so that this process's CPU is the
// station's alone). The station runs on real time, fixed waits included. Reported:
//   wall_s               from the first click to the end of the last job
//   usb2_s               what one board's bytes need on its own 53 MB/s USB 2.0 link
//   wall_per_usb2        wall_s / usb2_s (the twelve links run side by side)
//   fixed_waits_s        the waits the jobs make whatever the boards do: the hardware
//                        setting's settle time once per board, and the factory stage's pause
//                        once per board under its mutex, one board after the other
//   station_cpu_s_per_GiB  this process's CPU per GiB sent
// The image goes straight into the station's buffers, with no unpacked package beside it, so
// the factory-data stage finds no factory template to build the board's factory archive from
// and ends the job with 17; the installation itself is complete by then. (A job on a loaded
// package writes the factory data: bench_factory_area measures that stage.)
// BENCH_JOBS_MIB sets the image per board (default 512; the boardsim program keeps twelve
// times that in memory). Work files go to a folder in /tmp that is removed at the end.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/fw_entry.h"
#include "foundation/image_buffers.h"
#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "mkpackage/mkpackage.h"
#include "package/type_lists.h"
#include "platform/clock.h"
#include "platform/devices.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "programming/usb_hwsetting.h"
#include "station/slot_buttons.h"
#include "station/slot_jobs.h"
#include "usblink/flash_options.h"
#include "support/emmc_image.h"
#include "usblink/usb_device.h"

#ifndef STATION_BOARDSIM_PATH
#define STATION_BOARDSIM_PATH "boardsim"
#endif

namespace {

namespace fs = std::filesystem;
using namespace station;

constexpr double kUsb2BytesPerSecond = 53e6;
constexpr uint64_t kGiB = 1ull << 30;
constexpr double kFactoryPauseS = 1.0;

uint64_t ImageBytes() {
  const char* v = std::getenv("BENCH_JOBS_MIB");
  const uint64_t mib = v && *v ? std::strtoull(v, nullptr, 10) : 512;
  return (mib ? mib : 512) << 20;
}

struct WorkFolders {
  WorkFolders() {
    char tmpl[] = "/tmp/bench-jobs-XXXXXX";
    root = mkdtemp(tmpl);
    for (const char* d : {"/dev", "/temp", "/station", "/run"}) fs::create_directories(root + d);
    setenv("USB_DEVICE_ROOT", (root + "/dev").c_str(), 1);
    setenv("TEMP", (root + "/temp").c_str(), 1);
    setenv("STATION_RUNTIME_DIR", (root + "/run").c_str(), 1);
    SetAppDir(root + "/station");
    mkpackage::InstallStationFiles(root + "/station");
  }
  ~WorkFolders() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  std::string root;
};

void ChooseEmmc() {
  StationState& s = state();
  s.mainDlg.SetText(kFlashTypeList, "EMMC");
  s.mainDlg.SetText(kDdrTypeList, "2DDR4_1GB");
  GetDdrFolderName(1);
  s.mainDlg.SetText(kImagePathEdit, "install.img");
  ui::Dialog& d = s.optionsDlg;
  d.SetText(option_id::kFlashType, "2");
  d.SetText(option_id::kTransmissionSizeK, "256");
  d.SetText(option_id::kOneWriteSizeM, "16");
}

// The boardsim program with twelve eMMC boards; false when their nodes do not appear.
struct SimulatedBoards {
  explicit SimulatedBoards(uint64_t bytes) {
    const std::string mib = std::to_string((0x4000000 + bytes) / (1 << 20) + 64);
    int fds[2];
    if (pipe(fds) != 0) return;
    input = fds[1];
    // The program reads its commands from standard input: hand it the pipe's read end.
    const int saved = dup(0);
    dup2(fds[0], 0);
    pid = plat::SpawnProcess(STATION_BOARDSIM_PATH, {"boardsim", "--boards", "12", "--flash", "emmc", "--emmc-mib", mib}, "");
    dup2(saved, 0);
    close(saved);
    close(fds[0]);
  }
  bool Ready() const {
    plat::RealClock real;
    for (int i = 0; i < 3000; ++i) {
      std::vector<std::string> nodes;
      plat::ListDevices(kUsbClassGuid, nodes);
      if (nodes.size() == kSlotCount) return true;
      real.SleepMs(10);
    }
    return false;
  }
  ~SimulatedBoards() {
    if (input >= 0) {
      [[maybe_unused]] ssize_t w = write(input, "quit\n", 5);
      close(input);
    }
    if (pid > 0 && plat::WaitProcess(pid, 20000) != plat::WaitOutcome::Exited) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  pid_t pid = -1;
  int input = -1;
};

void BM_TwelveJobs(benchmark::State& st) {
  const uint64_t bytes = ImageBytes();
  double wall = 0, cpu = 0;
  int notDone = 0;
  for (auto _ : st) {
    st.PauseTiming();
    SimulatedBoards boards(bytes);
    if (!boards.Ready()) {
      st.SkipWithError("the simulated boards did not appear");
      break;
    }
    std::vector<std::string> nodes;
    plat::ListDevices(kUsbClassGuid, nodes);
    for (int slot = 0; slot < kSlotCount; ++slot) {
      SetSlotDevicePath(slot, nodes[slot]);
      state().HwsettingPending[slot] = 1;
      SetDeviceLogText(slot, "");
    }
    st.ResumeTiming();

    const double cpu0 = benchsupport::CpuSeconds(RUSAGE_SELF);
    const auto t0 = std::chrono::steady_clock::now();
    for (int slot = 0; slot < kSlotCount; ++slot) OnSlotButton(slot);
    plat::RealClock real;
    for (int slot = 0; slot < kSlotCount; ++slot)
      while (SlotJobRunning(slot)) real.SleepMs(5);
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cpu += benchsupport::CpuSeconds(RUSAGE_SELF) - cpu0;

    st.PauseTiming();
    StopAllSlotJobs();
    for (int slot = 0; slot < kSlotCount; ++slot) {
      // With no factory template the job ends in its factory stage (17), after the whole
      // installation; anything else is a failure.
      if (state().SlotResult[slot].load() != 17) ++notDone;
      SetDeviceLogText(slot, "");
    }
    st.ResumeTiming();
  }
  if (notDone) st.SkipWithError((std::to_string(notDone) + " jobs did not finish their installation").c_str());
  const double runs = static_cast<double>(st.iterations());
  const double usb2 = static_cast<double>(bytes) / kUsb2BytesPerSecond;
  st.counters["wall_s"] = wall / runs;
  st.counters["usb2_s"] = usb2;
  st.counters["wall_per_usb2"] = (wall / runs) / usb2;
  st.counters["fixed_waits_s"] = kHwsettingSettleMs / 1000.0 + kSlotCount * kFactoryPauseS;
  st.counters["station_cpu_s_per_GiB"] = cpu / (static_cast<double>(bytes) * kSlotCount / kGiB * runs);
  st.SetBytesProcessed(static_cast<int64_t>(bytes * kSlotCount * st.iterations()));
}

BENCHMARK(BM_TwelveJobs)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  {
    WorkFolders folders;
    ui::ScopedHeadlessHost host;
    ScopedStation station;
    CreateNamedMutexes(*station);
    FreeImageBuffers();
    benchsupport::LoadEmmcImage(ImageBytes());
    ChooseEmmc();
    benchmark::RunSpecifiedBenchmarks();
    StopAllSlotJobs();
    FreeImageBuffers();
  }
  benchmark::Shutdown();
  return 0;
}

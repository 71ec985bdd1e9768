// The send routine moving a 256 MiB buffer to simulated eMMC boards, 256 KiB per chunk, with
// every log line it writes into the slot's log. Reported per run:
//   MB_per_s (or the aggregate over all boards)  bytes sent per wall second, 10^6 bytes per MB
//   station_cpu_s_per_GiB  CPU of the sending threads (getrusage RUSAGE_THREAD) per GiB sent;
//                          the simulated boards run in threads of their own and are not counted
// BENCH_SEND_MIB sets the buffer size (default 256). Each board is sent the buffer once before
// anything is timed, so that the simulator has taken its memory. Device nodes go to a folder in
// /tmp that is removed at the end.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "boardsim/board_sim.h"
#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "platform/device_nodes.h"
#include "usblink/send_routine.h"
#include "usblink/usb_device.h"

namespace {

namespace fs = std::filesystem;
using namespace station;

constexpr uint64_t kGiB = 1ull << 30;
constexpr int32_t kUnit = 256 * 1024;
constexpr uint32_t kRange = 32u << 20;  // "One write size (M)" of 32

uint64_t BufferBytes() {
  const char* v = std::getenv("BENCH_SEND_MIB");
  const uint64_t mib = v && *v ? std::strtoull(v, nullptr, 10) : 256;
  return (mib ? mib : 256) << 20;
}

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }
double ThreadCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

// The device root, the station state with its logs, the buffer and up to twelve boards, made
// once for the whole program.
struct Bench {
  fs::path root = fs::temp_directory_path() / ("bench-send-" + std::to_string(getpid()));
  ScopedStation station;
  std::vector<uint8_t> data;
  std::vector<std::unique_ptr<boardsim::Board>> boards;
  std::vector<DevHandle> handles;

  Bench() {
    fs::remove_all(root);
    fs::create_directories(root);
    setenv("USB_DEVICE_ROOT", root.c_str(), 1);
    data.resize(BufferBytes());
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i + 8 <= data.size(); i += 8) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      std::memcpy(&data[i], &x, 8);
    }
  }
  ~Bench() {
    for (DevHandle& h : handles) CloseDevice(h);
    boards.clear();
    fs::remove_all(root);
  }

  // The first `n` boards, plugged in and opened.
  bool Boards(size_t n) {
    while (boards.size() < n) {
      boardsim::BoardConfig c;
      c.flash = boardsim::FlashKind::Emmc;
      c.emmcBytes = data.size() + (1u << 20);
      c.requireDdrEnable = false;
      auto b = std::make_unique<boardsim::Board>(c);
      const std::string path =
          b->Plug(plat::ClassFolder(kUsbClassGuid), "bench-" + std::to_string(boards.size()));
      DevHandle h = path.empty() ? kInvalidHandle : OpenUsbDevice(path.c_str());
      if (h == kInvalidHandle) return false;
      boards.push_back(std::move(b));
      handles.push_back(h);
      // One send first, so that the simulated board has taken its memory before anything is timed.
      double cpu = 0;
      if (Send(handles.size() - 1, cpu) != kResultOk) return false;
      SetDeviceLogText(static_cast<int>(handles.size() - 1), "");
    }
    return true;
  }

  // One whole send to board `i` from slot `i`; the slot's CPU seconds.
  ResultCode Send(size_t i, double& cpu) {
    int64_t size = static_cast<int64_t>(data.size());
    const double before = ThreadCpuSeconds();
    ResultCode rc = PerformReadTest(handles[i], 0xF4, 1, 0, data.data(), &size, 0, 0, 0, 0, kUnit, 2, 0, kRange,
                                    0, 0, 0, nullptr, nullptr, static_cast<int32_t>(i));
    cpu = ThreadCpuSeconds() - before;
    return size == 0 ? rc : -1;
  }
};

Bench& TheBench() {
  static Bench b;
  return b;
}

void BM_SendOneBoard(benchmark::State& state) {
  Bench& b = TheBench();
  if (!b.Boards(1)) return state.SkipWithError("no board");
  double cpu = 0;
  uint64_t sent = 0;
  for (auto _ : state) {
    double c = 0;
    if (b.Send(0, c) != kResultOk) return state.SkipWithError("send failed");
    cpu += c;
    sent += b.data.size();
    state.PauseTiming();
    SetDeviceLogText(0, "");
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(sent));
  state.counters["MB_per_s"] = benchmark::Counter(static_cast<double>(sent) / 1e6, benchmark::Counter::kIsRate);
  state.counters["station_cpu_s_per_GiB"] = cpu / (static_cast<double>(sent) / kGiB);
}

void BM_SendTwelveBoards(benchmark::State& state) {
  constexpr size_t kBoards = kSlotCount;
  Bench& b = TheBench();
  if (!b.Boards(kBoards)) return state.SkipWithError("no boards");
  double cpu = 0;
  uint64_t sent = 0;
  for (auto _ : state) {
    std::vector<double> cpus(kBoards);
    std::atomic<int> failed{0};
    const auto start = std::chrono::steady_clock::now();
    {
      std::vector<std::jthread> threads;
      for (size_t i = 0; i < kBoards; ++i)
        threads.emplace_back([&, i] {
          if (b.Send(i, cpus[i]) != kResultOk) ++failed;
        });
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(wall);
    if (failed) return state.SkipWithError("send failed");
    for (double c : cpus) cpu += c;
    sent += kBoards * b.data.size();
    for (size_t i = 0; i < kBoards; ++i) SetDeviceLogText(static_cast<int>(i), "");
  }
  state.SetBytesProcessed(static_cast<int64_t>(sent));
  state.counters["aggregate_MB_per_s"] =
      benchmark::Counter(static_cast<double>(sent) / 1e6, benchmark::Counter::kIsRate);
  state.counters["station_cpu_s_per_GiB"] = cpu / (static_cast<double>(sent) / kGiB);
}

BENCHMARK(BM_SendOneBoard)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);
BENCHMARK(BM_SendTwelveBoards)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);

}  // namespace

BENCHMARK_MAIN();

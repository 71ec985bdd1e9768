// The same transfer through both backends of the device layer: the send routine moving a
// buffer to a simulated eMMC board in 256 KiB chunks, once to the board's device node and
// once to the same kind of board on an emulated USB bus through libusb. Reported per run:
//   MB_per_s               bytes sent per wall second, 10^6 bytes per MB
//   station_cpu_s_per_GiB  CPU of the station per GiB sent: the sending thread, and on the bus
//                          also the thread that handles libusb's events; the simulated board,
//                          and on the bus the emulation of the kernel's usbfs, run in threads of
//                          their own and are not counted
// BENCH_SEND_MIB sets the buffer size (default 128). The emulated bus is umockdev in this
// process: every transfer crosses a socket to reach the emulation, so its figures are those of
// the station's code path, not those of a real host controller. The program starts itself again
// under umockdev's preload library.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/board_sim.h"
#include "boardsim/usb_emulation.h"
#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "platform/device_nodes.h"
#include "platform/usb_bus.h"
#include "usblink/send_routine.h"
#include "usblink/usb_device.h"

namespace {

const bool kEmulated = boardsim::UseUsbEmulation();

namespace fs = std::filesystem;
using namespace station;

constexpr uint64_t kGiB = 1ull << 30;
constexpr int32_t kUnit = 256 * 1024;
constexpr uint32_t kRange = 32u << 20;

uint64_t BufferBytes() {
  const char* v = std::getenv("BENCH_SEND_MIB");
  const uint64_t mib = v && *v ? std::strtoull(v, nullptr, 10) : 128;
  return (mib ? mib : 128) << 20;
}

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }
double ThreadCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}

// CPU seconds of this process's threads of that name, from /proc.
double NamedThreadsCpuSeconds(const std::string& name) {
  double total = 0;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/self/task", ec)) {
    std::ifstream comm(task.path() / "comm");
    std::string n;
    std::getline(comm, n);
    if (n != name) continue;
    std::ifstream stat(task.path() / "stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = all.rfind(')');
    if (close == std::string::npos) continue;
    std::vector<std::string> fields;
    std::string f;
    for (char c : all.substr(close + 2)) {
      if (c == ' ') {
        fields.push_back(f);
        f.clear();
      } else {
        f += c;
      }
    }
    if (fields.size() > 12) total += (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / tick;
  }
  return total;
}

boardsim::BoardConfig Emmc(uint64_t bytes) {
  boardsim::BoardConfig c;
  c.flash = boardsim::FlashKind::Emmc;
  c.emmcBytes = bytes + (1u << 20);
  c.requireDdrEnable = false;
  return c;
}

struct Bench {
  fs::path root = fs::temp_directory_path() / ("bench-usb-" + std::to_string(getpid()));
  ScopedStation station;
  std::vector<uint8_t> data;
  std::unique_ptr<boardsim::Board> nodeBoard, busBoard;
  std::unique_ptr<boardsim::EmulatedBus> bus;
  DevHandle node = kInvalidHandle, usb = kInvalidHandle;

  Bench() {
    fs::remove_all(root);
    fs::create_directories(root);
    setenv("USB_DEVICE_ROOT", (root / "devices").c_str(), 1);
    data.resize(BufferBytes());
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i + 8 <= data.size(); i += 8) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      std::memcpy(&data[i], &x, 8);
    }
    nodeBoard = std::make_unique<boardsim::Board>(Emmc(data.size()));
    const std::string nodePath = nodeBoard->Plug(plat::ClassFolder(kUsbClassGuid), "bench-node");
    node = nodePath.empty() ? kInvalidHandle : OpenUsbDevice(nodePath.c_str());
    if (!kEmulated) return;
    const boardsim::UsbDeviceDescription d;
    std::ofstream((root / "usb_boards.ini").string())
        << "[Board1]\nVendorId=" << std::hex << d.vendor << "\nProductId=" << d.product << "\n";
    plat::BindUsbClass(kUsbClassGuid, (root / "usb_boards.ini").string());
    bus = std::make_unique<boardsim::EmulatedBus>((root / "usb-nodes").string());
    busBoard = std::make_unique<boardsim::Board>(Emmc(data.size()));
    const std::string path = bus->PlugBoard("1-1", *busBoard).stationPath();
    usb = OpenUsbDevice(path.c_str());
  }
  ~Bench() {
    CloseDevice(node);
    CloseDevice(usb);
    bus.reset();
    busBoard.reset();
    nodeBoard.reset();
    plat::BindUsbClass("", "");
    fs::remove_all(root);
  }

  // One whole send; the station's CPU seconds for it.
  ResultCode Send(DevHandle h, double& cpu) {
    int64_t size = static_cast<int64_t>(data.size());
    const double before = ThreadCpuSeconds() + NamedThreadsCpuSeconds(plat::kUsbEventThreadName);
    ResultCode rc = PerformReadTest(h, 0xF4, 1, 0, data.data(), &size, 0, 0, 0, 0, kUnit, 2, 0, kRange, 0, 0, 0,
                                    nullptr, nullptr, 0);
    cpu = ThreadCpuSeconds() + NamedThreadsCpuSeconds(plat::kUsbEventThreadName) - before;
    SetDeviceLogText(0, "");
    return size == 0 ? rc : -1;
  }
};

Bench& TheBench() {
  static Bench b;
  return b;
}

void Run(benchmark::State& state, DevHandle Bench::*which) {
  Bench& b = TheBench();
  const DevHandle h = b.*which;
  if (h == kInvalidHandle) return state.SkipWithError("no board");
  double warm = 0;
  if (b.Send(h, warm) != kResultOk) return state.SkipWithError("send failed");  // the board takes its memory
  double cpu = 0;
  uint64_t sent = 0;
  for (auto _ : state) {
    double c = 0;
    if (b.Send(h, c) != kResultOk) return state.SkipWithError("send failed");
    cpu += c;
    sent += b.data.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(sent));
  state.counters["MB_per_s"] = benchmark::Counter(static_cast<double>(sent) / 1e6, benchmark::Counter::kIsRate);
  state.counters["station_cpu_s_per_GiB"] = cpu / (static_cast<double>(sent) / kGiB);
}

void BM_SendThroughDeviceNode(benchmark::State& state) { Run(state, &Bench::node); }
void BM_SendThroughLibusb(benchmark::State& state) { Run(state, &Bench::usb); }

BENCHMARK(BM_SendThroughDeviceNode)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);
BENCHMARK(BM_SendThroughLibusb)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);

}  // namespace

BENCHMARK_MAIN();

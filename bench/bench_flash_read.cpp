// Read-back speed: a range of a simulated eMMC read into the slot's read-back file, and the
// read-back file compared with the buffer that was sent.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "boardsim/board_sim.h"
#include "foundation/file_utils.h"
#include "foundation/station_state.h"
#include "platform/clock.h"
#include "usblink/compare_mode.h"
#include "usblink/flash_read.h"
#include "usblink/usb_device.h"

namespace {

constexpr int kSlot = 0;
constexpr uint64_t kRange = 64ull << 20;

struct Rig {
  Rig() {
    const char* tmp = std::getenv("TMPDIR");
    folder = std::filesystem::path(tmp && *tmp ? tmp : "/tmp") / ("bench-readback-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    setenv("TEMP", folder.c_str(), 1);
    boardsim::BoardConfig cfg;
    cfg.flash = boardsim::FlashKind::Emmc;
    cfg.emmcBytes = kRange;
    board = std::make_unique<boardsim::Board>(cfg);
    data.resize(kRange);
    for (uint64_t i = 0; i < kRange; ++i) data[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
    board->WriteFlash(0, data);
    handle = station::OpenUsbDevice(board->Plug((folder / "dev").string(), "b0").c_str());
    info.FlashType = 2;
  }
  ~Rig() {
    station::CloseDevice(handle);
    board.reset();
    std::filesystem::remove_all(folder);
    unsetenv("TEMP");
  }

  // The retrying delete's waits are station behaviour, not read speed: they run on a fast clock.
  plat::ScopedFastClock clock;
  station::ScopedStation station;
  std::filesystem::path folder;
  std::unique_ptr<boardsim::Board> board;
  std::vector<uint8_t> data;
  station::DevHandle handle = station::kInvalidHandle;
  station::FlashInfo info{};
};

void BM_ReadDeviceToFile(benchmark::State& state) {
  Rig rig;
  for (auto _ : state) {
    if (station::ReadDeviceToFile(rig.handle, 0, kRange, &rig.info, kSlot) != station::kResultOk) {
      state.SkipWithError("read failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRange));
}
BENCHMARK(BM_ReadDeviceToFile)->Unit(benchmark::kMillisecond);

void BM_CompareFlashData(benchmark::State& state) {
  Rig rig;
  const std::string path = station::ReadBackFilePath(kSlot);
  for (auto _ : state) {
    state.PauseTiming();
    station::WriteBufToFile(path, rig.data.data(), rig.data.size());
    state.ResumeTiming();
    if (station::CompareFlashData(rig.data.data(), static_cast<int64_t>(kRange), kSlot) != station::kResultOk) {
      state.SkipWithError("compare failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRange));
}
BENCHMARK(BM_CompareFlashData)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

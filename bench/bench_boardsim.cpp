// Throughput of the board simulator: a client writes an eMMC in 256 KiB chunks over the node,
// one exchange per chunk (wrapper, data, status), as the station's send routine does.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "boardsim/board_sim.h"
#include "foundation/crc32.h"
#include "platform/device_nodes.h"

namespace {

constexpr uint32_t kChunk = 256u << 10;
constexpr uint64_t kTotal = 256ull << 20;

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

struct Rig {
  Rig() {
    folder = std::filesystem::temp_directory_path() / ("bench-boardsim-" + std::to_string(getpid()));
    boardsim::BoardConfig cfg;
    cfg.flash = boardsim::FlashKind::Emmc;
    cfg.emmcBytes = kTotal;
    cfg.requireDdrEnable = false;
    board = std::make_unique<boardsim::Board>(cfg);
    const std::string path = board->Plug(folder.string(), "bench");
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    image.resize(kTotal);
    for (uint64_t i = 0; i < kTotal; i += 8) {
      const uint64_t v = i * 0x9E3779B97F4A7C15ull;
      std::memcpy(&image[i], &v, 8);
    }
    for (uint64_t off = 0; off < kTotal; off += kChunk) crcs.push_back(station::Crc32(&image[off], kChunk));
  }
  ~Rig() {
    close(fd);
    board.reset();
    std::filesystem::remove_all(folder);
  }

  // One transfer of the whole image; false when the board refused a chunk.
  bool Transfer(bool computeCrc) {
    uint8_t w[43];
    std::vector<uint8_t> status;
    const uint64_t chunks = kTotal / kChunk;
    for (uint64_t k = 0; k < chunks; ++k) {
      const uint8_t* data = &image[k * kChunk];
      std::memset(w, 0, sizeof w);
      Put32(w, 0x43425355);
      Put32(w + 4, 0x12345678);
      Put32(w + 8, kChunk);
      w[13] = k == 0 ? 1 : (k + 1 == chunks ? 3 : 0);
      w[14] = 28;
      w[15] = 0xF4;
      w[16] = 1;
      Put32(w + 17, 0);  // sector 0: the run's start
      w[22] = 2;         // eMMC
      Put32(w + 39, computeCrc ? station::Crc32(data, kChunk) : crcs[k]);
      if (!plat::WriteFrame(fd, w, sizeof w) || !plat::WriteFrame(fd, data, kChunk)) return false;
      if (plat::ReadFrame(fd, status, 5000) != plat::FrameResult::Ok || status.size() != 50 || status[13] != 0) {
        return false;
      }
    }
    return true;
  }

  std::filesystem::path folder;
  std::unique_ptr<boardsim::Board> board;
  int fd = -1;
  bool ok = false;
  std::vector<uint8_t> image;
  std::vector<uint32_t> crcs;
};

void Run(benchmark::State& state, bool computeCrc) {
  static Rig rig;
  if (!rig.ok) {
    state.SkipWithError("no connection to the simulated board");
    return;
  }
  for (auto _ : state) {
    if (!rig.Transfer(computeCrc)) {
      state.SkipWithError("the board refused a chunk");
      return;
    }
    state.PauseTiming();
    rig.board->clearExchanges();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTotal));
}

// The board's side alone: the client's CRCs are computed beforehand.
void BM_Emmc256MiBIn256KiBChunks_BoardOnly(benchmark::State& state) { Run(state, false); }
// With the client computing each chunk's CRC as the station does.
void BM_Emmc256MiBIn256KiBChunks_WithClientCrc(benchmark::State& state) { Run(state, true); }

BENCHMARK(BM_Emmc256MiBIn256KiBChunks_BoardOnly)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Emmc256MiBIn256KiBChunks_WithClientCrc)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

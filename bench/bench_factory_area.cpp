// The factory-data stage of an eMMC job with "burn factory", "burn se_storage" and "en ktee":
// the board makes its key, the storage archive and the factory archive are built with the
// key-bag tools and GNU tar, and the storage area and the two factory copies are each written
// with the vendor write and read back. Simulated boards are served in this process; the
// station runs on real time, every wait in full, through a clock that keeps an account of
// them. The stage is run as a job runs it: under "MY_MUTEX_FACTORY", its pause, then the
// factory-area writer.
//
// BM_FactoryStage: one board at a time, a fresh one for each run (the reported time is the
// stage's). Per board:
//   stage_s          pause and writer
//   write_s          the writer alone
//   pause_s          the stage's own pause before the writer
//   writer_waits_s   the clock waits inside the writer (the file utilities wait 500 ms after
//                    each try of a delete, copy or move, one step longer each further round)
//   writer_wait_n    how many such waits
//   fixed_waits_s    pause_s + writer_waits_s
//   fixed_share      fixed_waits_s / stage_s
//   work_s           stage_s - fixed_waits_s: tools, archives, transfers
// BM_TwelveBoards: twelve boards, one thread per slot, all started at once; each thread holds
// the factory mutex while it runs the stage, so the boards pass one after the other.
//   wall_s           from the start to the end of the last stage
//   wall_per_board_s wall_s / 12
//   fixed_waits_s    all clock waits of the twelve stages (they never overlap)
//   fixed_share      fixed_waits_s / wall_s
// BENCH_FACTORY_RUNS sets the runs of BM_FactoryStage (default 3). Work files go to a folder
// in /tmp that is removed at the end.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "factory/factory_area.h"
#include "foundation/log_boxes.h"
#include "foundation/result_messages.h"
#include "foundation/station_state.h"
#include "platform/clock.h"
#include "platform/named_mutex.h"
#include "platform/ui.h"
#include "support/counting_clock.h"
#include "support/factory_station.h"

namespace {

using namespace station;
using Seconds = std::chrono::duration<double>;

constexpr int64_t kFactoryPauseMs = 1000;  // the job's pause under the mutex, before the writer

benchsupport::CountingClock* g_clock = nullptr;

int Runs() {
  const char* v = std::getenv("BENCH_FACTORY_RUNS");
  const int n = v && *v ? std::atoi(v) : 0;
  return n > 0 ? n : 3;
}

BurnOption KeyRoad() {
  BurnOption o;
  o.burnFactory = 1;
  o.useSecureStorage = 1;
  return o;
}

struct StageTimes {
  ResultCode result = 0;
  double pauseS = 0, writeS = 0;
};

// What a job's factory stage does once its board is installed.
StageTimes RunStage(benchsupport::FactoryBoard& board, const BurnOption& option) {
  StageTimes t;
  plat::NamedMutexLock factory(state().MutexFactory);
  if (!factory.locked()) {
    t.result = kResultStopped;
    return t;
  }
  PrintLog("thread number [%d] \r\n", board.slot());
  PrintDeviceLog(board.slot(), "thread number [%d] \r\n", board.slot());
  const auto t0 = std::chrono::steady_clock::now();
  plat::clock().SleepMs(kFactoryPauseMs);
  const auto t1 = std::chrono::steady_clock::now();
  t.result = WriteFactoryArea(board.slot(), board.dev(), board.info(), option, board.bbt());
  const auto t2 = std::chrono::steady_clock::now();
  t.pauseS = Seconds(t1 - t0).count();
  t.writeS = Seconds(t2 - t1).count();
  return t;
}

void ClearLogs() {
  for (int slot = 0; slot < kSlotCount; ++slot) SetDeviceLogText(slot, "");
}

void BM_FactoryStage(benchmark::State& st) {
  constexpr int kSlot = 0;
  double stage = 0, write = 0, pause = 0, writerWaits = 0;
  int64_t writerWaitCalls = 0;
  int failed = 0;
  for (auto _ : st) {
    auto board = std::make_unique<benchsupport::FactoryBoard>(kSlot);
    if (!board->ok()) {
      st.SkipWithError("the simulated board could not be opened");
      break;
    }
    ClearLogs();
    g_clock->Reset();
    const StageTimes t = RunStage(*board, KeyRoad());
    const benchsupport::WaitTally waits = g_clock->Total();
    if (t.result != kResultDone) ++failed;
    st.SetIterationTime(t.pauseS + t.writeS);
    stage += t.pauseS + t.writeS;
    write += t.writeS;
    pause += t.pauseS;
    writerWaits += waits.waitedS - t.pauseS;
    writerWaitCalls += waits.calls - 1;
    board.reset();
  }
  if (failed) {
    const std::string why = std::to_string(failed) + " stages did not end in success; slot log:\n" + DeviceLogText(kSlot);
    st.SkipWithError(why.c_str());
  }
  const double runs = static_cast<double>(st.iterations());
  if (runs == 0) return;
  const double fixed = (pause + writerWaits) / runs;
  st.counters["stage_s"] = stage / runs;
  st.counters["write_s"] = write / runs;
  st.counters["pause_s"] = pause / runs;
  st.counters["writer_waits_s"] = writerWaits / runs;
  st.counters["writer_wait_n"] = static_cast<double>(writerWaitCalls) / runs;
  st.counters["fixed_waits_s"] = fixed;
  st.counters["fixed_share"] = fixed / (stage / runs);
  st.counters["work_s"] = stage / runs - fixed;
}

void BM_TwelveBoards(benchmark::State& st) {
  double wall = 0, fixed = 0;
  int failed = 0;
  for (auto _ : st) {
    std::vector<std::unique_ptr<benchsupport::FactoryBoard>> boards;
    for (int slot = 0; slot < kSlotCount; ++slot) {
      boards.push_back(std::make_unique<benchsupport::FactoryBoard>(slot));
      if (!boards.back()->ok()) {
        st.SkipWithError("a simulated board could not be opened");
        return;
      }
    }
    ClearLogs();
    g_clock->Reset();
    std::vector<ResultCode> results(kSlotCount, 0);
    const auto t0 = std::chrono::steady_clock::now();
    {
      std::vector<std::jthread> threads;
      for (int slot = 0; slot < kSlotCount; ++slot)
        threads.emplace_back([&, slot] { results[slot] = RunStage(*boards[slot], KeyRoad()).result; });
    }
    const double w = Seconds(std::chrono::steady_clock::now() - t0).count();
    st.SetIterationTime(w);
    wall += w;
    fixed += g_clock->Total().waitedS;
    for (ResultCode r : results) failed += r != kResultDone;
  }
  if (failed) st.SkipWithError((std::to_string(failed) + " of the stages did not end in success").c_str());
  const double runs = static_cast<double>(st.iterations());
  if (runs == 0) return;
  st.counters["wall_s"] = wall / runs;
  st.counters["wall_per_board_s"] = wall / runs / kSlotCount;
  st.counters["fixed_waits_s"] = fixed / runs;
  st.counters["fixed_share"] = fixed / wall;
}

// Given runs: each stage spends a key of the bag, which is made before the first.
BENCHMARK(BM_FactoryStage)->Iterations(Runs())->Unit(benchmark::kSecond)->UseManualTime();
BENCHMARK(BM_TwelveBoards)->Iterations(1)->Unit(benchmark::kSecond)->UseManualTime();

// The clock's waits by asked length, for a look at where the fixed time goes.
void PrintWaits(const char* title, const benchsupport::CountingClock& c) {
  std::fprintf(stderr, "%s\n", title);
  for (const auto& [ms, t] : c.ByLength())
    std::fprintf(stderr, "  %6lld ms x %4lld  waited %8.3f s\n", static_cast<long long>(ms),
                 static_cast<long long>(t.calls), t.waitedS);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  int status = 0;
  {
    // One key for each stage the benchmarks can run, and some to spare.
    benchsupport::FactoryStation folders(Runs() + kSlotCount + 8);
    ui::ScopedHeadlessHost host;
    ScopedStation station;
    if (folders.error().empty()) folders.Attach(*station);
    if (!folders.error().empty()) {
      std::fprintf(stderr, "bench_factory_area: %s\n", folders.error().c_str());
      status = 1;
    } else {
      benchsupport::ScopedCountingClock counting;
      g_clock = &counting.get();
      benchmark::RunSpecifiedBenchmarks();
      PrintWaits("clock waits of the last run, by asked length:", counting.get());
      g_clock = nullptr;
    }
  }
  benchmark::Shutdown();
  return status;
}

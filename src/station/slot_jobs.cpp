#include "station/slot_jobs.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "foundation/station_state.h"
#include "platform/clock.h"
#include "station/programming_job.h"
#include "station/slot_buttons.h"

namespace station {

namespace {

bool ValidSlot(int slot) { return slot >= 0 && slot < kSlotCount; }

// One starter per slot: it hands the slot's thread over from the old job to the new one.
struct SlotStarter {
  std::mutex lock;
  std::atomic<uint64_t> starts{0};
  std::atomic<int> running{0};
  // Says "the board has gone" to the jobs started since the slot's board last left.
  std::stop_source removed;
  // Signalled whenever a job of the slot ends.
  std::mutex endedLock;
  std::condition_variable_any ended;
};
std::array<SlotStarter, kSlotCount> g_starters;

void JobEnded(SlotStarter& starter) {
  {
    std::lock_guard g(starter.endedLock);
    starter.running.fetch_sub(1);
  }
  starter.ended.notify_all();
}

}  // namespace

bool StartSlotJob(int slot) {
  if (!ValidSlot(slot)) return false;
  SlotStarter& starter = g_starters[slot];
  StationState& s = state();
  std::lock_guard g(starter.lock);
  std::jthread previous = std::move(s.jobThreads[slot]);
  previous.request_stop();
  starter.running.fetch_add(1);
  starter.starts.fetch_add(1);
  if (starter.removed.stop_requested()) starter.removed = std::stop_source();
  s.jobThreads[slot] = std::jthread(
      [slot, &starter, removed = starter.removed.get_token(), previous = std::move(previous)](std::stop_token stop) mutable {
        if (previous.joinable()) previous.join();
        if (!stop.stop_requested() && !removed.stop_requested()) {
          PrepareSlotForJob(slot);
          ThreadProgramDevice(slot, stop, removed);
        }
        JobEnded(starter);
      });
  return true;
}

bool EndSlotJobOfRemovedBoard(int slot, int64_t boundMs) {
  if (!ValidSlot(slot)) return true;
  SlotStarter& starter = g_starters[slot];
  {
    std::lock_guard g(starter.lock);
    starter.removed.request_stop();
  }
  std::unique_lock l(starter.endedLock);
  return starter.ended.wait_for(l, plat::CurrentWaitToken(), std::chrono::milliseconds(boundMs),
                                [&] { return starter.running.load() == 0; });
}

void StopSlotJob(int slot, bool wait) {
  if (!ValidSlot(slot)) return;
  SlotStarter& starter = g_starters[slot];
  std::jthread job;
  {
    std::lock_guard g(starter.lock);
    std::jthread& current = state().jobThreads[slot];
    current.request_stop();
    if (wait) job = std::move(current);
  }
  if (job.joinable()) job.join();
}

void StopAllSlotJobs() {
  for (int i = 0; i < kSlotCount; ++i) StopSlotJob(i, false);
  for (int i = 0; i < kSlotCount; ++i) StopSlotJob(i, true);
}

bool SlotJobRunning(int slot) { return ValidSlot(slot) && g_starters[slot].running.load() > 0; }

uint64_t SlotJobStarts(int slot) { return ValidSlot(slot) ? g_starters[slot].starts.load() : 0; }

}  // namespace station

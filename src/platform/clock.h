#pragma once
// Every wait of the station goes through one clock, so that tests can run it fast while the
// station keeps every wait its behaviour asks for.
#include <chrono>
#include <cstdint>
#include <atomic>
#include <stop_token>

namespace plat {

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic milliseconds since an arbitrary origin.
  virtual int64_t NowMs() = 0;
  // Wall-clock seconds since the epoch (time stamps in file names and history lines).
  virtual int64_t WallSeconds() = 0;
  // Waits `ms` milliseconds; returns false early when `stop` is requested.
  virtual bool SleepMs(int64_t ms, std::stop_token stop = {}) = 0;
  // Whole seconds of the monotonic clock, as the status wait measures its time-outs.
  int64_t NowSeconds() { return NowMs() / 1000; }
};

// Real time.
class RealClock : public Clock {
 public:
  int64_t NowMs() override;
  int64_t WallSeconds() override;
  bool SleepMs(int64_t ms, std::stop_token stop = {}) override;
};

// Test time: a sleep returns at once and moves the clock on by its length. Real time still
// passes underneath, so a clock that nobody sleeps on keeps moving.
class FastClock : public Clock {
 public:
  int64_t NowMs() override;
  int64_t WallSeconds() override;
  bool SleepMs(int64_t ms, std::stop_token stop = {}) override;
  int64_t SleptMs() const;  // total of all sleeps so far
  void Advance(int64_t ms);

 private:
  std::atomic<int64_t> offsetMs_{0};
};

// The process-wide clock: a RealClock unless a test installs another.
Clock& clock();
void SetClock(Clock* c);  // nullptr restores the real clock

// Installs a FastClock for the lifetime of the object.
class ScopedFastClock {
 public:
  ScopedFastClock() { SetClock(&fast_); }
  ~ScopedFastClock() { SetClock(nullptr); }
  FastClock& get() { return fast_; }

 private:
  FastClock fast_;
};

}  // namespace plat

#pragma once
// Real time that keeps an account of its waits: every SleepMs is waited in full (or until its
// stop), and its asked length and the real time it took are added to a tally by asked length.
// A benchmark installs one for its run to tell the station's fixed waits from its work.
#include <cstdint>
#include <map>
#include <mutex>

#include "platform/clock.h"

namespace benchsupport {

struct WaitTally {
  int64_t calls = 0;
  int64_t askedMs = 0;   // what the callers asked for
  double waitedS = 0;    // real seconds spent inside the waits
  WaitTally& operator+=(const WaitTally& o) {
    calls += o.calls;
    askedMs += o.askedMs;
    waitedS += o.waitedS;
    return *this;
  }
};

class CountingClock : public plat::RealClock {
 public:
  // The waits so far, by asked length in milliseconds.
  std::map<int64_t, WaitTally> ByLength() const;
  WaitTally Total() const;
  void Reset();

 protected:
  bool Sleep(int64_t ms, std::stop_token stop) override;

 private:
  mutable std::mutex m_;
  std::map<int64_t, WaitTally> byLength_;
};

// Installs a CountingClock as the process-wide clock for the lifetime of the object.
class ScopedCountingClock {
 public:
  ScopedCountingClock() { plat::SetClock(&clock_); }
  ~ScopedCountingClock() { plat::SetClock(nullptr); }
  ScopedCountingClock(const ScopedCountingClock&) = delete;
  ScopedCountingClock& operator=(const ScopedCountingClock&) = delete;
  CountingClock& get() { return clock_; }

 private:
  CountingClock clock_;
};

}  // namespace benchsupport

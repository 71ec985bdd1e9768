#pragma once
// Every wait of the station goes through one clock, so that tests can run it fast while the
// station keeps every wait its behaviour asks for. Every wait can also be ended by a stop
// request: a job thread sets its stop token as the thread's current one, and each wait that is
// given no token of its own takes that one.
//
// A job thread can also be told that the device it works with has gone. That ends its waits
// (sleeps, locks, message boxes) at once, but it is not a stop: transfers are not cut short and
// StopRequested() stays false, so the thread goes on and meets the device's absence at its next
// transfer, which fails as a transfer to a device that has gone fails.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stop_token>

namespace plat {

// The calling thread's current stop token (none unless a ScopedStopToken set one).
std::stop_token CurrentStopToken();
// True when the calling thread's current token has been asked to stop.
bool StopRequested();
// The token that ends the calling thread's waits: its stop token, or its device's removal.
std::stop_token CurrentWaitToken();
// True when the calling thread has been told that its device has gone.
bool DeviceRemoved();

// Makes `token` the calling thread's current stop token for the lifetime of the object, and
// `removed` the token that says the thread's device has gone.
class ScopedStopToken {
 public:
  explicit ScopedStopToken(std::stop_token token, std::stop_token removed = {});
  ~ScopedStopToken();
  ScopedStopToken(const ScopedStopToken&) = delete;
  ScopedStopToken& operator=(const ScopedStopToken&) = delete;

 private:
  // Asks the thread's wait source to stop when either token is asked.
  struct Forward {
    std::stop_source* waits;
    void operator()() const { waits->request_stop(); }
  };
  std::stop_token previousStop_, previousRemoved_, previousWaits_;
  std::stop_source waits_;
  std::optional<std::stop_callback<Forward>> onStop_, onRemoved_;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic milliseconds since an arbitrary origin.
  virtual int64_t NowMs() = 0;
  // Wall-clock seconds since the epoch (time stamps in file names and history lines).
  virtual int64_t WallSeconds() = 0;
  // Waits `ms` milliseconds; returns false early when `stop` (by default the calling thread's
  // wait token) is asked to stop, true when the whole wait passed.
  bool SleepMs(int64_t ms) { return Sleep(ms, CurrentWaitToken()); }
  bool SleepMs(int64_t ms, std::stop_token stop) { return Sleep(ms, stop); }
  // Whole seconds of the monotonic clock, as the status wait measures its time-outs.
  int64_t NowSeconds() { return NowMs() / 1000; }
  // Real milliseconds to wait for a peer that has said nothing yet, when the caller would wait
  // `timeoutMs` of this clock: on real time the time-out itself; a fast clock waits longer in
  // real time, since a peer that is merely slow to be scheduled is not a silent one.
  virtual int64_t PeerPatienceMs(int64_t timeoutMs) { return timeoutMs; }

 protected:
  virtual bool Sleep(int64_t ms, std::stop_token stop) = 0;
};

// Real time.
class RealClock : public Clock {
 public:
  int64_t NowMs() override;
  int64_t WallSeconds() override;

 protected:
  bool Sleep(int64_t ms, std::stop_token stop) override;
};

// Test time: a sleep returns at once and moves the clock on by its length. Real time still
// passes underneath, so a clock that nobody sleeps on keeps moving.
class FastClock : public Clock {
 public:
  int64_t NowMs() override;
  int64_t WallSeconds() override;
  int64_t SleptMs() const;  // total of all sleeps so far
  void Advance(int64_t ms);
  // A peer that has said nothing is waited for this long in real time (default 60 s).
  int64_t PeerPatienceMs(int64_t timeoutMs) override;
  void SetPeerPatienceMs(int64_t ms) { patienceMs_ = ms; }

 protected:
  bool Sleep(int64_t ms, std::stop_token stop) override;

 private:
  std::atomic<int64_t> offsetMs_{0};
  std::atomic<int64_t> patienceMs_{60000};
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

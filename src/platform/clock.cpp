#include "platform/clock.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace plat {

namespace {
int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
int64_t SystemSeconds() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

RealClock g_real;
std::atomic<Clock*> g_clock{&g_real};
thread_local std::stop_token t_stop;     // the thread's stop
thread_local std::stop_token t_removed;  // its device's removal
thread_local std::stop_token t_waits;    // either of them: what ends its waits
}  // namespace

std::stop_token CurrentStopToken() { return t_stop; }
bool StopRequested() { return t_stop.stop_requested(); }
std::stop_token CurrentWaitToken() { return t_waits; }
bool DeviceRemoved() { return t_removed.stop_requested(); }

ScopedStopToken::ScopedStopToken(std::stop_token token, std::stop_token removed)
    : previousStop_(t_stop), previousRemoved_(t_removed), previousWaits_(t_waits) {
  if (removed.stop_possible()) {
    onStop_.emplace(token, Forward{&waits_});
    onRemoved_.emplace(removed, Forward{&waits_});
    t_waits = waits_.get_token();
  } else {
    t_waits = token;
  }
  t_stop = std::move(token);
  t_removed = std::move(removed);
}

ScopedStopToken::~ScopedStopToken() {
  t_stop = std::move(previousStop_);
  t_removed = std::move(previousRemoved_);
  t_waits = std::move(previousWaits_);
}

int64_t RealClock::NowMs() { return SteadyMs(); }
int64_t RealClock::WallSeconds() { return SystemSeconds(); }

bool RealClock::Sleep(int64_t ms, std::stop_token stop) {
  if (ms <= 0) return !stop.stop_requested();
  std::mutex m;
  std::condition_variable_any cv;
  std::unique_lock lock(m);
  cv.wait_for(lock, stop, std::chrono::milliseconds(ms), [] { return false; });
  return !stop.stop_requested();
}

int64_t FastClock::NowMs() { return SteadyMs() + offsetMs_.load(); }
int64_t FastClock::WallSeconds() { return SystemSeconds() + offsetMs_.load() / 1000; }

bool FastClock::Sleep(int64_t ms, std::stop_token stop) {
  if (ms > 0) offsetMs_.fetch_add(ms);
  std::this_thread::yield();
  return !stop.stop_requested();
}

int64_t FastClock::PeerPatienceMs(int64_t timeoutMs) {
  const int64_t p = patienceMs_.load();
  return timeoutMs > p ? timeoutMs : p;
}

int64_t FastClock::SleptMs() const { return offsetMs_.load(); }
void FastClock::Advance(int64_t ms) { offsetMs_.fetch_add(ms); }

Clock& clock() { return *g_clock.load(); }
void SetClock(Clock* c) { g_clock.store(c ? c : &g_real); }

}  // namespace plat

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
thread_local std::stop_token t_stop;
}  // namespace

std::stop_token CurrentStopToken() { return t_stop; }
bool StopRequested() { return t_stop.stop_requested(); }

ScopedStopToken::ScopedStopToken(std::stop_token token) : previous_(t_stop) { t_stop = std::move(token); }
ScopedStopToken::~ScopedStopToken() { t_stop = std::move(previous_); }

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

#pragma once
// Shared test fixtures: a scratch folder per test, a fast clock, the headless host and a
// fresh station state.
#include <filesystem>
#include <functional>
#include <cstdint>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "foundation/station_state.h"
#include "platform/clock.h"
#include "platform/ui.h"

namespace testenv {

// A fresh empty folder under the build tree's scratch area, removed when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  std::filesystem::path operator/(const std::string& p) const { return path_ / p; }

 private:
  std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& p);
std::vector<uint8_t> ReadBytes(const std::filesystem::path& p);
void WriteFile(const std::filesystem::path& p, const std::string& content);
// How many times `part` stands in `text` (overlapping places counted).
int CountOf(const std::string& text, const std::string& part);

// Threads of this process and its open descriptors, as the kernel counts them: a test that
// must leave no thread or socket behind compares them before and after.
int ThreadCount();
int OpenDescriptorCount();

// Waits in real time, for work that other threads do (a watcher, a job, a simulated board),
// until `done` holds or `seconds` have passed; the last look decides.
template <class F>
bool Eventually(F done, int seconds = 20) {
  plat::RealClock real;
  for (int i = 0; i < seconds * 100; ++i) {
    if (done()) return true;
    real.SleepMs(10);
  }
  return done();
}

// Sets an environment variable for the lifetime of the object, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

// Sets the process's umask for the lifetime of the object (000: every bit a file is created
// with stays), then restores it.
class ScopedUmask {
 public:
  explicit ScopedUmask(unsigned mask);
  ~ScopedUmask();
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  unsigned old_;
};

// The permission bits of `p` itself (a link is not followed); -1 when it is not there.
int ModeOf(const std::filesystem::path& p);

// A fast clock for tools that hang: a child is given real time only until the file `marker`
// exists (the child writes it once it runs; at most 10 s of real time are waited for it), so
// that its time-out comes as soon as it has started, whatever the load of the machine.
class UntilStartedClock : public plat::FastClock {
 public:
  explicit UntilStartedClock(std::filesystem::path marker) : marker_(std::move(marker)) {}
  int64_t PeerPatienceMs(int64_t timeoutMs) override;

 private:
  std::filesystem::path marker_;
};

// Waits up to `seconds` of real time for `done` to hold; its last answer.
bool WaitRealSeconds(int seconds, const std::function<bool()>& done);

// A clock that runs `action` in the `nth` sleep of `ms` milliseconds, on the sleeping thread,
// before the sleep itself: a board can be pulled out exactly in a wait of the job or of the
// board. On top of the fast clock or of real time.
template <class Base>
class HookedClock : public Base {
 public:
  HookedClock(int64_t ms, std::function<void()> action, int nth = 1)
      : ms_(ms), left_(nth), action_(std::move(action)) {}

 protected:
  bool Sleep(int64_t ms, std::stop_token stop) override {
    std::function<void()> action;
    {
      std::lock_guard g(m_);
      if (ms == ms_ && --left_ == 0) action.swap(action_);
    }
    if (action) action();
    return Base::Sleep(ms, stop);
  }

 private:
  std::mutex m_;
  const int64_t ms_;
  int left_;
  std::function<void()> action_;
};

// Installs a clock for a scope, then `after` (the fixture's fast clock) again.
class ScopedClock {
 public:
  ScopedClock(plat::Clock& c, plat::Clock& after) : after_(after) { plat::SetClock(&c); }
  ~ScopedClock() { plat::SetClock(&after_); }

 private:
  plat::Clock& after_;
};

// Everything a station-logic test needs: fast clock, headless host, fresh state with its named
// mutexes (in a runtime folder of the test's own, so that parallel suites never meet).
struct StationFixture {
  StationFixture();
  plat::ScopedFastClock clock;
  ui::ScopedHeadlessHost host;
  station::ScopedStation station;
  ScratchDir dir;
  ScopedEnv runtime;
};

}  // namespace testenv

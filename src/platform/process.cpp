#include "platform/process.h"

#include <spawn.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/clock.h"

extern char** environ;

namespace plat {

namespace {
constexpr int64_t kPollMs = 10;
constexpr int kSliceMs = 50;
}

namespace {

int64_t RealMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string VariableName(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// The caller's environment with `extra` put over it.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const std::string entry = *e;
    const std::string name = VariableName(entry);
    const bool replaced = std::any_of(extra.begin(), extra.end(),
                                      [&](const std::string& x) { return VariableName(x) == name; });
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> Pointers(const std::vector<std::string>& words) {
  std::vector<char*> p;
  for (const std::string& w : words) p.push_back(const_cast<char*>(w.c_str()));
  p.push_back(nullptr);
  return p;
}

}  // namespace

pid_t SpawnProcess(const std::string& program, const std::vector<std::string>& argv,
                   const std::string& cwd) {
  return SpawnProcess(program, argv, cwd, SpawnOptions{});
}

pid_t SpawnProcess(const std::string& program, const std::vector<std::string>& argv,
                   const std::string& cwd, const SpawnOptions& options) {
  posix_spawn_file_actions_t actions;
  if (int e = posix_spawn_file_actions_init(&actions)) {
    errno = e;
    return -1;
  }
  posix_spawnattr_t attr;
  if (int e = posix_spawnattr_init(&attr)) {
    posix_spawn_file_actions_destroy(&actions);
    errno = e;
    return -1;
  }
  int err = 0;
  if (!cwd.empty()) err = posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  if (!err) err = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (!err && options.ownProcessGroup) err = posix_spawnattr_setpgroup(&attr, 0);
  if (!err && options.ownProcessGroup) err = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);

  std::vector<std::string> words = argv;
  if (words.empty()) words.push_back(program);
  std::vector<char*> args = Pointers(words);
  const std::vector<std::string> env =
      options.environment.empty() ? std::vector<std::string>{} : ChildEnvironment(options.environment);
  std::vector<char*> envp = Pointers(env);

  pid_t pid = -1;
  if (!err)
    err = posix_spawn(&pid, program.c_str(), &actions, &attr, args.data(),
                      options.environment.empty() ? environ : envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (err) {
    errno = err;
    return -1;
  }
  return pid;
}

namespace {

// A child waited for without a limit is waited for in real time (it runs in real time whatever
// the clock), in slices so that a stop request ends the wait.
WaitOutcome WaitUnlimited(pid_t pid, int* status) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  for (;;) {
    int st = 0;
    const pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) {
      if (pidfd >= 0) close(pidfd);
      if (status) *status = st;
      return WaitOutcome::Exited;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || StopRequested()) {
      if (pidfd >= 0) close(pidfd);
      return r < 0 ? WaitOutcome::Failed : WaitOutcome::Stopped;
    }
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      poll(&p, 1, kSliceMs);
    } else {
      RealClock().SleepMs(kPollMs, CurrentStopToken());
    }
  }
}

}  // namespace

// A child runs on this machine whatever becomes of the board a job works with: only a stop of
// the calling thread ends its waits, not its board's removal.
WaitOutcome WaitProcess(pid_t pid, int64_t timeoutMs, int* status) {
  if (timeoutMs < 0) return WaitUnlimited(pid, status);
  Clock& clk = clock();
  const int64_t deadline = clk.NowMs() + timeoutMs;
  for (;;) {
    int st = 0;
    const pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) {
      if (status) *status = st;
      return WaitOutcome::Exited;
    }
    if (r < 0) {
      if (errno == EINTR) continue;
      return WaitOutcome::Failed;
    }
    const int64_t left = deadline - clk.NowMs();
    if (left <= 0) return WaitOutcome::TimedOut;
    if (!clk.SleepMs(left < kPollMs ? left : kPollMs, CurrentStopToken())) return WaitOutcome::Stopped;
  }
}

WaitOutcome WaitProcessPatient(pid_t pid, int64_t timeoutMs, int* status) {
  if (timeoutMs < 0) return WaitUnlimited(pid, status);
  Clock& clk = clock();
  const int64_t deadline = clk.NowMs() + timeoutMs;
  const int64_t realEnd = RealMs() + clk.PeerPatienceMs(timeoutMs);
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  WaitOutcome outcome = WaitOutcome::TimedOut;
  for (;;) {
    int st = 0;
    const pid_t r = waitpid(pid, &st, WNOHANG);
    if (r < 0 && errno == EINTR) continue;
    if (r == pid) {
      if (status) *status = st;
      outcome = WaitOutcome::Exited;
      break;
    }
    if (r < 0 || StopRequested()) {
      outcome = r < 0 ? WaitOutcome::Failed : WaitOutcome::Stopped;
      break;
    }
    const int64_t realLeft = realEnd - RealMs();
    if (realLeft <= 0) {
      const int64_t left = deadline - clk.NowMs();
      outcome = left > 0 && !clk.SleepMs(left, CurrentStopToken()) ? WaitOutcome::Stopped : WaitOutcome::TimedOut;
      break;
    }
    const int slice = static_cast<int>(std::min<int64_t>(realLeft, kSliceMs));
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      poll(&p, 1, slice);
    } else {
      RealClock().SleepMs(std::min<int64_t>(slice, kPollMs), CurrentStopToken());
    }
  }
  if (pidfd >= 0) close(pidfd);
  return outcome;
}

void EndProcess(pid_t pid) {
  if (pid <= 0) return;
  ::kill(-pid, SIGKILL);  // its group, when it leads one
  ::kill(pid, SIGKILL);
  int st;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
}

void DetachProcess(pid_t pid) {
  if (pid <= 0) return;
  std::thread([pid] {
    int st;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

}  // namespace plat

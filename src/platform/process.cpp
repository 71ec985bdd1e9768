#include "platform/process.h"

#include <spawn.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/clock.h"

extern char** environ;

namespace plat {

namespace {
constexpr int64_t kPollMs = 10;
constexpr int kSliceMs = 50;
}

pid_t SpawnProcess(const std::string& program, const std::vector<std::string>& argv,
                   const std::string& cwd) {
  posix_spawn_file_actions_t actions;
  if (int e = posix_spawn_file_actions_init(&actions)) {
    errno = e;
    return -1;
  }
  int err = 0;
  if (!cwd.empty()) err = posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  if (!err) err = posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  if (args.empty()) args.push_back(const_cast<char*>(program.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  if (!err) err = posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ);
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
      RealClock().SleepMs(kPollMs);
    }
  }
}

}  // namespace

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
    if (!clk.SleepMs(left < kPollMs ? left : kPollMs)) return WaitOutcome::Stopped;
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

#pragma once
// Child processes: start a program with posix_spawn and wait for it with a time-out. The
// polling waits go through the station clock. WaitProcess never kills a child: one that
// outlives its wait keeps running, and is reaped in the background once it ends
// (DetachProcess). A tool whose run must end with its time-out is waited for with
// WaitProcessPatient and ended with EndProcess.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace plat {

// Starts `program` (a path; no search of PATH) with `argv` (argv[0] included) in the folder
// `cwd` (empty: the caller's folder), with the caller's environment, standard input, output
// and error, and no other inherited descriptors. Returns the child's id, or -1 with errno set
// when it could not be started (missing program, folder, ...).
pid_t SpawnProcess(const std::string& program, const std::vector<std::string>& argv,
                   const std::string& cwd);

struct SpawnOptions {
  // "NAME=value" entries for the child's environment only: each replaces the caller's variable
  // of that name, or is added to the environment.
  std::vector<std::string> environment;
  // The child leads a process group of its own, so that EndProcess also reaches whatever the
  // child has started.
  bool ownProcessGroup = false;
};
pid_t SpawnProcess(const std::string& program, const std::vector<std::string>& argv,
                   const std::string& cwd, const SpawnOptions& options);

enum class WaitOutcome { Exited, TimedOut, Failed, Stopped };

// Waits for the child to end, at most `timeoutMs` milliseconds of the clock (negative: no
// limit). On Exited the child is reaped and `*status` (when given) holds its waitpid status. A
// stop request of the calling thread's current token ends the wait with Stopped; the child goes
// on.
WaitOutcome WaitProcess(pid_t pid, int64_t timeoutMs, int* status = nullptr);

// Waits like WaitProcess for a child that runs in real time. On the real clock the wait lasts
// `timeoutMs` (negative: no limit). A clock that runs faster than real time still gives the
// child the real time its PeerPatienceMs(timeoutMs) allows, so that a child that is merely slow
// to be scheduled is not taken for a hung one; once that has passed, the clock is moved on to
// the end of the time-out and the wait gives TimedOut. The child is left as it is.
WaitOutcome WaitProcessPatient(pid_t pid, int64_t timeoutMs, int* status = nullptr);

// Ends a child that is still running (with its process group when it leads one) and reaps it.
void EndProcess(pid_t pid);

// Leaves a child that is still running to a background reaper, so that it does not stay a
// zombie after it ends.
void DetachProcess(pid_t pid);

}  // namespace plat

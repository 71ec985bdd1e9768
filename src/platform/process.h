#pragma once
// Child processes: start a program with posix_spawn and wait for it with a time-out. The
// polling waits go through the station clock. A child is never killed here: one that outlives
// its wait keeps running, and is reaped in the background once it ends.
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

enum class WaitOutcome { Exited, TimedOut, Failed, Stopped };

// Waits for the child to end, at most `timeoutMs` milliseconds of the clock (negative: no
// limit). On Exited the child is reaped and `*status` (when given) holds its waitpid status. A
// stop request of the calling thread's current token ends the wait with Stopped; the child goes
// on.
WaitOutcome WaitProcess(pid_t pid, int64_t timeoutMs, int* status = nullptr);

// Leaves a child that is still running to a background reaper, so that it does not stay a
// zombie after it ends.
void DetachProcess(pid_t pid);

}  // namespace plat

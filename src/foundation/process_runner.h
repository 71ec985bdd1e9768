#pragma once
// Running an outside tool (the archiver, the key-bag tools) and waiting for it. Success means
// the tool was started; how the wait ended goes to the slot's device log, and the caller
// judges the tool's work by the files it leaves.
#include <cstdint>
#include <string>
#include <vector>

namespace station {

constexpr int64_t kInfinite = -1;  // a time-out that never ends

// Splits a command line the way a Windows program's C runtime does: blanks and tabs separate
// words, double quotes group (a doubled quote inside quotes is one quote), 2n backslashes before
// a quote give n backslashes, 2n+1 give n and a literal quote, and other backslashes are
// plain. The first word is the program name: quotes in it group and are dropped, and no
// backslash rule applies to it.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// Starts `application` with the words of `commandLine` as its arguments (the first word is
// argv[0]) in `currentDirectory` (empty: the station's folder) and waits `timeoutMs`
// milliseconds (kInfinite: until it ends). Device log of `icon` gets the outcome:
// "call_createProcess done , time : %d", "... timeout ..." or "... wait failed ..." with the
// seconds waited, or "call_createProcess create fail" when the start failed. True when the
// process was started; a child that outlives the wait keeps running. A stop request of the
// calling thread's current token ends the wait ("call_createProcess stopped , time : %d") and
// gives false, so that no caller goes on as if the tool had finished.
bool call_createProcess(const std::string& application, const std::string& commandLine,
                        const std::string& currentDirectory, int64_t timeoutMs, int icon);

// How a tool's run ended, for the tools whose exit status counts.
enum class ChildEnd { Exited, NotStarted, TimedOut, WaitFailed, Stopped };
struct ChildRun {
  ChildEnd end = ChildEnd::NotStarted;
  int exitCode = -1;  // Exited: the exit status, or 128 + the number of the signal that ended it
  bool Succeeded() const { return end == ChildEnd::Exited && exitCode == 0; }
};

// Runs a tool like call_createProcess, with the same device-log lines, and hands back how it
// ended; a status other than 0 adds "call_createProcess exit code : %d". The child gets
// `environment` ("NAME=value" entries over the station's own, in the child only) and a process
// group of its own. It is waited for with plat::WaitProcessPatient, and a child still running
// when the wait ends (time-out, failed wait, stop request) is ended with what it started, and
// reaped: no tool goes on writing once its caller has given up on it.
ChildRun call_createProcessStatus(const std::string& application, const std::string& commandLine,
                                  const std::string& currentDirectory, int64_t timeoutMs, int icon,
                                  const std::vector<std::string>& environment = {});

}  // namespace station

#include "foundation/process_runner.h"

#include <sys/wait.h>

#include "foundation/log_boxes.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace station {

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> words;
  const size_t n = commandLine.size();
  size_t i = 0;
  auto blank = [&](size_t k) { return commandLine[k] == ' ' || commandLine[k] == '\t'; };

  // The program name: quotes switch grouping on and off and are dropped; backslashes are plain.
  if (i < n) {
    std::string word;
    bool quoted = false;
    while (i < n && (quoted || !blank(i))) {
      if (commandLine[i] == '"')
        quoted = !quoted;
      else
        word += commandLine[i];
      ++i;
    }
    words.push_back(std::move(word));
  }

  for (;;) {
    while (i < n && blank(i)) ++i;
    if (i >= n) break;
    std::string word;
    bool quoted = false;
    while (i < n && (quoted || !blank(i))) {
      if (commandLine[i] == '\\') {
        size_t slashes = 0;
        while (i < n && commandLine[i] == '\\') ++slashes, ++i;
        if (i < n && commandLine[i] == '"') {
          word.append(slashes / 2, '\\');
          if (slashes % 2) {
            word += '"';
            ++i;
          }
        } else {
          word.append(slashes, '\\');
        }
        continue;
      }
      if (commandLine[i] == '"') {
        if (quoted && i + 1 < n && commandLine[i + 1] == '"') {
          word += '"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      word += commandLine[i++];
    }
    words.push_back(std::move(word));
  }
  return words;
}

namespace {

void LogOutcome(int icon, plat::WaitOutcome outcome, int seconds) {
  switch (outcome) {
    case plat::WaitOutcome::Exited:
      PrintDeviceLog(icon, "call_createProcess done , time : %d\r\n", seconds);
      break;
    case plat::WaitOutcome::TimedOut:
      PrintDeviceLog(icon, "call_createProcess timeout , time : %d\r\n", seconds);
      break;
    case plat::WaitOutcome::Failed:
      PrintDeviceLog(icon, "call_createProcess wait failed , time : %d\r\n", seconds);
      break;
    case plat::WaitOutcome::Stopped:
      PrintDeviceLog(icon, "call_createProcess stopped , time : %d\r\n", seconds);
      break;
  }
}

ChildEnd EndOf(plat::WaitOutcome outcome) {
  switch (outcome) {
    case plat::WaitOutcome::Exited: return ChildEnd::Exited;
    case plat::WaitOutcome::TimedOut: return ChildEnd::TimedOut;
    case plat::WaitOutcome::Failed: return ChildEnd::WaitFailed;
    case plat::WaitOutcome::Stopped: return ChildEnd::Stopped;
  }
  return ChildEnd::WaitFailed;
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

bool call_createProcess(const std::string& application, const std::string& commandLine,
                        const std::string& currentDirectory, int64_t timeoutMs, int icon) {
  plat::Clock& clk = plat::clock();
  const int64_t startMs = clk.NowMs();
  std::vector<std::string> argv = SplitCommandLine(commandLine);
  if (argv.empty()) argv.push_back(application);

  const pid_t pid = plat::SpawnProcess(application, argv, currentDirectory);
  if (pid < 0) {
    PrintDeviceLog(icon, "call_createProcess create fail\r\n");
    return false;
  }
  const plat::WaitOutcome outcome = plat::WaitProcess(pid, timeoutMs);
  LogOutcome(icon, outcome, static_cast<int>((clk.NowMs() - startMs) / 1000));
  if (outcome != plat::WaitOutcome::Exited) plat::DetachProcess(pid);
  return outcome != plat::WaitOutcome::Stopped;
}

ChildRun call_createProcessStatus(const std::string& application, const std::string& commandLine,
                                  const std::string& currentDirectory, int64_t timeoutMs, int icon,
                                  const std::vector<std::string>& environment) {
  plat::Clock& clk = plat::clock();
  const int64_t startMs = clk.NowMs();
  std::vector<std::string> argv = SplitCommandLine(commandLine);
  if (argv.empty()) argv.push_back(application);

  const pid_t pid = plat::SpawnProcess(application, argv, currentDirectory, {environment, true});
  if (pid < 0) {
    PrintDeviceLog(icon, "call_createProcess create fail\r\n");
    return {};
  }
  int status = 0;
  const plat::WaitOutcome outcome = plat::WaitProcessPatient(pid, timeoutMs, &status);
  LogOutcome(icon, outcome, static_cast<int>((clk.NowMs() - startMs) / 1000));
  ChildRun run{EndOf(outcome), -1};
  if (outcome != plat::WaitOutcome::Exited) {
    plat::EndProcess(pid);
    return run;
  }
  run.exitCode = ExitCodeOf(status);
  if (run.exitCode != 0) PrintDeviceLog(icon, "call_createProcess exit code : %d\r\n", run.exitCode);
  return run;
}

}  // namespace station

// Running outside tools: command line words, the outcome lines in the slot's device log,
// a child that outlives its wait, and a program that cannot be started; for the tools whose
// status counts, the status, the child's own environment and the end of a hung tool.
#include "foundation/process_runner.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <fstream>
#include <future>
#include <thread>

#include "foundation/log_boxes.h"
#include "support/test_env.h"

namespace {

using namespace station;

TEST(CommandLine, SplitLikeAWindowsProgram) {
  using V = std::vector<std::string>;
  struct Case {
    std::string line;
    V words;
  } cases[] = {
      {"tar.exe -cvf factory.tar tmp", {"tar.exe", "-cvf", "factory.tar", "tmp"}},
      {"  lead   and\ttabs  ", {"", "lead", "and", "tabs"}},  // argv[0] ends at the first blank
      {"\"/my tools/tar\" -C \"a b\" x", {"/my tools/tar", "-C", "a b", "x"}},
      {"p a\"b c\"d", {"p", "ab cd"}},
      {"p \"\"", {"p", ""}},
      {"p \"say \"\"hi\"\"\"", {"p", "say \"hi\""}},
      {"p a\\\\b c\\", {"p", "a\\\\b", "c\\"}},  // backslashes not before a quote are plain
      {"p a\\\"b", {"p", "a\"b"}},                  // 2n+1 before a quote: a literal quote
      {"p \"a\\\\\" b", {"p", "a\\", "b"}},          // 2n before a quote: n, and the quote groups
      {"C:\\dir\\tool.exe arg", {"C:\\dir\\tool.exe", "arg"}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.words) << c.line;
}

class ProcessRunner : public ::testing::Test {
 protected:
  std::string Log(int icon) { return DeviceLogText(icon); }
  testenv::StationFixture env_;
};

TEST_F(ProcessRunner, MissingProgramOrFolderIsAFailedStart) {
  EXPECT_FALSE(call_createProcess(env_.dir.str() + "/no-such-tool", "no-such-tool -x", "", 1000, 4));
  EXPECT_EQ(Log(4), "call_createProcess create fail\r\n");
  EXPECT_FALSE(call_createProcess("/bin/true", "true", env_.dir.str() + "/missing", 1000, 5));
  EXPECT_EQ(Log(5), "call_createProcess create fail\r\n");
}

TEST_F(ProcessRunner, ChildThatEndsAtOnce) {
  EXPECT_TRUE(call_createProcess("/bin/true", "true", "", kInfinite, 1));
  EXPECT_EQ(Log(1), "call_createProcess done , time : 0\r\n");
  // A failing tool is still a started one: its work is judged by the caller.
  EXPECT_TRUE(call_createProcess("/bin/false", "false", "", kInfinite, 2));
  EXPECT_EQ(Log(2), "call_createProcess done , time : 0\r\n");
}

// A clock whose sleeps take a little real time, so that a child gets real time to finish
// within a long time-out while the test still runs quickly.
// The seconds of a "<prefix><seconds>\r\n" log line, or -1 when the log is not that one line.
int LoggedSeconds(const std::string& log, const std::string& prefix) {
  if (log.size() < prefix.size() + 3 || log.compare(0, prefix.size(), prefix) != 0) return -1;
  if (log.compare(log.size() - 2, 2, "\r\n") != 0) return -1;
  const std::string digits = log.substr(prefix.size(), log.size() - prefix.size() - 2);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::stoi(digits);
}

class TickingClock : public plat::FastClock {
 protected:
  bool Sleep(int64_t ms, std::stop_token stop) override {
    plat::RealClock().SleepMs(1);
    return FastClock::Sleep(ms, stop);
  }
};

TEST_F(ProcessRunner, ArgumentsAndFolderReachTheChild) {
  TickingClock ticking;
  plat::SetClock(&ticking);
  const bool started = call_createProcess(
      "/bin/sh", "sh -c \"echo \\\"$1|$2\\\" > args.txt; pwd >> args.txt\" sh \"two words\" x",
      env_.dir.str(), 10 * 60 * 1000, 3);
  plat::SetClock(&env_.clock.get());
  EXPECT_TRUE(started);
  EXPECT_GE(LoggedSeconds(Log(3), "call_createProcess done , time : "), 0) << Log(3);
  EXPECT_EQ(testenv::ReadFile(env_.dir / "args.txt"), "two words|x\n" + env_.dir.str() + "\n");
}

TEST_F(ProcessRunner, ChildThatOutlivesItsWaitKeepsRunning) {
  const std::string pidFile = (env_.dir / "pid").string();
  EXPECT_TRUE(call_createProcess("/bin/sh", "sh -c \"echo $$ > " + pidFile + ".tmp; mv " + pidFile +
                                                ".tmp " + pidFile + "; exec sleep 60\"",
                                 "", 2000, 7));
  const int waited = LoggedSeconds(Log(7), "call_createProcess timeout , time : ");
  EXPECT_GE(waited, 2) << Log(7);
  EXPECT_LE(waited, 9) << Log(7);

  // The child writes its id once it runs; give it real time to get there.
  pid_t pid = 0;
  for (int i = 0; i < 1000 && pid <= 0; ++i) {
    std::ifstream in(pidFile);
    if (!(in >> pid)) plat::RealClock().SleepMs(10);
  }
  ASSERT_GT(pid, 0) << "the child never ran";
  EXPECT_EQ(::kill(pid, 0), 0) << "the child was stopped";
  ::kill(pid, SIGKILL);
}


// A job that is asked to stop does not sit out a tool's run: the wait ends, with or without a
// time-out, and the call gives false so that nobody goes on as if the tool had finished.
TEST_F(ProcessRunner, StopRequestEndsTheWait) {
  for (int64_t timeout : {kInfinite, int64_t{10 * 60 * 1000}}) {
    SCOPED_TRACE(timeout);
    std::stop_source stop;
    stop.request_stop();
    std::promise<bool> result;
    auto answer = result.get_future();
    std::jthread job([&] {
      plat::ScopedStopToken current(stop.get_token());
      result.set_value(call_createProcess("/bin/sleep", "sleep 5", "", timeout, 6));
    });
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(4)), std::future_status::ready);
    EXPECT_FALSE(answer.get());
    EXPECT_EQ(LoggedSeconds(Log(6), "call_createProcess stopped , time : "), 0) << Log(6);
    SetDeviceLogText(6, "");
  }
}

// The tools whose status counts: the status as the tool ended, and the line that tells it.
TEST_F(ProcessRunner, StatusOfATool) {
  struct Case {
    const char* name;
    std::string app, line;
    ChildEnd end;
    int code;
    std::string log;
  } cases[] = {
      {"success", "/bin/sh", "sh -c \"exit 0\"", ChildEnd::Exited, 0, "call_createProcess done , time : 0\r\n"},
      {"failure", "/bin/sh", "sh -c \"exit 3\"", ChildEnd::Exited, 3,
       "call_createProcess done , time : 0\r\ncall_createProcess exit code : 3\r\n"},
      {"killed", "/bin/sh", "sh -c \"kill -9 $$\"", ChildEnd::Exited, 128 + SIGKILL,
       "call_createProcess done , time : 0\r\ncall_createProcess exit code : 137\r\n"},
      {"missing", env_.dir.str() + "/no-such-tool", " x", ChildEnd::NotStarted, -1,
       "call_createProcess create fail\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetDeviceLogText(8, "");
    const ChildRun run = call_createProcessStatus(c.app, c.line, "", 120000, 8);
    EXPECT_EQ(run.end, c.end);
    EXPECT_EQ(run.exitCode, c.code);
    EXPECT_EQ(run.Succeeded(), c.code == 0);
    EXPECT_EQ(Log(8), c.log);
  }
}

TEST_F(ProcessRunner, EnvironmentGoesToTheChildOnly) {
  testenv::ScopedEnv mine("TAR_OPTIONS", "--verbose");
  testenv::ScopedEnv kept("STATION_KEPT", "kept");
  const ChildRun run = call_createProcessStatus(
      "/bin/sh", "sh -c \"echo \\\"$TAR_OPTIONS|$STATION_KEPT|$STATION_NEW\\\" > env.txt\"", env_.dir.str(),
      120000, 2, {"TAR_OPTIONS=--format=ustar", "STATION_NEW=new"});
  EXPECT_TRUE(run.Succeeded());
  EXPECT_EQ(testenv::ReadFile(env_.dir / "env.txt"), "--format=ustar|kept|new\n");
  EXPECT_STREQ(std::getenv("TAR_OPTIONS"), "--verbose");
  EXPECT_EQ(std::getenv("STATION_NEW"), nullptr);
}

// A tool that is only slow is waited for, even on a fast clock that nobody else moves.
TEST_F(ProcessRunner, SlowToolIsWaitedFor) {
  const ChildRun run = call_createProcessStatus("/bin/sh", "sh -c \"sleep 0.3; exit 4\"", "", 2000, 3);
  EXPECT_EQ(run.end, ChildEnd::Exited);
  EXPECT_EQ(run.exitCode, 4);
}

pid_t PidIn(const std::filesystem::path& file) {
  pid_t pid = 0;
  std::ifstream in(file);
  in >> pid;
  return pid;
}

bool Gone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// Ended: gone, or a zombie left for whoever inherited it to reap.
bool Ended(pid_t pid) {
  if (Gone(pid)) return true;
  const std::string stat = testenv::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close != std::string::npos && stat.compare(close, 3, ") Z") == 0;
}

// A hung tool is ended when its time-out has passed, with the process it started, and reaped.
TEST_F(ProcessRunner, HungToolIsEndedWithWhatItStarted) {
  testenv::UntilStartedClock clock(env_.dir / "pid");
  plat::SetClock(&clock);
  const ChildRun run = call_createProcessStatus(
      "/bin/sh", "sh -c \"sleep 600 & echo $! > helper; echo $$ > pid.tmp; mv pid.tmp pid; wait\"",
      env_.dir.str(), 120000, 9);
  plat::SetClock(&env_.clock.get());
  EXPECT_EQ(run.end, ChildEnd::TimedOut);
  EXPECT_EQ(Log(9), "call_createProcess timeout , time : 120\r\n");
  const pid_t tool = PidIn(env_.dir / "pid"), helper = PidIn(env_.dir / "helper");
  ASSERT_GT(tool, 0);
  ASSERT_GT(helper, 0);
  EXPECT_TRUE(Gone(tool)) << "the tool is still there, or was not reaped";
  // The helper's end takes a moment of real time.
  EXPECT_TRUE(testenv::WaitRealSeconds(5, [&] { return Ended(helper); })) << "the helper outlived the tool";
}

TEST_F(ProcessRunner, StopRequestEndsATool) {
  std::stop_source stop;
  std::promise<ChildRun> result;
  auto answer = result.get_future();
  std::jthread job([&] {
    plat::ScopedStopToken current(stop.get_token());
    result.set_value(call_createProcessStatus(
        "/bin/sh", "sh -c \"echo $$ > pid.tmp; mv pid.tmp pid; exec sleep 600\"", env_.dir.str(), kInfinite, 10));
  });
  ASSERT_TRUE(testenv::WaitRealSeconds(10, [&] { return std::filesystem::exists(env_.dir / "pid"); }));
  stop.request_stop();
  ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(answer.get().end, ChildEnd::Stopped);
  EXPECT_TRUE(Gone(PidIn(env_.dir / "pid")));
}

}  // namespace

// Running outside tools: command line words, the outcome lines in the slot's device log,
// a child that outlives its wait, and a program that cannot be started.
#include "foundation/process_runner.h"

#include <gtest/gtest.h>
#include <signal.h>

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

}  // namespace

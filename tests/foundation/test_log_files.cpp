// Log files: names from the local time stamp, the three kinds of file, the history line and
// its fields, and every folder or file that cannot be made.
#include "foundation/log_files.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <optional>

#include "foundation/log_boxes.h"
#include "support/app_dir.h"
#include "support/test_env.h"

namespace fs = std::filesystem;

namespace {

using namespace station;
using testenv::ReadFile;

// 2026-12-09 10:05:07 UTC, the test runs in UTC.
constexpr int64_t kNow = 1796810707;
const char* const kStamp = "2026Y-12M-09D-10h-05m-07s";
const char* const kHistoryName = "2026Y-12M-09D-TreadCont-3-.txt";

class StoppedClock : public plat::FastClock {
 public:
  int64_t WallSeconds() override { return kNow; }
};

class LogFiles : public ::testing::Test {
 protected:
  LogFiles() : app_(env_.dir.str()) {
    if (const char* tz = ::getenv("TZ")) savedTz_ = tz;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    plat::SetClock(&clock_);
  }
  ~LogFiles() override {
    plat::SetClock(&env_.clock.get());
    savedTz_ ? ::setenv("TZ", savedTz_->c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
  }
  std::string Log(const std::string& rel) { return (env_.dir / "log" / rel).string(); }
  std::vector<ui::HeadlessHost::Prompt> Prompts() { return env_.host->Prompts(); }
  // A name that the file system has but that is no folder and cannot become one.
  void Block(const std::string& rel) {
    fs::create_directories(fs::path(Log(rel)).parent_path());
    fs::create_symlink(env_.dir / "nowhere", Log(rel));
  }
  void ExpectOneErrorBox(const std::string& text) {
    const auto prompts = Prompts();
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_EQ(prompts[0].text, text);
    EXPECT_EQ(prompts[0].caption, "ERROR");
    EXPECT_EQ(prompts[0].flags, ui::MB_OK | ui::MB_ICONWARNING);
  }

  testenv::StationFixture env_;
  testenv::ScopedAppDir app_;
  StoppedClock clock_;
  std::optional<std::string> savedTz_;
};

TEST_F(LogFiles, ErrorAndDebugFilesByStampAndIcon) {
  EXPECT_TRUE(WriteLogFile(5, "ERR", "MID", "LOG\r\n"));
  EXPECT_EQ(ReadFile(Log(std::string("error_log/") + kStamp + "-icon-5.txt")), "LOG\r\nMIDERR");

  EXPECT_TRUE(WriteLogFile(0, "", "tail", "body"));
  EXPECT_EQ(ReadFile(Log(std::string("debug_log/") + kStamp + "-icon-0.txt")), "bodytail");
  EXPECT_TRUE(fs::is_directory(Log("history_log")));
  EXPECT_TRUE(Prompts().empty());
}

TEST_F(LogFiles, SaveDeviceLogWritesAndEmptiesTheLog) {
  SaveDeviceLog(2);  // nothing logged: no file, no folder
  EXPECT_FALSE(fs::exists(Log("")));

  PrintDeviceLog(2, "first run\r\n");
  SaveDeviceLog(2);
  EXPECT_EQ(DeviceLogText(2), "");
  PrintDeviceLog(2, "second\r\n");
  SaveDeviceLog(2);  // the same second: the earlier file is replaced
  const std::string file = Log(std::string("debug_log/") + kStamp + "-icon-2.txt");
  EXPECT_EQ(ReadFile(file), "second\r\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(Log("debug_log")), fs::directory_iterator()), 1);
}

TEST_F(LogFiles, LogFolderThatCannotBeCreated) {
  testenv::WriteFile(env_.dir / "plain", "not a folder");
  SetAppDir((env_.dir / "plain").string());
  EXPECT_FALSE(WriteLogFile(1, "E", "", "L"));
  ExpectOneErrorBox("create log directory failed!");
  env_.host->Clear();
  EXPECT_EQ(WriteHistoryLog(1, "m", "1", "2", "/k/key.bin", "/i/install.img", "3"), 0);
  ExpectOneErrorBox("create log directory failed!");
}

TEST_F(LogFiles, EachFolderFailureHasItsOwnMessage) {
  struct Case {
    const char* blocked;
    bool error;  // an error log, else a debug log
    std::string box;
    std::string deviceLine;
  } cases[] = {
      {"error_log", true, "create error_log directory failed!", ""},
      {"history_log", true, "create history_log directory fail!", "create directory:%s failed!\r\n"},
      {"debug_log", false, "", "create directory:%s failed!\r\n"},  // no message box here
  };
  for (const Case& c : cases) {
    fs::remove_all(Log(""));
    env_.host->Clear();
    SetDeviceLogText(6, "");
    Block(c.blocked);
    EXPECT_FALSE(WriteLogFile(6, c.error ? "E" : "", "", "L")) << c.blocked;
    if (c.box.empty()) {
      EXPECT_TRUE(Prompts().empty()) << c.blocked;
    } else {
      ExpectOneErrorBox(c.box);
    }
    std::string line = c.deviceLine;
    if (!line.empty()) line.replace(line.find("%s"), 2, Log(c.blocked));
    EXPECT_EQ(DeviceLogText(6), line) << c.blocked;
  }
}

TEST_F(LogFiles, LogFileThatCannotBeCreated) {
  fs::create_directories(Log(std::string("error_log/") + kStamp + "-icon-9.txt"));  // a folder in its place
  EXPECT_FALSE(WriteLogFile(9, "E", "", "L"));
  ExpectOneErrorBox("create log file failed!");
}

TEST_F(LogFiles, HistoryLineFields) {
  EXPECT_EQ(WriteHistoryLog(3, "00:11:22:33:44:55", "12", "100", "/keys/bag.bin",
                            "/packages/v1/install.img", "42"),
            1);
  EXPECT_EQ(WriteHistoryLog(3, "mac2", "NULL", "NULL", "NULL", "NULL", "7"), 1);
  EXPECT_EQ(WriteHistoryLog(3, "mac3", "1", "5", "/k/a", "/i/b", "8"), 1);
  EXPECT_EQ(ReadFile(Log(std::string("history_log/") + kHistoryName)),
            "Thread=3,MAC=00:11:22:33:44:55,KeyNowCont=11,KeyMax=100,Time=10h-05m-07s,"
            "KeyName=bag.bin,ImageNam=install.img,time consuming=42\r\n"
            "Thread=3,MAC=mac2,KeyNowCont=NULL,KeyMax=NULL,Time=10h-05m-07s,"
            "KeyName=NULL,ImageNam=NULL,time consuming=7\r\n"
            "Thread=3,MAC=mac3,KeyNowCont=0,KeyMax=5,Time=10h-05m-07s,"
            "KeyName=a,ImageNam=b,time consuming=8\r\n");
  EXPECT_TRUE(Prompts().empty());
}

TEST_F(LogFiles, HistoryNeedsAKeyAndAnImage) {
  EXPECT_EQ(WriteHistoryLog(4, "m", "1", "2", "", "/i/install.img", "3"), 0);
  EXPECT_EQ(WriteHistoryLog(4, "m", "1", "2", "/k/key.bin", "", "3"), 0);
  EXPECT_FALSE(fs::exists(Log("")));
  EXPECT_TRUE(Prompts().empty());
}

TEST_F(LogFiles, HistoryFolderAndFileFailures) {
  Block("history_log");
  EXPECT_EQ(WriteHistoryLog(8, "m", "1", "2", "/k/key.bin", "/i/install.img", "3"), 0);
  ExpectOneErrorBox("create history_log directory fail!");
  EXPECT_EQ(DeviceLogText(8), "create directory:" + Log("history_log") + " fail!\r\n");

  fs::remove(Log("history_log"));
  fs::create_directories(Log("history_log/2026Y-12M-09D-TreadCont-8-.txt/"));  // a folder: exists, cannot be opened
  env_.host->Clear();
  EXPECT_EQ(WriteHistoryLog(8, "m", "1", "2", "/k/key.bin", "/i/install.img", "3"), 0);
  ExpectOneErrorBox("create history file failed!");
}

}  // namespace

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <vector>

#include "foundation/log_boxes.h"
#include "foundation/result_messages.h"
#include "foundation/slot_display.h"
#include "foundation/work_paths.h"
#include "support/test_env.h"

namespace {

using namespace station;
namespace fs = std::filesystem;

const std::string kFramedHead = std::string(kReportOpeningRule) + kReportLogHeader;

class ReportResultTest : public ::testing::Test {
 protected:
  ReportResultTest() { SetAppDir(fx.dir.str()); }
  ~ReportResultTest() override { SetAppDir(""); }

  // The files of one log folder ("error_log" or "debug_log"), by name.
  std::vector<fs::path> Files(const std::string& folder) {
    std::vector<fs::path> out;
    const fs::path dir = fx.dir / "log" / folder;
    if (!fs::exists(dir)) return out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
  }

  StationState& s() { return *fx.station; }
  testenv::StationFixture fx;
};

TEST_F(ReportResultTest, SuccessAppendsAFramedBlockEachTimeAndWritesNoFile) {
  PrintDeviceLog(2, "erase done\r\n");
  s().slots[2].Busy = 1;
  SetSlotState(2, kSlotRunning, 0);
  ReportResult(100, 2, "emmc install hwsetting");
  ReportResult(100, 2, "emmc install bootcode");

  const std::string block = kFramedHead + "DONE - Transmission is completed !\r\n" + kReportLogEnd + kReportClosingRule;
  EXPECT_EQ(DeviceLogText(2), "erase done\r\n" + block + block);
  EXPECT_EQ(block,
            "\r\n==========================================\r\n"
            "===============debug log===================\r\n\r\n"
            "DONE - Transmission is completed !\r\n"
            "\r\n===============debug log end==================\r\n"
            "==========================================\r\n\r\n");
  EXPECT_TRUE(Files("error_log").empty());
  EXPECT_TRUE(Files("debug_log").empty());
  EXPECT_EQ(s().slots[2].Busy.load(), 1);
  EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(2)), kPictureRunning) << "success leaves the picture to the job";
}

struct ErrorCase {
  const char* name;
  int code;
  int picture;  // 0: the picture stays as it was
  const char* folder;
  const char* message;
};

class ReportedErrors : public ReportResultTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(ReportedErrors, SaveTheLogTextThenEmptyItAndFreeTheSlot) {
  const ErrorCase& c = GetParam();
  const int slot = 7;
  s().MacTable[slot] = "00:11:22:33:44:55";
  SetSlotState(slot, kSlotConnected, 0);
  SetSlotState(slot, kSlotRunning, 0);
  s().slots[slot].Busy = 1;
  PrintDeviceLog(slot, "send chunk 1\r\n");

  ReportResult(c.code, slot, "read status");

  EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(slot)), c.picture ? c.picture : kPictureRunning);
  const std::vector<fs::path> files = Files(c.folder);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(files[0].filename().string().find("-icon-7.txt"), std::string::npos) << files[0];
  EXPECT_EQ(testenv::ReadFile(files[0]), "send chunk 1\r\n" + kFramedHead + "read status\r\n" + c.message);
  EXPECT_EQ(DeviceLogText(slot), "");
  EXPECT_EQ(s().slots[slot].Busy.load(), 0);
  EXPECT_EQ(MainLogText(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ReportedErrors,
    ::testing::Values(
        ErrorCase{"zeroIsAnErrorToo", 0, 153, "error_log", "Error - Read install image data failed !\r\n"},
        ErrorCase{"statusFailed", 7, 160, "error_log", "Error - (CSW) Stat failed !\r\n"},
        ErrorCase{"lastCode", 24, 177, "error_log", "Error - customized failed!!\r\n"},
        ErrorCase{"unknownCode", 57, 0, "debug_log", ""},
        ErrorCase{"negativeCode", -1, 0, "debug_log", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReportResultTest, FailureShowsTheSquareAndClearsTheBoardFields) {
  s().MacTable[0] = "00:11:22:33:44:55";
  s().SnTable[0] = "SN-0";
  SetSlotState(0, kSlotConnected, 0);
  for (int id : {1064, 1067, 1068}) s().mainDlg.SetEnabled(id, false);
  ReportResult(19, 0, "emmc write");
  EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(0)), 153 + 19);
  EXPECT_EQ(s().mainDlg.Text(SlotMacId(0)), "");
  EXPECT_EQ(s().mainDlg.Text(SlotSnId(0)), "-");
  for (int id : {1064, 1067, 1068}) EXPECT_TRUE(s().mainDlg.Enabled(id)) << id;
}

TEST_F(ReportResultTest, UnwritableLogFolderIsReportedAndTheSlotStillReset) {
  testenv::WriteFile(fx.dir / "log", "a file where the log folder belongs");
  PrintDeviceLog(4, "partial run\r\n");
  s().slots[4].Busy = 1;
  ReportResult(3, 4, "write data");
  EXPECT_EQ(MainLogText(), "write error log failed!\r\n");
  EXPECT_EQ(DeviceLogText(4), "");
  EXPECT_EQ(s().slots[4].Busy.load(), 0);
  ASSERT_FALSE(fx.host->Prompts().empty());
  EXPECT_EQ(fx.host->Prompts()[0].caption, "ERROR");
}

TEST_F(ReportResultTest, NoSuchSlotTouchesNothing) {
  for (int i = 0; i < kSlotCount; ++i) {
    PrintDeviceLog(i, "line\r\n");
    s().slots[i].Busy = 1;
  }
  ReportResult(5, 12, "x");
  ReportResult(5, -1, "x");
  for (int i = 0; i < kSlotCount; ++i) {
    EXPECT_EQ(DeviceLogText(i), "line\r\n") << i;
    EXPECT_EQ(s().slots[i].Busy.load(), 1) << i;
  }
  EXPECT_FALSE(fs::exists(fx.dir / "log"));
}

TEST_F(ReportResultTest, TwelveJobThreadsReportAtOnce) {
  constexpr int kSteps = 40;
  std::vector<std::thread> threads;
  for (int slot = 0; slot < kSlotCount; ++slot)
    threads.emplace_back([slot] {
      SetSlotState(slot, kSlotRunning, 0);
      state().slots[slot].Busy = 1;
      for (int step = 0; step < kSteps; ++step) {
        PrintDeviceLog(slot, "slot %d step %d\r\n", slot, step);
        ReportResult(100, slot, "step");
      }
      PrintDeviceLog(slot, "slot %d last\r\n", slot);
      ReportResult(slot + 1, slot, "last step");
    });
  for (auto& t : threads) t.join();

  const std::string done = std::string("DONE - Transmission is completed !\r\n") + kReportLogEnd + kReportClosingRule;
  const std::vector<fs::path> files = Files("error_log");
  ASSERT_EQ(files.size(), static_cast<size_t>(kSlotCount));
  for (int slot = 0; slot < kSlotCount; ++slot) {
    std::string expected;
    for (int step = 0; step < kSteps; ++step)
      expected += "slot " + std::to_string(slot) + " step " + std::to_string(step) + "\r\n" + kFramedHead + done;
    expected += "slot " + std::to_string(slot) + " last\r\n" + kFramedHead + "last step\r\n" + ResultMessage(slot + 1);
    const std::string suffix = "-icon-" + std::to_string(slot) + ".txt";
    const fs::path* file = nullptr;
    for (const fs::path& f : files) {
      const std::string n = f.filename().string();
      if (n.size() > suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0) file = &f;
    }
    ASSERT_NE(file, nullptr) << slot;
    EXPECT_EQ(testenv::ReadFile(*file), expected) << slot;
    EXPECT_EQ(state().mainDlg.Picture(SlotButtonId(slot)), 153 + slot + 1);
    EXPECT_EQ(DeviceLogText(slot), "");
    EXPECT_EQ(state().slots[slot].Busy.load(), 0);
  }
}

}  // namespace

// The on-screen logs: lines cut to the buffer, targets that swallow text, and all twelve slots
// writing at once.
#include "foundation/log_boxes.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_env.h"

namespace {

using namespace station;

TEST(LogBoxes, TextIsAppendedAsGivenWithNothingAdded) {
  ScopedStation st;
  PrintLog("first %d", 1);
  PrintLog(" second\r\n");
  EXPECT_EQ(MainLogText(), "first 1 second\r\n");
  PrintDeviceLog(4, "slot %s\r\n", "four");
  EXPECT_EQ(DeviceLogText(4), "slot four\r\n");
  EXPECT_EQ(DeviceLogText(5), "");
}

TEST(LogBoxes, LongLineIsCutAt1023Characters) {
  ScopedStation st;
  const std::string longText(5000, 'x');
  PrintLog("%s-end", longText.c_str());
  PrintDeviceLog(11, "%s", longText.c_str());
  EXPECT_EQ(MainLogText(), std::string(1023, 'x'));
  EXPECT_EQ(DeviceLogText(11), std::string(1023, 'x'));
  // A line that just fits is kept whole.
  SetDeviceLogText(11, "");
  PrintDeviceLog(11, "%s", std::string(1023, 'y').c_str());
  EXPECT_EQ(DeviceLogText(11), std::string(1023, 'y'));
}

TEST(LogBoxes, MissingTargetsSwallowText) {
  ScopedStation st;
  SetMainLogTarget(nullptr, kMainLogControlId);
  SetDeviceLogTarget(2, nullptr, DeviceLogControlId(2));
  PrintLog("lost\r\n");
  PrintDeviceLog(2, "lost\r\n");
  PrintDeviceLog(-1, "no such slot\r\n");
  PrintDeviceLog(12, "no such slot\r\n");
  EXPECT_EQ(MainLogText(), "");
  EXPECT_EQ(DeviceLogText(2), "");
  EXPECT_EQ(st->optionsDlg.Text(kMainLogControlId), "");
  EXPECT_EQ(st->mainDlg.Text(DeviceLogControlId(2)), "");
  // Other slots still log.
  PrintDeviceLog(3, "kept\r\n");
  EXPECT_EQ(DeviceLogText(3), "kept\r\n");
}

TEST(LogBoxes, TwelveSlotsAndTheMainLogAtOnce) {
  ScopedStation st;
  constexpr int kLines = 300;
  {
    std::vector<std::jthread> threads;
    for (int icon = 0; icon < kSlotCount; ++icon)
      threads.emplace_back([icon] {
        for (int i = 0; i < kLines; ++i) {
          PrintDeviceLog(icon, "icon %d line %d\r\n", icon, i);
          PrintLog("main %d/%d\r\n", icon, i);
        }
      });
  }
  for (int icon = 0; icon < kSlotCount; ++icon) {
    std::string want;
    for (int i = 0; i < kLines; ++i) want += "icon " + std::to_string(icon) + " line " + std::to_string(i) + "\r\n";
    EXPECT_EQ(DeviceLogText(icon), want) << "icon " << icon;
  }
  // Every main-log line arrives whole, and each thread's lines keep their order.
  std::istringstream in(MainLogText());
  std::vector<int> next(kSlotCount, 0);
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    int icon = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "main %d/%d\r", &icon, &i), 2) << line;
    ASSERT_TRUE(icon >= 0 && icon < kSlotCount);
    EXPECT_EQ(i, next[icon]++);
    ++count;
  }
  EXPECT_EQ(count, kSlotCount * kLines);
}

}  // namespace

// The serial number text of a board, and its read-back factory area moved onto the old
// archive of a firmware-only upgrade.
#include "factory/board_files.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "foundation/log_boxes.h"
#include "support/app_dir.h"
#include "usblink/flash_dump.h"
#include "usblink/flash_read.h"

namespace station {
namespace {

namespace fs = std::filesystem;
constexpr int kSlot = 5;

class BoardFiles : public ::testing::Test, public testenv::ScratchStationFixture {};

TEST_F(BoardFiles, SerialNumberText) {
  struct Case {
    const char* name;
    std::string content;  // nothing: no file
    bool exists, result;
    std::string sn;       // the table entry afterwards
    bool logged;
  } cases[] = {
      {"text", "SN00000001", true, true, "SN00000001", false},
      {"text before a NUL", std::string("SN7\0junk", 8), true, true, "SN7", false},
      {"a NUL only", std::string(1, '\0'), true, false, "", true},
      {"empty file", "", true, false, "", true},
      {"no file", "", false, false, "before", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetSlotSnText(kSlot, "before");
    SetDeviceLogText(kSlot, "");
    const fs::path file = dir / "sn.txt";
    fs::remove(file);
    if (c.exists) testenv::WriteFile(file, c.content);
    EXPECT_EQ(ReadSnFileToTable(file.string(), SnTexts(), kSlot), c.result);
    EXPECT_EQ(SlotSnText(kSlot), c.sn);
    EXPECT_EQ(DeviceLogText(kSlot).find("sn table or sn buf len is null") != std::string::npos, c.logged);
  }
}

// The read-back of the board goes onto the old archive, and an archive from an earlier board
// there never wins.
TEST_F(BoardFiles, ReadBackBecomesTheOldArchive) {
  const std::string target = (dir / "mvx_tool" / "dump" / "flash_factory.tar").string();
  struct Case {
    int type;
    std::string readBack;
  } cases[] = {{0, DumpFilePath(kSlot)}, {2, ReadBackFilePath(kSlot)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    testenv::WriteFile(target, "an earlier board");
    testenv::WriteFile(c.readBack, "this board");
    EXPECT_TRUE(MakeDumpFilePath(target, kSlot, c.type));
    EXPECT_EQ(testenv::ReadFile(target), "this board");
    EXPECT_FALSE(fs::exists(c.readBack));
    // Without a read-back nothing is moved.
    SetDeviceLogText(kSlot, "");
    EXPECT_FALSE(MakeDumpFilePath(target, kSlot, c.type));
    EXPECT_EQ(DeviceLogText(kSlot), "rename flash dump data failed!\r\n");
  }
  SetDeviceLogText(kSlot, "");
  EXPECT_FALSE(MakeDumpFilePath(target, kSlot, 1));
  EXPECT_EQ(DeviceLogText(kSlot), "nor flash not soupport!\r\nrename flash dump data failed!\r\n");
}

}  // namespace
}  // namespace station

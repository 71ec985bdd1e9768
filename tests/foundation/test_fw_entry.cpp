// Firmware entry names are found in layout lines by a substring search: the trailing blank
// must keep every name from matching another entry's line.
#include "foundation/fw_entry.h"

#include <gtest/gtest.h>

namespace {

using namespace station;

TEST(FwEntry, EachNameMatchesOnlyItsOwnLayoutLine) {
  const FwEntryTable& t = fwEntryTable();
  for (int i = 0; i < kFwEntryCount; ++i) {
    const std::string& name = t[i].Name;
    ASSERT_GE(name.size(), 2u);
    EXPECT_EQ(name.back(), ' ') << name;
    EXPECT_NE(name[name.size() - 2], ' ') << name;
    EXPECT_EQ(FindFwEntry(name), i);
    for (int j = 0; j < kFwEntryCount; ++j) {
      // A layout line as the package writes it: the name, one blank, then its fields.
      const std::string line = t[j].Name + "offset=0x100000 size=0x2000 target=0x3000000";
      EXPECT_EQ(line.find(name) != std::string::npos, i == j) << name << " in " << line;
    }
  }
  EXPECT_EQ(FindFwEntry("FW_KERNEL"), -1);  // the blank is part of the name
  EXPECT_EQ(t[FW_EFUSE_PROGRAMMER].Name, "FW_EFUSE_PROGRAMMER ");
  EXPECT_EQ(t[FW_KERNEL_DT].Name, "FW_KERNEL_DT ");
}

}  // namespace

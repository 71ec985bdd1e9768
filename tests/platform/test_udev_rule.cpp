// The udev rule that scripts/udev-rule makes from a binding file, held to the station's own
// reading of the file: the rule opens exactly the boards the station lists, with their ids.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/process.h"
#include "platform/usb_bus.h"
#include "support/test_env.h"

namespace {

using Ids = std::vector<std::pair<uint16_t, uint16_t>>;

const std::string kScript = std::string(STATION_SOURCE_DIR) + "/scripts/udev-rule";
const std::string kTool = std::string(STATION_BINARY_DIR) + "/tools/udev_rule/udev-rule";

struct ScriptRun {
  int status = -1;
  std::string out, err;
};

// scripts/udev-rule BINDING_FILE GROUP, with this build's program.
ScriptRun RunScript(const testenv::ScratchDir& dir, const std::string& binding, const std::string& group) {
  const std::string out = (dir / "rule.out").string(), err = (dir / "rule.err").string();
  plat::SpawnOptions options;
  options.environment = {"UDEV_RULE_TOOL=" + kTool};
  const pid_t pid = plat::SpawnProcess("/bin/sh", {"sh", "-c", "bash \"$0\" \"$1\" \"$2\" >\"$3\" 2>\"$4\"", kScript,
                                                   binding, group, out, err},
                                       "", options);
  ScriptRun r;
  EXPECT_GT(pid, 0);
  int status = -1;
  EXPECT_EQ(plat::WaitProcess(pid, -1, &status), plat::WaitOutcome::Exited);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = testenv::ReadFile(out);
  r.err = testenv::ReadFile(err);
  return r;
}

// The boards of the rule's lines, in order; every line below the comment must be a board's.
Ids BoardsOfRule(const std::string& rule, const std::string& group) {
  const std::regex board("SUBSYSTEM==\"usb\", ENV\\{DEVTYPE\\}==\"usb_device\", ATTR\\{idVendor\\}==\"([0-9a-f]{4})\", "
                         "ATTR\\{idProduct\\}==\"([0-9a-f]{4})\", MODE=\"0660\", GROUP=\"" + group +
                         "\", TAG\\+=\"uaccess\"");
  Ids ids;
  std::istringstream in(rule);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::smatch m;
    if (!std::regex_match(line, m, board)) {
      ADD_FAILURE() << "not a board's line: " << line;
      continue;
    }
    ids.emplace_back(std::stoi(m[1], nullptr, 16), std::stoi(m[2], nullptr, 16));
  }
  return ids;
}

Ids BoardsOfStation(const std::string& binding) {
  Ids ids;
  for (const plat::UsbBoardId& id : plat::ReadUsbBindingFile(binding)) ids.emplace_back(id.vendor, id.product);
  return ids;
}

// Names are matched as in every settings file: without regard to case, blanks around them
// dropped, blanks and digits inside them kept ("Board01" is not "Board1"). The first section
// of a name and the first key in it count; a value in matching quotes reads without them.
TEST(UdevRule, OpensExactlyTheBoardsTheStationLists) {
  struct Case {
    const char* name;
    const char* text;
    Ids ids;
  } cases[] = {
      {"Plain", "[Board1]\nVendorId=1d6b\nProductId=0104\n[Board2]\nVendorId=0x0BDA\nProductId=ffff\n",
       {{0x1d6b, 0x0104}, {0x0bda, 0xffff}}},
      {"RepeatedKeysFirstCounts", "[Board1]\nVendorId=1111\nProductId=2222\nVendorId=3333\nProductId=4444\n",
       {{0x1111, 0x2222}}},
      {"RepeatedSectionFirstCounts",
       "[Board1]\nVendorId=1111\nProductId=2222\n[Board2]\nVendorId=5\nProductId=6\n[Board1]\nVendorId=3333\n"
       "ProductId=4444\n",
       {{0x1111, 0x2222}, {5, 6}}},
      {"RepeatedSectionDoesNotCompleteTheFirst",
       "[Board1]\nVendorId=1111\n[Board1]\nProductId=2222\n", {}},
      {"BlanksAroundTheNameAndCase", "[ Board1 ]\nVendorId=1\nProductId=2\n[board2]\nvendorid=3\nPRODUCTID=4\n",
       {{1, 2}, {3, 4}}},
      {"LeadingZeroIsAnotherName", "[Board01]\nVendorId=1\nProductId=2\n", {}},
      {"BlankInsideIsAnotherName", "[Board1]\nVendorId=1\nProductId=2\n[Board 2]\nVendorId=3\nProductId=4\n",
       {{1, 2}}},
      {"QuotedValues", "[Board1]\nVendorId=\"1d6b\"\nProductId='0x0104'\n[Board2]\nVendorId=\"5\nProductId=6\n",
       {{0x1d6b, 0x0104}}},
      {"CommentsAndLineEnds", "\xEF\xBB\xBF; boards\r\n[Board1]\r\n;VendorId=9\r\nVendorId = 7 \r\nProductId=8\r\n",
       {{7, 8}}},
      {"GapEndsTheList", "[Board1]\nVendorId=1\nProductId=2\n[Board3]\nVendorId=3\nProductId=4\n", {{1, 2}}},
      {"NoBoards", "; none yet\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testenv::ScratchDir dir;
    const std::string binding = (dir / "usb_boards.ini").string();
    testenv::WriteFile(binding, c.text);
    EXPECT_EQ(BoardsOfStation(binding), c.ids);
    const ScriptRun r = RunScript(dir, binding, "operators");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("# Boards in download mode for the flashing station, from " + binding + ".\n", 0), 0u)
        << r.out;
    EXPECT_EQ(BoardsOfRule(r.out, "operators"), c.ids) << r.out;
  }
}

// Nothing that udev would read as more than a group name, and no rule from a file that is not
// there (which would read as a binding without boards).
TEST(UdevRule, RefusesABadGroupOrAMissingFile) {
  testenv::ScratchDir dir;
  const std::string binding = (dir / "usb_boards.ini").string();
  testenv::WriteFile(binding, "[Board1]\nVendorId=1\nProductId=2\n");
  for (const char* group : {"a\", MODE=\"0666", "ops\nSUBSYSTEM==\"usb\"", "-x"}) {
    SCOPED_TRACE(group);
    const ScriptRun r = RunScript(dir, binding, group);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.out, "");
  }
  const ScriptRun missing = RunScript(dir, (dir / "none.ini").string(), "plugdev");
  EXPECT_NE(missing.status, 0);
  EXPECT_EQ(missing.out, "");
  EXPECT_NE(missing.err.find("cannot read"), std::string::npos) << missing.err;
}

}  // namespace

// The key-bag tools as the station runs them: built programs, run in a tool folder beside its
// USBMPTOOL.ini. Keys handed out one by one and never twice, the empty bag, a damaged bag,
// the viewer that only reads.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "foundation/crc32.h"
#include "keybag/keybag_file.h"
#include <sys/wait.h>

#include "platform/process.h"
#include "platform/profile.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

const std::string kTools = std::string(STATION_BINARY_DIR) + "/tools/keybag/";

class KeyBagTools : public ::testing::Test {
 protected:
  void SetUp() override {
    bag = (dir / "keys.bin").string();
    ASSERT_TRUE(plat::WriteProfileString("FACTORY", "KEY PATH", bag, (dir / "USBMPTOOL.ini").string()));
  }
  // Runs a tool in the tool folder; its exit status.
  int Run(const std::string& tool, std::vector<std::string> args = {}) {
    args.insert(args.begin(), tool);
    const pid_t pid = plat::SpawnProcess(kTools + tool, args, dir.str());
    EXPECT_GT(pid, 0) << tool;
    int status = -1;
    EXPECT_EQ(plat::WaitProcess(pid, -1, &status), plat::WaitOutcome::Exited);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int Make(uint32_t keys, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"create", bag, "--keys", std::to_string(keys), "--seed", "9", "--force"};
    args.insert(args.end(), more.begin(), more.end());
    return Run("keybag-make", args);
  }
  std::string Out(const std::string& name) { return testenv::ReadFile(dir / "keytemp" / name); }
  bool HasOut(const std::string& name) { return fs::exists(dir / "keytemp" / name); }
  // What keybag-make prints of record `index`.
  std::string Printed(int index, const std::string& what) {
    const std::string file = (dir / ("print-" + what)).string();
    EXPECT_EQ(Run("keybag-make", {"print", bag, std::to_string(index), what, "--out", file}), 0);
    return testenv::ReadFile(file);
  }

  testenv::ScratchDir dir;
  std::string bag;
};

TEST_F(KeyBagTools, EachRunHandsOutTheNextKeyUntilTheBagIsEmpty) {
  testenv::ScopedUmask open(0);  // the bag and the key files are private whatever the umask
  ASSERT_EQ(Make(3, {"--first-mac", "001020304050", "--key-bytes", "48"}), 0);
  EXPECT_EQ(testenv::ModeOf(bag), 0600);
  std::vector<std::string> keys;
  for (int board = 0; board < 3; ++board) {
    SCOPED_TRACE(board);
    fs::remove_all(dir / "keytemp");
    ASSERT_EQ(Run("keybag-gen"), 0);
    EXPECT_EQ(Out("env.txt"), std::string("00102030405") + char('0' + board));
    EXPECT_EQ(Out("sn.txt"), "SN0000000" + std::to_string(board + 1));
    EXPECT_EQ(Out("idx.txt"), std::to_string(board + 1) + "\n3\n");
    keys.push_back(Out("key_bag_final_sig_enc.bin"));
    EXPECT_EQ(testenv::ModeOf(dir / "keytemp" / "key_bag_final_sig_enc.bin"), 0600);
    EXPECT_EQ(keys.back().size(), 48u);
    EXPECT_EQ(keys.back(), Printed(board, "key"));
    EXPECT_EQ(Out("env.txt"), Printed(board, "mac"));
    ASSERT_EQ(Run("keybag-view"), 0);
    EXPECT_EQ(Out("nowidx.txt"), std::to_string(board + 1) + "\n3\n");
  }
  EXPECT_NE(keys[0], keys[1]);
  EXPECT_NE(keys[1], keys[2]);
  EXPECT_NE(keys[0], keys[2]);

  // The empty bag hands out nothing and writes nothing.
  fs::remove_all(dir / "keytemp");
  const std::string before = testenv::ReadFile(bag);
  EXPECT_EQ(Run("keybag-gen"), 3);
  EXPECT_FALSE(fs::exists(dir / "keytemp"));
  EXPECT_EQ(testenv::ReadFile(bag), before);
}

// The counter is raised before the files: a run that cannot write its files has spent its
// key, and the next run hands out the next one.
TEST_F(KeyBagTools, KeyIsSpentBeforeItsFilesAreWritten) {
  ASSERT_EQ(Make(2), 0);
  testenv::WriteFile(dir / "keytemp", "a file where the folder goes");
  EXPECT_EQ(Run("keybag-gen"), 4);
  ASSERT_EQ(fs::remove(dir / "keytemp"), true);
  ASSERT_EQ(Run("keybag-gen"), 0);
  EXPECT_EQ(Out("idx.txt"), "2\n2\n");
  EXPECT_EQ(Out("key_bag_final_sig_enc.bin"), Printed(1, "key"));
  for (const auto& e : fs::directory_iterator(dir / "keytemp")) EXPECT_NE(e.path().extension(), ".part") << e.path();
}

TEST_F(KeyBagTools, DamagedBagIsRefusedAndLeftAlone) {
  struct Case {
    const char* name;
    uint64_t offset;  // the byte that is spoiled
  } cases[] = {
      {"header", 9},
      {"next record", keybag::kHeaderSize + 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Make(2), 0);
    std::string bytes = testenv::ReadFile(bag);
    bytes[c.offset] = static_cast<char>(bytes[c.offset] ^ 0x40);
    testenv::WriteFile(bag, bytes);
    fs::remove_all(dir / "keytemp");
    EXPECT_EQ(Run("keybag-gen"), 2);
    EXPECT_FALSE(HasOut("key_bag_final_sig_enc.bin"));
    EXPECT_EQ(testenv::ReadFile(bag), bytes);
  }
  // The viewer refuses a damaged header too, and writes no counters.
  ASSERT_EQ(Make(2), 0);
  std::string bytes = testenv::ReadFile(bag);
  bytes[16] = 1;  // the counter, without its CRC
  testenv::WriteFile(bag, bytes);
  fs::remove_all(dir / "keytemp");
  EXPECT_EQ(Run("keybag-view"), 2);
  EXPECT_FALSE(HasOut("nowidx.txt"));
}

// The header's reserved bytes are zero in every bag: one that is not is damaged even when the
// header's CRC covers it. Both tools refuse the bag, say why, and leave it alone.
TEST_F(KeyBagTools, HeaderWithReservedBytesSetIsRefused) {
  for (const size_t offset : {20u, 27u}) {
    SCOPED_TRACE(offset);
    ASSERT_EQ(Make(2), 0);
    std::string bytes = testenv::ReadFile(bag);
    bytes[offset] = 1;
    const uint32_t crc = station::Crc32(bytes.data(), 28);
    for (int i = 0; i < 4; ++i) bytes[28 + i] = static_cast<char>(crc >> (8 * i));
    testenv::WriteFile(bag, bytes);

    keybag::Header h;
    std::string fault;
    EXPECT_FALSE(keybag::DecodeHeader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), h, &fault));
    EXPECT_EQ(fault, "the header's reserved bytes are not zero");
    fs::remove_all(dir / "keytemp");
    EXPECT_EQ(Run("keybag-gen"), 2);
    EXPECT_FALSE(HasOut("key_bag_final_sig_enc.bin"));
    EXPECT_EQ(Run("keybag-view"), 2);
    EXPECT_FALSE(HasOut("nowidx.txt"));
    EXPECT_EQ(testenv::ReadFile(bag), bytes);
  }
}

TEST_F(KeyBagTools, ViewerOnlyReads) {
  ASSERT_EQ(Make(5, {"--used", "4"}), 0);
  const std::string before = testenv::ReadFile(bag);
  testenv::WriteFile(dir / "keytemp" / "nowidx.txt", "ed_counter\ned_max\n");
  EXPECT_EQ(Run("keybag-view"), 0);
  EXPECT_EQ(Out("nowidx.txt"), "4\n5\n");
  EXPECT_EQ(testenv::ReadFile(bag), before);
  EXPECT_FALSE(HasOut("key_bag_final_sig_enc.bin"));
}

// The tools find their bag the way the station writes it: through the profile rules (case,
// blanks around names), and refuse to run without one.
TEST_F(KeyBagTools, BagIsNamedByTheSettingsFile) {
  ASSERT_EQ(Make(1), 0);
  testenv::WriteFile(dir / "USBMPTOOL.ini", "; keys\r\n[factory]\r\n  Key Path = " + bag + "\r\nKEY CONT=0\r\n");
  EXPECT_EQ(Run("keybag-view"), 0);
  EXPECT_EQ(Out("nowidx.txt"), "0\n1\n");
  testenv::WriteFile(dir / "USBMPTOOL.ini", "[FACTORY]\r\nKEY CONT=0\r\n");
  EXPECT_EQ(Run("keybag-gen"), 1);
  EXPECT_EQ(Run("keybag-view"), 1);
  fs::remove(dir / "USBMPTOOL.ini");
  EXPECT_EQ(Run("keybag-gen"), 1);
}

}  // namespace

// A firmware-only upgrade keeps the board's own factory data: the archive built again from a
// read-back of the board's factory area, with and without each of the board's files, from a
// blank area, from an area that does not unpack, and with what the dump must not bring along.
#include "factory/factory_regen.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "factory/factory_archive.h"
#include "factory/tar_head.h"
#include "foundation/log_boxes.h"
#include "foundation/work_paths.h"
#include "mkpackage/mkpackage.h"
#include "package/layout_file.h"
#include "support/factory_env.h"
#include "usblink/flash_dump.h"
#include "usblink/flash_read.h"

namespace station {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;
using Files = std::map<std::string, std::string>;
constexpr int kSlot = 6;
constexpr size_t kAreaBytes = 0x200000;

const Files kBoardFiles = {{"env.txt", "the board's environment"},
                           {"sysparam", "the board's parameters"},
                           {"sn.txt", "SN-OF-THE-BOARD"},
                           {"000BootParam.h", "#define THE_BOARDS_OWN 1\n"},
                           {"key_bag_final_sig_enc.bin", std::string(32, 'K')},
                           {"layout.txt", "the layout it was programmed with"}};

class FactoryRegen : public ::testing::Test, public testenv::FactoryFixture {
 protected:
  void SetUp() override {
    info = BuildUnpacked({});
    state().optionsDlg.SetText(kFlashTotalSizeEdit, "");
  }
  // An archive of tmp/factory/ with `files`, stamped as the builders stamp it.
  std::string BoardArchive(const Files& files) {
    const fs::path stage = dir / "board";
    fs::remove_all(stage);
    fs::create_directories(stage / "tmp/factory");
    for (const auto& [name, content] : files) testenv::WriteFile(stage / "tmp/factory" / name, content);
    const std::string archive = (dir / "board.tar").string();
    mkpackage::RunTar({"--format=ustar", "-cf", archive, "-C", stage.string(), "tmp/factory"});
    EXPECT_TRUE(RecalculateTarHead(archive, BurnOption{}, kTarHeadBuilt));
    return testenv::ReadFile(archive);
  }
  // What the board's factory area reads back as: `content`, then erased flash.
  void ReadBack(const std::string& content, int flashType = 0) {
    std::string area = content;
    area.resize(kAreaBytes, flashType == 0 ? '\xFF' : '\0');
    testenv::WriteFile(flashType == 0 ? DumpFilePath(kSlot) : ReadBackFilePath(kSlot), area);
  }
  // The firmware-only road: the new package's folder prepared, then the archive built again.
  StatusTag Regen(int flashType = 0) {
    const StatusTag prepared = Gen_blank_factory_tar_file("/package5", kSlot, BurnOption{}, 0);
    EXPECT_TRUE(prepared.Built()) << prepared.text;
    return Regen_factory_tar_file(kSlot, flashType, BurnOption{});
  }
  Names Unpacked(const std::string& archive) { return testenv::UnpackedMembers(archive, dir / "unpacked"); }
  std::string Member(const std::string& name) { return testenv::ReadFile(dir / "unpacked/tmp/factory" / name); }
  static Names Members(Names files) {
    files.insert(files.begin(), {"tmp/", "tmp/factory/"});
    for (size_t i = 2; i < files.size(); ++i) files[i] = "tmp/factory/" + files[i];
    std::sort(files.begin(), files.end());
    return files;
  }
  mkpackage::PackageInfo info;
};

TEST_F(FactoryRegen, BoardKeepsItsFilesWithTheNewLayout) {
  for (int flashType : {0, 2}) {
    SCOPED_TRACE(flashType);
    ReadBack(BoardArchive(kBoardFiles), flashType);
    const StatusTag tag = Regen(flashType);
    ASSERT_TRUE(tag.Built()) << tag.text;
    EXPECT_EQ(tag.text, workPaths().TempToolDir + FactoryArchiveName(kSlot));
    EXPECT_EQ(Unpacked(tag.text),
              Members({"000BootParam.h", "env.txt", "key_bag_final_sig_enc.bin", "layout.txt", "sn.txt", "sysparam"}));
    for (const char* carried : {"env.txt", "sysparam", "sn.txt", "000BootParam.h", "key_bag_final_sig_enc.bin"})
      EXPECT_EQ(Member(carried), kBoardFiles.at(carried)) << carried;
    EXPECT_EQ(Member("layout.txt"), testenv::ReadFile(fs::path(info.treeDir) / "layout.txt")) << "the new layout";
    EXPECT_EQ(testenv::ReadFile(tag.text).substr(508, 3), "MVX");
    EXPECT_FALSE(fs::exists(flashType == 0 ? DumpFilePath(kSlot) : ReadBackFilePath(kSlot)));
  }
}

TEST_F(FactoryRegen, EachFileOnlyWhenTheBoardHasIt) {
  struct Case {
    const char* left;        // the file the board's area lacks
    const char* logged;      // nullptr: nothing is said about it
    bool fromTemplate;       // the new template has one of its own
  } cases[] = {
      {"env.txt", nullptr, false},
      {"sysparam", "can not found sysparam in flash factory\r\n", false},
      {"sn.txt", "can not found sn.txt in flash factory\r\n", false},
      {"000BootParam.h", "can not found bootparam.h in flash factory\r\n", true},
      {"key_bag_final_sig_enc.bin", "can not found enckey in flash factory\r\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.left);
    Files files = kBoardFiles;
    files.erase(c.left);
    ReadBack(BoardArchive(files));
    SetDeviceLogText(kSlot, "");
    const StatusTag tag = Regen();
    ASSERT_TRUE(tag.Built()) << tag.text;
    Names want;
    for (const auto& [name, content] : kBoardFiles)
      if (name != c.left || c.fromTemplate) want.push_back(name);
    EXPECT_EQ(Unpacked(tag.text), Members(want));
    if (c.logged) {
      EXPECT_NE(DeviceLogText(kSlot).find(c.logged), std::string::npos);
    }
    if (c.fromTemplate) {
      EXPECT_NE(Member(c.left), kBoardFiles.at(c.left));
    }
  }
  // Without its key (the last case) the board's archive is not asked for one.
  EXPECT_NE(DeviceLogText(kSlot).find("do not check secure key"), std::string::npos);
}

// A board whose factory area holds no archive gets the blank factory, and is told so.
TEST_F(FactoryRegen, BlankAreaGetsTheBlankFactory) {
  for (int flashType : {0, 2}) {
    SCOPED_TRACE(flashType);
    ReadBack("", flashType);
    SetDeviceLogText(kSlot, "");
    const StatusTag tag = Regen(flashType);
    ASSERT_TRUE(tag.Built()) << tag.text;
    EXPECT_EQ(Unpacked(tag.text), Members({"000BootParam.h", "layout.txt"}));
    EXPECT_NE(DeviceLogText(kSlot).find("no factory tar head in flash factory area, write blank factory"),
              std::string::npos);
  }
}

TEST_F(FactoryRegen, AreasThatGiveNoArchive) {
  // An archive head whose data are cut short: the board's data cannot be had.
  std::string cut = BoardArchive(kBoardFiles).substr(0, 512 * 3 + 10);
  cut.resize(512 * 4, '\0');
  ReadBack(cut);
  EXPECT_EQ(Regen().text, "CALL_PROCESS_FAIL_REGEN_FACTORY_COMMAND");

  // No read-back at all, with an old archive of an earlier board in the dump folder: nothing
  // of that board is taken.
  testenv::WriteFile(workPaths().DumpDir + "/flash_factory.tar", BoardArchive(kBoardFiles));
  fs::remove(DumpFilePath(kSlot));
  const StatusTag none = Regen();
  EXPECT_TRUE(none.Failed());
  EXPECT_EQ(none.text, "REGEN_FACTORY_DUMP_FILE_FAIL");
}

// An old archive of an earlier board in the dump folder never wins over this board's area.
TEST_F(FactoryRegen, ReadBackReplacesAnEarlierBoardsArchive) {
  Files earlier = kBoardFiles;
  earlier["sn.txt"] = "SN-OF-AN-EARLIER-BOARD";
  fs::create_directories(workPaths().DumpDir);
  testenv::WriteFile(workPaths().DumpDir + "/flash_factory.tar", BoardArchive(earlier));
  ReadBack(BoardArchive(kBoardFiles));
  const StatusTag tag = Regen();
  ASSERT_TRUE(tag.Built()) << tag.text;
  Unpacked(tag.text);
  EXPECT_EQ(Member("sn.txt"), "SN-OF-THE-BOARD");
}

// A link in the board's archive is no file of the board: what it points at is not carried.
TEST_F(FactoryRegen, OnlyRegularFilesAreCarried) {
  testenv::WriteFile(dir / "secret.txt", "not the board's");
  const fs::path stage = dir / "board";
  fs::remove_all(stage);
  fs::create_directories(stage / "tmp/factory");
  testenv::WriteFile(stage / "tmp/factory/env.txt", "the board's environment");
  fs::create_symlink(dir / "secret.txt", stage / "tmp/factory/sn.txt");
  const std::string archive = (dir / "board.tar").string();
  mkpackage::RunTar({"--format=ustar", "-cf", archive, "-C", stage.string(), "tmp/factory"});
  ReadBack(testenv::ReadFile(archive));
  const StatusTag tag = Regen();
  ASSERT_TRUE(tag.Built()) << tag.text;
  EXPECT_EQ(Unpacked(tag.text), Members({"000BootParam.h", "env.txt", "layout.txt"}));
}

}  // namespace
}  // namespace station

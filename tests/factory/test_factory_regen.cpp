// A firmware-only upgrade keeps the board's own factory data: the archive built again from a
// read-back of the board's factory area, with and without each of the board's files, from a
// blank area, from an area that does not unpack, and with what the dump must not bring along.
#include "factory/factory_regen.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>

#include "factory/factory_archive.h"
#include "factory/tar_head.h"
#include "foundation/log_boxes.h"
#include "foundation/work_paths.h"
#include "mkpackage/mkpackage.h"
#include "package/tar_reader.h"
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
    if (area.size() < kAreaBytes) area.resize(kAreaBytes, flashType == 0 ? '\xFF' : '\0');
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
    ASSERT_TRUE(tag.Built()) << tag.text << DeviceLogText(kSlot);
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

// A board's archive is refused before anything of it is unpacked when it holds anything but
// files and folders under tmp/, a member or a whole larger than the factory area, or a header
// that readers could take differently; the files a link leads to are never touched.
class HostileDump : public FactoryRegen {
 protected:
  void SetUp() override {
    FactoryRegen::SetUp();
    testenv::WriteFile(Outside("keys.bag"), "the key bag");
    testenv::WriteFile(Outside("env.txt"), "outside env");
    testenv::WriteFile(Outside("factory/env.txt"), "outside factory env");
  }
  std::string Outside(const std::string& rel = "") { return (dir / "outside" / rel).string(); }
  void ExpectOutsideWhole() {
    EXPECT_EQ(testenv::ReadFile(Outside("keys.bag")), "the key bag");
    EXPECT_EQ(testenv::ReadFile(Outside("env.txt")), "outside env");
    EXPECT_EQ(testenv::ReadFile(Outside("factory/env.txt")), "outside factory env");
  }
  // A stage folder made by `make`, archived by GNU tar with `args` before the members.
  std::string Staged(const std::function<void(const fs::path&)>& make, std::vector<std::string> args,
                     const std::vector<std::string>& members = {"tmp"}) {
    const fs::path stage = dir / "board";
    fs::remove_all(stage);
    fs::create_directories(stage / "tmp/factory");
    testenv::WriteFile(stage / "tmp/factory/layout.txt", "the board's layout");
    make(stage);
    const std::string archive = (dir / "board.tar").string();
    args.insert(args.end(), {"-cf", archive, "-C", stage.string()});
    args.insert(args.end(), members.begin(), members.end());
    mkpackage::RunTar(args);
    return testenv::ReadFile(archive);
  }
  // The header of member `name` given another type and link name, its checksum made again.
  static std::string Retyped(std::string archive, const std::string& name, char type, const std::string& link = "") {
    for (size_t at = 0; at + 512 <= archive.size(); at += 512) {
      if (archive.compare(at, name.size() + 1, name + '\0') != 0) continue;
      archive[at + tar_field::kTypeflag] = type;
      std::fill_n(archive.begin() + static_cast<long>(at) + tar_field::kLinkname, tar_field::kLinknameLen, '\0');
      archive.replace(at + tar_field::kLinkname, link.size(), link);
      std::fill_n(archive.begin() + static_cast<long>(at) + tar_field::kChksum, 8, ' ');
      char sum[8];
      std::snprintf(sum, sizeof sum, "%06o", static_cast<unsigned>(TarHeaderChecksumUnsigned(
                                                  reinterpret_cast<const uint8_t*>(archive.data() + at))));
      archive.replace(at + tar_field::kChksum, 7, std::string(sum, 6) + '\0');
      return archive;
    }
    ADD_FAILURE() << name << " not in the archive";
    return archive;
  }
  static void File(const fs::path& p, size_t bytes) { testenv::WriteFile(p, std::string(bytes, 'f')); }
};

TEST_F(HostileDump, RefusedBeforeAnythingIsUnpacked) {
  const std::string outside = Outside();
  const std::vector<std::string> ustar = {"--format=ustar"};
  const auto nothing = [](const fs::path&) {};
  struct Case {
    const char* name;
    std::string archive;
    const char* member;  // as the refusal names it
  } cases[] = {
      {"tmp/factory a link", Staged([&](const fs::path& s) {
         fs::remove_all(s / "tmp/factory");
         fs::create_directory_symlink(outside + "/factory", s / "tmp/factory");
       }, ustar), "tmp/factory : symbolic link"},
      {"tmp a link", Staged([&](const fs::path& s) {
         fs::remove_all(s / "tmp");
         fs::create_directory_symlink(outside, s / "tmp");
       }, ustar), "tmp : symbolic link"},
      {"a file a link", Staged([&](const fs::path& s) {
         fs::create_symlink(outside + "/keys.bag", s / "tmp/factory/key_bag_final_sig_enc.bin");
       }, ustar), "tmp/factory/key_bag_final_sig_enc.bin : symbolic link"},
      {"a hard link in the tree", Staged([&](const fs::path& s) {
         testenv::WriteFile(s / "tmp/factory/env.txt", "env");
         fs::create_hard_link(s / "tmp/factory/env.txt", s / "tmp/factory/sn.txt");
       }, ustar, {"tmp/factory/env.txt", "tmp/factory/sn.txt"}), "tmp/factory/sn.txt : hard link"},
      {"a hard link to a file outside", Retyped(Staged([&](const fs::path& s) {
         testenv::WriteFile(s / "tmp/factory/key_bag_final_sig_enc.bin", "");
       }, ustar), "tmp/factory/key_bag_final_sig_enc.bin", '1', outside + "/keys.bag"),
       "tmp/factory/key_bag_final_sig_enc.bin : hard link"},
      {"a fifo", Staged([&](const fs::path& s) { ::mkfifo((s / "tmp/factory/sn.txt").c_str(), 0600); }, ustar),
       "tmp/factory/sn.txt : fifo"},
      {"a device", Retyped(Staged([&](const fs::path& s) { File(s / "tmp/factory/sn.txt", 0); }, ustar),
                           "tmp/factory/sn.txt", '3'), "tmp/factory/sn.txt : character device"},
      {"a sparse member of 8 GiB", Staged([&](const fs::path& s) {
         fs::resize_file((File(s / "tmp/factory/sysparam", 0), s / "tmp/factory/sysparam"), 8ull << 30);
       }, {"--format=gnu", "--sparse"}), "tmp/factory/sysparam : sparse member"},
      {"a pax sparse member", Staged([&](const fs::path& s) {
         fs::resize_file((File(s / "tmp/factory/sysparam", 0), s / "tmp/factory/sysparam"), 8ull << 30);
       }, {"--format=posix", "--sparse"}, {"tmp/factory/sysparam"}), "sysparam : extended header"},
      {"a name leaving the tree", Staged([&](const fs::path& s) { File(s / "tmp/factory/env.txt", 3); },
         {"--format=ustar", "-P", "--transform=s,^tmp/factory/env.txt$,tmp/../../env.txt,"}),
       "tmp/../../env.txt : name outside the tree"},
      {"an absolute name", Staged([&](const fs::path& s) { File(s / "tmp/factory/env.txt", 3); },
         {"--format=ustar", "-P", "--transform=s,^tmp/factory/env.txt$," + outside + "/env.txt,"}),
       " : name outside the tree"},
      {"a name beside tmp/", Staged([&](const fs::path& s) { File(s / "flash_factory.tar", 3); }, ustar,
                                    {"tmp", "flash_factory.tar"}), "flash_factory.tar : name outside the tree"},
      {"a member larger than the area", Staged([&](const fs::path& s) { File(s / "tmp/factory/env.txt", kAreaBytes + 1); },
         ustar), "tmp/factory/env.txt : member too large"},
      {"members larger than the area together", Staged([&](const fs::path& s) {
         File(s / "tmp/factory/env.txt", kAreaBytes / 2 + 1);
         File(s / "tmp/factory/sysparam", kAreaBytes / 2 + 1);
       }, ustar, {"tmp/factory/env.txt", "tmp/factory/sysparam"}), "tmp/factory/sysparam : archive too large"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(workPaths().DumpDir);
    ReadBack(c.archive);
    SetDeviceLogText(kSlot, "");
    EXPECT_EQ(Regen().text, "CALL_PROCESS_FAIL_REGEN_FACTORY_COMMAND");
    EXPECT_NE(DeviceLogText(kSlot).find("flash factory tar refused : "), std::string::npos) << DeviceLogText(kSlot);
    EXPECT_NE(DeviceLogText(kSlot).find(std::string(c.member) + "\r\n"), std::string::npos) << DeviceLogText(kSlot);
    // Nothing of it was unpacked: the dump folder holds the old archive only.
    std::vector<std::string> dump;
    for (const auto& e : fs::directory_iterator(workPaths().DumpDir)) dump.push_back(e.path().filename().string());
    EXPECT_EQ(dump, std::vector<std::string>{"flash_factory.tar"});
    ExpectOutsideWhole();
  }
}

// Links left in the dump folder by an earlier station are removed, never followed, by every
// attempt, also by those after a failed check; the board's files are then taken as usual.
TEST_F(HostileDump, AttemptsNeverWriteThroughALinkLeftInTheDump) {
  struct Case {
    const char* linked;
    const char* to;
  } cases[] = {{"tmp", ""}, {"tmp/factory", "factory"}};
  for (const auto& [linked, to] : cases) {
    SCOPED_TRACE(linked);
    fs::remove_all(workPaths().DumpDir);
    fs::create_directories(fs::path(workPaths().DumpDir + "/" + linked).parent_path());
    fs::create_directory_symlink(Outside(to), workPaths().DumpDir + "/" + linked);
    ReadBack(BoardArchive(kBoardFiles));
    ASSERT_TRUE(Gen_blank_factory_tar_file("/package5", kSlot, BurnOption{}, 0).Built());
    fs::remove(workPaths().TmpFactoryLayoutFile);  // every check fails: five attempts
    SetDeviceLogText(kSlot, "");
    EXPECT_EQ(Regen_factory_tar_file(kSlot, 0, BurnOption{}).text, "CHECK_FACOTRY_FAIL");
    EXPECT_EQ(testenv::CountOf(DeviceLogText(kSlot), "check :layout.txt not found"), 5);
    EXPECT_FALSE(fs::is_symlink(workPaths().DumpDir + "/" + linked));
    EXPECT_EQ(testenv::ReadFile(workPaths().DumpFactoryEnvFile), kBoardFiles.at("env.txt"));
    ExpectOutsideWhole();
  }
  ReadBack(BoardArchive(kBoardFiles));
  const StatusTag tag = Regen();
  ASSERT_TRUE(tag.Built()) << tag.text;
  Unpacked(tag.text);
  EXPECT_EQ(Member("env.txt"), kBoardFiles.at("env.txt"));
  ExpectOutsideWhole();
}

}  // namespace
}  // namespace station

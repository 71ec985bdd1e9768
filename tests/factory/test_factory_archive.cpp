// The factory archive a board gets, built with the real archiver and key-bag tools from a
// package made by mkpackage, and looked into with GNU tar: key mode with an environment image
// or a parameter file, three boards and their keys, the se_storage road, the builds after a
// failed check, the archiver failing; blank mode and the firmware-only preparation.
#include "factory/factory_archive.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "factory/board_env_files.h"
#include "factory/factory_work_files.h"
#include "factory/key_bag.h"
#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "mkpackage/mkpackage.h"
#include "package/layout_file.h"
#include "package/settings_files.h"
#include "platform/profile.h"
#include "support/factory_env.h"

namespace station {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

constexpr int kSlot = 3;

uint32_t Le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

// The members of a factory folder as GNU tar unpacks them.
Names FactoryMembers(const Names& files) {
  Names out = {"tmp/", "tmp/factory/"};
  for (const std::string& f : files) out.push_back("tmp/factory/" + f);
  std::sort(out.begin(), out.end());
  return out;
}

class FactoryArchive : public ::testing::Test, public testenv::FactoryFixture {
 protected:
  void SetUp() override {
    info = BuildUnpacked({});
    state().optionsDlg.SetText(kFlashTotalSizeEdit, "");
    bag = MakeKeyBag(3, {"--first-mac", "001020304050"});
    ASSERT_FALSE(bag.empty());
  }
  static BurnOption Options(bool seStorage = false, bool lk = false) {
    BurnOption o;
    o.burnFactory = 1;
    o.useSecureStorage = seStorage;
    o.lkEnable = lk;
    return o;
  }
  StatusTag Build(const BurnOption& o, int slot = kSlot) {
    return Gen_factory_tar_file(slot, MacTexts(), SnTexts(), o, o.useSecureStorage ? nullptr : &StorageTexts());
  }
  Names Unpacked(const std::string& archive) { return testenv::UnpackedMembers(archive, dir / "unpacked"); }
  std::string Member(const std::string& name) { return testenv::ReadFile(dir / "unpacked" / "tmp/factory" / name); }
  std::string IniValue(const char* key) { return plat::GetProfileString("FACTORY", key, "?", UsbMpToolIniPath()); }

  mkpackage::PackageInfo info;
  std::string bag;
  const WorkPaths& p = workPaths();
};

TEST_F(FactoryArchive, KeyModeCarriesTheBoardsFiles) {
  const StatusTag tag = Build(Options());
  ASSERT_TRUE(tag.Built()) << tag.text;
  EXPECT_EQ(tag.text, tempDir + "/" + FactoryArchiveName(kSlot));
  EXPECT_EQ(Unpacked(tag.text),
            FactoryMembers({"000BootParam.h", "env.txt", "key_bag_final_sig_enc.bin", "layout.txt", "sn.txt"}));
  EXPECT_EQ(Member("layout.txt"), testenv::ReadFile(fs::path(info.treeDir) / "layout.txt"));
  EXPECT_EQ(Member("key_bag_final_sig_enc.bin"), BagRecord(bag, 0, "key"));
  EXPECT_EQ(Member("sn.txt"), BagRecord(bag, 0, "sn"));
  const std::string env = Member("env.txt");
  EXPECT_EQ(env.size(), kEnvImageSize);
  EXPECT_NE(env.find(std::string("ethaddr=00:10:20:30:40:50") + '\0'), std::string::npos);
  EXPECT_EQ(SlotMacText(kSlot), "00:10:20:30:40:50");
  EXPECT_EQ(SlotSnText(kSlot), "SN00000001");
  EXPECT_EQ(SlotStorageText(kSlot), FactoryArchiveName(kSlot));
  EXPECT_EQ(IniValue("KEY CONT"), "1");
  EXPECT_EQ(IniValue("KEY MAX"), "3");

  // Stamped by the builder.
  const std::string archive = testenv::ReadFile(tag.text);
  const uint32_t size = Le32(archive, 504);
  EXPECT_EQ(Le32(archive, 500), 0u);
  EXPECT_EQ(archive.substr(508, 4), std::string("MVX\0", 4));
  EXPECT_EQ(archive.size(), size + 512 + 1024u);
  EXPECT_EQ(archive.substr(size, 512), archive.substr(0, 512));
}

TEST_F(FactoryArchive, LkBoardsGetAParameterFile) {
  const StatusTag tag = Build(Options(false, true));
  ASSERT_TRUE(tag.Built()) << tag.text;
  EXPECT_EQ(Unpacked(tag.text),
            FactoryMembers({"000BootParam.h", "key_bag_final_sig_enc.bin", "layout.txt", "sn.txt", "sysparam"}));
  const std::string sysparam = Member("sysparam");
  EXPECT_EQ(sysparam.size(), 4096u);
  EXPECT_NE(sysparam.find("00:10:20:30:40:50"), std::string::npos);
  // A second build for the same board finds its MAC file as it was.
  EXPECT_TRUE(Build(Options(false, true)).Built());
}

// Three boards, one after the other, as the factory-area writer runs them: each gets the
// next key of the bag, and the counters follow; then the bag is empty.
TEST_F(FactoryArchive, ThreeBoardsThreeKeys) {
  Names keys;
  for (int board = 0; board < 3; ++board) {
    SCOPED_TRACE(board);
    const StatusTag tag = Build(Options(), board);
    ASSERT_TRUE(tag.Built()) << tag.text;
    Unpacked(tag.text);
    keys.push_back(Member("key_bag_final_sig_enc.bin"));
    EXPECT_EQ(keys.back(), BagRecord(bag, board, "key"));
    EXPECT_EQ(SlotMacText(board), "00:10:20:30:40:5" + std::to_string(board));
    EXPECT_EQ(IniValue("KEY CONT"), std::to_string(board + 1));
    EXPECT_EQ(IniValue("KEY MAX"), "3");
    ASSERT_TRUE(DeleteTmpTarFiles(board));
  }
  EXPECT_NE(keys[0], keys[1]);
  EXPECT_NE(keys[1], keys[2]);
  const StatusTag empty = Build(Options(), 4);
  EXPECT_TRUE(empty.Failed());
  EXPECT_EQ(empty.text, "CALL_PROCESS_GEN_SINGLE_KEY_FAIL");
  EXPECT_EQ(IniValue("KEY CONT"), "3");
}

// With "burn se_storage" the key goes into the storage archive, built first in the same step:
// the factory archive takes the MAC and SN files where the key step left them, holds no key
// and is not refused for that.
TEST_F(FactoryArchive, SeStorageRoad) {
  ASSERT_TRUE(prepareTarCommand(kSlot));
  ASSERT_EQ(PrepareSingleSecureKey(kSlot, KeyStep::Storage), "");
  SetSlotStorageText(kSlot, "storage_3_tmp.tar");
  const StatusTag tag = Build(Options(true));
  ASSERT_TRUE(tag.Built()) << tag.text;
  EXPECT_EQ(Unpacked(tag.text), FactoryMembers({"000BootParam.h", "env.txt", "layout.txt", "sn.txt"}));
  EXPECT_EQ(SlotMacText(kSlot), "00:10:20:30:40:50");
  EXPECT_EQ(SlotStorageText(kSlot), "storage_3_tmp.tar");
  EXPECT_EQ(IniValue("KEY CONT"), "1");
}

// A check that fails builds the archive again with the key taken the first time; after the
// fifth the archive is kept in the tool folder and the check's tag comes back.
TEST_F(FactoryArchive, FailedChecksBuildAgainWithTheSameKey) {
  testenv::ScopedUmask open(0);
  const std::string kept = stationFiles.toolDir + "/" + FactoryArchiveName(kSlot);
  testenv::WriteFile(kept, "an earlier board's archive");
  testenv::WriteFile(fs::path(untarDir) / "config.txt", "install_factory=y\ninstall_avfile_count=1\n");
  const fs::path stage = dir / "stage";
  testenv::WriteFile(stage / "other.txt", "no boot parameters");
  mkpackage::RunTar({"-cf", untarDir + "/package5/factory.tar", "-C", stage.string(), "other.txt"});
  SetDeviceLogText(kSlot, "");
  const StatusTag tag = Build(Options());
  EXPECT_TRUE(tag.Failed());
  EXPECT_EQ(tag.text, "CHECK_FACOTRY_FAIL");
  EXPECT_EQ(testenv::CountOf(DeviceLogText(kSlot), "check : 000BootParam.h not found"), 5);
  EXPECT_NE(testenv::ReadFile(kept), "an earlier board's archive");
  EXPECT_EQ(testenv::ModeOf(kept), 0600) << "the kept archive holds the key";
  EXPECT_EQ(IniValue("KEY CONT"), "1") << "one key for all five builds";
}

// The key's files and the archive that carries it are their owner's alone from the start,
// also under a umask that takes nothing away.
TEST_F(FactoryArchive, KeyFilesAndArchiveArePrivate) {
  testenv::ScopedUmask open(0);
  const StatusTag tag = Build(Options());
  ASSERT_TRUE(tag.Built()) << tag.text;
  for (const std::string& f : {tag.text, p.TempToolSigEncFile, p.TmpFactorySigEncFile})
    EXPECT_EQ(testenv::ModeOf(f), 0600) << f;
  // The key's member keeps the mode: unpacked (for the check, too) it stays private.
  Unpacked(tag.text);
  EXPECT_EQ(testenv::ModeOf(dir / "unpacked" / "tmp/factory/key_bag_final_sig_enc.bin"), 0600);
}

TEST_F(FactoryArchive, MacAndSnFilesAreOptional) {
  ASSERT_TRUE(prepareTarCommand(kSlot));
  testenv::WriteFile(p.TempToolSigEncFile, std::string(32, 'k'));
  testenv::WriteFile(p.TempToolIdxFile, "2\n3\n");
  SetSlotMacText(kSlot, "an earlier MAC");
  SetSlotSnText(kSlot, "an earlier SN");
  const StatusTag tag = Build(Options());
  ASSERT_TRUE(tag.Built()) << tag.text;
  EXPECT_EQ(Unpacked(tag.text), FactoryMembers({"000BootParam.h", "key_bag_final_sig_enc.bin", "layout.txt"}));
  EXPECT_EQ(SlotMacText(kSlot), "");
  EXPECT_EQ(SlotSnText(kSlot), "");
  EXPECT_EQ(IniValue("KEY CONT"), "2");
}

// Success and failure do not hang on the letters of a path.
TEST_F(FactoryArchive, WorkFolderNamedWithFail) {
  const fs::path failTemp = dir / "FAIL_temp";
  fs::create_directories(failTemp);
  testenv::ScopedEnv temp("TEMP", failTemp.string());
  SetAppDir(appDir);
  const StatusTag tag = Build(Options());
  SetAppDir(appDir);
  ASSERT_TRUE(tag.Built()) << tag.text;
  EXPECT_EQ(tag.text, failTemp.string() + "/" + FactoryArchiveName(kSlot));
}

TEST_F(FactoryArchive, FailuresOnTheWay) {
  const std::string realTar = stationFiles.archiver;
  struct Case {
    const char* name;
    std::function<void()> set;
    std::string tag;
  } cases[] = {
      {"a template that does not unpack",
       [&] { testenv::WriteFile(untarDir + "/package5/factory.tar", std::string(3000, 'x')); },
       "CALL_PROCESS_FAIL_GEN_FACTORY_COMMAND"},
      {"the archiver failing to pack",
       [&] { FakeArchiver("[ \"$1\" = cvf ] && exit 2\nexec " + realTar + " \"$@\""); },
       "CALL_PROCESS_FAIL_GEN_FACTORY_COMMAND"},
      {"no layout", [&] { fs::remove(untarDir + "/layout.txt"); }, "GET_LAYOUT_TXT_FAIL"},
      {"a MAC file without a MAC", [&] {
         ASSERT_TRUE(prepareTarCommand(kSlot));
         testenv::WriteFile(p.TempToolSigEncFile, "k");
         testenv::WriteFile(p.TempToolIdxFile, "1\n3\n");
         testenv::WriteFile(p.TempToolEnvFile, "00:10\n");
       }, "REGEN_ENV_FILE_FAIL"},
      {"a work folder that is a link", [&] {
         fs::remove_all(workDir);
         fs::create_directories(dir / "elsewhere");
         fs::create_directory_symlink(dir / "elsewhere", workDir);
       }, "PREPARE_TAR_CMD_FAIL"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BuildUnpacked({});
    fs::remove_all(workDir);
    c.set();
    const StatusTag tag = Build(Options());
    EXPECT_TRUE(tag.Failed());
    EXPECT_EQ(tag.text, c.tag);
    EXPECT_FALSE(fs::exists(tempDir + "/" + FactoryArchiveName(kSlot)));
  }
}

class BlankFactory : public FactoryArchive {};

TEST_F(BlankFactory, TemplateAndLayoutOnly) {
  ASSERT_TRUE(prepareTarCommand(kSlot));
  testenv::WriteFile(p.TempToolSigEncFile, "a key that is not touched");
  const StatusTag tag = Gen_blank_factory_tar_file("/package5", kSlot, BurnOption{}, 1);
  ASSERT_TRUE(tag.Built()) << tag.text;
  EXPECT_EQ(tag.text, p.TempToolDir + FactoryArchiveName(kSlot));
  EXPECT_EQ(Unpacked(tag.text), FactoryMembers({"000BootParam.h", "layout.txt"}));
  EXPECT_EQ(Le32(testenv::ReadFile(tag.text), 500), 0u);
  EXPECT_EQ(testenv::ReadFile(tag.text).substr(508, 3), "MVX");
  EXPECT_FALSE(fs::exists(untarDir + "/package5/" + FactoryArchiveName(kSlot))) << "the per-board copy was moved";
  EXPECT_EQ(testenv::ReadFile(p.TempToolSigEncFile), "a key that is not touched");
  EXPECT_EQ(IniValue("KEY CONT"), "?");
}

TEST_F(BlankFactory, FirmwareOnlyUpgradePreparesTheFolders) {
  const StatusTag tag = Gen_blank_factory_tar_file("/package5", kSlot, BurnOption{}, 0);
  ASSERT_TRUE(tag.Built()) << tag.text;
  EXPECT_EQ(tag.text, "PASS");
  EXPECT_TRUE(fs::exists(p.TmpFactoryBootParamFile));
  EXPECT_TRUE(fs::exists(p.TmpFactoryLayoutFile));
  EXPECT_TRUE(fs::is_directory(p.DumpDir));
  EXPECT_FALSE(fs::exists(p.TempToolDir + FactoryArchiveName(kSlot)));
}

TEST_F(BlankFactory, PackageWithoutATemplateGetsTheStationsOwn) {
  fs::remove(untarDir + "/package5/factory.tar");
  SetDeviceLogText(kSlot, "");
  const StatusTag tag = Gen_blank_factory_tar_file("/package5", kSlot, BurnOption{}, 1);
  ASSERT_TRUE(tag.Built()) << tag.text;
  EXPECT_NE(DeviceLogText(kSlot).find("try to use blank factory.tar in mp tool\r\n"), std::string::npos);
  Unpacked(tag.text);
  EXPECT_EQ(Member("000BootParam.h"), "#define BOOT_PARAM_VERSION 1\n");
}

}  // namespace
}  // namespace station

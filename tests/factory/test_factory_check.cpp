// The check of a built factory archive against the package's config.txt: which files it must
// hold, an archive that does not unpack, and the archiver failing.
#include "factory/factory_check.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "factory/factory_work_files.h"
#include "foundation/log_boxes.h"
#include "foundation/work_paths.h"
#include "mkpackage/mkpackage.h"
#include "support/factory_env.h"

namespace station {
namespace {

namespace fs = std::filesystem;
constexpr int kSlot = 7;
constexpr const char* kFail = "CHECK_FACOTRY_FAIL";

class FactoryCheck : public ::testing::Test, public testenv::FactoryFixture {
 protected:
  void SetUp() override { ASSERT_TRUE(prepareTarCommand(kSlot)); }
  // An archive of tmp/factory/ holding `files`, made by GNU tar in the work folder.
  std::string Archive(const std::vector<std::string>& files) {
    const fs::path stage = dir / "stage";
    fs::remove_all(stage);
    fs::create_directories(stage / "tmp/factory");
    for (const std::string& f : files) testenv::WriteFile(stage / "tmp/factory" / f, f);
    const std::string path = workDir + "/factory_7_tmp.tar";
    mkpackage::RunTar({"-cf", path, "-C", stage.string(), "tmp/factory"});
    return path;
  }
  void Config(const std::string& text) {
    fs::remove(workPaths().InstallConfigFile);
    if (!text.empty()) testenv::WriteFile(workPaths().InstallConfigFile, text);
  }
};

TEST_F(FactoryCheck, WhatTheArchiveMustHold) {
  const std::vector<std::string> all = {"layout.txt", "000BootParam.h", "key_bag_final_sig_enc.bin"};
  struct Case {
    const char* name;
    std::string config;
    std::vector<std::string> files;
    bool key;
    std::string result;
    const char* logged;
  } cases[] = {
      {"everything", "install_factory=y\ninstall_avfile_count=1\n", all, true, "", "check : factory.tar : [ correct ]\r\n"},
      {"no layout", "install_factory=y\ninstall_avfile_count=1\n", {"000BootParam.h", "key_bag_final_sig_enc.bin"},
       true, kFail, "check :layout.txt not found ..\r\n"},
      {"boot parameters wanted, missing", "install_factory=y\ninstall_avfile_count=1\n",
       {"layout.txt", "key_bag_final_sig_enc.bin"}, true, kFail, "check : 000BootParam.h not found ..\r\n"},
      {"no audio files", "install_factory=y\ninstall_avfile_count=0\n", {"layout.txt", "key_bag_final_sig_enc.bin"},
       true, "", "check : install_avfile_count != y \r\ndo not check 000BootParam.h\r\n"},
      {"no factory install", "install_factory=n\ninstall_avfile_count=1\n", {"layout.txt", "key_bag_final_sig_enc.bin"},
       true, "", "do not check 000BootParam.h\r\n"},
      {"no config", "", {"layout.txt"}, false, "", "do not check 000BootParam.h\r\n"},
      {"key wanted, missing", "install_factory=y\ninstall_avfile_count=1\n", {"layout.txt", "000BootParam.h"}, true,
       kFail, "check : secure key not found ..\r\n"},
      {"key not wanted", "install_factory=y\ninstall_avfile_count=1\n", {"layout.txt", "000BootParam.h"}, false, "",
       "check : writefactory != y\r\ndo not check secure key\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Config(c.config);
    SetDeviceLogText(kSlot, "");
    EXPECT_EQ(CheckFactoryTar(Archive(c.files), kSlot, c.key), c.result);
    EXPECT_NE(DeviceLogText(kSlot).find(c.logged), std::string::npos) << DeviceLogText(kSlot);
  }
}

// An archive is checked by what it unpacks to, never by what an earlier check left there.
TEST_F(FactoryCheck, OnlyWhatThisArchiveHolds) {
  Config("install_factory=n\n");
  ASSERT_EQ(CheckFactoryTar(Archive({"layout.txt"}), kSlot, false), "");
  EXPECT_EQ(CheckFactoryTar(Archive({"sn.txt"}), kSlot, false), kFail);
  EXPECT_FALSE(fs::exists(workPaths().CheckFactoryDir + "layout.txt"));
}

TEST_F(FactoryCheck, ArchiveThatDoesNotUnpack) {
  Config("install_factory=n\n");
  const std::string path = Archive({"layout.txt"});
  std::string bytes = testenv::ReadFile(path);
  testenv::WriteFile(path, bytes.substr(0, 1024 + 6));  // cut inside the data of layout.txt
  EXPECT_EQ(CheckFactoryTar(path, kSlot, false), "CALL_PROCESS_FAIL_GEN_FACTORY_COMMAND");
  FakeArchiver("exit 2");
  EXPECT_EQ(CheckFactoryTar(Archive({"layout.txt"}), kSlot, false), "CALL_PROCESS_FAIL_GEN_FACTORY_COMMAND");
}

}  // namespace
}  // namespace station

// Work paths: the derivation chain from the two roots, the temporary folder when TEMP is
// missing, and moving the station folder.
#include "foundation/work_paths.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>

#include "foundation/file_utils.h"
#include "support/app_dir.h"
#include "support/test_env.h"

namespace {

using namespace station;

// Sets or clears environment variables for one test and puts them back afterwards.
class ScopedEnv {
 public:
  void Set(const char* name, const char* value) {
    Save(name);
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second)
        ::setenv(it->first.c_str(), it->second->c_str(), 1);
      else
        ::unsetenv(it->first.c_str());
    }
  }

 private:
  void Save(const char* name) {
    const char* v = ::getenv(name);
    saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(WorkPaths, BuiltFromTheTwoRoots) {
  const WorkPaths p = BuildWorkPaths("/st", "/tmpx");
  struct Row {
    const std::string& value;
    const char* want;
  } rows[] = {
      {p.AppDir, "/st"},
      {p.KeyBagGeneratorExe, "/st/for_usb_mp_tool/keybag-gen"},
      {p.KeyTempDir, "/st/for_usb_mp_tool/keytemp/"},
      {p.KeyTempTarExe, "/st/for_usb_mp_tool/keytemp/tar.exe"},
      {p.KeyTempIdxFile, "/st/for_usb_mp_tool/keytemp/idx.txt"},
      {p.TempToolDir, "/tmpx/mvx_tool/"},
      {p.DumpFactoryDir, "/tmpx/mvx_tool/dump/tmp/factory"},
      {p.DumpFactorySysParamFile, "/tmpx/mvx_tool/dump/tmp/factory/sysparam"},
      {p.TempToolBkEnvFile, "/tmpx/mvx_tool/bk_env.txt"},
      {p.TempToolFactoryTar, "/tmpx/mvx_tool/factory.tar"},
      {p.SeStorageKteeFile, "/tmpx/mvx_tool/tmp/se_storage/ktee.bin"},
      {p.TmpFactoryBootParamFile, "/tmpx/mvx_tool/tmp/factory/000BootParam.h"},
      {p.TmpFactoryLayoutFile, "/tmpx/mvx_tool/tmp/factory//layout.txt"},
      {p.InstallConfigFile, "/st/UnTarTmp/config.txt"},
      {p.CheckFactoryDir, "/tmpx/mvx_tool/check/tmp/factory/"},
  };
  for (const Row& r : rows) EXPECT_EQ(r.value, r.want);
}

TEST(WorkPaths, DoubledSeparatorNamesAUsableFile) {
  testenv::ScratchDir dir;
  const WorkPaths p = BuildWorkPaths(dir.str(), dir.str());
  ASSERT_TRUE(CreateMultiDir(p.TmpFactoryDir));
  ASSERT_TRUE(WriteBufToFile(p.TmpFactoryLayoutFile, "x", 1));
  EXPECT_TRUE(FileExists(p.TmpFactoryDir + "layout.txt"));
}

TEST(WorkPaths, TemporaryFolderWithoutTempStaysOutOfTheRoot) {
  ScopedEnv env;
  env.Set("TEMP", nullptr);
  env.Set("TMPDIR", nullptr);
  testenv::ScratchDir dir;
  testenv::ScopedAppDir app(dir.str());
  EXPECT_EQ(workPaths().TempDir, "/tmp");
  EXPECT_EQ(workPaths().TempToolDir, "/tmp/mvx_tool/");

  env.Set("TMPDIR", "/var/tmp");
  SetAppDir(dir.str());
  EXPECT_EQ(workPaths().TempToolDir, "/var/tmp/mvx_tool/");

  env.Set("TEMP", "");  // set but empty counts as unset
  SetAppDir(dir.str());
  EXPECT_EQ(workPaths().TempDir, "/var/tmp");

  env.Set("TEMP", "/data/t");
  SetAppDir(dir.str());
  EXPECT_EQ(workPaths().DumpDir, "/data/t/mvx_tool/dump");
}

TEST(WorkPaths, StationFolderCanBeMovedAndOldReferencesStayValid) {
  testenv::ScratchDir a, b;
  testenv::ScopedAppDir app(a.str());
  const WorkPaths& before = workPaths();
  EXPECT_EQ(before.AppDir, a.str());
  EXPECT_EQ(GetAppDir(), a.str());

  SetAppDir(b.str() + "/");  // a trailing separator is dropped
  EXPECT_EQ(workPaths().AppDir, b.str());
  EXPECT_EQ(workPaths().ToolWorkDir, b.str() + "/for_usb_mp_tool");
  EXPECT_EQ(before.ToolWorkDir, a.str() + "/for_usb_mp_tool");  // still readable
}

TEST(WorkPaths, DefaultStationFolderIsTheExecutablesFolder) {
  SetAppDir("");
  const auto exe = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(GetAppDir(), exe.parent_path().string());
  EXPECT_EQ(workPaths().AppDir, exe.parent_path().string());
}

}  // namespace

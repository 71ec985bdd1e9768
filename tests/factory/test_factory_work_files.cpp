// The work files around the archives: the archiver put in place, the generator's files taken
// in (never beside an earlier board's), the blank template, the clean-ups after a board.
#include "factory/factory_work_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <thread>

#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "support/factory_env.h"

namespace station {
namespace {

namespace fs = std::filesystem;
constexpr int kSlot = 2;

class WorkFiles : public ::testing::Test, public testenv::FactoryFixture {
 protected:
  const WorkPaths& p = workPaths();
};

TEST_F(WorkFiles, ArchiverIsCopiedInOnce) {
  ASSERT_TRUE(prepareTarCommand(kSlot));
  EXPECT_EQ(testenv::ReadFile(p.TempToolTarExe), testenv::ReadFile(p.KeyTempTarExe));
  EXPECT_FALSE(fs::exists(p.TempToolIconvDll)) << "no libraries of other platforms";
  testenv::WriteFile(p.TempToolTarExe, "left as it is");
  EXPECT_TRUE(prepareTarCommand(kSlot));
  EXPECT_EQ(testenv::ReadFile(p.TempToolTarExe), "left as it is");

  fs::remove(p.TempToolTarExe);
  fs::remove(p.KeyTempTarExe);
  EXPECT_FALSE(prepareTarCommand(kSlot));
}

TEST_F(WorkFiles, GeneratorFilesReplaceAnEarlierBoardsOnes) {
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {p.KeyTempEnvFile, p.TempToolEnvFile},   {p.KeyTempSigEncFile, p.TempToolSigEncFile},
      {p.KeyTempSigDecFile, p.TempToolSigDecFile}, {p.KeyTempSnFile, p.TempToolSnFile},
      {p.KeyTempIdxFile, p.TempToolIdxFile}};
  struct Case {
    const char* name;
    std::vector<bool> fresh;  // which generator files are there, in the order of `pairs`
    bool result;
  } cases[] = {
      {"all five", {true, true, true, true, true}, true},
      {"the counters only", {false, false, false, false, true}, true},
      {"no counters", {true, true, true, true, false}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::create_directories(workDir);
    SetDeviceLogText(kSlot, "");
    for (size_t i = 0; i < pairs.size(); ++i) {
      testenv::WriteFile(pairs[i].second, "earlier board");
      fs::remove(pairs[i].first);
      if (c.fresh[i]) testenv::WriteFile(pairs[i].first, "this board " + std::to_string(i));
    }
    EXPECT_EQ(MoveKeyTempFiles(kSlot), c.result);
    for (size_t i = 0; i < pairs.size(); ++i) {
      SCOPED_TRACE(pairs[i].second);
      if (!c.result) {
        EXPECT_EQ(testenv::ReadFile(pairs[i].second), "earlier board");
        continue;
      }
      EXPECT_FALSE(fs::exists(pairs[i].first));
      if (c.fresh[i])
        EXPECT_EQ(testenv::ReadFile(pairs[i].second), "this board " + std::to_string(i));
      else
        EXPECT_FALSE(fs::exists(pairs[i].second)) << "an earlier board's file stayed beside the new key";
    }
    if (!c.result) {
      EXPECT_EQ(DeviceLogText(kSlot), p.KeyTempIdxFile + " not found!\r\n");
    }
  }
}

TEST_F(WorkFiles, BlankTemplateForAPackageWithoutOne) {
  const std::string blank = testenv::ReadFile(appDir + "/Tempfile/factory.tar");
  struct Case {
    const char* name;
    std::string existing;  // package folder already unpacked; empty: no UnTarTmp
    bool nas;
    std::string folder;
  } cases[] = {
      {"nothing unpacked", "", false, "/package5"},
      {"nothing unpacked, NAS", "", true, "/omv"},
      {"a generic package", "/generic", true, "/generic"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(untarDir);
    if (!c.existing.empty()) testenv::WriteFile(untarDir + c.existing + "/factory.tar", "an old template");
    BurnOption option;
    option.nasEnable = c.nas;
    EXPECT_TRUE(PrepareFactoryTemplate(kSlot, option));
    EXPECT_EQ(testenv::ReadFile(untarDir + c.folder + "/factory.tar"), blank);
  }
  fs::remove_all(untarDir);
  testenv::WriteFile(untarDir, "a file in the way");
  EXPECT_FALSE(PrepareFactoryTemplate(kSlot, BurnOption{}));
}

class BoardClean : public WorkFiles {
 protected:
  std::vector<std::string> AllFiles() {
    const std::string n = std::to_string(kSlot);
    return {p.KeyTempEnvFile, p.KeyTempSigEncFile, p.KeyTempSigDecFile, p.KeyTempSnFile, p.KeyTempIdxFile,
            p.TempDir + "/storage_" + n + "_tmp.tar", p.TempDir + "/factory_" + n + "_tmp.tar",
            p.TempToolDir + "storage_" + n + "_tmp.tar", p.TempToolDir + "factory_" + n + "_tmp.tar",
            p.TempToolEnvFile, p.TempToolBkEnvFile, p.TempToolSysParamFile, p.TempToolSigEncFile,
            p.TempToolSigDecFile, p.TempToolSnFile, p.SeStorageSigEncFile, p.SeStorageKteeFile,
            p.TmpFactorySigEncFile, p.TmpFactorySigDecFile, p.TmpFactoryEnvFile, p.TmpFactorySysParamFile,
            p.TmpFactorySnFile, p.TmpFactoryLayoutFile, p.TempToolIdxFile, p.DumpFactoryEnvFile,
            p.DumpFactorySigEncFile, p.DumpFactoryBootParamFile, p.DumpFactorySysParamFile, p.DumpFactorySnFile,
            p.TempToolDecFile, p.TempToolKeySpentFile};
  }
  void WriteAll() {
    fs::create_directories(workDir);
    fs::permissions(workDir, fs::perms::owner_all);
    for (const std::string& f : AllFiles()) testenv::WriteFile(f, "x");
  }
};

TEST_F(BoardClean, EveryBoardFileGoes) {
  EXPECT_TRUE(DeleteTmpTarFiles(kSlot)) << "nothing to delete is no failure";
  WriteAll();
  testenv::WriteFile(p.TempToolTarExe, "kept");
  testenv::WriteFile(p.TmpFactoryBootParamFile, "kept");
  EXPECT_TRUE(DeleteTmpTarFiles(kSlot));
  for (const std::string& f : AllFiles()) EXPECT_FALSE(fs::exists(f)) << f;
  EXPECT_TRUE(fs::exists(p.TempToolTarExe));
  EXPECT_TRUE(fs::exists(p.TmpFactoryBootParamFile));
}

// A file that will not go fails the clean-up, but no other file stays because of it, and
// above all not the handed-out key.
TEST_F(BoardClean, FileThatStaysDoesNotKeepTheOthers) {
  WriteAll();
  fs::remove(p.KeyTempEnvFile);
  testenv::WriteFile(p.KeyTempEnvFile + "/stuck", "a folder where the file goes");
  SetDeviceLogText(kSlot, "");
  EXPECT_FALSE(DeleteTmpTarFiles(kSlot));
  EXPECT_EQ(DeviceLogText(kSlot), "delete file path failed :" + p.KeyTempEnvFile);
  for (const std::string& f : AllFiles()) {
    if (f != p.KeyTempEnvFile && f != p.TempToolKeySpentFile) {
      EXPECT_FALSE(fs::exists(f)) << f;
    }
  }
  EXPECT_TRUE(KeySpent()) << "the note that the key went out stays while a file stays";
}

// The note that the key went out is made private and durable in the work folder, and never
// through a work folder that is refused.
TEST_F(BoardClean, KeySpentNote) {
  testenv::ScopedUmask open(0);
  ASSERT_TRUE(prepareTarCommand(kSlot));
  EXPECT_FALSE(KeySpent());
  EXPECT_TRUE(MarkKeySpent(kSlot));
  EXPECT_TRUE(KeySpent());
  EXPECT_EQ(testenv::ModeOf(p.TempToolKeySpentFile), 0600);
  EXPECT_TRUE(DeleteTmpTarFiles(kSlot));
  EXPECT_FALSE(KeySpent());

  const fs::path elsewhere = dir / "elsewhere";
  fs::create_directories(elsewhere);
  fs::remove_all(workDir);
  fs::create_directory_symlink(elsewhere, workDir);
  SetDeviceLogText(kSlot, "");
  EXPECT_FALSE(MarkKeySpent(kSlot));
  EXPECT_EQ(DeviceLogText(kSlot), "the secure key could not be noted as spent : " + p.TempToolKeySpentFile + "\r\n");
  EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST_F(BoardClean, OnlyWhileNoSlotIsInItsFactoryStep) {
  WriteAll();
  std::promise<void> held, release;
  std::jthread slot([&] {
    plat::NamedMutexLock lock(state().MutexFactory);
    held.set_value();
    release.get_future().wait();
  });
  held.get_future().wait();
  EXPECT_FALSE(DeleteTmpTarFilesWhenIdle(0));
  EXPECT_TRUE(fs::exists(p.TempToolSigEncFile));
  release.set_value();
  slot.join();
  EXPECT_TRUE(DeleteTmpTarFilesWhenIdle(kSlot));
  EXPECT_FALSE(fs::exists(p.TempToolSigEncFile));
  EXPECT_FALSE(state().MutexFactory.Held());
}

TEST_F(BoardClean, WorkFoldersAreEmptiedAndRemoved) {
  WriteAll();
  testenv::WriteFile(p.CheckFactoryDir + "layout.txt", "x");
  testenv::WriteFile(p.TempToolTarExe, "kept");
  CleanWorkFolders();
  for (const std::string& folder : {p.TempToolTmpDir, p.CheckDir, p.DumpDir}) EXPECT_FALSE(fs::exists(folder)) << folder;
  EXPECT_TRUE(fs::exists(p.TempToolTarExe));
  EXPECT_TRUE(fs::exists(p.TempToolSigEncFile));
}

// Links that a board's archive could have left in the work folder, in a file's place or in a
// folder's: every clean-up removes the links and leaves the files they lead to.
TEST_F(BoardClean, LinksInTheWorkFolderAreRemovedNeverFollowed) {
  const fs::path elsewhere = dir / "elsewhere";
  const std::vector<std::string> theirs = {"env.txt", "sn.txt", "sysparam", "000BootParam.h",
                                           "key_bag_final_sig_enc.bin", "factory/env.txt", "factory/sn.txt",
                                           "factory/sysparam", "factory/key_bag_final_sig_enc.bin"};
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // link in the work folder, what it leads to
  } cases[] = {
      {"the dump's factory folder", {{p.DumpFactoryDir, "factory"}}},
      {"the dump's tmp folder", {{p.DumpDir + "/tmp", ""}}},
      {"the dump folder", {{p.DumpDir, ""}}},
      {"the new factory folder", {{p.TempToolTmpDir + "factory", "factory"}}},
      {"files", {{p.DumpFactoryEnvFile, "env.txt"}, {p.TmpFactorySnFile, "sn.txt"}, {p.SeStorageKteeFile,
                  "key_bag_final_sig_enc.bin"}}},
  };
  for (const auto& clean : {std::string("DeleteTmpTarFiles"), std::string("CleanWorkFolders")}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(clean + ": " + c.name);
      fs::remove_all(workDir);
      WriteAll();
      for (const std::string& f : theirs) testenv::WriteFile(elsewhere / f, "someone else's");
      for (const auto& [link, to] : c.links) {
        std::string at = link;
        while (at.back() == '/') at.pop_back();
        fs::remove_all(at);
        fs::create_directories(fs::path(at).parent_path());
        fs::create_symlink(elsewhere / to, at);
      }
      if (clean == "DeleteTmpTarFiles") {
        EXPECT_TRUE(DeleteTmpTarFiles(kSlot));
      } else {
        CleanWorkFolders();
      }
      for (const auto& [link, to] : c.links) {
        std::string at = link;
        while (at.back() == '/') at.pop_back();
        EXPECT_FALSE(fs::is_symlink(at)) << at;
      }
      for (const std::string& f : theirs) EXPECT_TRUE(fs::exists(elsewhere / f)) << f;
    }
  }
}

// A work folder that is a link leads no clean-up elsewhere.
TEST_F(BoardClean, LinkedWorkFolderIsLeftAlone) {
  const fs::path elsewhere = dir / "elsewhere";
  for (const char* f : {"tmp/factory/env.txt", "check/x", "dump/y", "key_bag_final_sig_enc.bin", "sn.txt"})
    testenv::WriteFile(elsewhere / f, "someone else's");
  fs::create_directory_symlink(elsewhere, workDir);
  CleanWorkFolders();
  EXPECT_FALSE(DeleteTmpTarFiles(kSlot));
  for (const char* f : {"tmp/factory/env.txt", "check/x", "dump/y", "key_bag_final_sig_enc.bin", "sn.txt"})
    EXPECT_TRUE(fs::exists(elsewhere / f)) << f;
}

}  // namespace
}  // namespace station

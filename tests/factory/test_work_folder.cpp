// The work folder under the temporary folder: the station user's own, mode 0700, never a link.
#include "factory/work_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "foundation/log_boxes.h"
#include "support/factory_env.h"

namespace station {
namespace {

namespace fs = std::filesystem;

class WorkFolder : public ::testing::Test, public testenv::FactoryFixture {
 protected:
  mode_t Mode() {
    struct stat st;
    return ::lstat(workDir.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
};

TEST_F(WorkFolder, MadeForTheStationUserOnly) {
  EXPECT_FALSE(WorkFolderIsSafe());
  ASSERT_TRUE(PrepareWorkFolder(1));
  EXPECT_EQ(Mode(), 0700u);
  EXPECT_TRUE(WorkFolderIsSafe());
  fs::permissions(workDir, fs::perms::owner_all | fs::perms::others_all);
  EXPECT_TRUE(PrepareWorkFolder(1));
  EXPECT_EQ(Mode(), 0700u) << "a wider mode is narrowed";
}

TEST_F(WorkFolder, LinkIsRefusedAndWhatItLeadsToLeftAlone) {
  const fs::path elsewhere = dir / "elsewhere";
  fs::create_directories(elsewhere);
  fs::permissions(elsewhere, fs::perms::all);
  fs::create_directory_symlink(elsewhere, workDir);
  EXPECT_FALSE(PrepareWorkFolder(2));
  EXPECT_FALSE(WorkFolderIsSafe());
  EXPECT_EQ(DeviceLogText(2), "work folder refused : " + workDir + "\r\n");
  EXPECT_EQ(fs::status(elsewhere).permissions(), fs::perms::all);
}

TEST_F(WorkFolder, SomeoneElsesFolderIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs a folder of another user";
  fs::create_directories(workDir);
  ASSERT_EQ(::chown(workDir.c_str(), 4321, 4321), 0);
  EXPECT_FALSE(PrepareWorkFolder(3));
  EXPECT_FALSE(WorkFolderIsSafe());
}

}  // namespace
}  // namespace station

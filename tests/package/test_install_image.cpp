// Unpacking whole archives: the installation package as the package builder makes it, and
// archives that a careless or hostile build could make.
#include "package/install_image.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <stop_token>
#include <string>

#include "foundation/log_boxes.h"
#include "foundation/progress_strip.h"
#include "mkpackage/mkpackage.h"
#include "platform/clock.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using station::UntarInstallImg;

// Every file and folder under `root`, with the contents of the files.
std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    std::string rel = fs::relative(e.path(), root).string();
    out[rel] = e.is_directory() ? "<dir>" : testenv::ReadFile(e.path());
  }
  return out;
}

int CountOf(const std::string& text, const std::string& piece) {
  int n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

class UnpackTest : public ::testing::Test {
 protected:
  mkpackage::PackageInfo Build(mkpackage::PackageOptions o = {}) {
    o.outDir = (env_.dir / "build").string();
    return mkpackage::BuildPackage(o);
  }
  fs::path Dest() {
    fs::path d = env_.dir / "UnTarTmp";
    fs::create_directories(d);
    return d;
  }
  ui::Dialog& Bar() { return env_.station->progressDlg; }
  testenv::StationFixture env_;
};

TEST_F(UnpackTest, PackageUnpacksToTheTreeItWasMadeFrom) {
  for (const char* format : {"gnu", "ustar", "posix"}) {
    SCOPED_TRACE(format);
    mkpackage::PackageOptions o;
    o.format = std::string(format) == "gnu" ? mkpackage::TarFormat::Gnu
               : std::string(format) == "ustar" ? mkpackage::TarFormat::Ustar
                                                : mkpackage::TarFormat::Posix;
    o.flashSizeGb = "8";
    mkpackage::PackageInfo info = Build(o);
    fs::path dest = env_.dir / (std::string("out-") + format);
    fs::create_directories(dest);
    uint16_t max = 0;
    uint32_t step = 0;
    UntarInstallImg(info.imagePath, dest.string(), nullptr, max, step, 0);
    EXPECT_EQ(Tree(dest), Tree(info.treeDir));
  }
}

TEST_F(UnpackTest, CountersAndBarFollowTheMembers) {
  mkpackage::PackageInfo info = Build();
  // Members as GNU tar lists them: every file and folder of the tree.
  const int members = static_cast<int>(Tree(info.treeDir).size());
  uint16_t max = 5;  // the counters belong to the caller and only grow
  uint32_t step = 7;
  env_.station->progress.Create();
  UntarInstallImg(info.imagePath, Dest().string(), env_.station->progress.BarDialog(), max, step, 0);
  EXPECT_EQ(max, 5 + members);
  EXPECT_EQ(step, 7u + members);
  EXPECT_EQ(env_.station->progress.RangeMax(), 5 + members);
  EXPECT_EQ(env_.station->progress.Pos(), 7 + members);

  std::string log = station::MainLogText();
  EXPECT_EQ(CountOf(log, " progress max length  : "), members);
  EXPECT_EQ(CountOf(log, " progress step  : "), members);
  EXPECT_NE(log.find(" progress max length  : 6 \r\n"), std::string::npos);
  EXPECT_NE(log.find("start untar install.img\r\n"), std::string::npos);
  EXPECT_NE(log.find(" Untar file name : package5/ \r\n"), std::string::npos);
  EXPECT_NE(log.find(" Untar file name  : package5/uImage \r\n"), std::string::npos);
  EXPECT_LT(log.find("start untar"), log.find(" progress step  : 8 \r\n"));
}

TEST_F(UnpackTest, QuietLeavesCountersAndBarAlone) {
  mkpackage::PackageInfo info = Build();
  uint16_t max = 3;
  uint32_t step = 4;
  Bar().SetRange(station::kProgressBarId, 0, 100);
  Bar().SetPos(station::kProgressBarId, 42);
  UntarInstallImg(info.imagePath, Dest().string(), &Bar(), max, step, 1);
  EXPECT_EQ(max, 3);
  EXPECT_EQ(step, 4u);
  EXPECT_EQ(Bar().Pos(station::kProgressBarId), 42);
  EXPECT_EQ(Bar().Snapshot(station::kProgressBarId)->rangeMax, 100);
  std::string log = station::MainLogText();
  EXPECT_NE(log.find(" progress step  : 4 \r\n"), std::string::npos);
  EXPECT_EQ(log.find(" progress step  : 5 \r\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(Dest() / "package5" / "uImage"));
}

TEST_F(UnpackTest, MissingArchiveCountsOneAndWritesNothing) {
  uint16_t max = 0;
  uint32_t step = 0;
  UntarInstallImg((env_.dir / "no-such.img").string(), Dest().string(), &Bar(), max, step, 0);
  EXPECT_EQ(max, 1);
  EXPECT_EQ(step, 1u);
  EXPECT_TRUE(fs::is_empty(Dest()));
}

// A loading thread asked to stop unpacks no further member and says so.
TEST_F(UnpackTest, AStopEndsTheUnpackAtTheNextMember) {
  const mkpackage::PackageInfo info = Build();
  std::stop_source stop;
  plat::ScopedStopToken current(stop.get_token());
  const int token = station::state().optionsDlg.Subscribe([&](int) {
    if (station::MainLogText().find("start untar install.img") != std::string::npos) stop.request_stop();
  });
  uint16_t max = 0;
  uint32_t step = 0;
  EXPECT_FALSE(UntarInstallImg(info.imagePath, Dest().string(), &Bar(), max, step, 0));
  station::state().optionsDlg.Unsubscribe(token);
  EXPECT_GT(max, 2);
  EXPECT_EQ(step, 0u);
  EXPECT_TRUE(fs::is_empty(Dest()));

  const fs::path whole = env_.dir / "whole";
  fs::create_directories(whole);
  plat::ScopedStopToken none{std::stop_token()};
  EXPECT_TRUE(UntarInstallImg(info.imagePath, whole.string(), &Bar(), max, step, 0));
}

TEST_F(UnpackTest, NothingLandsOutsideTheDestination) {
  fs::path src = env_.dir / "src";
  testenv::WriteFile(src / "good.txt", "good");
  testenv::WriteFile(src / "bad.txt", "bad");
  fs::create_directories(src / "sub");
  fs::path archive = env_.dir / "evil.tar";
  fs::path absolute = env_.dir / "absolute";
  mkpackage::RunTar({"--format=gnu", "-P", "-C", src.string(), "-cf", archive.string(),
                     "--transform=s,^bad.txt,../../climbed.txt,", "--transform=s,^sub,../../climbed-dir,",
                     "good.txt", "bad.txt", "sub"});
  mkpackage::RunTar({"--format=gnu", "-P", "-C", src.string(), "-rf", archive.string(),
                     "--transform=s,^good.txt," + absolute.string() + "/x.txt,", "good.txt"});
  fs::path dest = env_.dir / "a" / "b" / "UnTarTmp";
  fs::create_directories(dest);
  uint16_t max = 0;
  uint32_t step = 0;
  UntarInstallImg(archive.string(), dest.string(), nullptr, max, step, 0);

  EXPECT_EQ(testenv::ReadFile(dest / "good.txt"), "good");
  EXPECT_FALSE(fs::exists(env_.dir / "climbed.txt"));
  EXPECT_FALSE(fs::exists(env_.dir / "climbed-dir"));
  EXPECT_FALSE(fs::exists(absolute));
  std::string log = station::MainLogText();
  EXPECT_NE(log.find(" Untar skip unsafe name : ../../climbed.txt \r\n"), std::string::npos);
  EXPECT_NE(log.find(" Untar skip unsafe name : ../../climbed-dir/ \r\n"), std::string::npos);
  EXPECT_NE(log.find(" Untar skip unsafe name : " + absolute.string() + "/x.txt \r\n"), std::string::npos);
}

TEST_F(UnpackTest, LinksAreSkippedAndFoldersComeWhole) {
  fs::path src = env_.dir / "src";
  testenv::WriteFile(src / "a" / "b" / "c" / "file.bin", "deep");
  fs::create_symlink("file.bin", src / "a" / "b" / "c" / "sym");
  fs::create_hard_link(src / "a" / "b" / "c" / "file.bin", src / "a" / "hard");
  fs::path archive = env_.dir / "links.tar";
  // Only the deepest folder is listed: its parents must come with it in one step.
  mkpackage::RunTar({"--format=gnu", "--no-recursion", "-C", src.string(), "-cf", archive.string(), "a/b/c/",
                     "a/b/c/file.bin", "a/b/c/sym", "a/hard"});
  uint16_t max = 0;
  uint32_t step = 0;
  UntarInstallImg(archive.string(), Dest().string(), nullptr, max, step, 0);
  EXPECT_EQ(testenv::ReadFile(Dest() / "a" / "b" / "c" / "file.bin"), "deep");
  EXPECT_FALSE(fs::exists(fs::symlink_status(Dest() / "a" / "b" / "c" / "sym")));
  EXPECT_FALSE(fs::exists(Dest() / "a" / "hard"));
  std::string log = station::MainLogText();
  EXPECT_EQ(log.find("sym"), std::string::npos);
  EXPECT_EQ(log.find("hard"), std::string::npos);
}

TEST_F(UnpackTest, FileWhoseFolderIsNotListedIsStillWritten) {
  fs::path src = env_.dir / "src";
  testenv::WriteFile(src / "package5" / "layout.txt", "fw = FW_KERNEL offset=0x1 size=0x1 name=x\n");
  fs::path archive = env_.dir / "files-only.tar";
  mkpackage::RunTar({"--format=ustar", "-C", src.string(), "-cf", archive.string(), "package5/layout.txt"});
  uint16_t max = 0;
  uint32_t step = 0;
  UntarInstallImg(archive.string(), Dest().string(), nullptr, max, step, 0);
  EXPECT_TRUE(fs::exists(Dest() / "package5" / "layout.txt"));
}

TEST_F(UnpackTest, DamagedPackage) {
  // A spoiled header counts as a member in both walks and writes nothing; the rest unpacks.
  mkpackage::PackageOptions bad;
  bad.badChecksumMember = "package5/uImage";
  mkpackage::PackageInfo info = Build(bad);
  uint16_t max = 0;
  uint32_t step = 0;
  UntarInstallImg(info.imagePath, Dest().string(), &Bar(), max, step, 0);
  EXPECT_EQ(max, step);
  EXPECT_FALSE(fs::exists(Dest() / "package5" / "uImage"));
  EXPECT_TRUE(fs::exists(Dest() / "package5" / "rootfs.bin"));
  EXPECT_TRUE(fs::exists(Dest() / "layout.txt"));

  // A cut archive unpacks as far as it goes: the last member comes out short.
  mkpackage::PackageOptions cut;
  cut.noEndBlocks = true;
  cut.truncateBytes = 100;
  info = Build(cut);
  fs::path dest = env_.dir / "cut";
  fs::create_directories(dest);
  UntarInstallImg(info.imagePath, dest.string(), nullptr, max, step, 0);
  std::map<std::string, std::string> want = Tree(info.treeDir), got = Tree(dest);
  ASSERT_EQ(got.size(), want.size());
  std::string last = want.rbegin()->first;
  EXPECT_EQ(got[last].size() + 100, want[last].size());
}

}  // namespace

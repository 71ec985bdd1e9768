// File and folder helpers: retry rounds and their waits, folder trees with progress, path and
// hexadecimal texts, and whole-file reading past 4 GiB.
#include "foundation/file_utils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>

#include "foundation/log_boxes.h"
#include "support/test_env.h"

namespace fs = std::filesystem;

namespace {

using namespace station;
using testenv::ReadFile;
using testenv::WriteFile;

constexpr int64_t kAllRoundsMs = 60000;  // 500 + 1000 + ... + 7500

class FileUtils : public ::testing::Test {
 protected:
  int64_t Slept() { return env_.clock.get().SleptMs(); }
  std::string P(const std::string& rel) { return (env_.dir / rel).string(); }
  testenv::StationFixture env_;
};

TEST_F(FileUtils, DeleteRetryWaitsOnceForAMissingPathAndGivesUpOnOneThatStays) {
  EXPECT_TRUE(DeleteFileRetry(P("never-there")));
  EXPECT_EQ(Slept(), 500);

  fs::create_directory(P("a-folder"));  // a file delete never removes a folder
  EXPECT_FALSE(DeleteFileRetry(P("a-folder")));
  EXPECT_EQ(Slept(), 500 + kAllRoundsMs);
  EXPECT_TRUE(fs::exists(P("a-folder")));
}

TEST_F(FileUtils, DeleteRetryRemovesReadOnlyFiles) {
  WriteFile(P("ro.bin"), "data");
  ::chmod(P("ro.bin").c_str(), 0444);
  EXPECT_TRUE(DeleteFileRetry(P("ro.bin")));
  EXPECT_FALSE(fs::exists(P("ro.bin")));
  EXPECT_EQ(Slept(), 500);
}

TEST_F(FileUtils, CopyRetryOverwritesAndFailsAfterAllRoundsWithoutSource) {
  WriteFile(P("src"), "new contents");
  WriteFile(P("dst"), "old, longer contents");
  EXPECT_TRUE(CopyFileRetry(P("src"), P("dst")));
  EXPECT_EQ(ReadFile(P("dst")), "new contents");
  EXPECT_EQ(ReadFile(P("src")), "new contents");
  EXPECT_EQ(Slept(), 500);

  EXPECT_FALSE(CopyFileRetry(P("missing"), P("dst2")));
  EXPECT_EQ(Slept(), 500 + kAllRoundsMs);
  EXPECT_FALSE(fs::exists(P("dst2")));
}

TEST_F(FileUtils, CopyOntoItselfKeepsTheData) {
  WriteFile(P("same"), "keep me");
  EXPECT_TRUE(CopyFileRetry(P("same"), P("same")));
  EXPECT_EQ(ReadFile(P("same")), "keep me");
}

TEST_F(FileUtils, MoveRetryMovesButNeverReplacesATarget) {
  WriteFile(P("a"), "A");
  EXPECT_TRUE(MoveFileRetry(P("a"), P("b")));
  EXPECT_FALSE(fs::exists(P("a")));
  EXPECT_EQ(ReadFile(P("b")), "A");

  // The target is there, so the move counts as done, and nothing is lost.
  WriteFile(P("c"), "C");
  EXPECT_TRUE(MoveFileRetry(P("c"), P("b")));
  EXPECT_EQ(ReadFile(P("b")), "A");
  EXPECT_EQ(ReadFile(P("c")), "C");
}

// The work files' move: a file from an earlier board at the target never wins.
TEST_F(FileUtils, ReplacingMoveReplacesTheTargetAndNeedsItsSource) {
  struct Case {
    const char* name;
    bool source, target;
    bool result;
    std::string after;  // the target afterwards; empty: none
  } cases[] = {
      {"no target yet", true, false, true, "new"},
      {"an old target", true, true, true, "new"},
      {"no source, an old target", false, true, false, "old"},
      {"nothing at all", false, false, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(P("src"));
    fs::remove(P("dst"));
    if (c.source) WriteFile(P("src"), "new");
    if (c.target) WriteFile(P("dst"), "old");
    EXPECT_EQ(MoveFileReplaceRetry(P("src"), P("dst")), c.result);
    EXPECT_FALSE(fs::exists(P("src")));
    EXPECT_EQ(fs::exists(P("dst")) ? ReadFile(P("dst")) : "", c.after);
  }
}

TEST_F(FileUtils, MoveRetryAcrossFileSystems) {
  struct stat a, b;
  ASSERT_EQ(::stat(env_.dir.str().c_str(), &a), 0);
  if (::stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev) GTEST_SKIP() << "no second file system";
  const std::string target = "/dev/shm/fu-move-" + std::to_string(::getpid());
  WriteFile(P("far"), "across");
  EXPECT_TRUE(MoveFileRetry(P("far"), target));
  EXPECT_FALSE(fs::exists(P("far")));
  EXPECT_EQ(ReadFile(target), "across");
  WriteFile(P("far"), "replaced");
  EXPECT_TRUE(MoveFileReplaceRetry(P("far"), target));
  EXPECT_FALSE(fs::exists(P("far")));
  EXPECT_EQ(ReadFile(target), "replaced");
  EXPECT_FALSE(fs::exists(target + ".moving"));
  fs::remove(target);
}

TEST_F(FileUtils, FolderCreation) {
  fs::create_directory(P("have"));
  WriteFile(P("plain"), "x");
  struct Case {
    std::string path;
    bool multi, tree;
  } cases[] = {
      {P("have"), true, false},  // an existing folder: made by neither, present for CreateMultiDir
      {P("new1/a/b"), true, true},
      {P("new2/a/b/"), true, true},  // a trailing separator
      {P("plain/sub"), false, false},  // a file in the way
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CreateMultiDir(c.path), c.multi) << c.path;
    EXPECT_EQ(fs::is_directory(c.path), c.multi) << c.path;
  }
  fs::remove_all(P("new1"));
  fs::remove_all(P("new2"));
  for (const Case& c : cases) EXPECT_EQ(CreateDirTree(c.path), c.tree) << c.path;
}

TEST_F(FileUtils, DeleteDirTreeWithAndWithoutRecursion) {
  const std::string top = P("tree");
  WriteFile(top + "/f1", "1");
  WriteFile(top + "/f2", "2");
  WriteFile(top + "/sub/g1", "3");
  WriteFile(top + "/sub/deeper/g2", "4");
  WriteFile(P("outside/keep"), "5");
  fs::create_directory_symlink(P("outside"), top + "/link");  // removed, never followed

  DeleteDirTree(top, false);
  EXPECT_FALSE(fs::exists(top + "/f1"));
  EXPECT_FALSE(fs::exists(top + "/f2"));
  EXPECT_TRUE(fs::exists(top + "/sub/deeper/g2"));

  DeleteDirTree(top, true);
  EXPECT_TRUE(fs::is_directory(top));  // the folder itself stays
  EXPECT_TRUE(fs::is_empty(top));
  EXPECT_EQ(ReadFile(P("outside/keep")), "5");
}

// Clean-ups in a tree that holds links to a folder outside it: the links go, every file
// outside stays, whichever part of the path the link stands at.
class LinkedTree : public FileUtils {
 protected:
  void SetUp() override {
    for (const char* f : {"env.txt", "sn.txt", "factory/env.txt", "factory/sysparam"})
      WriteFile(Outside(f), std::string("outside ") + f);
  }
  std::string Outside(const std::string& rel = "") { return P("outside/" + rel); }
  void ExpectOutsideWhole() {
    for (const char* f : {"env.txt", "sn.txt", "factory/env.txt", "factory/sysparam"})
      EXPECT_EQ(ReadFile(Outside(f)), std::string("outside ") + f) << f;
  }
  static bool Stands(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
  }
};

TEST_F(LinkedTree, DeleteDirTreeRemovesLinksAndNeverEmptiesWhatTheyPointAt) {
  const std::string top = P("work/dump");
  WriteFile(top + "/tmp/own.txt", "own");
  fs::create_directory_symlink(Outside("factory"), top + "/tmp/factory");
  fs::create_symlink(Outside("env.txt"), top + "/env.txt");
  fs::create_hard_link(Outside("sn.txt"), top + "/sn.txt");
  DeleteDirTree(top, true);
  EXPECT_TRUE(fs::is_empty(top));
  ExpectOutsideWhole();

  // A folder given as a link is not followed into.
  fs::create_directory_symlink(Outside(), P("work/linked"));
  DeleteDirTree(P("work/linked"), true);
  ExpectOutsideWhole();
}

TEST_F(LinkedTree, FileDeletesBelowAFolderNeverGoThroughALink) {
  const std::string root = P("work");
  // The last part a link: the link goes.
  fs::create_directories(root + "/dump/tmp/factory");
  fs::create_symlink(Outside("env.txt"), root + "/dump/tmp/factory/env.txt");
  EXPECT_TRUE(DeleteFileRetry(root + "/dump/tmp/factory/env.txt"));
  EXPECT_FALSE(Stands(root + "/dump/tmp/factory/env.txt"));
  fs::create_symlink(Outside("env.txt"), root + "/dump/tmp/factory/env.txt");
  EXPECT_TRUE(DeleteFileRetry(root + "/dump/tmp/factory/env.txt", root));
  EXPECT_FALSE(Stands(root + "/dump/tmp/factory/env.txt"));

  // A folder of the path a link: the link goes, the file it leads to stays.
  WriteFile(Outside("dump/tmp/factory/env.txt"), "outside dump");
  struct Case {
    const char* linked;
    const char* to;
  } cases[] = {{"/dump/tmp/factory", "factory"}, {"/dump/tmp", ""}, {"/dump", "dump"}};
  for (const auto& [linked, to] : cases) {
    SCOPED_TRACE(linked);
    fs::remove_all(root + "/dump");
    fs::create_directories(fs::path(root + linked).parent_path());
    fs::create_directory_symlink(Outside(to), root + linked);
    const std::string file = root + "/dump/tmp/factory/env.txt";
    EXPECT_TRUE(FileExists(file)) << "the system follows the link";
    EXPECT_FALSE(FileThereBelow(file, root));
    EXPECT_TRUE(DeleteFileRetry(file, root));
    EXPECT_FALSE(Stands(root + linked));
  }
  ExpectOutsideWhole();
  EXPECT_EQ(ReadFile(Outside("dump/tmp/factory/env.txt")), "outside dump");
  EXPECT_FALSE(DeleteFileRetry(root + "/dump/../../outside/env.txt", root));
  ExpectOutsideWhole();
}

TEST_F(LinkedTree, RemoveDirTreeTakesTheFolderOrTheLinkInItsPlace) {
  const std::string root = P("work");
  struct Case {
    const char* name;
    std::function<void()> make;
  } cases[] = {
      {"a real tree with links in it",
       [&] {
         WriteFile(root + "/dump/tmp/factory/own.txt", "own");
         fs::create_directory_symlink(Outside("factory"), root + "/dump/tmp/factory/linked");
         fs::create_symlink(Outside("env.txt"), root + "/dump/tmp/env.txt");
       }},
      {"the folder a link",
       [&] {
         fs::create_directories(root + "/dump");
         fs::create_directory_symlink(Outside(), root + "/dump/tmp");
       }},
      {"a folder above it a link", [&] { fs::create_directory_symlink(Outside(), root + "/dump"); }},
      {"a file in its place", [&] { WriteFile(root + "/dump/tmp", "a file"); }},
      {"a folder shut to its owner",
       [&] {
         WriteFile(root + "/dump/tmp/factory/own.txt", "own");
         ::chmod((root + "/dump/tmp/factory").c_str(), 0);
       }},
      {"nothing there", [] {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root);
    fs::create_directories(root);
    c.make();
    EXPECT_TRUE(RemoveDirTree(root + "/dump/tmp/", root));
    EXPECT_FALSE(Stands(root + "/dump/tmp"));
    ExpectOutsideWhole();
  }
}

TEST_F(LinkedTree, BoardFileCopiesTakeOnlyASmallRegularFileOfTheTree) {
  const std::string root = P("work/dump");
  const std::string target = P("work/new/env.txt");
  fs::create_directories(P("work/new"));
  struct Case {
    const char* name;
    std::function<void()> make;
    bool copied;
  } cases[] = {
      {"a regular file", [&] { WriteFile(root + "/tmp/env.txt", "board env"); }, true},
      {"as large as allowed", [&] { WriteFile(root + "/tmp/env.txt", std::string(64, 'e')); }, true},
      {"larger than allowed", [&] { WriteFile(root + "/tmp/env.txt", std::string(65, 'e')); }, false},
      {"a link", [&] {
         fs::create_directories(root + "/tmp");
         fs::create_symlink(Outside("env.txt"), root + "/tmp/env.txt");
       }, false},
      {"a hard link", [&] {
         fs::create_directories(root + "/tmp");
         fs::create_hard_link(Outside("env.txt"), root + "/tmp/env.txt");
       }, false},
      {"behind a linked folder", [&] { fs::create_directory_symlink(Outside(), root + "/tmp"); }, false},
      {"a fifo", [&] {
         fs::create_directories(root + "/tmp");
         ::mkfifo((root + "/tmp/env.txt").c_str(), 0600);
       }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(root);
    fs::create_directories(root);
    fs::remove(target);
    c.make();
    const int64_t before = Slept();
    EXPECT_EQ(CopyBoardFileRetry(root + "/tmp/env.txt", target, root, 64), c.copied);
    EXPECT_EQ(fs::exists(target), c.copied);
    if (!c.copied) EXPECT_EQ(Slept(), before) << "a refused file is not waited for";
  }
  ExpectOutsideWhole();

  // A link standing in the target's place is replaced, not written through.
  fs::remove_all(root);
  WriteFile(root + "/tmp/env.txt", "board env");
  fs::create_symlink(Outside("sn.txt"), P("work/new/sn.txt"));
  EXPECT_TRUE(CopyBoardFileRetry(root + "/tmp/env.txt", P("work/new/sn.txt"), root, 64));
  EXPECT_EQ(ReadFile(P("work/new/sn.txt")), "board env");
  EXPECT_FALSE(fs::is_symlink(P("work/new/sn.txt")));
  // The copy is private: no set-id bit and no group or other access of a board's file.
  ::chmod((root + "/tmp/env.txt").c_str(), 06777);
  EXPECT_TRUE(CopyBoardFileRetry(root + "/tmp/env.txt", target, root, 64));
  struct stat st;
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ExpectOutsideWhole();
}

TEST_F(FileUtils, DeleteDirTreeDrivesTheProgressBar) {
  ui::Dialog strip(190, "");
  strip.Add(1144, ui::Kind::ProgressBar);
  struct Case {
    uint16_t countBefore;
    uint16_t countAfter;
    int rangeMax;
  } cases[] = {
      {2, 7, 49},            // 3 files plus "." and ".."
      {10000, 10005, 4499},  // 7 * 10005 = 70035 does not fit in 16 bits
  };
  for (const Case& c : cases) {
    for (const char* f : {"a", "b", "c"}) WriteFile(P(std::string("bar/") + f), f);
    uint16_t count = c.countBefore;
    uint32_t step = 40;
    DeleteDirTree(P("bar"), true, &strip, 1144, &count, &step);
    EXPECT_EQ(count, c.countAfter);
    EXPECT_EQ(step, 45u);
    const auto bar = strip.Snapshot(1144);
    ASSERT_TRUE(bar);
    EXPECT_EQ(bar->rangeMin, 0);
    EXPECT_EQ(bar->rangeMax, c.rangeMax);
    EXPECT_EQ(bar->pos, 45);
    EXPECT_TRUE(fs::is_empty(P("bar")));
  }
}

TEST(PathTexts, CombineAndSplit) {
  struct Combine {
    std::string folder, file, want;
  } combines[] = {
      {"/a/b", "c.txt", "/a/b/c.txt"},
      {"/a/b/", "c.txt", "/a/b/c.txt"},
      {"/a/b", "sub/../c.txt", "/a/b/c.txt"},
      {"/a/b", "./c", "/a/b/c"},
      {"/a/b", "../../../x", "/x"},
      {"/a/b", "/abs/y", "/abs/y"},
      {"", "rel", "rel"},
      {"/a", "", "/a"},
      {"/a", std::string(300, 'n'), ""},  // too long for the station's paths
  };
  for (const auto& c : combines) EXPECT_EQ(CombinePath(c.folder, c.file), c.want) << c.folder << " + " << c.file;

  struct Split {
    std::string path, name, dir;
  } splits[] = {
      {"/keys/bag.bin", "bag.bin", "/keys"},
      {"bag.bin", "bag.bin", "bag.bin"},
      {"/a/b/", "", "/a/b"},
      {"", "", ""},
  };
  for (const auto& s : splits) {
    EXPECT_EQ(GetFileNameFromPath(s.path), s.name) << s.path;
    EXPECT_EQ(GetDirFromPath(s.path), s.dir) << s.path;
  }
}

TEST(PathTexts, HexFromTheLastCharacterBack) {
  struct Case {
    std::string text;
    uint64_t want;
  } cases[] = {
      {"ff", 255},
      {"FF", 255},
      {"0x10", 16},
      {"10 ", 256},  // a trailing non-digit still takes a place
      {"0x1500000", 0x1500000},
      {"0x1500000\n", 0x15000000},
      {"", 0},
      {"FFFFFFFFFFFFFFFF", 0xFFFFFFFFFFFFFFFFull},
      {"1" + std::string(16, '0'), 0},  // places past 15 wrap away
      {"g9", 9},
  };
  for (const auto& c : cases) EXPECT_EQ(HexStrToU64(c.text), c.want) << '"' << c.text << '"';
}

TEST_F(FileUtils, TempDirPrefersTempThenTmpdir) {
  struct Saved {
    const char* name;
    std::optional<std::string> value;
  } saved[] = {{"TEMP", std::nullopt}, {"TMPDIR", std::nullopt}};
  for (auto& s : saved)
    if (const char* v = ::getenv(s.name)) s.value = v;
  struct Case {
    const char *temp, *tmpdir, *want;
  } cases[] = {
      {"/t1", "/t2", "/t1"},
      {nullptr, "/t2", "/t2"},
      {"", "/t2", "/t2"},
      {nullptr, nullptr, "/tmp"},
  };
  for (const Case& c : cases) {
    c.temp ? ::setenv("TEMP", c.temp, 1) : ::unsetenv("TEMP");
    c.tmpdir ? ::setenv("TMPDIR", c.tmpdir, 1) : ::unsetenv("TMPDIR");
    EXPECT_EQ(GetTempDir(), c.want);
  }
  for (auto& s : saved) s.value ? ::setenv(s.name, s.value->c_str(), 1) : ::unsetenv(s.name);
}

TEST_F(FileUtils, CountLinesWithTextCountsPiecesOfLongLines) {
  std::string text = "FW_KERNEL  PART offset=1\nnothing here\n PART two\n";
  text += std::string(300, 'z') + " PART\n";                    // one line, two pieces, one match
  text += " PART" + std::string(260, 'y') + " PART" + "\n";      // two pieces, each matching
  WriteFile(P("layout.txt"), text);
  EXPECT_EQ(CountLinesWithText(P("layout.txt"), " PART"), 5);
  EXPECT_EQ(CountLinesWithText(P("layout.txt"), " MBR"), 0);
  EXPECT_EQ(CountLinesWithText(P("none.txt"), " PART"), 0);
}

TEST_F(FileUtils, ExistenceAndThe260CharacterRule) {
  WriteFile(P("f"), "");
  fs::create_directory(P("d"));
  EXPECT_TRUE(FileExists(P("f")));
  EXPECT_TRUE(FileExists(P("d")));
  EXPECT_FALSE(FileExists(P("nope")));
  EXPECT_FALSE(FileExists(""));

  std::string deep = env_.dir.str();
  while (deep.size() < 300) deep += "/" + std::string(40, 'd');
  fs::create_directories(deep);
  EXPECT_TRUE(fs::exists(deep));
  EXPECT_FALSE(FileExists(deep));
}

TEST_F(FileUtils, FileReadNormalModeAddsAZeroByte) {
  WriteFile(P("small"), std::string("abc\0def", 7));
  FileBlock block;
  uint64_t length = 99;
  ASSERT_TRUE(file_read(P("small"), block, length));
  EXPECT_EQ(length, 7u);
  ASSERT_EQ(block.heap.size(), 8u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.data()), 7), std::string("abc\0def", 7));
  EXPECT_EQ(block.heap[7], 0);
  EXPECT_TRUE(block.pages.empty());
  EXPECT_EQ(MainLogText(), "length: 7 \r\n");
}

TEST_F(FileUtils, FileReadChunks) {
  const uint64_t total = 0x250000, chunk = 0x100000;
  std::string data(total, '\0');
  for (uint64_t i = 0; i < total; ++i) data[i] = static_cast<char>((i * 7) ^ (i >> 12));
  WriteFile(P("image"), data);

  struct Case {
    uint64_t index, length;
  } cases[] = {{0, 0x100000}, {1, 0x100000}, {2, 0x50000}, {3, 0}};
  for (const Case& c : cases) {
    FileBlock block;
    uint64_t length = 0;
    const uint64_t before = FileReadReservedTotal();
    ASSERT_TRUE(file_read(P("image"), block, length, true, c.index, chunk)) << c.index;
    EXPECT_EQ(length, c.length) << c.index;
    EXPECT_EQ(FileReadReservedTotal() - before, c.length);
    EXPECT_TRUE(block.heap.empty());
    if (c.length) {
      EXPECT_EQ(0, std::memcmp(block.data(), data.data() + c.index * chunk, c.length)) << c.index;
    }
  }
  // chunkSize 0 reads the whole file into pages.
  FileBlock whole;
  uint64_t length = 0;
  ASSERT_TRUE(file_read(P("image"), whole, length, true, 0, 0));
  EXPECT_EQ(length, total);
  EXPECT_EQ(0, std::memcmp(whole.data(), data.data(), total));
}

TEST_F(FileUtils, LengthsPast4GiB) {
  const uint64_t size = (5ull << 30) + 123;  // sparse: takes no disk space
  const uint64_t marker = (4ull << 30) + 0x10;
  {
    const int fd = ::open(P("huge").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    ASSERT_EQ(::pwrite(fd, "MARK", 4, static_cast<off_t>(marker)), 4);
    ::close(fd);
  }
  uint64_t length = 0;
  ASSERT_TRUE(getDataLen(P("huge"), length));
  EXPECT_EQ(length, size);

  const uint64_t chunk = 0x100000;
  FileBlock block;
  ASSERT_TRUE(file_read(P("huge"), block, length, true, marker / chunk, chunk));
  EXPECT_EQ(length, chunk);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.data()) + marker % chunk, 4), "MARK");

  ASSERT_TRUE(file_read(P("huge"), block, length, true, size / chunk, chunk));
  EXPECT_EQ(length, size % chunk);  // the last piece
}

TEST_F(FileUtils, ReadFailuresAreLogged) {
  uint64_t length = 5;
  FileBlock block;
  EXPECT_FALSE(getDataLen(P("absent"), length));
  EXPECT_FALSE(file_read(P("absent"), block, length));
  fs::create_directory(P("folder"));
  EXPECT_FALSE(file_read(P("folder"), block, length, true, 0, 0));
  EXPECT_EQ(MainLogText(),
            "getDataLen:open file failed!\r\n"
            "file_read:open file failed!\r\n"
            "file_read:open file failed!\r\n");
}

TEST_F(FileUtils, WriteBufToFileReportsEveryFailure) {
  WriteFile(P("out"), "a much longer old content");
  EXPECT_TRUE(WriteBufToFile(P("out"), "new", 3));
  EXPECT_EQ(ReadFile(P("out")), "new");
  EXPECT_TRUE(WriteBufToFile(P("empty"), nullptr, 0));
  EXPECT_EQ(fs::file_size(P("empty")), 0u);
  EXPECT_FALSE(WriteBufToFile(P("no/such/folder/out"), "x", 1));
  // A device that takes no bytes: the open works, the write does not.
  if (fs::exists("/dev/full")) {
    const std::string data(64 * 1024, 'q');
    EXPECT_FALSE(WriteBufToFile("/dev/full", data.data(), data.size()));
  }
}

}  // namespace

// Reading layout.txt entries and the package lookups.
#include "package/layout_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "support/app_dir.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using station::ParseLayoutEntry;

std::string Pattern(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed * 31 + i * 13);
  return s;
}

class LayoutTest : public ::testing::Test {
 protected:
  fs::path Root() const { return env.dir / "UnTarTmp"; }
  std::string Layout(const std::string& text) {
    testenv::WriteFile(Root() / "layout.txt", text);
    return (Root() / "layout.txt").string();
  }
  void Data(const std::string& rel, const std::string& bytes) { testenv::WriteFile(Root() / rel, bytes); }

  struct Read {
    int result = -1;
    std::string data;
    uint64_t size = 111, offset = 222, layoutSize = 333;
    uint32_t target = 444;
  };
  Read Entry(const std::string& layout, const std::string& key, uint64_t piece = 0, uint64_t pieceSize = 0) {
    Read r;
    plat::PageBuffer buf;
    r.result = ParseLayoutEntry(layout, key, buf, r.size, r.offset, r.layoutSize, piece, pieceSize, &r.target);
    if (!buf.empty()) r.data.assign(reinterpret_cast<const char*>(buf.data()), buf.size());
    return r;
  }

  testenv::StationFixture env;
  testenv::ScopedAppDir appDir{env.dir.str()};
};

TEST_F(LayoutTest, ReadsTheEntryAndItsData) {
  Data("package5/sub/uImage", Pattern(1000, 1));
  Data("package5/kernel.dtb", Pattern(64, 2));
  std::string layout = Layout(
      "fw = FW_KERNEL_DT target=0x2100000 offset=0x500000 size=0x1000 name=package5/kernel.dtb\n"
      "fw = FW_KERNEL size=0x100000 offset=0x800000 name=\"package5\\sub//uImage\" target=3000000\r\n");

  Read k = Entry(layout, "FW_KERNEL ");  // the blank keeps FW_KERNEL_DT's line out
  EXPECT_EQ(k.result, 1);
  EXPECT_EQ(k.target, 0x3000000u);
  EXPECT_EQ(k.offset, 0x800000u);
  EXPECT_EQ(k.size, 1000u);          // the bytes in memory, not the layout's size=
  EXPECT_EQ(k.layoutSize, 333u);     // kept for all but partitions
  EXPECT_EQ(k.data, Pattern(1000, 1));

  Read dt = Entry(layout, "FW_KERNEL_DT ");
  EXPECT_EQ(dt.result, 1);
  EXPECT_EQ(dt.target, 0x2100000u);
  EXPECT_EQ(dt.data, Pattern(64, 2));
}

TEST_F(LayoutTest, EntryResults) {
  Data("p/file.bin", "abc");
  std::string layout = Layout(
      "fw = FW_KERNEL target=0x1 offset=0 size=0x10 name=p/file.bin\n"
      "fw = FW_RESCUE_DT target=0x1 offset=0x10 size=0 name=p/file.bin\n"
      "fw = FW_AKERNEL target=0x1 offset=0x10 size=0x10\n"
      "fw = FW_BL31 target=0x1 offset=0x10 size=0x10 name=p/none.bin\n"
      "fw = FW_EFUSE_VERIFY target=0x1b00000 offset=0x0 size=0x10 name=p/file.bin\n"
      "fw = FW_EFUSE_PROGRAMMER target=0x1c00000 offset=0 size=0x10 name=p/file.bin\n"
      "mbr = MBR0 offset=0x0 size=0x10 name=p/file.bin\n"
      "mbr = MBR1 offset=0x0 size=0x10 name=p/file.bin\n");
  struct Case {
    const char* key;
    int want;
  } cases[] = {
      {"FW_KERNEL ", 0},             // offset 0 on an entry that has a flash place
      {"FW_RESCUE_DT ", 0},          // size 0
      {"FW_AKERNEL ", 0},            // no name: the unpack root itself cannot be read
      {"FW_BL31 ", 0},               // the data file is missing
      {"FW_EFUSE_VERIFY ", 1},       // the efuse programs live in DDR only
      {"FW_EFUSE_PROGRAMMER ", 1},
      {" MBR0", 1},
      {" MBR1", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(Entry(layout, c.key).result, c.want) << c.key;

  // A key the layout does not name: success, and nothing touched.
  Read absent = Entry(layout, "FW_GOLD_KERNEL ");
  EXPECT_EQ(absent.result, 1);
  EXPECT_EQ(absent.size, 111u);
  EXPECT_EQ(absent.offset, 222u);
  EXPECT_EQ(absent.target, 444u);
  EXPECT_TRUE(absent.data.empty());

  EXPECT_EQ(Entry((Root() / "no-layout.txt").string(), "FW_KERNEL ").result, 0);
}

TEST_F(LayoutTest, HeapReadEndsWithAZeroByte) {
  Data("p/mbr0.bin", Pattern(512, 3));
  std::string layout = Layout("mbr = MBR0 offset=0x0 size=0x200 name=p/mbr0.bin");
  std::vector<uint8_t> buf;
  uint64_t size = 0, offset = 9, layoutSize = 0;
  ASSERT_EQ(ParseLayoutEntry(layout, " MBR0", buf, size, offset, layoutSize, nullptr), 1);
  EXPECT_EQ(size, 512u);
  EXPECT_EQ(offset, 0u);
  ASSERT_EQ(buf.size(), 513u);
  EXPECT_EQ(std::string(buf.begin(), buf.end() - 1), Pattern(512, 3));
  EXPECT_EQ(buf.back(), 0);
}

TEST_F(LayoutTest, PartitionPieces) {
  Data("p/rootfs.bin", Pattern(0x2500, 4));
  Data("p/p12.bin", "twelve");
  // The key of partition 1 also matches partition 12's line; whichever stands first wins.
  std::string layout = Layout(
      "part = PART12 offset=0x9000000 size=0x100000 name=p/p12.bin\n"
      "part = PART1 offset=0x1000000 size=0x4000 name=p/rootfs.bin\n"
      "part = PART0 offset=0x1000000 size=0x4000 name=p/rootfs.bin\n");
  Read twelve = Entry(layout, " PART1");
  EXPECT_EQ(twelve.data, "twelve");
  EXPECT_EQ(twelve.offset, 0x9000000u);
  EXPECT_EQ(twelve.layoutSize, 0x100000u);

  struct Case {
    uint64_t index;
    size_t from, length;
  } pieces[] = {{0, 0, 0x1000}, {1, 0x1000, 0x1000}, {2, 0x2000, 0x500}};
  for (const Case& c : pieces) {
    Read r = Entry(layout, " PART0", c.index, 0x1000);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.size, c.length) << c.index;
    EXPECT_EQ(r.layoutSize, 0x4000u);
    EXPECT_EQ(r.data, Pattern(0x2500, 4).substr(c.from, c.length)) << c.index;
  }
}

TEST_F(LayoutTest, ProfileNeedsASupportedNandModel) {
  fs::create_directories(env.dir / "Tempfile");
  fs::copy_file(fs::path(STATION_SOURCE_DIR) / "tests/fixtures/nand-support-list/nand_flash_support_list.xlsx",
                env.dir / "Tempfile" / "nand_flash_support_list.xlsx");
  Data("p/profile.bin", "profile");
  std::string good = Layout("fw = FW_PROFILE target=0x1 offset=0 size=0x10 name=p/profile.bin nf_id=MX30LF1G18AC\n");
  EXPECT_EQ(Entry(good, "FW_PROFILE ").result, 1);  // an offset of 0 is allowed here
  EXPECT_EQ(env.station->optionsDlg.Text(1022), "800");
  EXPECT_TRUE(env.host->Prompts().empty());

  std::string bad = Layout("fw = FW_PROFILE target=0x1 offset=0x10 size=0x10 name=p/profile.bin nf_id=NO_SUCH_NAND\n");
  EXPECT_EQ(Entry(bad, "FW_PROFILE ").result, 0);
  auto prompts = env.host->Prompts();
  ASSERT_EQ(prompts.size(), 1u);
  EXPECT_EQ(prompts[0].caption, "WARNING");
  EXPECT_EQ(prompts[0].text,
            "setup nand flash spec failed!\r\nwithout this support nand flash models in the list.\r\nnand type :NO_SUCH_NAND");
}

TEST_F(LayoutTest, FilesOf2GiBAndMoreKeepTheirLength) {
  // A sparse data file just over 2 GiB: its length must not wrap through a 32-bit count.
  constexpr uint64_t kLength = (2ull << 30) + 3;
  fs::create_directories(Root() / "p");
  {
    std::ofstream f(Root() / "p" / "big.bin", std::ios::binary);
    f.seekp(static_cast<std::streamoff>(kLength - 3));
    f.write("end", 3);
  }
  std::string layout = Layout("part = PART0 offset=0x1000000 size=0x90000000 name=p/big.bin\n");
  auto tail = [](const plat::PageBuffer& b) {
    return b.size() < 3 ? std::string() : std::string(reinterpret_cast<const char*>(b.data()) + b.size() - 3, 3);
  };
  plat::PageBuffer buf;
  uint64_t size = 0, offset = 0, layoutSize = 0;
  if (ParseLayoutEntry(layout, " PART0", buf, size, offset, layoutSize, 0, 0, nullptr) == 0)
    GTEST_SKIP() << "2 GiB of pages are not available here";
  EXPECT_EQ(size, kLength);
  EXPECT_EQ(tail(buf), "end");
  buf.Release();
  // Piece 42 of 48 MiB pieces starts at 2016 MiB: 32 MiB and 3 bytes are left for it.
  ASSERT_EQ(ParseLayoutEntry(layout, " PART0", buf, size, offset, layoutSize, 42, 0x3000000, nullptr), 1);
  EXPECT_EQ(size, kLength - 42 * 0x3000000ull);
  EXPECT_EQ(tail(buf), "end");
}

TEST(LayoutText, ValueAfterKey) {
  struct Case {
    const char* key;
    const char* text;
    const char* want;
  } cases[] = {
      {"size=", "a size=0x10 b", "0x10"},
      {"size=", "filesize=5 size=6", "5"},    // the first occurrence counts, inside a word too
      {"size=", "size= 5 x", " 5"},           // the first character belongs to the value
      {"size=", "size=", ""},
      {"size=", "size=\n", ""},
      {"size=", "size=\r\n", ""},
      {" name=", "x name=a/b.bin\n", "a/b.bin"},  // a newline ends the value
      {" name=", "x name=a/b.bin\r\n", "a/b.bin"},
      {" name=", "xname=a", ""},              // the blank is part of this field name
      {"target=", "nothing here", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(station::GetValueAfterKey(c.key, c.text), c.want) << c.text;
}

TEST(LayoutText, ConvertSlash) {
  struct Case {
    const char* in;
    const char* want;
  } cases[] = {
      {"\"x/y\"\n", "x/y"},
      {"package5\\a\\\\b", "package5/a//b"},
      {"a b\r", "a b"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(station::ConvertSlash(c.in), c.want) << c.in;
}

TEST_F(LayoutTest, LookupsInFiles) {
  testenv::WriteFile(Root() / "config.txt", "install_factory=y\r\ninstall_avfile_count=0\n");
  const std::string config = (Root() / "config.txt").string();
  EXPECT_EQ(station::GetValueFromFile(config, "install_factory", "="), "y");
  EXPECT_EQ(station::GetValueFromFile(config, "install_avfile_count", "="), "0");
  EXPECT_EQ(station::GetValueFromFile(config, "install_other", "="), "");
  EXPECT_EQ(station::GetValueFromFile((Root() / "none.txt").string(), "install_factory", "="), "");

  std::string layout = Layout(
      "part = PART0 offset=0x1 size=0x1 name=\"package5\\rootfs.bin\"\n"
      "part = PART1 offset=0x1 size=0x1\n"
      "fw = FW_EFUSE_VERIFY target=0x1c00000 offset=0 size=0x10 name=p/v.bin\n");
  EXPECT_EQ(station::GetPartitionPath(layout, " PART0"), "/package5/rootfs.bin");
  EXPECT_EQ(station::GetPartitionPath(layout, " PART1"), "");
  EXPECT_EQ(station::GetPartitionPath(layout, " PART2"), "");
  EXPECT_EQ(station::GetValueFromFile(layout, "FW_EFUSE_VERIFY ", "target="), "0x1c00000");
}

// A crafted package names a host file beside the unpack folder in every way a name can
// climb out of it: the entry fails as one whose file is missing, so the host file's bytes
// never come back. Names that stay inside still load, through a link inside the tree too.
TEST_F(LayoutTest, NamesThatLeaveTheUnpackedTreeAreRefused) {
  const std::string secret = "host file, not for the board";
  testenv::WriteFile(env.dir / "host.bin", secret);
  const std::string inside = Pattern(40, 5);
  Data("file.bin", inside);
  Data("p/q/file.bin", inside);
  fs::create_directory_symlink(Root() / "p", Root() / "in");  // a link that stays in the tree
  fs::create_directory_symlink(env.dir.path(), Root() / "out");      // a link out of it
  const std::string hostAbs = (env.dir / "host.bin").string();
  std::string hostBackslashed = hostAbs;
  for (char& c : hostBackslashed)
    if (c == '/') c = '\\';

  struct Case {
    std::string name;  // as the layout line holds it
    bool loads;
  } cases[] = {
      {"file.bin", true},
      {"p/q/file.bin", true},
      {"p\\q\\file.bin", true},
      {"p/q/../q/file.bin", false},  // a ".." part is refused wherever it stands
      {"in/q/file.bin", true},
      {"../host.bin", false},
      {"a/../../host.bin", false},
      {"..\\host.bin", false},
      {"a\\..\\..\\host.bin", false},
      {hostAbs, false},
      {hostBackslashed, false},
      {"/etc/passwd", false},
      {"a/..", false},
      {"out/host.bin", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string converted = station::ConvertSlash(c.name);
    std::string layout = Layout("fw = FW_KERNEL target=0x1 offset=0x10 size=0x10 name=" + c.name +
                                "\npart = PART0 offset=0x1 size=0x1 name=" + c.name + "\n");
    env.station->optionsDlg.SetText(station::kMainLogControlId, "");

    Read r = Entry(layout, "FW_KERNEL ");
    EXPECT_EQ(r.result, c.loads ? 1 : 0);
    EXPECT_EQ(r.data, c.loads ? inside : "");
    const std::string file = station::UnpackedFilePath(station::GetPartitionPath(layout, " PART0"));
    EXPECT_EQ(file.empty(), !c.loads);
    if (c.loads) {
      EXPECT_EQ(testenv::ReadFile(file), inside);
    }

    const std::string skipped = " layout skip unsafe name : " + converted + " \r\n";
    EXPECT_EQ(testenv::CountOf(station::MainLogText(), skipped), c.loads ? 0 : 2) << station::MainLogText();
  }
}

TEST_F(LayoutTest, PackageFolder) {
  fs::create_directories(Root());
  EXPECT_EQ(station::GetPackageDir(Root().string()), "");
  fs::create_directories(Root() / "generic");
  fs::create_directories(Root() / "omv");
  EXPECT_EQ(station::GetPackageDir(Root().string()), "/omv");
  testenv::WriteFile(Root() / "package5", "");  // a file of that name counts too
  EXPECT_EQ(station::GetPackageDir(Root().string()), "/package5");
}

TEST_F(LayoutTest, FlashSizeFolder) {
  ui::Dialog& options = env.station->optionsDlg;
  fs::create_directories(Root() / "package5");
  options.SetText(station::kFlashTotalSizeEdit, "");
  EXPECT_EQ(station::GetFlashSizeDir("/package5"), "");

  options.SetText(station::kFlashTotalSizeEdit, "8");
  EXPECT_EQ(station::GetFlashSizeDir("/package5"), "FAIL");
  auto prompts = env.host->Prompts();
  ASSERT_EQ(prompts.size(), 1u);
  EXPECT_EQ(prompts[0].caption, "WARNING!");
  EXPECT_EQ(prompts[0].flags & 0xF0, static_cast<unsigned>(ui::MB_ICONQUESTION));
  EXPECT_EQ(prompts[0].text,
            "system.ini file flash size=8gb.\r\nbut did not find the relevant directory\r\n"
            "please check install.img or system.ini.\r\n");

  fs::create_directories(Root() / "package5_8gb");
  EXPECT_EQ(station::GetFlashSizeDir("/package5"), "/package5_8gb");
  EXPECT_EQ(env.host->Prompts().size(), 1u);

  // A size text that climbs out of the tree finds no folder there, though one stands.
  fs::create_directories(Root() / "package5_8");
  fs::create_directories(env.dir / "outsidegb");
  options.SetText(station::kFlashTotalSizeEdit, "8/../../outside");
  EXPECT_EQ(station::GetFlashSizeDir("/package5"), "FAIL");
  EXPECT_EQ(env.host->Prompts().size(), 2u);
  EXPECT_NE(station::MainLogText().find(" layout skip unsafe name : package5_8/../../outsidegb \r\n"),
            std::string::npos);
}

}  // namespace

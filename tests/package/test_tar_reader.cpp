// The tar reader against archives that GNU tar writes.
#include "package/tar_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <sstream>
#include <stop_token>
#include <string>
#include <vector>

#include "mkpackage/mkpackage.h"
#include "package/archive_check.h"
#include "platform/clock.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using station::TarEntry;
using station::TarHeader;
using station::TarReader;

struct Seen {
  TarHeader header;
  uint64_t dataPos = 0;
  std::string data;  // regular members only
};

std::vector<Seen> Walk(TarReader& reader) {
  std::vector<Seen> out;
  for (TarEntry e = reader.FirstEntry(); !e.IsEnd(); e = reader.NextEntry()) {
    Seen s{e.Header(), e.DataPosition(), {}};
    std::ostringstream data;
    if (e.CopyData(data)) s.data = data.str();
    out.push_back(s);
  }
  return out;
}

const Seen* Find(const std::vector<Seen>& seen, const std::string& name) {
  for (const Seen& s : seen)
    if (s.header.name == name) return &s;
  return nullptr;
}

std::string Bytes(size_t n, char seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7);
  return s;
}

void Tar(const std::vector<std::string>& options, const fs::path& dir, const fs::path& out,
         const std::vector<std::string>& members) {
  std::vector<std::string> args = options;
  args.insert(args.end(), {"--sort=name", "--owner=0", "--group=0", "--numeric-owner", "-C", dir.string(), "-cf",
                           out.string()});
  args.insert(args.end(), members.begin(), members.end());
  mkpackage::RunTar(args);
}

// A tree with what real packages hold and what trips naive readers.
class TarTree : public ::testing::Test {
 protected:
  void SetUp() override {
    src_ = dir_ / "src";
    files_["a.txt"] = "hello\n";
    files_["dir/blk512.bin"] = Bytes(512, 1);
    files_["dir/blk513.bin"] = Bytes(513, 2);
    files_[std::string(96, 'n') + ".bin"] = "exactly one hundred characters of name";
    files_["dir/" + std::string(60, 'd') + "/" + std::string(70, 'f') + ".bin"] = "long path";
    files_["dir/\xE5\x9B\xBA\xE4\xBB\xB6.bin"] = "utf-8 name";  // bytes above 0x7F in the header
    for (const auto& [name, data] : files_) testenv::WriteFile(src_ / name, data);
    fs::create_symlink("../a.txt", src_ / "dir" / "link");
    fs::create_hard_link(src_ / "a.txt", src_ / "dir" / "zhard");
  }
  testenv::ScratchDir dir_;
  fs::path src_;
  std::map<std::string, std::string> files_;
};

class TarFormats : public TarTree, public ::testing::WithParamInterface<const char*> {};

TEST_P(TarFormats, ReadsEveryMemberWithItsFullNameAndData) {
  const std::string format = GetParam();
  std::vector<std::string> options = {"--format=" + format};
  if (format == "posix") options.push_back("--pax-option=delete=atime,delete=ctime");
  fs::path archive = dir_ / "x.tar";
  Tar(options, src_, archive, {"a.txt", "dir", std::string(96, 'n') + ".bin"});

  TarReader reader(archive.string(), 0);
  ASSERT_TRUE(reader.IsOpen());
  std::vector<Seen> seen = Walk(reader);
  for (const auto& [name, data] : files_) {
    const Seen* s = Find(seen, name);
    ASSERT_NE(s, nullptr) << format << ": " << name;
    EXPECT_EQ(s->header.typeflag, '0') << name;
    EXPECT_EQ(s->header.size, data.size()) << name;
    EXPECT_EQ(s->data, data) << name;
  }
  const Seen* folder = Find(seen, "dir/");
  ASSERT_NE(folder, nullptr);
  EXPECT_EQ(folder->header.typeflag, '5');
  const Seen* link = Find(seen, "dir/link");
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->header.typeflag, '2');
  EXPECT_EQ(link->header.linkname, "../a.txt");
  const Seen* hard = Find(seen, "dir/zhard");
  ASSERT_NE(hard, nullptr);
  EXPECT_EQ(hard->header.typeflag, '1');
  EXPECT_EQ(hard->header.linkname, "a.txt");

  // The header fields beyond the name: GNU headers are recognised, POSIX ones are not.
  const Seen* a = Find(seen, "a.txt");
  EXPECT_EQ(a->header.mode.substr(0, 7), "0000644");
  if (format == "gnu") {
    EXPECT_EQ(a->header.format, 1);
    EXPECT_EQ(a->header.magic, "ustar");
  } else {
    EXPECT_EQ(a->header.format, 0);
    EXPECT_EQ(a->header.magic, "");
  }

  // A second walk sees the same members again.
  std::vector<Seen> again = Walk(reader);
  ASSERT_EQ(again.size(), seen.size());
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(again[i].header.name, seen[i].header.name);
}

TEST_P(TarFormats, ExtractsRegularFilesOnly) {
  std::vector<std::string> options = {std::string("--format=") + GetParam()};
  fs::path archive = dir_ / "x.tar";
  Tar(options, src_, archive, {"a.txt", "dir"});
  fs::path out = dir_ / "out";
  fs::create_directories(out);

  TarReader reader(archive.string(), 0);
  for (TarEntry e = reader.FirstEntry(); !e.IsEnd(); e = reader.NextEntry()) {
    const TarHeader& h = e.Header();
    if (h.typeflag == '5') fs::create_directories(out / h.name);
    bool regular = h.typeflag == '0' && !h.name.empty();
    EXPECT_EQ(e.ExtractFile(out.string()), regular) << h.name << " typeflag " << h.typeflag;
  }
  for (const auto& [name, data] : files_) {
    if (name.find(std::string(60, 'd')) != std::string::npos) continue;  // its folder has no member of its own
    if (name.rfind("nnnn", 0) == 0) continue;                            // not in this archive
    EXPECT_EQ(testenv::ReadFile(out / name), data) << name;
  }
  EXPECT_FALSE(fs::exists(out / "dir" / "link"));
  EXPECT_FALSE(fs::exists(out / "dir" / "zhard"));
}

INSTANTIATE_TEST_SUITE_P(Gnu, TarFormats, ::testing::Values("gnu", "ustar", "posix"));

TEST(TarNumbers, OctalFields) {
  struct Case {
    const char field[13];
    uint64_t want;
  } cases[] = {
      {"00000001750", 1000},          // NUL-ended, as GNU tar writes
      {"     1750   ", 1000},         // blank-ended
      {"            ", 0},            // all blanks
      {"0000009", 0},                 // a 9 counts as the digit 0
      {"0000019", 8},                 // ... and still takes a place
      {"77777777777", 8589934591ull}, // the largest octal size
  };
  for (const Case& c : cases) EXPECT_EQ(station::ParseOctal12(c.field), c.want) << c.field;
  EXPECT_EQ(station::ParseOctal8("0000644"), 0644u);

  // Base-256, as GNU tar writes sizes of 8 GiB and more.
  const char big[12] = {'\x80', 0, 0, 0, 0, 0, 0, 2, 0, 0, 1, '\x98'};
  EXPECT_EQ(station::ParseOctal12(big), 0x200000198ull);
  const char negative[12] = {'\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFF', '\xFE'};
  EXPECT_EQ(station::ParseOctal12(negative), 0u);
}

class TarWalk : public ::testing::Test {
 protected:
  // An archive of `files` made by GNU tar, and its bytes.
  fs::path Make(const std::vector<std::pair<std::string, std::string>>& files, const std::string& format = "gnu") {
    std::vector<std::string> names;
    for (const auto& [name, data] : files) {
      testenv::WriteFile(dir_ / "src" / name, data);
      names.push_back(name);
    }
    fs::path archive = dir_ / ("x" + std::to_string(n_++) + ".tar");
    Tar({"--format=" + format}, dir_ / "src", archive, names);
    return archive;
  }
  static std::string Read(const fs::path& p) { return testenv::ReadFile(p); }
  static void Write(const fs::path& p, const std::string& s) { testenv::WriteFile(p, s); }
  testenv::ScratchDir dir_;
  int n_ = 0;
};

TEST_F(TarWalk, DataIsRoundedUpToWholeBlocks) {
  fs::path archive = Make({{"a", Bytes(512, 1)}, {"b", Bytes(513, 2)}, {"c", ""}, {"d", "x"}});
  TarReader reader(archive.string(), 0);
  std::vector<Seen> seen = Walk(reader);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].dataPos, 512u);
  EXPECT_EQ(seen[1].dataPos, 512u + 512 + 512);         // a: 512 bytes take one block
  EXPECT_EQ(seen[2].dataPos, seen[1].dataPos + 1024 + 512);  // b: 513 bytes take two
  EXPECT_EQ(seen[3].dataPos, seen[2].dataPos + 512);    // c: no data block at all
  EXPECT_EQ(seen[3].data, "x");
}

TEST_F(TarWalk, EndsAtAZeroBlockOrAShortBlock) {
  Write(dir_ / "zero.tar", std::string(512, '\0'));
  TarReader zero((dir_ / "zero.tar").string(), 0);
  EXPECT_TRUE(zero.FirstEntry().IsEnd());

  // Cut right after the last member's data: no closing zero blocks at all.
  fs::path archive = Make({{"a", "first"}, {"b", Bytes(700, 3)}});
  std::string bytes = Read(archive);
  Write(dir_ / "open.tar", bytes.substr(0, 512 + 512 + 512 + 1024));
  TarReader open((dir_ / "open.tar").string(), 0);
  for (int walk = 0; walk < 2; ++walk) {
    std::vector<Seen> seen = Walk(open);
    ASSERT_EQ(seen.size(), 2u) << "walk " << walk;
    EXPECT_EQ(seen[1].data, Bytes(700, 3));
  }

  // Cut in the middle of a member's data: what is there is copied, and the walk ends.
  Write(dir_ / "cut.tar", bytes.substr(0, 512 + 512 + 512 + 300));
  TarReader cut((dir_ / "cut.tar").string(), 0);
  std::vector<Seen> seen = Walk(cut);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].data, Bytes(700, 3).substr(0, 300));

  TarReader missing((dir_ / "no-such.tar").string(), 0);
  EXPECT_FALSE(missing.IsOpen());
  EXPECT_TRUE(missing.FirstEntry().IsEnd());
}

TEST_F(TarWalk, ChecksumRules) {
  // GNU tar sums the header bytes unsigned; a name with bytes above 0x7F makes the signed
  // sum differ, and the member must still be read.
  fs::path archive = Make({{"\xC3\xA9t\xC3\xA9.bin", "summer"}, {"b", "bee"}});
  std::string bytes = Read(archive);
  const auto* block = reinterpret_cast<const uint8_t*>(bytes.data());
  uint64_t stored = station::ParseOctal8(bytes.data() + 148);
  EXPECT_NE(static_cast<int64_t>(stored), station::TarHeaderChecksum(block));
  EXPECT_EQ(static_cast<int64_t>(stored), station::TarHeaderChecksumUnsigned(block));
  EXPECT_EQ(station::ParseTarHeader(block).name, "\xC3\xA9t\xC3\xA9.bin");

  // A checksum field of blanks is taken as "no checksum" while the name is not empty.
  std::string blank = bytes.substr(0, 512);
  memset(blank.data() + 148, ' ', 8);
  blank[0] = 'z';  // and the sum no longer matches anyway
  EXPECT_EQ(station::ParseTarHeader(reinterpret_cast<const uint8_t*>(blank.data())).name.substr(0, 1), "z");
  memset(blank.data(), 0, 100);
  EXPECT_EQ(station::ParseTarHeader(reinterpret_cast<const uint8_t*>(blank.data())).size, 0u);

  // A spoiled checksum: that header reads empty and writes nothing; the walk goes on block by
  // block and finds the next member.
  std::string spoiled = bytes;
  spoiled[148] = spoiled[148] == '1' ? '2' : '1';
  Write(dir_ / "bad.tar", spoiled);
  TarReader reader((dir_ / "bad.tar").string(), 0);
  std::vector<Seen> seen = Walk(reader);
  ASSERT_EQ(seen.size(), 3u);  // the empty header, the data block read as a header, then b
  EXPECT_EQ(seen[0].header.name, "");
  EXPECT_EQ(seen[0].header.typeflag, '\0');
  EXPECT_EQ(seen[2].header.name, "b");
  EXPECT_EQ(seen[2].data, "bee");
  fs::create_directories(dir_ / "out");
  TarEntry first = reader.FirstEntry();
  EXPECT_FALSE(first.ExtractFile((dir_ / "out").string()));
  EXPECT_TRUE(fs::is_empty(dir_ / "out"));
}

// The check of an archive from outside, for headers that two readers could take differently
// (the member types and bounds are shown with the board's archives of the factory tests).
TEST_F(TarWalk, CheckBeforeUnpackWantsSoundHeaders) {
  const std::string longName = "top/" + std::string(120, 'n');
  fs::path archive = Make({{"top/a", "first"}, {"top/b", "second"}, {longName, "long"}}, "gnu");
  const std::string good = Read(archive);
  const station::UnpackLimits limits{"top", 1024, 4096};
  // Rewrites the header at `at` with `edit`, its checksum made again unless `keepSum`.
  const auto edited = [&](size_t at, const std::function<void(char*)>& edit, bool keepSum = false) {
    std::string bytes = good;
    char* h = bytes.data() + at;
    edit(h);
    if (!keepSum) {
      memset(h + 148, ' ', 8);
      snprintf(h + 148, 8, "%06o", static_cast<unsigned>(station::TarHeaderChecksumUnsigned(
                                          reinterpret_cast<const uint8_t*>(h))));
    }
    return bytes;
  };
  const size_t second = 1024;  // top/a: one header and one data block
  struct Case {
    const char* name;
    std::string bytes;
    std::string member, reason;  // nothing refused when reason is empty
  } cases[] = {
      {"as GNU tar made it, a long name too", good, "", ""},
      {"a head stamped in its tail", edited(0, [](char* h) {
         memcpy(h + 500, "\x01\0\0\0\x02\0\0\0MVX\0", 12);
         unsigned sum = 0;
         memset(h + 148, ' ', 8);
         for (int i = 0; i < 512; ++i) sum += static_cast<unsigned char>(h[i]);
         snprintf(h + 148, 8, "%06o", sum);
       }, true), "", ""},
      {"a spoiled checksum", edited(second, [](char* h) { h[150] ^= 1; }, true), "?", "bad header at 1024"},
      {"no checksum", edited(second, [](char* h) { memset(h + 148, ' ', 8); }, true), "top/b", "bad header at 1024"},
      {"junk in the size", edited(second, [](char* h) { h[124 + 5] = '9'; }), "top/b", "bad header at 1024"},
      {"a line end in a name", edited(second, [](char* h) { h[0] = '\n'; }), "\\x0Aop/b", "name outside the tree"},
      {"a name beside the top", edited(second, [](char* h) { memcpy(h, "tip/", 4); }), "tip/b", "name outside the tree"},
      {"a ustar name prefix", edited(second, [](char* h) {
         memcpy(h + 257, "ustar\0" "00", 8);
         memcpy(h + 345, "../..", 5);
       }), "../../top/b", "name prefix"},
      {"two long names in a row", edited(second, [&](char* h) {
         const std::string& b = good;
         const size_t longAt = b.find("././@LongLink");
         memcpy(h, b.data() + longAt, 512);
       }, true), "././@LongLink", "long name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write(dir_ / "check.tar", c.bytes);
    const station::ArchiveRefusal r = station::CheckArchiveBeforeUnpack((dir_ / "check.tar").string(), limits);
    EXPECT_EQ(r.reason, c.reason);
    if (!c.reason.empty()) EXPECT_EQ(r.member.substr(0, c.member.size()), c.member);
  }
  // The reader takes the stamped head as GNU tar does.
  std::string stamped = cases[1].bytes;
  EXPECT_EQ(station::ParseTarHeader(reinterpret_cast<const uint8_t*>(stamped.data())).name, "top/a");
  EXPECT_EQ(station::CheckArchiveBeforeUnpack((dir_ / "no-such.tar").string(), limits).reason,
            "archive cannot be read");
}

TEST_F(TarWalk, RefusesToWriteOutsideItsFolder) {
  testenv::WriteFile(dir_ / "src" / "a.txt", "escape");
  fs::path archive = dir_ / "evil.tar";
  // -P keeps what --transform makes of the names: one climbing out, one absolute.
  mkpackage::RunTar({"--format=gnu", "-P", "-C", (dir_ / "src").string(), "--transform=s,^a,../../../escaped-a,",
                     "-cf", archive.string(), "a.txt"});
  fs::path abs = dir_ / "absolute.txt";
  mkpackage::RunTar({"--format=gnu", "-P", "-C", (dir_ / "src").string(), "--transform=s,^a.txt," + abs.string() + ",",
                     "-rf", archive.string(), "a.txt"});
  fs::path out = dir_ / "deep" / "er" / "out";
  fs::create_directories(out);
  TarReader reader(archive.string(), 0);
  int members = 0;
  for (TarEntry e = reader.FirstEntry(); !e.IsEnd(); e = reader.NextEntry()) {
    ++members;
    EXPECT_FALSE(station::IsSafeMemberName(e.Header().name)) << e.Header().name;
    EXPECT_FALSE(e.ExtractFile(out.string())) << e.Header().name;
  }
  EXPECT_EQ(members, 2);
  EXPECT_FALSE(fs::exists(dir_ / "escaped-a.txt"));
  EXPECT_FALSE(fs::exists(abs));
  EXPECT_TRUE(fs::is_empty(out));

  for (const char* good : {"a", "a/b", "a/..b/c", "./a", "a..", "..a/b"}) EXPECT_TRUE(station::IsSafeMemberName(good)) << good;
  for (const char* bad : {"", "/a", "..", "../a", "a/../../b", "a/..", "//a"}) EXPECT_FALSE(station::IsSafeMemberName(bad)) << bad;
}

TEST_F(TarWalk, ExtractNeedsItsFolderAndOpenIsOnce) {
  fs::path archive = Make({{"a.txt", "aaa"}});
  TarReader reader(archive.string(), 0);
  EXPECT_FALSE(reader.Open(archive.string(), 0));
  TarEntry e = reader.FirstEntry();
  EXPECT_FALSE(e.ExtractFile((dir_ / "no-such-folder").string()));
}

// A thread asked to stop (the station closing during a load) copies no more of a large member
// than the piece in hand, and says that the copy is not whole.
TEST_F(TarWalk, AStopEndsTheCopyAtTheNextPiece) {
  const std::string data = Bytes(1 << 20, 7);
  fs::path archive = Make({{"big.bin", data}});
  std::stop_source stop;
  plat::ScopedStopToken current(stop.get_token());
  struct StopOnWrite : std::stringbuf {
    std::stop_source* source = nullptr;
    std::streamsize xsputn(const char* p, std::streamsize n) override {
      source->request_stop();
      return std::stringbuf::xsputn(p, n);
    }
  } buf;
  buf.source = &stop;
  std::ostream out(&buf);

  TarReader reader(archive.string(), 0);
  TarEntry e = reader.FirstEntry();
  EXPECT_FALSE(e.CopyData(out));
  EXPECT_GT(e.Copied(), 0u);
  EXPECT_LT(e.Copied(), data.size() / 4);
  EXPECT_EQ(buf.str(), data.substr(0, e.Copied()));

  TarEntry again = reader.FirstEntry();
  EXPECT_FALSE(again.ExtractFile(dir_.str()));
  EXPECT_EQ(again.Copied(), 0u);
}

// A header block written by hand: a regular member with a base-256 size field, so that any
// 64-bit size can be stated, and a checksum that matches.
std::string HandHeader(const std::string& name, uint64_t size, char typeflag = '0') {
  std::string b(512, '\0');
  memcpy(b.data(), name.data(), name.size());
  memcpy(b.data() + 100, "0000644", 7);
  b[124] = '\x80';
  for (int i = 0; i < 8; ++i) b[124 + 4 + i] = static_cast<char>(size >> (8 * (7 - i)));
  b[156] = typeflag;
  memcpy(b.data() + 257, "ustar  ", 8);
  memset(b.data() + 148, ' ', 8);
  const int64_t sum = station::TarHeaderChecksumUnsigned(reinterpret_cast<const uint8_t*>(b.data()));
  snprintf(b.data() + 148, 8, "%06o", static_cast<unsigned>(sum));
  return b;
}

TEST_F(TarWalk, AnImpossibleSizeEndsTheWalkAndCountsAsCut) {
  // Sizes so large that the position behind the data passes 2^64: rounded up they bring the
  // next header back to the archive's start, or to this header's own data.
  for (uint64_t size : {~uint64_t{0} - 511, ~uint64_t{0} - 1023, ~uint64_t{0}}) {
    std::string bytes = HandHeader("big.bin", size) + Bytes(512, 5) + std::string(1024, '\0');
    fs::path archive = dir_ / "huge-size.tar";
    Write(archive, bytes);
    TarReader reader(archive.string(), 0);
    int entries = 0;
    for (TarEntry e = reader.FirstEntry(); !e.IsEnd() && entries < 10; e = reader.NextEntry()) ++entries;
    ASSERT_EQ(entries, 1) << std::hex << size;
    EXPECT_EQ(station::FirstCutMember(archive.string()), "big.bin") << std::hex << size;
  }
}

TEST_F(TarWalk, APaxRecordLengthThatWrapsAroundIsNotFollowedBack) {
  // The third record's length takes the read position past 2^64 to the second record, which
  // leads back to the third: the records end there, and the member after them is read.
  const std::string records = "6 a=b\n6 c=d\n18446744073709551610 x=y\n";
  std::string bytes = HandHeader("PaxHeaders/a", records.size(), 'x') + records;
  bytes.resize(1024, '\0');
  bytes += HandHeader("a", 3) + "aaa";
  bytes.resize(2048 + 1024, '\0');
  Write(dir_ / "pax.tar", bytes);
  TarReader reader((dir_ / "pax.tar").string(), 0);
  std::vector<Seen> seen = Walk(reader);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].header.name, "a");
  EXPECT_EQ(seen[1].data, "aaa");
}

// Members larger than 8 GiB: GNU tar writes their size in base-256 (gnu format) or as a pax
// record (posix format). The archives are rebuilt as sparse files from the pieces around the
// big member's data.
class TarHuge : public ::testing::TestWithParam<const char*> {};

TEST_P(TarHuge, WalksPastAMemberOfMoreThan8GiB) {
  const std::string format = GetParam();
  const fs::path fixtures = fs::path(STATION_SOURCE_DIR) / "tests" / "fixtures" / "tar-8gib-member";
  const std::string head = testenv::ReadFile(fixtures / (format + "-head.bin"));
  const std::string tail = testenv::ReadFile(fixtures / (format + "-tail.bin"));
  ASSERT_FALSE(head.empty());
  constexpr uint64_t kBig = 8589935000ull;
  testenv::ScratchDir dir;
  fs::path archive = dir / "huge.tar";
  {
    std::ofstream out(archive, std::ios::binary);
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
    out.seekp(static_cast<std::streamoff>(head.size() + (kBig + 511) / 512 * 512));
    out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
  }
  TarReader reader(archive.string(), 0);
  std::vector<const char*> order;
  bool sawBig = false, sawSmall = false;
  for (TarEntry e = reader.FirstEntry(); !e.IsEnd(); e = reader.NextEntry()) {
    const TarHeader& h = e.Header();
    if (h.name == "big.bin") {
      sawBig = true;
      EXPECT_EQ(h.size, kBig);
      EXPECT_EQ(e.DataPosition(), head.size());
    } else if (h.name == "small.txt") {
      sawSmall = true;
      EXPECT_EQ(e.DataPosition(), head.size() + (kBig + 511) / 512 * 512 + 512);
      std::ostringstream data;
      EXPECT_TRUE(e.CopyData(data));
      EXPECT_EQ(data.str(), "after the big one\n");
    } else {
      EXPECT_EQ(h.typeflag, 'x') << h.name;
    }
  }
  EXPECT_TRUE(sawBig);
  EXPECT_TRUE(sawSmall);
}

INSTANTIATE_TEST_SUITE_P(Formats, TarHuge, ::testing::Values("gnu", "posix"));

}  // namespace

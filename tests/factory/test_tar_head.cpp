// The stamp of a per-board archive: its lengths, the trailer of each flag and of NAS boards,
// the head's checksum over the whole block, and the files it refuses to stamp.
#include "factory/tar_head.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "mkpackage/mkpackage.h"
#include "support/factory_env.h"

namespace station {
namespace {

namespace fs = std::filesystem;

uint32_t Le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

// The checksum a board computes over the stamped head.
std::string ExpectedChecksum(const std::string& head) {
  unsigned sum = 0;
  for (size_t i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : static_cast<uint8_t>(head[i]);
  char field[9];
  std::snprintf(field, sizeof field, "%06o", sum);
  return std::string(field, 6) + '\0' + ' ';
}

class TarHead : public ::testing::Test {
 protected:
  // A one-member archive as GNU tar writes it: 10240 bytes.
  std::string MakeArchive(const std::string& name) {
    testenv::WriteFile(dir / "member.txt", "board data\n");
    const std::string path = (dir / name).string();
    mkpackage::RunTar({"--format=ustar", "-cf", path, "-C", dir.str(), "member.txt"});
    return path;
  }
  testenv::ScratchDir dir;
};

TEST_F(TarHead, StampOfEachFlag) {
  struct Case {
    const char* name;
    uint32_t flag;
    bool nas;
    uint64_t size;  // before the stamp; 0: as tar wrote it
    uint64_t after;
  } cases[] = {
      {"builder", 0, false, 0, 10240 + 512 + 1024},
      {"writer", 1, false, 0, 10240 + 512},
      {"builder, NAS", 0, true, 0, 10240 + 512},
      {"a length with line-feed bytes", 0, false, 0x0A0A00, 0x0A0A00 + 512 + 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = MakeArchive(std::string(c.name) + ".tar");
    if (c.size) fs::resize_file(path, c.size);
    const std::string before = testenv::ReadFile(path);
    BurnOption option;
    option.nasEnable = c.nas;
    ASSERT_TRUE(RecalculateTarHead(path, option, c.flag));

    const std::string after = testenv::ReadFile(path);
    ASSERT_EQ(after.size(), c.after);
    const std::string head = after.substr(0, 512);
    EXPECT_EQ(Le32(head, 500), c.flag);
    EXPECT_EQ(Le32(head, 504), before.size());
    EXPECT_EQ(head.substr(508, 4), std::string("MVX\0", 4));
    EXPECT_EQ(head.substr(148, 8), ExpectedChecksum(head));
    EXPECT_EQ(head.substr(0, 148), before.substr(0, 148)) << "the rest of the head stays";
    EXPECT_EQ(head.substr(156, 344), before.substr(156, 344));
    EXPECT_EQ(after.substr(512, before.size() - 512), before.substr(512));
    EXPECT_EQ(after.substr(before.size(), 512), head) << "the copy at the old end";
    if (c.after > before.size() + 512) {
      EXPECT_EQ(after.substr(before.size() + 512), std::string(1024, '\0'));
    }
    EXPECT_TRUE(IsTarHead(reinterpret_cast<const uint8_t*>(after.data())));
  }
}

// GNU tar takes the stamped archive as it is: the board's own reader does the same.
TEST_F(TarHead, StampedArchiveStillUnpacks) {
  const std::string path = MakeArchive("a.tar");
  ASSERT_TRUE(RecalculateTarHead(path, BurnOption{}, kTarHeadBuilt));
  EXPECT_EQ(testenv::UnpackedMembers(path, dir / "out"), std::vector<std::string>{"member.txt"});
  EXPECT_EQ(testenv::ReadFile(dir / "out" / "member.txt"), "board data\n");
}

TEST_F(TarHead, FilesThatAreNotStamped) {
  EXPECT_FALSE(RecalculateTarHead((dir / "missing.tar").string(), BurnOption{}, 0));
  EXPECT_FALSE(fs::exists(dir / "missing.tar"));
  // Shorter than a head: the head and its copy would overlap.
  const std::string shortFile = (dir / "short.tar").string();
  testenv::WriteFile(shortFile, std::string(511, 'x'));
  EXPECT_FALSE(RecalculateTarHead(shortFile, BurnOption{}, 0));
  EXPECT_EQ(testenv::ReadFile(shortFile), std::string(511, 'x'));
  EXPECT_FALSE(WriteFileAt((dir / "none").string(), 0, "x", 1));
  EXPECT_FALSE(fs::exists(dir / "none"));
}

TEST_F(TarHead, WhatIsAnArchiveHead) {
  const std::string archive = testenv::ReadFile(MakeArchive("h.tar"));
  const auto* head = reinterpret_cast<const uint8_t*>(archive.data());
  EXPECT_TRUE(IsTarHead(head));
  std::string spoiled = archive.substr(0, 512);
  spoiled[3] ^= 1;
  const std::string zeros(512, '\0'), erased(512, '\xFF');
  for (const std::string* block : {static_cast<const std::string*>(&spoiled), &zeros, &erased})
    EXPECT_FALSE(IsTarHead(reinterpret_cast<const uint8_t*>(block->data())));
}

}  // namespace
}  // namespace station

// Reading flash ranges of the simulated board into the slot's dump file.
#include "usblink/flash_dump.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "foundation/log_boxes.h"
#include "support/app_dir.h"
#include "support/usb_sim.h"
#include "support/test_env.h"
#include "usblink/flash_read.h"
#include "usblink/nand_bbt.h"

namespace {

namespace fs = std::filesystem;
using namespace station;
using boardsim::FlashKind;
using testenv::FlashPattern;
using testenv::SimBoard;
using Bytes = std::vector<uint8_t>;

constexpr int kSlot = 9;
constexpr uint8_t kRead = 0xF6;
constexpr uint32_t kPage = 2048;
constexpr uint32_t kBlock = 128 * 1024;
constexpr uint32_t P = kBlock / kPage;
constexpr uint32_t kTableBytes = 51 * 8;  // the table of the simulator's 1024-block NAND

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

boardsim::BoardConfig Board(FlashKind kind) {
  boardsim::BoardConfig c;
  c.flash = kind;
  return c;
}

class FlashDump : public ::testing::Test {
 protected:
  testenv::ScratchStationFixture fx;

  fs::path Dump() const { return DumpFilePath(kSlot); }
  // Data reads of the range, without the reads of the table copies.
  static std::vector<boardsim::Exchange> DataReads(const SimBoard& b) {
    std::vector<boardsim::Exchange> out;
    for (const auto& e : b.Exchanges(kRead))
      if (e.transferLength != kTableBytes) out.push_back(e);
    return out;
  }
  // Blocks `first` .. `first + count - 1` of the board filled with their own patterns.
  static std::vector<Bytes> FillBlocks(SimBoard& b, uint32_t first, uint32_t count) {
    std::vector<Bytes> blocks;
    for (uint32_t i = 0; i < count; ++i) {
      blocks.push_back(FlashPattern(kBlock, first + i));
      b.board().WriteFlash(uint64_t(first + i) * kBlock, blocks.back());
    }
    return blocks;
  }
};

TEST_F(FlashDump, NandRangeIsDumpedBlockByBlock) {
  testenv::ScopedUmask open(0);
  SimBoard b(fx.dir, Board(FlashKind::Nand));
  const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
  const auto blocks = FillBlocks(b, 10, 2);

  ASSERT_EQ(ReadDeviceFlash(b.handle(), info, kSlot, 10 * P, kBlock * 3 / 2), kResultOk);
  EXPECT_EQ(testenv::ReadBytes(Dump()), Join({blocks[0], Bytes(blocks[1].begin(), blocks[1].begin() + kBlock / 2)}));
  EXPECT_EQ(testenv::ModeOf(Dump()), 0600) << "the board's data is private";
  const auto reads = DataReads(b);
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].address, 10 * P);
  EXPECT_EQ(reads[1].address, 11 * P);
  EXPECT_EQ(reads[1].transferLength, kBlock / 2);
  // Each block is looked up in both copies of the table (neither remaps anything here).
  EXPECT_EQ(b.Exchanges(kRead).size() - reads.size(), 4u);
  EXPECT_EQ(testenv::CountOf(DeviceLogText(kSlot), "begin.read device [9].\r\n"), 1);
}

TEST_F(FlashDump, RemappedBlockIsReadFromItsReplacement) {
  SimBoard b(fx.dir, Board(FlashKind::Nand));
  const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
  const auto blocks = FillBlocks(b, 10, 3);
  // The board's own copy 1 says block 11's data went to block 1000.
  NandBbt bbt;
  ASSERT_TRUE(AllocNandBbt(info, bbt));
  bbt.table[0] = NandBbtEntry{0, 11, 0, 1000};
  Bytes image(kTableBytes);
  std::memcpy(image.data(), bbt.table.get(), image.size());
  b.board().WriteFlash(1ull * kBlock, image);
  const Bytes moved = FlashPattern(kBlock, 77);
  b.board().WriteFlash(1000ull * kBlock, moved);

  ASSERT_EQ(ReadDeviceFlash(b.handle(), info, kSlot, 10 * P, 3 * kBlock), kResultOk);
  EXPECT_EQ(testenv::ReadBytes(Dump()), Join({blocks[0], moved, blocks[2]}));
  const auto reads = DataReads(b);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[1].address, 1000 * P);
  EXPECT_EQ(reads[2].address, 12 * P) << "the next block is read from its own logical page";
}

TEST_F(FlashDump, EmptyRequestReadsTheOptionsRange) {
  struct Case {
    const char* name;
    FlashKind kind;
    const char* startBox;
    const char* sizeBox;
    uint32_t address;
    uint64_t flashOffset;
  };
  const Case cases[] = {
      {"emmc", FlashKind::Emmc, "8", "400", 8, 8 * 512},
      {"nand", FlashKind::Nand, "280", "20000", 0x280, 0x280ull * kPage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimBoard b(fx.dir, Board(c.kind));
    state().optionsDlg.SetText(option_id::kStartAddress, c.startBox);
    state().optionsDlg.SetText(option_id::kDataSize, c.sizeBox);
    const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
    const Bytes data = FlashPattern(info.TotalDataSize, c.address);
    b.board().WriteFlash(c.flashOffset, data);
    testenv::WriteFile(Dump(), "an older dump");

    ASSERT_EQ(ReadDeviceFlash(b.handle(), info, kSlot, 0, 0), kResultOk);
    const auto reads = DataReads(b);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].address, c.address);
    EXPECT_EQ(reads[0].transferLength, info.TotalDataSize);
    if (c.kind == FlashKind::Emmc) {
      // An eMMC read leaves its data in the read-back file and the dump file alone.
      EXPECT_EQ(testenv::ReadBytes(ReadBackFilePath(kSlot)), data);
      EXPECT_EQ(testenv::ReadFile(Dump()), "an older dump");
    } else {
      EXPECT_EQ(testenv::ReadBytes(Dump()), data);
    }
  }
}

TEST_F(FlashDump, SecondReadStartsANewDump) {
  SimBoard b(fx.dir, Board(FlashKind::Nand));
  const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
  const auto blocks = FillBlocks(b, 10, 2);
  ASSERT_EQ(ReadDeviceFlash(b.handle(), info, kSlot, 10 * P, kBlock), kResultOk);
  ASSERT_EQ(ReadDeviceFlash(b.handle(), info, kSlot, 11 * P, kBlock), kResultOk);
  EXPECT_EQ(testenv::ReadBytes(Dump()), blocks[1]);
}

TEST_F(FlashDump, FailedLookupIsTriedAgainBeforeTheReadGivesUp) {
  SimBoard b(fx.dir, Board(FlashKind::Nand));
  const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
  const auto blocks = FillBlocks(b, 10, 2);

  // One failed copy read: the next attempt goes through.
  b.SetFaults([](boardsim::Faults& f) { f.failStatusExchange = 0; });
  EXPECT_EQ(ReadDeviceFlash(b.handle(), info, kSlot, 10 * P, kBlock), kResultOk);
  EXPECT_EQ(testenv::ReadBytes(Dump()), blocks[0]);

  // The board leaves while block 11 is looked up: every attempt fails, the dump keeps block 10.
  b.board().clearExchanges();
  SetDeviceLogText(kSlot, "");
  b.SetFaults([](boardsim::Faults& f) { f.vanishAfterExchanges = 3; });
  EXPECT_EQ(ReadDeviceFlash(b.handle(), info, kSlot, 10 * P, 2 * kBlock), kResultCbwWrite);
  EXPECT_EQ(testenv::ReadBytes(Dump()), blocks[0]);
  const std::string log = DeviceLogText(kSlot);
  EXPECT_EQ(testenv::CountOf(log, "compare mode - bbt dump data fail \r\n"), kBbtLookupAttempts);
  EXPECT_EQ(testenv::CountOf(log, "read device [9] failed. nand flash.\r\n"), 1);
}

TEST_F(FlashDump, FailedReadGivesItsCode) {
  struct Case {
    const char* name;
    FlashKind kind;
    int failExchange;
    const char* line;
  };
  const Case cases[] = {
      // Exchanges 0 and 1 read the table copies; 2 is the block itself.
      {"nand block", FlashKind::Nand, 2, "read device [9] failed. nand flash.\r\n"},
      {"emmc range", FlashKind::Emmc, 0, "read device [9] failed. emmc flash.\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetDeviceLogText(kSlot, "");
    SimBoard b(fx.dir, Board(c.kind));
    const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
    b.SetFaults([&](boardsim::Faults& f) { f.failStatusExchange = c.failExchange; });
    EXPECT_EQ(ReadDeviceFlash(b.handle(), info, kSlot, 640, kBlock), kResultCswStatus);
    EXPECT_EQ(testenv::CountOf(DeviceLogText(kSlot), c.line), 1);
  }
}

TEST_F(FlashDump, DumpThatCannotBeWrittenGivesNine) {
  SimBoard b(fx.dir, Board(FlashKind::Nand));
  const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
  fs::create_directories(Dump());  // a folder where the dump file belongs
  EXPECT_EQ(ReadDeviceFlash(b.handle(), info, kSlot, 640, kBlock), kResultReadDevice);
  const std::string log = DeviceLogText(kSlot);
  EXPECT_EQ(testenv::CountOf(log, "merge file - open file failed (" + Dump().string() + ")\r\n"), 1);
  EXPECT_EQ(testenv::CountOf(log, "read device [9]: merge file failed. nand flash.\r\n"), 1);
}

TEST_F(FlashDump, MergeAppendsTheReadBackFile) {
  EXPECT_FALSE(MergeDumpFile(kSlot));
  EXPECT_EQ(testenv::CountOf(DeviceLogText(kSlot), "merge file- source file not found \r\n"), 1);

  // The dump folder is made when missing, and later pieces are appended.
  testenv::WriteFile(ReadBackFilePath(kSlot), "first ");
  ASSERT_TRUE(MergeDumpFile(kSlot));
  testenv::WriteFile(ReadBackFilePath(kSlot), "second");
  ASSERT_TRUE(MergeDumpFile(kSlot));
  EXPECT_EQ(testenv::ReadFile(Dump()), "first second");
}

}  // namespace

// Reading flash back into the slot's read-back file and the spare bytes into the spare file,
// against the in-process board simulator.
#include "usblink/flash_read.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/log_boxes.h"
#include "foundation/result_messages.h"
#include "support/app_dir.h"
#include "support/usb_sim.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using namespace station;
using boardsim::BoardConfig;
using boardsim::FlashKind;
using testenv::FlashPattern;
using testenv::SimBoard;
using Bytes = std::vector<uint8_t>;

constexpr int kSlot = 2;
constexpr uint8_t kRead = 0xF6;
constexpr uint8_t kSpare = 0xFC;

std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

BoardConfig Board(FlashKind kind) {
  BoardConfig c;
  c.flash = kind;
  return c;
}

class FlashRead : public ::testing::Test {
 protected:
  testenv::ScratchStationFixture fx;

  std::string ReadBackPath() const { return ReadBackFilePath(kSlot); }
  void PlantOldReadBack() { testenv::WriteFile(ReadBackPath(), "older read-back"); }
  bool PartFilesLeft() const {
    for (const auto& e : fs::directory_iterator(fx.dir.path()))
      if (e.path().extension() == ".part") return true;
    return false;
  }
};

TEST(EmmcChunk, SizeFollowsTheLength) {
  struct Case {
    uint64_t length;
    uint32_t chunk;
  };
  const Case cases[] = {
      {0, 512},        {1, 512},         {512, 512},          {513, 512},         {1000, 512},
      {1024, 1024},    {0x3FFFF, 0x3FE00}, {0x40000, 0x40000}, {0x40001, 0x40000}, {5ull << 30, 0x40000},
  };
  for (const Case& c : cases) EXPECT_EQ(EmmcChunkSize(c.length), c.chunk) << "length " << c.length;
}

TEST_F(FlashRead, RangeIsReadInChunksOfItsFlashType) {
  struct Chunk {
    uint32_t address, length;
  };
  struct Case {
    const char* name;
    FlashKind kind;
    uint32_t address;
    uint64_t length;
    uint64_t flashOffset;
    std::vector<Chunk> chunks;
  };
  const Case cases[] = {
      // 0x40001 eMMC bytes: a full chunk and one byte, 0x200 sectors further on.
      {"emmc", FlashKind::Emmc, 100, 0x40001, 100 * 512ull, {{100, 0x40000}, {100 + 0x200, 1}}},
      {"emmc below one chunk", FlashKind::Emmc, 7, 1000, 7 * 512ull, {{7, 512}, {8, 488}}},
      // NAND chunks move on by chunk bytes / page size pages.
      {"nand", FlashKind::Nand, 64, 0x40000 + 3 * 2048, 64 * 2048ull, {{64, 0x40000}, {64 + 128, 3 * 2048}}},
      // NOR reads keep their address; the board goes on where it stopped.
      {"nor", FlashKind::Nor, 0x1000, 0x1800, 0x1000, {{0x1000, 0x1000}, {0x1000, 0x800}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimBoard b(fx.dir, Board(c.kind));
    const Bytes data = FlashPattern(c.length, c.address);
    b.board().WriteFlash(c.flashOffset, data);
    const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
    PlantOldReadBack();

    ASSERT_EQ(ReadDeviceToFile(b.handle(), c.address, c.length, &info, kSlot), kResultOk);
    EXPECT_TRUE(testenv::ReadFile(ReadBackPath()) == Text(data)) << "the older file is replaced by the range";

    const auto reads = b.Exchanges(kRead);
    ASSERT_EQ(reads.size(), c.chunks.size());
    for (size_t i = 0; i < reads.size(); ++i) {
      const auto& e = reads[i];
      EXPECT_EQ(e.address, c.chunks[i].address) << "chunk " << i;
      EXPECT_EQ(e.transferLength, c.chunks[i].length) << "chunk " << i;
      EXPECT_EQ(e.flags, 0x80);
      EXPECT_EQ(e.indicator, 3);
      EXPECT_EQ(e.routingA | e.routingB, 0);
      EXPECT_EQ(e.subCode, 0);
      EXPECT_EQ(e.payloadCrc, 0u);
      EXPECT_EQ(e.partMarker, 0);
      EXPECT_EQ(e.flashType, info.FlashType);
      EXPECT_EQ(e.pageSize, info.PageSize);
      EXPECT_EQ(e.blockSizeK, info.BlockSizeK);
      EXPECT_EQ(e.flashSizeM, info.NandSizeM);
    }
    EXPECT_FALSE(PartFilesLeft());
  }
}

// What a board holds (its secure key among it) is for the station's user only: the read-back
// file is made private whatever the umask, also in place of an older one that was not.
TEST_F(FlashRead, ReadBackIsPrivate) {
  testenv::ScopedUmask open(0);
  SimBoard b(fx.dir, Board(FlashKind::Emmc));
  const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
  PlantOldReadBack();
  fs::permissions(ReadBackPath(), fs::perms::all);
  ASSERT_EQ(ReadDeviceToFile(b.handle(), 0, 4096, &info, kSlot), kResultOk);
  EXPECT_EQ(testenv::ModeOf(ReadBackPath()), 0600);
}

TEST_F(FlashRead, FailedReadGivesItsCodeAndLeavesNoNewFile) {
  struct Case {
    const char* name;
    std::function<void(boardsim::Faults&)> fault;
    uint32_t address;
    ResultCode code;
  };
  const Case cases[] = {
      // The board refuses a range beyond its flash: only a status wrapper comes back.
      {"range beyond the flash", [](boardsim::Faults&) {}, (64u << 20) / 512, 11},
      {"board gone before the second chunk", [](boardsim::Faults& f) { f.vanishAfterExchanges = 1; }, 0, 11},
      {"board fails the second chunk", [](boardsim::Faults& f) { f.failStatusExchange = 1; }, 0, 7},
      {"no valid status wrapper", [](boardsim::Faults& f) { f.wrongSignatureCount = 200; }, 0, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimBoard b(fx.dir, Board(FlashKind::Emmc));
    const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
    PlantOldReadBack();
    b.SetFaults(c.fault);
    EXPECT_EQ(ReadDeviceToFile(b.handle(), c.address, 0x40001, &info, kSlot), c.code);
    EXPECT_EQ(testenv::ReadFile(ReadBackPath()), "older read-back");
    EXPECT_FALSE(PartFilesLeft());
  }
}

TEST_F(FlashRead, VanishedBoardFailsAtOnceOnEveryRead) {
  SimBoard b(fx.dir, Board(FlashKind::Nand));
  const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
  b.SetFaults([](boardsim::Faults& f) { f.vanishAfterExchanges = 0; });
  EXPECT_EQ(ReadDeviceToFile(b.handle(), 0, 2048, &info, kSlot), kResultDataWrite);
  // The connection is closed now: the command wrapper itself is refused.
  EXPECT_EQ(ReadDeviceToFile(b.handle(), 0, 2048, &info, kSlot), kResultCbwWrite);
  EXPECT_NE(DeviceLogText(kSlot).find("read device : write CBW fail! \r\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(ReadBackPath()));
}

TEST_F(FlashRead, SilentBoardTimesOut) {
  SimBoard b(fx.dir, Board(FlashKind::Emmc));
  const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
  b.SetFaults([](boardsim::Faults& f) { f.dropStatusCount = 1; });
  // Each read the board holds off costs the driver's whole read time-out of the clock, so the
  // 20 s of the wait run out before its 200 reads.
  EXPECT_EQ(ReadDeviceToFile(b.handle(), 0, 512, &info, kSlot), kResultCswTimeout);
  EXPECT_FALSE(fs::exists(ReadBackPath()));
}

TEST_F(FlashRead, RangeThatCannotBeAddressedIsRefusedBeforeAnyExchange) {
  SimBoard b(fx.dir, Board(FlashKind::Emmc));
  FlashInfo emmc = testenv::FlashInfoOf(b.board().config(), kSlot);
  FlashInfo nandWithoutPages = emmc;
  nandWithoutPages.FlashType = 0;
  nandWithoutPages.PageSize = 0;
  // The last chunk's sector would not fit the command block's 32-bit address.
  EXPECT_EQ(ReadDeviceToFile(b.handle(), 0xFFFFFF00u, 1u << 20, &emmc, kSlot), kResultReadDevice);
  EXPECT_EQ(ReadDeviceToFile(b.handle(), 0, 2048, &nandWithoutPages, kSlot), kResultReadDevice);
  EXPECT_TRUE(b.board().exchanges().empty());
}

TEST_F(FlashRead, EmmcRangeAboveFourGibIsNotCutToItsLowHalf) {
  SimBoard b(fx.dir, Board(FlashKind::Emmc));
  const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
  // Cut to its low half the range would be one sector and read fine; whole, its first chunk
  // is a full one and the read goes on until the board leaves.
  b.SetFaults([](boardsim::Faults& f) { f.vanishAfterExchanges = 1; });
  EXPECT_EQ(ReadDeviceToFile(b.handle(), 0, (1ull << 32) + 512, &info, kSlot), kResultDataWrite);
  const auto reads = b.Exchanges(kRead);
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads[0].transferLength, 0x40000u);
  EXPECT_FALSE(PartFilesLeft());
}

TEST_F(FlashRead, MissingTemporaryFolderGivesNine) {
  SimBoard b(fx.dir, Board(FlashKind::Emmc));
  const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
  testenv::ScopedEnv gone("TEMP", (fx.dir / "no-such-folder").string());
  EXPECT_EQ(ReadDeviceToFile(b.handle(), 0, 512, &info, kSlot), kResultReadDevice);
  EXPECT_NE(DeviceLogText(kSlot).find("Create " + ReadBackFilePath(kSlot) + " failed \r\n"), std::string::npos);
}

class SpareRead : public FlashRead {
 protected:
  SpareRead() : previous_(fs::current_path()) { fs::current_path(fx.dir.path()); }
  ~SpareRead() override { fs::current_path(previous_); }
  fs::path SpareFile() const { return fx.dir / "spare_data.bin"; }

 private:
  fs::path previous_;
};

TEST_F(SpareRead, WordsOfTheSpareAreaGoToTheSpareFile) {
  SimBoard b(fx.dir, Board(FlashKind::Nand));
  const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
  const Bytes spare = FlashPattern(64, 5);
  b.board().WriteSpare(5, spare);
  testenv::WriteFile(SpareFile(), "an older spare file that is longer than the new one........");

  EXPECT_EQ(ReadSpareData(b.handle(), 5, 16, &info, kSlot), kResultDone);
  EXPECT_TRUE(testenv::ReadFile(SpareFile()) == Text(spare));
  const auto reads = b.Exchanges(kSpare);
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].address, 5u);
  EXPECT_EQ(reads[0].transferLength, 64u);
  EXPECT_EQ(reads[0].flags, 0x80);
  EXPECT_EQ(reads[0].indicator, 3);
  EXPECT_NE(MainLogText().find("malloc size: 0x40 \r\n"), std::string::npos);
  const std::string log = DeviceLogText(kSlot);
  EXPECT_LT(log.find("read data\r\n"), log.find("read CSW\r\n"));
}

TEST_F(SpareRead, FailedReadWritesNoFileAndGivesTheReadsCode) {
  struct Case {
    const char* name;
    std::function<void(boardsim::Faults&)> fault;
    uint32_t page;
    ResultCode result;
  };
  const Case cases[] = {
      {"page beyond the flash", [](boardsim::Faults&) {}, 1u << 20, kResultDataWrite},
      {"board fails the read", [](boardsim::Faults& f) { f.failStatusExchange = 0; }, 0, kResultCswStatus},
      {"board gone", [](boardsim::Faults& f) { f.vanishAfterExchanges = 0; }, 0, kResultDataWrite},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimBoard b(fx.dir, Board(FlashKind::Nand));
    const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
    b.SetFaults(c.fault);
    EXPECT_EQ(ReadSpareData(b.handle(), c.page, 16, &info, kSlot), c.result);
    EXPECT_FALSE(fs::exists(SpareFile()));
  }
}

}  // namespace

// Verifying written ranges by reading them back from the simulated board.
#include "usblink/compare_mode.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "foundation/log_boxes.h"
#include "support/app_dir.h"
#include "support/usb_sim.h"
#include "support/test_env.h"
#include "usblink/flash_read.h"
#include "usblink/nand_bbt.h"
#include "usblink/send_routine.h"

namespace {

namespace fs = std::filesystem;
using namespace station;
using boardsim::BoardConfig;
using boardsim::FlashKind;
using testenv::FlashPattern;
using testenv::SimBoard;
using Bytes = std::vector<uint8_t>;

constexpr int kSlot = 4;
constexpr uint8_t kRead = 0xF6;
constexpr uint32_t kPage = 2048;
constexpr uint32_t kBlock = 128 * 1024;
constexpr uint32_t kPagesPerBlock = kBlock / kPage;

BoardConfig Board(FlashKind kind) {
  BoardConfig c;
  c.flash = kind;
  c.requireDdrEnable = false;
  return c;
}

bool Logged(const std::string& line) { return DeviceLogText(kSlot).find(line) != std::string::npos; }

class CompareMode : public ::testing::Test {
 protected:
  testenv::ScratchStationFixture fx;

  std::string ReadBackPath() const { return ReadBackFilePath(kSlot); }
  void PlantReadBack(const Bytes& b) { testenv::WriteFile(ReadBackPath(), std::string(b.begin(), b.end())); }

  // Writes `data` the way an installation does.
  ResultCode Write(SimBoard& b, uint32_t address, const Bytes& data, NandBbtEntry* table) {
    const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
    int64_t size = static_cast<int64_t>(data.size());
    int32_t remaps = 0;
    return PerformReadTest(b.handle(), 0xF4, 1, address, data.data(), &size, info.EccCode,
                           static_cast<uint16_t>(info.PageSize), info.BlockSizeK, info.NandSizeM,
                           static_cast<int32_t>(info.TransRange), info.FlashType, 0xFF, info.OnceMaxTransRange, 0, 0,
                           0, &remaps, table, kSlot);
  }
};

TEST_F(CompareMode, ReadBackFileAgainstTheSentBuffer) {
  const Bytes sent = FlashPattern(1003, 1);  // words of four and a tail of three
  auto changed = [&](size_t at) {
    Bytes b = sent;
    b[at] ^= 0x01;
    return b;
  };
  struct Case {
    const char* name;
    std::optional<Bytes> file;  // the read-back file, or none
    int64_t length;
    ResultCode code;
    const char* line;
    bool fileStays;
  };
  const Case cases[] = {
      {"equal", sent, 1003, 100, "compare mode -  data compare done \r\n", false},
      {"last byte of the tail differs", changed(1002), 1003, 21, "compare mode -  data compare different \r\n", true},
      {"a byte in the middle differs", changed(500), 1003, 21, "compare mode -  data compare different \r\n", true},
      {"file shorter", Bytes(sent.begin(), sent.end() - 1), 1003, 21, "compare mode - len compare different \r\n",
       true},
      {"no file", std::nullopt, 1003, 21, "compare mode - read flash_data.bin file fail \r\n", false},
      {"zero length, empty file", Bytes{}, 0, 100, "compare mode -  data compare done \r\n", false},
      // Cut to its low half the length would be 1003 and match.
      {"length above 4 GiB", sent, (int64_t{1} << 32) + 1003, 21, "compare mode - len compare different \r\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetDeviceLogText(kSlot, "");
    fs::remove(ReadBackPath());
    if (c.file) PlantReadBack(*c.file);
    EXPECT_EQ(CompareFlashData(sent.data(), c.length, kSlot), c.code);
    EXPECT_TRUE(Logged(c.line)) << DeviceLogText(kSlot);
    EXPECT_EQ(fs::exists(ReadBackPath()), c.fileStays);
  }
}

TEST_F(CompareMode, CorruptedWriteIsFound) {
  struct Case {
    const char* name;
    FlashKind kind;
    uint32_t address;
    size_t bytes;
    bool corrupt;
    ResultCode code;
  };
  const Case cases[] = {
      {"nand", FlashKind::Nand, 10 * kPagesPerBlock, kBlock * 3 / 2, false, 100},
      {"nand, second block corrupted", FlashKind::Nand, 10 * kPagesPerBlock, kBlock * 3 / 2, true, 21},
      {"emmc", FlashKind::Emmc, 0x800, 0x50000, false, 100},
      {"emmc, second chunk corrupted", FlashKind::Emmc, 0x800, 0x50000, true, 21},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetDeviceLogText(kSlot, "");
    SimBoard b(fx.dir, Board(c.kind));
    const Bytes data = FlashPattern(c.bytes, c.address);
    NandBbt bbt;
    if (c.kind == FlashKind::Nand) {
      ASSERT_TRUE(AllocNandBbt(testenv::FlashInfoOf(b.board().config()), bbt));
    }
    if (c.corrupt) b.SetFaults([](boardsim::Faults& f) { f.corruptWriteExchange = 1; });
    ASSERT_EQ(Write(b, c.address, data, bbt.table.get()), kResultOk);

    EXPECT_EQ(CompareDeviceData(b.handle(), c.address, static_cast<int64_t>(data.size()), kSlot, data.data(),
                                bbt.table.get()),
              c.code);
    EXPECT_EQ(fs::exists(ReadBackPath()), c.corrupt) << "the differing read-back stays for inspection";
    if (c.corrupt) {
      EXPECT_TRUE(Logged("compare mode -  data compare different \r\n"));
      EXPECT_EQ(Logged("compare mode - comapre different\r\n"), c.kind == FlashKind::Nand);
    }
  }
}

TEST_F(CompareMode, NandRangeIsReadBlockByBlock) {
  struct Read {
    uint32_t page, length;
  };
  struct Case {
    const char* name;
    uint64_t length;
    std::vector<Read> reads;
  };
  constexpr uint32_t L = 20 * kPagesPerBlock;
  const Case cases[] = {
      {"one block", kBlock, {{L, kBlock}}},
      {"two and a half blocks", kBlock * 5 / 2,
       {{L, kBlock}, {L + kPagesPerBlock, kBlock}, {L + 2 * kPagesPerBlock, kBlock / 2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimBoard b(fx.dir, Board(FlashKind::Nand));
    const Bytes data = FlashPattern(c.length, 3);
    b.board().WriteFlash(uint64_t(L) * kPage, data);
    testenv::DescribeFlash(b.board().config());
    EXPECT_EQ(CompareDeviceData(b.handle(), L, static_cast<int64_t>(c.length), kSlot, data.data(), nullptr), kResultOk);
    const auto reads = b.Exchanges(kRead);
    ASSERT_EQ(reads.size(), c.reads.size());
    for (size_t i = 0; i < reads.size(); ++i) {
      EXPECT_EQ(reads[i].address, c.reads[i].page) << "piece " << i;
      EXPECT_EQ(reads[i].transferLength, c.reads[i].length) << "piece " << i;
    }
    EXPECT_FALSE(fs::exists(ReadBackPath()));
  }
}

TEST_F(CompareMode, RemappedBlockIsReadFromItsReplacement) {
  SimBoard b(fx.dir, Board(FlashKind::Nand));
  const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
  constexpr uint32_t L = 30;  // logical blocks 30, 31, 32; block 31's data went to block 1000
  NandBbt bbt;
  ASSERT_TRUE(AllocNandBbt(info, bbt));
  bbt.table[0] = NandBbtEntry{0, L + 1, 0, 1000};
  const Bytes data = FlashPattern(3 * kBlock, 4);
  b.board().WriteFlash(uint64_t(L) * kBlock, Bytes(data.begin(), data.begin() + kBlock));
  b.board().WriteFlash(1000ull * kBlock, Bytes(data.begin() + kBlock, data.begin() + 2 * kBlock));
  b.board().WriteFlash(uint64_t(L + 2) * kBlock, Bytes(data.begin() + 2 * kBlock, data.end()));

  EXPECT_EQ(CompareDeviceData(b.handle(), L * kPagesPerBlock, 3 * kBlock, kSlot, data.data(), bbt.table.get()),
            kResultOk);
  const auto reads = b.Exchanges(kRead);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[0].address, L * kPagesPerBlock);
  EXPECT_EQ(reads[1].address, 1000 * kPagesPerBlock);
  EXPECT_EQ(reads[2].address, (L + 2) * kPagesPerBlock) << "the next piece follows the logical page";
}

TEST_F(CompareMode, ZeroLengthCompareSucceedsWithoutReadingData) {
  for (FlashKind kind : {FlashKind::Nand, FlashKind::Emmc, FlashKind::Nor}) {
    SimBoard b(fx.dir, Board(kind));
    testenv::DescribeFlash(b.board().config());
    const uint8_t none = 0;
    EXPECT_EQ(CompareDeviceData(b.handle(), 64, 0, kSlot, &none, nullptr), kResultOk);
    EXPECT_TRUE(b.Exchanges(kRead).empty());
    EXPECT_FALSE(fs::exists(ReadBackPath()));
  }
}

TEST_F(CompareMode, RangeAboveFourGibIsComparedWhole) {
  // Cut to its low half each range would be one small piece that reads and compares fine;
  // whole, the read goes on past it until the board leaves.
  struct Case {
    const char* name;
    FlashKind kind;
    int64_t length;
  };
  const Case cases[] = {
      {"emmc", FlashKind::Emmc, (int64_t{1} << 32) + 512},
      {"nand", FlashKind::Nand, (int64_t{1} << 32) + kBlock},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimBoard b(fx.dir, Board(c.kind));
    testenv::DescribeFlash(b.board().config());
    const Bytes data = FlashPattern(kBlock, 6);
    b.board().WriteFlash(0, data);
    b.SetFaults([](boardsim::Faults& f) { f.vanishAfterExchanges = 1; });
    EXPECT_EQ(CompareDeviceData(b.handle(), 0, c.length, kSlot, data.data(), nullptr), kResultDataWrite);
  }
}

TEST_F(CompareMode, FailedReadBackGivesTheReadCode) {
  SimBoard b(fx.dir, Board(FlashKind::Emmc));
  testenv::DescribeFlash(b.board().config());
  const Bytes data = FlashPattern(4096, 8);
  b.SetFaults([](boardsim::Faults& f) { f.failStatusExchange = 0; });
  EXPECT_EQ(CompareDeviceData(b.handle(), 0, 4096, kSlot, data.data(), nullptr), kResultCswStatus);
  EXPECT_FALSE(Logged("compare mode -  data compare"));
  EXPECT_TRUE(Logged("compare mode - emmc / nor flashr\r\n"));
}

}  // namespace

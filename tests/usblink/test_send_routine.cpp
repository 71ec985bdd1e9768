// The send routine against a simulated board: the chunks and runs each transfer is cut into,
// bad block remapping, the no-data commands and the key, the blank-skipping write, and what
// happens when the board misbehaves.
#include "usblink/send_routine.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <random>
#include <string>
#include <vector>

#include "foundation/aes128.h"
#include "foundation/log_boxes.h"
#include "platform/clock.h"
#include "support/test_env.h"
#include "support/usb_sim.h"
#include "usblink/flash_options.h"
#include "usblink/usb_device.h"

namespace {

using namespace station;
using Bytes = std::vector<uint8_t>;
using boardsim::FlashKind;

constexpr uint32_t kPage = 2048;
constexpr uint32_t kBlockK = 128;
constexpr uint32_t kBlock = kBlockK * 1024;
constexpr uint32_t kPagesPerBlock = kBlock / kPage;  // 64
constexpr uint32_t kNandM = 128;                     // 1024 blocks
constexpr uint8_t kF3 = 0xF3, kF4 = 0xF4, kF9 = 0xF9;

Bytes RandomData(size_t n, unsigned seed = 1) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(gen() % 255);  // never 0xFF: no page is blank by chance
  return b;
}

void Blank(Bytes& b, size_t from, size_t to) { std::fill(b.begin() + from, b.begin() + to, 0xFF); }

boardsim::BoardConfig Config(FlashKind kind, std::vector<uint32_t> badBlocks = {}) {
  boardsim::BoardConfig c;
  c.flash = kind;
  c.pageSize = kPage;
  c.blockSizeK = kBlockK;
  c.nandSizeM = kNandM;
  c.badBlocks = std::move(badBlocks);
  c.requireDdrEnable = false;
  for (int i = 0; i < 16; ++i) c.key[i] = static_cast<uint8_t>(0x30 + i);
  return c;
}

// Makes `bbt` for the board's NAND geometry.
bool AllocBoardBbt(NandBbt& bbt) {
  FlashInfo info{};
  info.NandSizeM = kNandM;
  info.BlockSizeK = kBlockK;
  info.PageSize = kPage;
  return AllocNandBbt(info, bbt);
}

// A send with the board's NAND geometry (or none for eMMC).
SendArgs Args(DevHandle h, uint8_t opcode, uint8_t flashType, uint32_t start, const Bytes& data, int64_t* size,
              uint32_t unit, uint32_t range, uint16_t marker, int32_t* remapCount = nullptr,
              NandBbtEntry* bbt = nullptr) {
  SendArgs a;
  a.device = h;
  a.opcode = opcode;
  a.subCode = VendorSubCode(opcode);
  a.startAddress = start;
  a.data = data.empty() ? nullptr : data.data();
  *size = static_cast<int64_t>(data.size());
  a.size = size;
  if (flashType == 0) {
    a.pageSize = kPage;
    a.blockSizeK = kBlockK;
    a.flashSizeM = kNandM;
    a.eccCode = 0x0C;
  }
  a.transferUnit = static_cast<int32_t>(unit);
  a.flashType = flashType;
  a.partMarker = marker;
  a.rangeSize = range;
  a.remapCount = remapCount;
  a.bbt = bbt;
  a.slot = 0;
  return a;
}

// What one exchange looked like to the board.
struct Ex {
  uint8_t opcode;
  int indicator;
  uint32_t address;
  uint32_t length;
  uint16_t marker;
  bool operator==(const Ex&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Ex& e) {
  return os << "{op " << std::hex << int(e.opcode) << std::dec << ", ind " << e.indicator << ", addr 0x" << std::hex
            << e.address << ", len 0x" << e.length << ", marker 0x" << e.marker << std::dec << "}";
}

std::vector<Ex> Seen(boardsim::Board& board) {
  std::vector<Ex> out;
  for (const auto& e : board.exchanges())
    out.push_back({e.opcode, e.indicator, e.address, e.transferLength, e.partMarker});
  return out;
}

// ---- how transfers are cut ----

struct SeqCase {
  const char* name;
  FlashKind kind;
  uint8_t opcode;
  uint8_t flashType;
  uint32_t start;
  uint32_t size, unit, range;
  uint16_t marker;
  std::function<void(Bytes&)> shape;  // blank pages of the buffer
  int repeatChunk;                    // the board asks for this chunk again
  std::vector<Ex> expected;
};

class SendSequence : public ::testing::TestWithParam<SeqCase> {};

TEST_P(SendSequence, ChunksRunsAndPlacement) {
  const SeqCase& c = GetParam();
  testenv::StationFixture env;
  testenv::SimBoard sim(Config(c.kind));
  ASSERT_NE(sim.handle(), kInvalidHandle);
  sim.SetFaults([&](boardsim::Faults& f) { f.repeatChunk = c.repeatChunk; });

  Bytes data = RandomData(c.size);
  if (c.shape) c.shape(data);
  int64_t size = 0;
  SendArgs a = Args(sim.handle(), c.opcode, c.flashType, c.start, data, &size, c.unit, c.range, c.marker);
  ASSERT_EQ(PerformReadTest(a), kResultOk) << DeviceLogText(0);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(Seen(sim.board()), c.expected);

  // Nothing lost: the board holds the whole buffer where it belongs (blank pages read as 0xFF).
  if (c.opcode == kF9) {
    EXPECT_EQ(sim.board().Ddr(c.start, c.size), data);
  } else {
    const uint64_t unitBytes = c.kind == FlashKind::Nand ? kPage : c.kind == FlashKind::Emmc ? 512 : 1;
    EXPECT_EQ(sim.board().Flash(uint64_t{c.start} * unitBytes, c.size), data);
  }
}

const SeqCase kSeqCases[] = {
    {"EmmcOneRangeThreeChunks", FlashKind::Emmc, kF4, 2, 0x100, 600 * 1024, 256 * 1024, 0, 0, nullptr, -1,
     {{kF4, 1, 0x100, 0x40000, 0}, {kF4, 0, 0x100, 0x40000, 0}, {kF4, 3, 0x100, 0x16000, 0}}},
    {"EmmcRangesAndTheirMarkers", FlashKind::Emmc, kF4, 2, 0, 0x100000 + 100 * 1024, 256 * 1024, 512 * 1024, 0x79,
     nullptr, -1,
     {{kF4, 1, 0, 0x40000, 0x79},
      {kF4, 3, 0, 0x40000, 0x79},
      {kF4, 1, 1024, 0x40000, 0x179},
      {kF4, 3, 1024, 0x40000, 0x179},
      {kF4, 3, 2048, 0x19000, 0x279}}},
    {"OtherMarkersStayAsTheyAre", FlashKind::Emmc, kF4, 2, 0, 0x80000, 256 * 1024, 256 * 1024, 0x7A, nullptr, -1,
     {{kF4, 3, 0, 0x40000, 0x7A}, {kF4, 3, 512, 0x40000, 0x7A}}},
    // A chunk that ends in blank pages is sent short and closes its run; the next chunk of the
    // range opens a new run at its own page.
    {"NandBlankTailClosesTheRun", FlashKind::Nand, kF4, 0, 64, 3 * 64 * 1024, 64 * 1024, 3 * 64 * 1024, 0xFF,
     [](Bytes& b) { Blank(b, 10 * kPage, 32 * kPage); }, -1,
     {{kF4, 3, 64, 10 * kPage, 0xFF}, {kF4, 1, 96, 0x10000, 0xFF}, {kF4, 3, 96, 0x10000, 0xFF}}},
    {"NandBlankPageInsideIsSent", FlashKind::Nand, kF4, 0, 128, kBlock, kBlock, kBlock, 0xFF,
     [](Bytes& b) { Blank(b, 3 * kPage, 4 * kPage); }, -1, {{kF4, 3, 128, kBlock, 0xFF}}},
    {"NandPageWithOnlyItsLastByteSet", FlashKind::Nand, kF4, 0, 128, kBlock, kBlock, kBlock, 0xFF,
     [](Bytes& b) {
       Blank(b, kPage, kBlock);
       b[2 * kPage - 1] = 0x00;
     },
     -1, {{kF4, 3, 128, 2 * kPage, 0xFF}}},
    // A last chunk of one page is sent as it is, blank or not.
    {"NandLastChunkOfOneBlankPage", FlashKind::Nand, kF4, 0, 64, kBlock + kPage, kBlock, 0, 0xFF,
     [](Bytes& b) { Blank(b, kBlock, kBlock + kPage); }, -1,
     {{kF4, 1, 64, kBlock, 0xFF}, {kF4, 3, 64, kPage, 0xFF}}},
    {"NandShortLastPageIsData", FlashKind::Nand, kF4, 0, 64, kPage + 100, kBlock, kBlock, 0xFF, nullptr, -1,
     {{kF4, 3, 64, kPage + 100, 0xFF}}},
    // A NAND board's DDR load is one run over every range, each range at its own address.
    {"NandToDdrIsOneRun", FlashKind::Nand, kF9, 0, 0x1500000, 0x50000, 0x20000, 0x20000, 0,
     [](Bytes& b) { Blank(b, 0, 0x20000); }, -1,
     {{kF9, 1, 0x1500000, 0x20000, 0}, {kF9, 0, 0x1520000, 0x20000, 0}, {kF9, 3, 0x1540000, 0x10000, 0}}},
    {"RepeatedChunkIsSentAgainAsTwo", FlashKind::Emmc, kF4, 2, 0, 768 * 1024, 256 * 1024, 0, 0, nullptr, 1,
     {{kF4, 1, 0, 0x40000, 0}, {kF4, 0, 0, 0x40000, 0}, {kF4, 2, 0, 0x40000, 0}, {kF4, 3, 0, 0x40000, 0}}},
    {"RepeatedLastChunk", FlashKind::Emmc, kF4, 2, 0, 512 * 1024, 256 * 1024, 0, 0, nullptr, 1,
     {{kF4, 1, 0, 0x40000, 0}, {kF4, 3, 0, 0x40000, 0}, {kF4, 2, 0, 0x40000, 0}}},
    {"NorAddressesAreBytes", FlashKind::Nor, kF4, 1, 0x1000, 0x3000, 0x1000, 0x2000, 0, nullptr, -1,
     {{kF4, 1, 0x1000, 0x1000, 0}, {kF4, 3, 0x1000, 0x1000, 0}, {kF4, 3, 0x3000, 0x1000, 0}}},
};

INSTANTIATE_TEST_SUITE_P(Cases, SendSequence, ::testing::ValuesIn(kSeqCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SendRoutine, SizeZeroSendsNothing) {
  testenv::StationFixture env;
  testenv::SimBoard sim(Config(FlashKind::Emmc));
  int64_t size = 0;
  Bytes none;
  for (uint32_t range : {0u, 0x40000u}) {
    SendArgs a = Args(sim.handle(), kF4, 2, 0, none, &size, 0x40000, range, 0);
    EXPECT_EQ(PerformReadTest(a), kResultOk);
  }
  EXPECT_TRUE(sim.board().exchanges().empty());
}

TEST(SendRoutine, AllBlankNandChunkHasNothingToSend) {
  testenv::StationFixture env;
  testenv::SimBoard sim(Config(FlashKind::Nand));
  Bytes data = RandomData(2 * kBlock);
  Blank(data, kBlock, 2 * kBlock);
  int64_t size = 0;
  SendArgs a = Args(sim.handle(), kF4, 0, 64, data, &size, kBlock, kBlock, 0xFF);
  EXPECT_EQ(PerformReadTest(a), kResultDataWrite);
  EXPECT_EQ(size, static_cast<int64_t>(kBlock));  // the first block went out, the second did not
  EXPECT_NE(DeviceLogText(0).find("data transmission lemgth = NULL\r\n"), std::string::npos);
  // In single mode the same buffer goes out whole.
  env.station->optionsDlg.SetChecked(option_id::kSingleMode, true);
  sim.board().clearExchanges();
  a = Args(sim.handle(), kF4, 0, 64, data, &size, kBlock, kBlock, 0xFF);
  EXPECT_EQ(PerformReadTest(a), kResultOk);
  EXPECT_EQ(Seen(sim.board()).back(), (Ex{kF4, 3, 128, kBlock, 0xFF}));
}

TEST(SendRoutine, OneChunkLogsExactly) {
  testenv::StationFixture env;
  testenv::SimBoard sim(Config(FlashKind::Emmc));
  Bytes data = RandomData(0x200);
  int64_t size = 0;
  SendArgs a = Args(sim.handle(), kF4, 2, 0x22, data, &size, 0x40000, 0, 0);
  a.slot = 5;
  ASSERT_EQ(PerformReadTest(a), kResultOk);
  EXPECT_EQ(DeviceLogText(5),
            "once max trans total cont : 1 \r\n"
            "trans count: 0 \r\n"
            "trans total cont : 1 \r\n"
            "first start address : 0x22\r\n"
            "write address : 0x22 \r\n"
            "Now data remaining length : 0x200 \r\n"
            "Now256KCont : 0 \r\n"
            "Total256KCont : 1 \r\n"
            "bRempFinish : 0 \r\n"
            "dataOffsetSeekRange : 0x0 \r\n"
            "onceTransSize : 0x200 \r\n"
            "iRemainSize : 0x0 \r\n"
            "dataToalSize : 0x0 \r\n"
            "******************************\r\n"
            "******** CBW *** CBWCB *******\r\n"
            "CBW.dCBWDataTransferLength : 0x200 \r\n"
            "CBW.iIndicator: 3 \r\n"
            "CBW.dCbwcb.LogicalBlockAddress : 0x22 \r\n"
            "******************************\r\n");
}

TEST(SendRoutine, CommandBlockCarriesTheArguments) {
  testenv::StationFixture env;
  testenv::SimBoard sim(Config(FlashKind::Nand));
  Bytes data = RandomData(kBlock);
  int64_t size = 0;
  SendArgs a = Args(sim.handle(), kF4, 0, 64, data, &size, kBlock, kBlock, 0xBB);
  a.extra = 0x55AA;
  a.routingA = 1;
  a.routingB = 2;
  ASSERT_EQ(PerformReadTest(a), kResultOk);
  auto ex = sim.board().exchanges();
  ASSERT_EQ(ex.size(), 1u);
  EXPECT_EQ(ex[0].subCode, 1);
  EXPECT_EQ(ex[0].flags, 0);
  EXPECT_EQ(ex[0].routingA, 1);
  EXPECT_EQ(ex[0].routingB, 2);
  EXPECT_EQ(ex[0].eccCode, 0x0C);
  EXPECT_EQ(ex[0].pageSize, kPage);
  EXPECT_EQ(ex[0].blockSizeK, kBlockK);
  EXPECT_EQ(ex[0].flashSizeM, kNandM);
  EXPECT_EQ(ex[0].extra, 0x55AAu);
  EXPECT_EQ(ex[0].status, 0);  // the board found the CRC-32 right
}

// ---- bad blocks ----

struct Entry {
  uint16_t bad, replacement;
  bool operator==(const Entry&) const = default;
};

struct RemapCase {
  const char* name;
  std::vector<uint32_t> badBlocks;
  uint8_t opcode;
  uint8_t flashType;
  uint32_t start;
  uint32_t size, unit, range;
  ResultCode expected;
  std::vector<Ex> exchanges;
  std::vector<Entry> table;
};

class BadBlockRemap : public ::testing::TestWithParam<RemapCase> {};

constexpr uint32_t kLast = 1023 * kPagesPerBlock;        // first page of the last block
constexpr uint32_t kBeforeLast = 1022 * kPagesPerBlock;  // and of the one before it

TEST_P(BadBlockRemap, ReplacementsAndResend) {
  const RemapCase& c = GetParam();
  testenv::StationFixture env;
  testenv::SimBoard sim(Config(FlashKind::Nand, c.badBlocks));
  NandBbt bbt;
  ASSERT_TRUE(AllocBoardBbt(bbt));

  Bytes data = RandomData(c.size);
  int64_t size = 0;
  SendArgs a = Args(sim.handle(), c.opcode, c.flashType, c.start, data, &size, c.unit, c.range, 0xFF,
                    &bbt.remapCount, bbt.table.get());
  a.routingA = 1;
  a.routingB = 1;
  EXPECT_EQ(PerformReadTest(a), c.expected) << DeviceLogText(0);
  EXPECT_EQ(Seen(sim.board()), c.exchanges);

  std::vector<Entry> used;
  for (int i = 0; i < bbt.remapCount; ++i) used.push_back({bbt.table[i].badBlock, bbt.table[i].replacement});
  EXPECT_EQ(used, c.table);
  EXPECT_EQ(bbt.table[bbt.remapCount].marker, kBbtUnusedMarker);

  for (const auto& e : sim.board().exchanges()) {
    if (e.address < kBeforeLast) continue;
    EXPECT_EQ(e.routingA, 1);  // the re-send keeps routing value A and clears B
    EXPECT_EQ(e.routingB, 0);
  }
  if (c.expected != kResultOk && c.opcode != kF3) return;
  // Every block of the buffer is on the board: in its own place, or in its replacement.
  for (uint32_t off = 0; off < c.size; off += kBlock) {
    const uint32_t page = c.start + off / kPage;
    uint32_t at = page;
    for (const Entry& e : c.table)
      if (e.bad == page / kPagesPerBlock) at = e.replacement * kPagesPerBlock;
    const uint32_t n = std::min(kBlock, c.size - off);
    EXPECT_EQ(sim.board().Flash(uint64_t{at} * kPage, n), Bytes(data.begin() + off, data.begin() + off + n))
        << "block at page " << page;
  }
}

const RemapCase kRemapCases[] = {
    {"BadBlockGoesToTheLastBlock", {9}, kF4, 0, 8 * kPagesPerBlock, 4 * kBlock, kBlock, kBlock, kResultOk,
     {{kF4, 3, 512, kBlock, 0xFF},
      {kF4, 3, 576, kBlock, 0xFF},
      {kF4, 3, kLast, kBlock, 0xFF},
      {kF4, 3, 640, kBlock, 0xFF},
      {kF4, 3, 704, kBlock, 0xFF}},
     {{9, 1023}}},
    {"SecondBadBlockGoesBelowTheFirst", {9, 10}, kF4, 0, 8 * kPagesPerBlock, 4 * kBlock, kBlock, kBlock, kResultOk,
     {{kF4, 3, 512, kBlock, 0xFF},
      {kF4, 3, 576, kBlock, 0xFF},
      {kF4, 3, kLast, kBlock, 0xFF},
      {kF4, 3, 640, kBlock, 0xFF},
      {kF4, 3, kBeforeLast, kBlock, 0xFF},
      {kF4, 3, 704, kBlock, 0xFF}},
     {{9, 1023}, {10, 1022}}},
    // A chunk of two blocks whose first block is bad: that block goes to its replacement, the
    // rest of the chunk to its own pages as a new run.
    {"BadBlockInsideAChunk", {8}, kF4, 0, 8 * kPagesPerBlock, 4 * kBlock, 2 * kBlock, 4 * kBlock, kResultOk,
     {{kF4, 1, 512, 2 * kBlock, 0xFF},
      {kF4, 3, kLast, kBlock, 0xFF},
      {kF4, 1, 576, kBlock, 0xFF},
      {kF4, 3, 576, 2 * kBlock, 0xFF}},
     {{8, 1023}}},
    {"SpecialPageReturnsTheNegatedPage", {20}, kF3, 0, 20 * kPagesPerBlock, kPage, kBlock, kBlock,
     -static_cast<ResultCode>(20 * kPagesPerBlock),
     {{kF3, 3, 1280, kPage, 0xFF}, {kF4, 3, kLast, kPage, 0xFF}},
     {{20, 1023}}},
    {"BadBlockOnAFlashThatIsNotNand", {9}, kF4, 2, 9 * kPagesPerBlock, kBlock, kBlock, kBlock, kResultNotNand,
     {{kF4, 3, 576, kBlock, 0xFF}},
     {}},
};

INSTANTIATE_TEST_SUITE_P(Cases, BadBlockRemap, ::testing::ValuesIn(kRemapCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BadBlockBudget, FiftyRemapsOnAThousandBlocks) {
  testenv::StationFixture env;
  std::vector<uint32_t> bad;
  for (uint32_t b = 8; b < 8 + 51; ++b) bad.push_back(b);
  testenv::SimBoard sim(Config(FlashKind::Nand, bad));
  NandBbt bbt;
  ASSERT_TRUE(AllocBoardBbt(bbt));
  Bytes data = RandomData(52 * kBlock);
  int64_t size = 0;
  SendArgs a = Args(sim.handle(), kF4, 0, 8 * kPagesPerBlock, data, &size, kBlock, kBlock, 0xFF, &bbt.remapCount,
                    bbt.table.get());
  EXPECT_EQ(PerformReadTest(a), kResultRemapOverflow);
  EXPECT_EQ(bbt.remapCount, 51);
  EXPECT_EQ(bbt.table[49].badBlock, 57);
  EXPECT_EQ(bbt.table[49].replacement, 1023 - 49);
  EXPECT_EQ(bbt.table[50].marker, kBbtUnusedMarker);
  const std::string log = DeviceLogText(0);
  EXPECT_NE(log.find("calculate nand bbt count \r\ncalculate nand bbt max count = 50\r\n"), std::string::npos);
  EXPECT_NE(log.find("The number of remapped counts has now been used : 51 \r\n"), std::string::npos);
}

TEST(BadBlockBudget, FlashWithoutRoomForATable) {
  testenv::StationFixture env;
  testenv::SimBoard sim(Config(FlashKind::Nand));
  Bytes data = RandomData(kBlock);
  int64_t size = 0;
  SendArgs a = Args(sim.handle(), kF4, 0, 64, data, &size, kBlock, kBlock, 0xFF);
  a.flashSizeM = 2;  // 16 blocks
  EXPECT_EQ(PerformReadTest(a), kResultRemapBudget);
  EXPECT_TRUE(sim.board().exchanges().empty());
}

TEST(BadBlockRemapLog, TellsWhereTheBlockWent) {
  testenv::StationFixture env;
  testenv::SimBoard sim(Config(FlashKind::Nand, {9}));
  NandBbt bbt;
  ASSERT_TRUE(AllocBoardBbt(bbt));
  Bytes data = RandomData(2 * kBlock);
  int64_t size = 0;
  SendArgs a = Args(sim.handle(), kF4, 0, 8 * kPagesPerBlock, data, &size, kBlock, kBlock, 0xFF, &bbt.remapCount,
                    bbt.table.get());
  ASSERT_EQ(PerformReadTest(a), kResultOk);
  const std::string log = DeviceLogText(0);
  EXPECT_NE(log.find("nand flash write failed , because bad block.\r\n"
                     "The number of remapped counts has now been used : 1 \r\n"
                     "Remap block indx : 1023 \r\n\remap info :\r\n\tremap start page : 65472 \r\n"
                     "\tremap data start point : 131072 \r\n"),
            std::string::npos);
  EXPECT_NE(log.find("Remap done . \r\n------------- for debug - in remapping funtion.-------------\n\n"),
            std::string::npos);
}

// ---- no-data commands and the key ----

TEST(NoDataCommand, SendsTheFiveBytePayload) {
  testenv::StationFixture env;
  testenv::SimBoard sim(Config(FlashKind::Emmc));
  int64_t size = 0;
  Bytes none;
  SendArgs a = Args(sim.handle(), 0xF2, 2, 0, none, &size, 0, 0x100000, 0);
  a.routingA = 3;
  ASSERT_EQ(PerformReadTest(a), kResultOk);
  auto ex = sim.board().exchanges();
  ASSERT_EQ(ex.size(), 1u);
  EXPECT_EQ(ex[0].transferLength, 5u);
  EXPECT_EQ(ex[0].indicator, kIndicatorLast);
  EXPECT_EQ(ex[0].routingA, 3);
  EXPECT_EQ(ex[0].status, 0);  // the board checked the payload and its CRC-32
}

TEST(NoDataCommand, KeyIsDecryptedIntoTheSlotWhenAsked) {
  testenv::StationFixture env;
  testenv::SimBoard sim(Config(FlashKind::Emmc));
  auto& key = env.station->SlotKteeKey[3];
  int64_t size = 0;
  Bytes none;
  SendArgs a = Args(sim.handle(), 0xF1, 2, 0, none, &size, 0, 0, 0);
  a.slot = 3;

  env.station->optionsDlg.SetChecked(option_id::kEnKtee, true);
  ASSERT_EQ(PerformReadTest(a), kResultOk);
  std::array<uint8_t, 17> expected{};
  for (int i = 0; i < 16; ++i) expected[i] = static_cast<uint8_t>(0x30 + i);
  EXPECT_EQ(key, expected);
  EXPECT_NE(MainLogText().find("get ktee key\r\n"), std::string::npos);
  EXPECT_NE(DeviceLogText(3).find("get ktee key\r\n"), std::string::npos);
  EXPECT_TRUE(DeviceLogText(3).ends_with("\r\n Reserved : 00 \r\r\nget ktee key done\r\n"));

  env.station->optionsDlg.SetChecked(option_id::kEnKtee, false);
  ASSERT_EQ(PerformReadTest(a), kResultOk);
  EXPECT_EQ(key, (std::array<uint8_t, 17>{}));
}

TEST(NoDataCommand, WriteSkipLeavesOutAllButDdrEnable) {
  testenv::StationFixture env;
  testenv::SimBoard sim(Config(FlashKind::Emmc));
  env.station->optionsDlg.SetChecked(option_id::kNfWriteSkip, true);
  int64_t size = 0;
  Bytes none;
  for (uint8_t op : {0xF1, 0xF2, 0xFB}) {
    EXPECT_EQ(PerformReadTest(Args(sim.handle(), op, 0, 0, none, &size, 0, 0, 0)), kResultOk);
  }
  EXPECT_TRUE(sim.board().exchanges().empty());
  PerformReadTest(Args(sim.handle(), 0xFA, 0, 0, none, &size, 0, 0, 0));
  ASSERT_EQ(sim.board().exchanges().size(), 1u);
  EXPECT_EQ(sim.board().exchanges()[0].opcode, 0xFA);
}

TEST(SendRoutine, UnknownOpcodeIsRefused) {
  testenv::StationFixture env;
  testenv::SimBoard sim(Config(FlashKind::Emmc));
  Bytes data = RandomData(512);
  int64_t size = 0;
  EXPECT_EQ(PerformReadTest(Args(sim.handle(), 0xF6, 2, 0, data, &size, 512, 0, 0)), kResultOpcode);
  EXPECT_TRUE(sim.board().exchanges().empty());
}

// ---- the blank-skipping write ----

struct SkipCase {
  const char* name;
  std::function<void(Bytes&)> shape;
  uint32_t size;
  std::vector<Ex> expected;
};

class SkipBlankWrite : public ::testing::TestWithParam<SkipCase> {};

TEST_P(SkipBlankWrite, LeavesOutBlankPagesOnly) {
  const SkipCase& c = GetParam();
  testenv::StationFixture env;
  testenv::SimBoard sim(Config(FlashKind::Nand));
  env.station->optionsDlg.SetChecked(option_id::kNfWriteSkip, true);
  Bytes data = RandomData(c.size);
  if (c.shape) c.shape(data);
  int64_t size = 0;
  SendArgs a = Args(sim.handle(), kF4, 0, 64, data, &size, 64 * 1024, 0, 0xFF);
  ASSERT_EQ(PerformReadTest(a), kResultOk);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(Seen(sim.board()), c.expected);
  EXPECT_EQ(sim.board().Flash(64 * kPage, c.size), data);
}

constexpr uint32_t kHalf = 64 * 1024;  // one chunk: half a block

const SkipCase kSkipCases[] = {
    {"FullBlocks", nullptr, 2 * kBlock,
     {{kF4, 1, 64, kHalf, 0xFF}, {kF4, 3, 64, kHalf, 0xFF}, {kF4, 1, 128, kHalf, 0xFF}, {kF4, 3, 128, kHalf, 0xFF}}},
    {"ShortenedChunkThenData", [](Bytes& b) { Blank(b, 10 * kPage, 32 * kPage); }, kBlock,
     {{kF4, 3, 64, 10 * kPage, 0xFF}, {kF4, 3, 96, kHalf, 0xFF}}},
    {"BlankChunkThenData", [](Bytes& b) { Blank(b, 0, kHalf); }, kBlock, {{kF4, 3, 96, kHalf, 0xFF}}},
    {"DataThenBlankChunk", [](Bytes& b) { Blank(b, kHalf, kBlock); }, kBlock, {{kF4, 3, 64, kHalf, 0xFF}}},
    {"BlankPageInsideAChunk", [](Bytes& b) { Blank(b, 0, kPage); }, kBlock,
     {{kF4, 1, 64, kHalf, 0xFF}, {kF4, 3, 64, kHalf, 0xFF}}},
    {"ShortLastBlock", nullptr, kBlock + 3000,
     {{kF4, 1, 64, kHalf, 0xFF}, {kF4, 3, 64, kHalf, 0xFF}, {kF4, 3, 128, 3000, 0xFF}}},
};

INSTANTIATE_TEST_SUITE_P(Cases, SkipBlankWrite, ::testing::ValuesIn(kSkipCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SkipBlankWriteRemap, BadBlockGoesToTheLastBlock) {
  testenv::StationFixture env;
  testenv::SimBoard sim(Config(FlashKind::Nand, {2}));
  env.station->optionsDlg.SetChecked(option_id::kNfWriteSkip, true);
  NandBbt bbt;
  ASSERT_TRUE(AllocBoardBbt(bbt));
  Bytes data = RandomData(3 * kBlock);
  int64_t size = 0;
  // Marker 0x79 carries the block number of the write (the re-sent block is a write of its own).
  SendArgs a = Args(sim.handle(), kF4, 0, 64, data, &size, kHalf, 0, 0x79, &bbt.remapCount, bbt.table.get());
  ASSERT_EQ(PerformReadTest(a), kResultOk);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(bbt.remapCount, 1);
  EXPECT_EQ(bbt.table[0].badBlock, 2);
  EXPECT_EQ(bbt.table[0].replacement, 1023);
  EXPECT_EQ(Seen(sim.board()), (std::vector<Ex>{{kF4, 1, 64, kHalf, 0x79},
                                                 {kF4, 3, 64, kHalf, 0x79},
                                                 {kF4, 1, 128, kHalf, 0x179},  // block 2 is bad
                                                 {kF4, 1, kLast, kHalf, 0x79},
                                                 {kF4, 3, kLast, kHalf, 0x79},
                                                 {kF4, 1, 192, kHalf, 0x279},
                                                 {kF4, 3, 192, kHalf, 0x279}}));
  EXPECT_EQ(sim.board().Flash(uint64_t{kLast} * kPage, kBlock), Bytes(data.begin() + kBlock, data.begin() + 2 * kBlock));
}

// ---- a board that misbehaves ----

struct FaultCase {
  const char* name;
  std::function<void(boardsim::Faults&)> fault;
  ResultCode expected;
  int64_t sizeLeft;  // of three chunks of 0x40000
};

class MisbehavingBoard : public ::testing::TestWithParam<FaultCase> {};

TEST_P(MisbehavingBoard, EndsWithAClearCode) {
  const FaultCase& c = GetParam();
  testenv::StationFixture env;
  testenv::SimBoard sim(Config(FlashKind::Emmc));
  testenv::ScopedReadTimeout quick(5);
  sim.SetFaults(c.fault);
  Bytes data = RandomData(3 * 0x40000);
  int64_t size = 0;
  SendArgs a = Args(sim.handle(), kF4, 2, 0, data, &size, 0x40000, 0, 0);
  EXPECT_EQ(PerformReadTest(a), c.expected) << DeviceLogText(0);
  EXPECT_EQ(size, c.sizeLeft);
  if (c.expected == kResultOk) {
    EXPECT_EQ(sim.board().Flash(0, data.size()), data);
  }
}

const FaultCase kFaultCases[] = {
    {"FailedStatusIsNotSuccess", [](boardsim::Faults& f) { f.failStatusExchange = 1; }, kResultCswStatus, 0x80000},
    {"BusyBoardIsWaitedFor", [](boardsim::Faults& f) { f.busyReads = 30; }, kResultOk, 0},
    {"BusyForMinutes", [](boardsim::Faults& f) { f.busyForMs = 120000; }, kResultOk, 0},
    {"WrongTagsAreRetried", [](boardsim::Faults& f) { f.wrongTagCount = 5; }, kResultOk, 0},
    {"LateStatusIsTakenByTheNextRead", [](boardsim::Faults& f) { f.lateStatusMs = 30; }, kResultOk, 0},
    {"MissingStatusTimesOut", [](boardsim::Faults& f) { f.dropStatusCount = 1; }, kResultCswTimeout, 0xC0000},
    {"TooManyWrongSignatures", [](boardsim::Faults& f) { f.wrongSignatureCount = 200; }, kResultCswRetries,
     0xC0000},
};

INSTANTIATE_TEST_SUITE_P(Faults, MisbehavingBoard, ::testing::ValuesIn(kFaultCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MisbehavingBoard, VanishingBoardEndsTheTransfer) {
  testenv::StationFixture env;
  testenv::SimBoard sim(Config(FlashKind::Emmc));
  sim.SetFaults([](boardsim::Faults& f) { f.vanishAfterExchanges = 1; });
  Bytes data = RandomData(3 * 0x40000);
  int64_t size = 0;
  SendArgs a = Args(sim.handle(), kF4, 2, 0, data, &size, 0x40000, 0, 0);
  ResultCode rc = PerformReadTest(a);
  EXPECT_TRUE(rc == kResultCswTimeout || rc == kResultDataWrite || rc == kResultCbwWrite) << rc;
  EXPECT_EQ(size, 0x80000);
  EXPECT_EQ(env.clock.get().SleptMs(), 0);  // no status can come from a closed connection
  // Once the node is gone, the board cannot be opened again.
  EXPECT_FALSE(sim.board().plugged());
  EXPECT_EQ(OpenUsbDevice(sim.path().c_str()), kInvalidHandle);
  EXPECT_EQ(PerformReadTest(a), kResultCbwWrite);
}


// ---- stopping a send ----


// A clock on which every wait blocks until its stop token is asked to stop (or a real minute
// passes), and that tells when someone has begun to wait: a wait that ends is then known to
// have been ended by the stop request.
class HeldClock : public plat::FastClock {
 public:
  bool WaitForSleeper() {
    std::unique_lock l(m_);
    return cv_.wait_for(l, std::chrono::seconds(60), [&] { return sleepers_ > 0; });
  }

 protected:
  bool Sleep(int64_t ms, std::stop_token stop) override {
    if (ms <= 0) return !stop.stop_requested();
    std::unique_lock l(m_);
    ++sleepers_;
    cv_.notify_all();
    std::condition_variable_any wake;
    wake.wait_for(l, stop, std::chrono::seconds(60), [] { return false; });
    return !stop.stop_requested();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int sleepers_ = 0;
};

// Runs a send on a job thread of its own, with that thread's stop token as its current one.
struct SendJob {
  std::promise<ResultCode> result;
  std::jthread thread;
  explicit SendJob(const SendArgs& a)
      : thread([this, a](std::stop_token st) {
          plat::ScopedStopToken current(st);
          result.set_value(PerformReadTest(a));
        }) {}
};

constexpr auto kStopBound = std::chrono::seconds(10);

TEST(StoppedSend, BoardThatAnswersBusyForever) {
  const int threadsBefore = testenv::ThreadCount();
  {
    testenv::StationFixture env;
    testenv::SimBoard sim(Config(FlashKind::Emmc));
    std::promise<void> busy;
    sim.board().SetExchangeHook([&, once = std::make_shared<std::once_flag>()](const boardsim::Exchange&) {
      std::call_once(*once, [&] { busy.set_value(); });
    });
    sim.SetFaults([](boardsim::Faults& f) { f.busyForMs = int64_t{1} << 50; });
    Bytes data = RandomData(2 * 0x40000);
    int64_t size = 0;
    SendJob job(Args(sim.handle(), kF4, 2, 0, data, &size, 0x40000, 0, 0));
    auto answer = job.result.get_future();
    busy.get_future().wait();
    job.thread.request_stop();
    ASSERT_EQ(answer.wait_for(kStopBound), std::future_status::ready) << "the stop ended the busy wait";
    EXPECT_EQ(answer.get(), kResultStopped);
    EXPECT_EQ(size, 2 * 0x40000) << "nothing counts as delivered";
    EXPECT_TRUE(DeviceLogText(0).ends_with("transfer stopped\r\n"));
  }
  EXPECT_EQ(testenv::ThreadCount(), threadsBefore) << "no thread is left behind";
}

TEST(StoppedSend, SilentBoard) {
  const int threadsBefore = testenv::ThreadCount();
  {
    testenv::StationFixture env;
    HeldClock held;
    plat::SetClock(&held);
    testenv::SimBoard sim(Config(FlashKind::Emmc));
    sim.SetFaults([](boardsim::Faults& f) { f.dropStatusCount = 1; });
    Bytes data = RandomData(0x40000);
    int64_t size = 0;
    SendJob job(Args(sim.handle(), kF4, 2, 0, data, &size, 0x40000, 0, 0));
    auto answer = job.result.get_future();
    ASSERT_TRUE(held.WaitForSleeper()) << "the station waits out the board's silence";
    job.thread.request_stop();
    ASSERT_EQ(answer.wait_for(kStopBound), std::future_status::ready) << "the stop ended the driver's read";
    EXPECT_EQ(answer.get(), kResultStopped);
    EXPECT_EQ(sim.board().exchanges().size(), 1u);
    job.thread.join();
    plat::SetClock(&env.clock.get());
  }
  EXPECT_EQ(testenv::ThreadCount(), threadsBefore) << "no thread is left behind";
}

TEST(StoppedSend, StopBeforeTheSendSendsNothing) {
  testenv::StationFixture env;
  testenv::SimBoard sim(Config(FlashKind::Emmc));
  Bytes data = RandomData(0x40000);
  int64_t size = 0;
  std::stop_source stop;
  stop.request_stop();
  plat::ScopedStopToken current(stop.get_token());
  EXPECT_EQ(PerformReadTest(Args(sim.handle(), kF4, 2, 0, data, &size, 0x40000, 0, 0)), kResultStopped);
  EXPECT_TRUE(sim.board().exchanges().empty());
}

}  // namespace

// The bad block table's copies on the board: burning them into blocks 1 and 2, and looking
// blocks up in them again.
#include "usblink/bbt_burn.h"

#include <gtest/gtest.h>

#include <cstring>
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

namespace {

namespace fs = std::filesystem;
using namespace station;
using testenv::SimBoard;
using Bytes = std::vector<uint8_t>;

constexpr int kSlot = 6;
constexpr uint8_t kRead = 0xF6;
constexpr uint8_t kWrite = 0xF4;
// The simulator's default NAND: 128 MiB of 128 KiB blocks (1024 blocks) with 2 KiB pages.
constexpr uint32_t kPage = 2048;
constexpr uint32_t P = 64;  // pages per block
constexpr uint32_t kEntries = 51;
constexpr uint32_t kImageBytes = kEntries * 8;
const std::string kFullStop = "\xE3\x80\x82";

boardsim::BoardConfig Nand() {
  boardsim::BoardConfig c;
  c.requireDdrEnable = false;
  return c;
}

Bytes Image(const NandBbt& bbt) {
  Bytes b((bbt.lastIndex + 1) * sizeof(NandBbtEntry));
  std::memcpy(b.data(), bbt.table.get(), b.size());
  return b;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class BbtCopies : public ::testing::Test {
 protected:
  testenv::ScratchStationFixture fx;
  SimBoard b{fx.dir, Nand()};
  FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);

  NandBbt FreshTable() {
    NandBbt bbt;
    EXPECT_TRUE(AllocNandBbt(info, bbt));
    return bbt;
  }
  // Plants a table image at the first page of block `block`.
  void Plant(uint32_t block, const NandBbt& bbt) { b.board().WriteFlash(uint64_t(block) * P * kPage, Image(bbt)); }
};

TEST_F(BbtCopies, TableIsBurntIntoBlocksOneAndTwo) {
  ui::Dialog& options = state().optionsDlg;
  options.SetChecked(option_id::kSecure, true);
  info = testenv::FlashInfoOf(b.board().config(), kSlot);
  NandBbt bbt = FreshTable();
  ASSERT_EQ(bbt.lastIndex + 1, int(kEntries));
  bbt.table[0] = NandBbtEntry{0, 7, 0, 1023};
  bbt.remapCount = 1;
  DeviceSlot slot;
  slot.DeviceHandle = b.handle();

  ASSERT_EQ(BurnBBT(kSlot, slot, info, bbt.table.get(), bbt.remapCount, bbt.lastIndex), kResultOk);

  const Bytes image = Image(bbt);
  ASSERT_EQ(image.size(), kImageBytes);
  EXPECT_EQ(b.board().Flash(1 * P * kPage, kImageBytes), image);
  EXPECT_EQ(b.board().Flash(2 * P * kPage, kImageBytes), image);
  const auto writes = b.Exchanges(kWrite);
  ASSERT_EQ(writes.size(), 2u);
  for (size_t i = 0; i < writes.size(); ++i) {
    EXPECT_EQ(writes[i].address, (i + 1) * P);
    EXPECT_EQ(writes[i].transferLength, kImageBytes);
    EXPECT_EQ(writes[i].partMarker, 0xBB);
    EXPECT_EQ(writes[i].routingA, 1);
    EXPECT_EQ(writes[i].routingB, 0);
  }

  const std::string slotLog = DeviceLogText(kSlot);
  EXPECT_TRUE(Contains(slotLog, "BBTList.BBT address icon[6] - start page addr : 64 = block : 1 " + kFullStop + "\r\n"));
  EXPECT_TRUE(Contains(slotLog, "BBTList.BBT address icon[6] - start page addr : 128 = block : 2 " + kFullStop + "\r\n"));
  EXPECT_TRUE(Contains(MainLogText(), "BBTList.BBT address icon[6] - start page addr : 128 - block : 2 " + kFullStop + "\r\n"));
  const size_t firstDone = slotLog.find("DONE - Transmission is completed !\r\n");
  ASSERT_NE(firstDone, std::string::npos);
  EXPECT_NE(slotLog.find("DONE - Transmission is completed !\r\n", firstDone + 1), std::string::npos)
      << "each copy is reported";

  // The burnt copy answers the lookup: a page inside block 7 is read from block 1023.
  b.board().clearExchanges();
  uint32_t found = 0;
  EXPECT_EQ(FindBbtRemapCount(b.handle(), info, kSlot, 7 * P + 5, found), kResultOk);
  EXPECT_EQ(found, 1023 * P);
}

// The board's own table is loaded from block 1, else block 2; an erased or damaged copy is no
// table, and a board with none gives a fresh, empty one.
TEST_F(BbtCopies, BoardsBurntTableIsLoaded) {
  NandBbt two = FreshTable();
  two.table[0] = NandBbtEntry{0, 7, 0, 1023};
  two.table[1] = NandBbtEntry{0, 9, 0, 1022};
  NandBbt damaged = FreshTable();
  damaged.table[0] = NandBbtEntry{0, 7, 0, 5000};  // no such block
  struct Case {
    const char* name;
    const NandBbt* block1;
    const NandBbt* block2;
    int32_t remaps;
  } cases[] = {{"block 1", &two, nullptr, 2},
               {"block 1 erased, block 2", nullptr, &two, 2},
               {"block 1 damaged, block 2", &damaged, &two, 2},
               {"no table", nullptr, nullptr, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    b.board().WriteFlash(1 * P * kPage, Bytes(2 * P * kPage, 0xFF));
    if (c.block1) Plant(1, *c.block1);
    if (c.block2) Plant(2, *c.block2);
    NandBbt bbt;
    ASSERT_EQ(ReadBurntBbt(b.handle(), info, kSlot, bbt), kResultOk);
    ASSERT_TRUE(bbt.table);
    EXPECT_EQ(bbt.remapCount, c.remaps);
    EXPECT_EQ(Image(bbt), c.remaps ? Image(two) : Image(FreshTable()));
  }
  b.SetFaults([](boardsim::Faults& f) { f.failStatusExchange = 0; });
  NandBbt bbt;
  EXPECT_NE(ReadBurntBbt(b.handle(), info, kSlot, bbt), kResultOk) << "a failed read is no empty table";
}

TEST_F(BbtCopies, FailedFirstCopyLeavesTheSecondUnwritten) {
  NandBbt bbt = FreshTable();
  DeviceSlot slot;
  slot.DeviceHandle = b.handle();
  b.SetFaults([](boardsim::Faults& f) { f.failStatusExchange = 0; });

  EXPECT_EQ(BurnBBT(kSlot, slot, info, bbt.table.get(), bbt.remapCount, bbt.lastIndex), kResultCswStatus);
  EXPECT_EQ(b.Exchanges(kWrite).size(), 1u);
  EXPECT_EQ(b.board().Flash(2 * P * kPage, kImageBytes), Bytes(kImageBytes, 0xFF));
  const std::string slotLog = DeviceLogText(kSlot);
  EXPECT_TRUE(Contains(slotLog, "BBT:[1] burn fail! \r\n"));
  EXPECT_FALSE(Contains(slotLog, "block : 2"));
}

TEST_F(BbtCopies, LookupTakesTheFirstCopyThatRemapsThePage) {
  constexpr uint32_t kBlock = 10;
  constexpr uint32_t kLogical = kBlock * P + 3;
  auto remapping = [&](uint16_t replacement, uint32_t index = 0) {
    NandBbt t = FreshTable();
    t.table[index] = NandBbtEntry{0, kBlock, 0, replacement};
    return t;
  };
  struct Case {
    const char* name;
    std::function<std::optional<NandBbt>()> copy1, copy2;  // none: the block stays erased
    uint32_t found;
    std::vector<uint32_t> reads;
  };
  auto fresh = [&] { return std::optional<NandBbt>(FreshTable()); };
  auto erased = [] { return std::optional<NandBbt>(); };
  const Case cases[] = {
      {"neither copy remaps", fresh, fresh, kLogical, {P, 2 * P}},
      {"copy 1 remaps", [&] { return std::optional<NandBbt>(remapping(900)); },
       [&] { return std::optional<NandBbt>(remapping(800)); }, 900 * P, {P}},
      {"only copy 2 remaps", fresh, [&] { return std::optional<NandBbt>(remapping(800)); }, 800 * P, {P, 2 * P}},
      // Block 0 holds the boot code and is never a replacement: no answer, copy 1's stands.
      {"copy 2 names block 0", fresh, [&] { return std::optional<NandBbt>(remapping(0)); }, kLogical, {P, 2 * P}},
      // The first unused entry ends the used part of a copy.
      {"entry after the used part", [&] {
         NandBbt t = remapping(900, 5);
         return std::optional<NandBbt>(std::move(t));
       },
       fresh, kLogical, {P, 2 * P}},
      {"copies never burnt", erased, erased, kLogical, {P, 2 * P}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    b.board().WriteFlash(P * kPage, Bytes(2 * P * kPage, 0xFF));
    if (auto t = c.copy1()) Plant(1, *t);
    if (auto t = c.copy2()) Plant(2, *t);
    b.board().clearExchanges();

    uint32_t found = 0xDEAD;
    EXPECT_EQ(FindBbtRemapCount(b.handle(), info, kSlot, kLogical, found), kResultOk);
    EXPECT_EQ(found, c.found);
    const auto reads = b.Exchanges(kRead);
    ASSERT_EQ(reads.size(), c.reads.size());
    for (size_t i = 0; i < reads.size(); ++i) {
      EXPECT_EQ(reads[i].address, c.reads[i]);
      EXPECT_EQ(reads[i].transferLength, kImageBytes);
    }
    EXPECT_FALSE(fs::exists(ReadBackFilePath(kSlot)));
  }
}

TEST_F(BbtCopies, FailedCopyReadEndsTheLookupWithItsCode) {
  b.SetFaults([](boardsim::Faults& f) { f.failStatusExchange = 0; });
  uint32_t found = 0;
  EXPECT_EQ(FindBbtRemapCount(b.handle(), info, kSlot, 3 * P, found), kResultCswStatus);
  EXPECT_EQ(b.Exchanges(kRead).size(), 1u);
  EXPECT_TRUE(Contains(DeviceLogText(kSlot), "compare mode - bbt dump data fail \r\n"));
}

TEST_F(BbtCopies, FlashWithoutPageSizeIsNeitherBurntNorLookedUp) {
  FlashInfo noPages = info;
  noPages.PageSize = 0;
  NandBbt bbt = FreshTable();
  DeviceSlot slot;
  slot.DeviceHandle = b.handle();
  EXPECT_NE(BurnBBT(kSlot, slot, noPages, bbt.table.get(), bbt.remapCount, bbt.lastIndex), kResultOk);
  uint32_t found = 0;
  EXPECT_NE(FindBbtRemapCount(b.handle(), noPages, kSlot, 3 * P, found), kResultOk);
  EXPECT_TRUE(b.board().exchanges().empty());
}

}  // namespace

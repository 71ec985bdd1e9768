// The NAND installation against a simulated board, with the loaded image laid out by hand so
// that each case holds exactly the pieces it is about.
#include "programming/nand_install.h"

#include <gtest/gtest.h>
#include <fcntl.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "boardsim/board_sim.h"
#include "foundation/image_buffers.h"
#include "foundation/log_boxes.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "package/type_lists.h"
#include "programming/slot_params.h"
#include "support/app_dir.h"
#include "support/usb_sim.h"
#include "support/test_env.h"

namespace station {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kSlot = 2;
constexpr uint32_t kPage = 2048;
constexpr uint32_t kBlock = 128 * 1024;
constexpr uint32_t kPagesPerBlock = kBlock / kPage;
constexpr uint8_t kOpWriteFlash = 0xF4;
constexpr uint8_t kOpSpecialPage = 0xF3;

// Bytes that never make a blank (all 0xFF) page.
Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 7 + seed) % 251);
  return b;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

class NandInstall : public ::testing::Test, public testenv::ScratchStationFixture {
 protected:
  NandInstall() {
    FreeImageBuffers();
    s().mainDlg.SetText(kNandModelList, "MX30LF1G18AC");
    cfg_.nandSizeM = 32;
    cfg_.requireDdrEnable = false;  // the hardware setting is not what these cases are about
  }
  ~NandInstall() override { FreeImageBuffers(); }

  StationState& s() { return state(); }

  void SetBoot(int piece, const Bytes& data) {
    ImageBuffer& b = s().images.boot[piece];
    b.data = data;
    b.data.push_back(0);
    b.length = static_cast<uint32_t>(4 * data.size());
  }
  void SetEntry(int index, uint64_t offset, const Bytes& data) {
    FwEntry& e = (*s().fwEntries)[index];
    ASSERT_TRUE(e.Buffer.Reserve(data.size()));
    std::memcpy(e.Buffer.data(), data.data(), data.size());
    e.Size = data.size();
    e.Offset = offset;
  }
  void AddPiece(const std::string& name, uint64_t offset, uint64_t layoutSize, const Bytes& data) {
    PartitionPiece p;
    p.name = name;
    p.length = data.size();
    p.offset = offset;
    p.layoutSize = layoutSize;
    ASSERT_TRUE(p.pages.Reserve(data.size()));
    std::memcpy(p.pages.data(), data.data(), data.size());
    s().images.partitionPieces.push_back(std::move(p));
  }

  // Programs the board as the job does after its hardware setting; `adjust` runs once the
  // slot's counters are filled.
  ResultCode Install(testenv::SimBoard& board, BurnOption option = {}, const std::function<void()>& adjust = {}) {
    DeviceSlot& dev = s().slots[kSlot];
    const FlashInfo info = testenv::FlashInfoOf(cfg_, kSlot);
    FillDeviceParams(kSlot);
    if (adjust) adjust();
    dev.DeviceHandle = board.handle();
    const ResultCode rc = NandFullInstall(kSlot, dev, info, *s().fwEntries, option, bbt_);
    dev.DeviceHandle = kInvalidHandle;  // the link closes it
    return rc;
  }

  static std::vector<boardsim::Exchange> Of(const testenv::SimBoard& board, uint8_t opcode) {
    return board.Exchanges(opcode);
  }
  bool SlotLogHas(const std::string& text) { return DeviceLogText(kSlot).find(text) != std::string::npos; }

  boardsim::BoardConfig cfg_;
  NandBbt bbt_;
};

TEST_F(NandInstall, WithoutANandModelNothingIsSentAndTheOperatorIsWarned) {
  s().mainDlg.SetText(kNandModelList, "");
  for (int id : {1068, 1067, 1064, 1145, 1048}) s().mainDlg.SetEnabled(id, false);
  s().slots[kSlot].DevicePath = "/dev/board";
  DeviceSlot& dev = s().slots[kSlot];
  dev.DeviceHandle = open("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_GE(dev.DeviceHandle, 0);

  EXPECT_EQ(NandFullInstall(kSlot, dev, testenv::FlashInfoOf(cfg_, kSlot), *s().fwEntries, BurnOption{}, bbt_), 22);

  EXPECT_EQ(dev.DeviceHandle, kInvalidHandle) << "the device is closed";
  EXPECT_EQ(bbt_.table, nullptr);
  ASSERT_EQ(host->Prompts().size(), 1u);
  EXPECT_EQ(host->Prompts()[0].text, "The nand flash model has not been selected yet!");
  EXPECT_EQ(host->Prompts()[0].caption, "WARNING");
  EXPECT_EQ(host->Prompts()[0].flags, ui::MB_OK | ui::MB_ICONWARNING);
  EXPECT_TRUE(SlotLogHas("The nand flash model has not been selected yet\r\n"));
  EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(kSlot)), kPictureConnected);
  for (int id : {1068, 1067, 1064, 1145, 1048}) EXPECT_TRUE(s().mainDlg.Enabled(id)) << id;
}

TEST_F(NandInstall, AFlashWithoutRoomForABadBlockTableIsRefused) {
  struct Case {
    const char* name;
    uint32_t nandSizeM, pageSize;
  };
  const Case cases[] = {
      {"16 blocks give no table entry", 2, kPage},
      {"no page size, so no blocks", 32, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cfg_.nandSizeM = c.nandSizeM;
    cfg_.pageSize = c.pageSize;
    s().mainDlg.SetPicture(SlotButtonId(kSlot), 0);
    DeviceSlot& dev = s().slots[kSlot];
    EXPECT_EQ(NandFullInstall(kSlot, dev, testenv::FlashInfoOf(cfg_, kSlot), *s().fwEntries, BurnOption{}, bbt_), 22);
    EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(kSlot)), kPictureFailedBase + 22);
  }
}

TEST_F(NandInstall, BootPiecesArePackedBlockByBlockFourCopiesEach) {
  // A piece of exactly one block takes one block per copy; one byte more takes two. The chain
  // ends at the first piece from the FSBL on that is missing: BL31 is, so the RSA key that
  // follows it is not written.
  const Bytes hw = Pattern(4096, 1), code = Pattern(kBlock, 2), fsbl = Pattern(kBlock + 1, 3), tee = Pattern(1, 4);
  SetBoot(kBootHwsetting, hw);
  SetBoot(kBootCode, code);
  SetBoot(kBootFsbl, fsbl);
  SetBoot(kBootTee, tee);
  SetBoot(kBootRsaFw, Pattern(300, 5));
  SetEntry(FW_KERNEL, 64ull * kBlock, Pattern(1000, 6));
  testenv::SimBoard board(dir, cfg_);
  BurnOption option{};
  option.onlyUpgradeBootloader = 1;

  ASSERT_EQ(Install(board, option), kResultDone) << DeviceLogText(kSlot);

  struct Copy {
    uint32_t block;
    const Bytes* data;
  };
  std::vector<Copy> copies;
  for (uint32_t b : {6, 7, 8, 9}) copies.push_back({b, &hw});
  for (uint32_t b : {10, 11, 12, 13}) copies.push_back({b, &code});
  for (uint32_t b : {14, 16, 18, 20}) copies.push_back({b, &fsbl});
  for (uint32_t b : {22, 23, 24, 25}) copies.push_back({b, &tee});
  for (const Copy& c : copies) {
    SCOPED_TRACE(c.block);
    EXPECT_EQ(board.board().Flash(uint64_t{c.block} * kBlock, c.data->size()), *c.data);
    // What the copy leaves of its last block stays erased.
    const uint64_t end = uint64_t{c.block} * kBlock + c.data->size();
    const uint64_t blockEnd = (end + kBlock - 1) / kBlock * kBlock;
    EXPECT_EQ(board.board().Flash(end, blockEnd - end), Bytes(blockEnd - end, 0xFF));
  }
  EXPECT_EQ(board.board().Flash(26ull * kBlock, 40ull * kBlock), Bytes(40ull * kBlock, 0xFF))
      << "nothing after the TEE: no RSA key, no layout";
  EXPECT_TRUE(SlotLogHas("nand flash :fsbl address device[2] -  startPage : 1152 , writeBlock : 18\xE3\x80\x82\r\n"));
  EXPECT_NE(MainLogText().find("nand flash : fsbl address device[2] - startPage : 1152 , writeBlock : 18 \xE3\x80\x82\r\n"),
            std::string::npos);
  for (const char* n : {"[4]", "[3]", "[2]", "[1]"})
    EXPECT_TRUE(SlotLogHas(std::string("nand flash: fsbl has been written ") + n + "\r\n")) << n;
  EXPECT_EQ(s().slots[kSlot].Remaining.boot[kBootFsbl], 0);
  EXPECT_EQ(s().slots[kSlot].Remaining.boot[kBootRsaFw], 4 * 300) << "a piece that is not written keeps its counter";
}

TEST_F(NandInstall, PiecesOfOnePartitionAreWrittenBackToBackThenItsHeadPage) {
  // Partition 0 in three pieces, partition 1 without an image, partition 2 in one piece.
  const Bytes a = Pattern(2 * kPage, 10), b = Pattern(3 * kPage, 11), c = Pattern(kPage, 12), d = Pattern(5 * kPage, 13);
  const uint64_t part0 = 100ull * kBlock, part2 = 110ull * kBlock;
  AddPiece(" PART0", part0, 4ull * kBlock, a);
  AddPiece(" PART0", part0, 4ull * kBlock, b);
  AddPiece(" PART0", part0, 4ull * kBlock, c);
  AddPiece(" PART2", part2, 2ull * kBlock + 100, d);
  s().images.partitionFileSizes = {static_cast<int64_t>(6 * kPage), 0, static_cast<int64_t>(5 * kPage)};
  s().images.partitionCount = 3;
  testenv::SimBoard board(dir, cfg_);

  ASSERT_EQ(Install(board), kResultDone) << DeviceLogText(kSlot);

  EXPECT_EQ(board.board().Flash(part0, 6 * kPage), Concat({a, b, c}));
  EXPECT_EQ(board.board().Flash(part0 + 6 * kPage, kPage), Bytes(a.begin(), a.begin() + kPage)) << "head page";
  EXPECT_EQ(board.board().Flash(part2, 5 * kPage), d);
  EXPECT_EQ(board.board().Flash(part2 + 5 * kPage, kPage), Bytes(d.begin(), d.begin() + kPage)) << "head page";

  // Each piece is sent to its own pages, the next piece right after the previous one's.
  std::vector<uint32_t> piecePages;
  for (const boardsim::Exchange& e : Of(board, kOpWriteFlash))
    if (e.transferLength > 0 && e.address >= part0 / kPage) piecePages.push_back(e.address);
  EXPECT_EQ(piecePages, (std::vector<uint32_t>{6400, 6402, 6405, 7040}));

  const std::vector<boardsim::Exchange> heads = Of(board, kOpSpecialPage);
  ASSERT_EQ(heads.size(), 2u);
  EXPECT_EQ(heads[0].address, (part0 + 6 * kPage) / kPage);
  EXPECT_EQ(heads[0].extra, 3u) << "blocks of the area after the data";
  EXPECT_EQ(heads[1].extra, 1u);
  EXPECT_EQ(heads[1].partMarker, 0xFF);
  EXPECT_TRUE(SlotLogHas(" PART0 nand flash head file - device[2] - Page number : 6406 \xE3\x80\x82\r\n"));
  EXPECT_TRUE(SlotLogHas("[ PART0]\r\n"));
  EXPECT_EQ(s().slots[kSlot].Remaining.partitions, (std::vector<int64_t>{0, 0, 0, 0}));
}

TEST_F(NandInstall, AHeadPageTheBoardFailsIsSentAgainAtMostThreeTimes) {
  struct Case {
    const char* name;
    bool keepFailing;
    ResultCode result;
    size_t sends;
  };
  const Case cases[] = {
      {"fails once", false, kResultDone, 2},
      {"keeps failing", true, 7, kHeadPageSendLimit},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreeImageBuffers();
    s().images.partitionFileSizes = {static_cast<int64_t>(2 * kPage)};
    AddPiece(" PART0", 100ull * kBlock, kBlock, Pattern(2 * kPage, 20));
    testenv::SimBoard board(dir, cfg_);
    constexpr uint32_t piecePage = 100 * kPagesPerBlock;
    board.board().SetExchangeHook([&board, &c](const boardsim::Exchange& e) {
      // Fail the exchange after the partition's data, and every head page after that.
      if ((e.opcode == kOpWriteFlash && e.address == piecePage) || (c.keepFailing && e.opcode == kOpSpecialPage))
        board.SetFaults([](boardsim::Faults& f) { f.failStatusExchange = 0; });
    });

    EXPECT_EQ(Install(board), c.result) << DeviceLogText(kSlot);
    const std::vector<boardsim::Exchange> heads = Of(board, kOpSpecialPage);
    EXPECT_EQ(heads.size(), c.sends);
    for (const boardsim::Exchange& e : heads) EXPECT_EQ(e.address, piecePage + 2) << "always the same page";
    board.board().SetExchangeHook({});
  }
}

TEST_F(NandInstall, AWriteThatLeavesItsItemUnsentIsNeverASuccess) {
  struct Case {
    const char* name;
    std::function<void(RemainingBytes&)> spoil;
  };
  const Case cases[] = {
      {"entry counter below zero", [](RemainingBytes& r) { r.entries[FW_KERNEL] = -1; }},
      {"entry counter beyond the loaded bytes", [](RemainingBytes& r) { r.entries[FW_KERNEL] += kPage; }},
      {"boot piece counter below zero", [](RemainingBytes& r) { r.boot[kBootHwsetting] = -16; }},
      {"entry counter short of the loaded bytes", [](RemainingBytes& r) { r.entries[FW_KERNEL] -= kPage; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreeImageBuffers();
    SetBoot(kBootHwsetting, {});
    SetEntry(FW_KERNEL, 64ull * kBlock, Pattern(5000, 30));
    testenv::SimBoard board(dir, cfg_);

    EXPECT_EQ(Install(board, {}, [&] { c.spoil(s().slots[kSlot].Remaining); }), 3);
    EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(kSlot)), kPictureFailedBase + 3);
    EXPECT_TRUE(Of(board, kOpWriteFlash).empty()) << "nothing was sent, and nothing after it";
  }
}

TEST_F(NandInstall, APartitionPieceWithoutItsWholeCounterIsNotWritten) {
  struct Case {
    const char* name;
    std::function<void(RemainingBytes&)> spoil;
  };
  const Case cases[] = {
      {"no counter for the piece", [](RemainingBytes& r) { r.partitions.clear(); }},
      {"counter short of the piece", [](RemainingBytes& r) { r.partitions[0] -= kPage; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreeImageBuffers();
    s().images.partitionFileSizes = {static_cast<int64_t>(3 * kPage)};
    s().images.partitionCount = 1;
    AddPiece(" PART0", 100ull * kBlock, 2ull * kBlock, Pattern(3 * kPage, 40));
    testenv::SimBoard board(dir, cfg_);

    EXPECT_EQ(Install(board, {}, [&] { c.spoil(s().slots[kSlot].Remaining); }), 3) << DeviceLogText(kSlot);
    for (const boardsim::Exchange& e : Of(board, kOpWriteFlash))
      EXPECT_LT(e.address, 100 * kPagesPerBlock) << "nothing of the partition was sent";
    EXPECT_TRUE(Of(board, kOpSpecialPage).empty()) << "no head page for a partition that is not there";
  }
}

}  // namespace
}  // namespace station

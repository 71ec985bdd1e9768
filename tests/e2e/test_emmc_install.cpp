// An eMMC board programmed end to end: a package built by the package builder, unpacked and
// loaded by the station, the USB hardware setting, then the eMMC installation, against a
// simulated board. What the board holds afterwards is checked against a picture of the eMMC
// that this test draws itself from the package's description: the boot pieces packed by
// sectors from sector 256, the entries at their offsets, the firmware table at sector 0x3100
// and its gold copy 0x40 sectors after its own offset, the partitions and MBR images at theirs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "boardsim/board_sim.h"
#include "foundation/image_buffers.h"
#include "foundation/log_boxes.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "mkpackage/mkpackage.h"
#include "package/install_image.h"
#include "package/layout_file.h"
#include "package/package_loading.h"
#include "package/type_lists.h"
#include "programming/emmc_install.h"
#include "programming/slot_params.h"
#include "programming/usb_hwsetting.h"
#include "support/emmc_picture.h"
#include "support/install_env.h"
#include "support/package_env.h"
#include "support/usb_sim.h"
#include "usblink/flash_options.h"
#include "usblink/flash_read.h"
#include "usblink/usb_device.h"

namespace station {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using testenv::Differences;
using testenv::DrawInstallation;

constexpr int kSlot = 0;
constexpr uint64_t kPiece = testenv::kEmmcPartitionPiece;

class EmmcInstallEndToEnd : public ::testing::Test, public testenv::InstallFixture {
 protected:
  static boardsim::BoardConfig Board() {
    boardsim::BoardConfig cfg;
    cfg.flash = boardsim::FlashKind::Emmc;
    cfg.emmcBytes = 128ull << 20;
    return cfg;
  }

  static mkpackage::PackageOptions EmmcPackage() { return testenv::RichEmmcPackage(); }

  // Builds the package, unpacks install.img as "open" does and loads it for an eMMC board.
  mkpackage::PackageInfo Load(mkpackage::PackageOptions o) { return InstallFixture::Load(std::move(o), "EMMC"); }

  // What a job does with an eMMC board after it opened it: the slot's parameters, the USB
  // hardware setting, then the installation. `beforeInstall` runs between the last two.
  ResultCode Program(testenv::SimBoard& board, BurnOption option, const std::function<void()>& beforeInstall = {}) {
    const FlashInfo info = StartJob(kSlot, board);
    if (beforeInstall) beforeInstall();
    DeviceSlot& dev = s().slots[kSlot];
    NandBbt bbt;
    const ResultCode rc = EmmcFullInstall(kSlot, dev, info, *s().fwEntries, option, bbt);
    dev.DeviceHandle = kInvalidHandle;  // the board's link closes it
    return rc;
  }

  const mkpackage::PlacedData& Placed(const mkpackage::PackageInfo& pkg, const std::string& key) {
    for (const auto& d : pkg.partitions)
      if (d.key == key) return d;
    for (const auto& d : pkg.entries)
      if (d.key == key) return d;
    throw std::runtime_error("no " + key);
  }

  static bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
  }
};

TEST_F(EmmcInstallEndToEnd, BoardHoldsThePackageByteForByte) {
  const mkpackage::PackageInfo pkg = Load(EmmcPackage());
  ASSERT_EQ(s().images.partitionPieces.size(), 4u) << "the large partition comes in two pieces";
  const Bytes picture = DrawInstallation(pkg, Board().emmcBytes);

  for (const bool compare : {false, true}) {
    SCOPED_TRACE(compare ? "compare mode" : "no compare");
    testenv::SimBoard board(dir, Board());
    BurnOption option{};
    option.compareMode = compare;

    ASSERT_EQ(Program(board, option), kResultDone) << DeviceLogText(kSlot);
    EXPECT_EQ(Differences(SavedFlash(board), picture), std::vector<uint64_t>{});

    if (compare) {
      // Each write is read back from its own first sector before the next one goes out.
      uint32_t writeStart = 0;
      bool inWrite = false;
      int writes = 0, readBack = 0;
      for (const boardsim::Exchange& e : board.board().exchanges()) {
        if (e.opcode == 0xF4 && !inWrite) {
          writeStart = e.address;
          inWrite = true;
          ++writes;
        } else if (e.opcode == 0xF6) {
          if (inWrite) {
            EXPECT_EQ(e.address, writeStart);
            ++readBack;
          }
          inWrite = false;
        }
      }
      EXPECT_EQ(readBack, writes);
      // 7 boot pieces, 15 entries, the table twice, FW_CONFIG, 4 gold entries, 4 partition
      // pieces and 2 MBR images: empty entries are compared too (a read of nothing).
      const std::string log = DeviceLogText(kSlot);
      EXPECT_EQ(testenv::CountOf(log, " start compare \r\n "), 35);
      EXPECT_FALSE(fs::exists(ReadBackFilePath(kSlot))) << "an equal read-back is deleted";
    } else {
      EXPECT_TRUE(board.Exchanges(0xF6).empty());
    }

    const RemainingBytes& rem = s().slots[kSlot].Remaining;
    for (int64_t v : rem.boot) EXPECT_EQ(v, 0);
    for (int i = 0; i < kFwEntryCount; ++i) {
      const bool efuse = i == FW_EFUSE_VERIFY || i == FW_EFUSE_PROGRAMMER;  // they go to DDR
      EXPECT_EQ(rem.entries[i], efuse ? static_cast<int64_t>((*s().fwEntries)[i].Size) : 0) << i;
    }
    for (int64_t v : rem.partitions) EXPECT_EQ(v, 0);
    for (int64_t v : rem.mbr) EXPECT_EQ(v, 0);
  }
}

TEST_F(EmmcInstallEndToEnd, CompareModeFindsAWriteTheBoardCorruptedAndReports21) {
  const mkpackage::PackageInfo pkg = Load(EmmcPackage());
  const Bytes picture = DrawInstallation(pkg, Board().emmcBytes);
  testenv::SimBoard board(dir, Board());
  BurnOption option{};
  option.compareMode = 1;

  // A clean run tells which exchange of the installation writes the second piece of PART0.
  ASSERT_EQ(Program(board, option, [&] { board.board().clearExchanges(); }), kResultDone);
  const uint64_t secondPiece = Placed(pkg, "PART0").offset + kPiece;
  const std::vector<boardsim::Exchange> clean = board.board().exchanges();
  const auto target = std::find_if(clean.begin(), clean.end(), [&](const boardsim::Exchange& e) {
    return e.opcode == 0xF4 && e.placedAt != boardsim::Exchange::kNowhere && e.placedAt >= secondPiece;
  });
  ASSERT_NE(target, clean.end());
  const int index = static_cast<int>(target - clean.begin());

  const ResultCode rc = Program(board, option, [&] {
    board.board().clearExchanges();
    board.SetFaults([&](boardsim::Faults& f) { f.corruptWriteExchange = index; });
  });

  EXPECT_EQ(rc, 21);
  EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(kSlot)), kPictureFailedBase + 21);
  EXPECT_TRUE(EndsWith(testenv::TakeErrorLogs(appDir),
                       " PART0 data compare\r\nError - compare mode , There are differences in comparison data !!\r\n"));
  EXPECT_TRUE(fs::exists(ReadBackFilePath(kSlot))) << "the differing read-back stays for inspection";
  // Nothing was written after the failed compare, and the board holds the one damaged byte.
  const std::vector<boardsim::Exchange> ex = board.board().exchanges();
  ASSERT_FALSE(ex.empty());
  EXPECT_EQ(ex.back().opcode, 0xF6);
  const std::vector<uint64_t> diff = Differences(SavedFlash(board), picture);
  ASSERT_EQ(diff.size(), 1u);
  EXPECT_GE(diff[0], target->placedAt);
  EXPECT_LT(diff[0], target->placedAt + target->transferLength);
}

TEST_F(EmmcInstallEndToEnd, ReadBackThatFailsEndsTheInstallationWithItsCode) {
  Load(EmmcPackage());
  testenv::SimBoard board(dir, Board());
  BurnOption option{};
  option.compareMode = 1;

  // The installation's first exchange writes the hwsetting piece; the second reads it back.
  const ResultCode rc = Program(board, option, [&] {
    board.board().clearExchanges();
    board.SetFaults([](boardsim::Faults& f) { f.failStatusExchange = 1; });
  });

  EXPECT_EQ(rc, 7);
  EXPECT_TRUE(EndsWith(testenv::TakeErrorLogs(appDir), "uboot hwstting data compare\r\nError - (CSW) Stat failed !\r\n"));
  const std::vector<boardsim::Exchange> ex = board.board().exchanges();
  ASSERT_EQ(ex.size(), 2u);
  EXPECT_EQ(ex[1].opcode, 0xF6);
  EXPECT_EQ(ex[1].address, 256u);
}

// Every slot programs its own board at the same time from the one loaded package: each
// board ends up with the whole package, as if it had been alone.
TEST_F(EmmcInstallEndToEnd, TwelveBoardsAtOnceEachGetTheWholePackage) {
  const mkpackage::PackageInfo pkg = Load(EmmcPackage());
  const Bytes picture = DrawInstallation(pkg, Board().emmcBytes);
  const FlashInfo info = testenv::FlashInfoOf(Board(), 0);
  BurnOption option{};
  option.compareMode = 1;

  std::vector<std::unique_ptr<boardsim::Board>> boards;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    boards.push_back(std::make_unique<boardsim::Board>(Board()));
    const std::string path = boards.back()->Plug((dir / "dev").string(), "b" + std::to_string(slot));
    DeviceSlot& dev = s().slots[slot];
    dev.DeviceHandle = OpenUsbDevice(path.c_str());
    ASSERT_NE(dev.DeviceHandle, kInvalidHandle);
    dev.Busy = 1;
    FillDeviceParams(slot);
    s().HwsettingPending[slot] = 1;
  }
  std::vector<ResultCode> hw(kSlotCount, -1), install(kSlotCount, -1);
  {
    std::vector<std::jthread> jobs;
    for (int slot = 0; slot < kSlotCount; ++slot)
      jobs.emplace_back([&, slot] {
        DeviceSlot& dev = s().slots[slot];
        hw[slot] = RunUsbHwsetting(slot, dev, info, s().HwsettingPending[slot]);
        NandBbt bbt;
        if (hw[slot] == kResultDone) install[slot] = EmmcFullInstall(slot, dev, info, *s().fwEntries, option, bbt);
      });
  }
  for (int slot = 0; slot < kSlotCount; ++slot) {
    SCOPED_TRACE(slot);
    EXPECT_EQ(hw[slot], kResultDone);
    EXPECT_EQ(install[slot], kResultDone) << DeviceLogText(slot);
    EXPECT_EQ(Differences(boards[slot]->Flash(0, picture.size()), picture), std::vector<uint64_t>{});
    for (int64_t v : s().slots[slot].Remaining.partitions) EXPECT_EQ(v, 0);
    CloseDevice(s().slots[slot].DeviceHandle);
  }
}

// A partition of more than 4 GiB, lying beyond 2 GiB, and an MBR image beyond 4 GiB: every
// piece lands at its 64-bit place and the partition arrives whole. The pieces are untouched
// zero pages except for a mark at each end, so the station holds next to nothing; the board
// keeps its eMMC sparsely.
TEST_F(EmmcInstallEndToEnd, PartitionLargerThan4GiBIsWrittenWhole) {
  constexpr uint64_t kOffset = 0x80000000;                  // 2 GiB
  constexpr uint64_t kLength = 0x100000000ull + 0x300200;   // 4 GiB + 3 MiB + 512
  constexpr uint64_t kMbrOffset = 0x1C0000000ull;           // 7 GiB
  boardsim::BoardConfig cfg = Board();
  cfg.emmcBytes = 8ull << 30;
  cfg.requireDdrEnable = false;
  testenv::SimBoard board(dir, cfg);

  auto mark = [](uint64_t piece, bool end) {
    Bytes m(16);
    for (size_t i = 0; i < m.size(); ++i) m[i] = static_cast<uint8_t>(piece * 7 + i + (end ? 0x80 : 1));
    return m;
  };
  const uint64_t pieces = (kLength + kPiece - 1) / kPiece;
  for (uint64_t k = 0; k < pieces; ++k) {
    PartitionPiece p;
    p.name = " PART0";
    p.length = std::min(kPiece, kLength - k * kPiece);
    p.offset = kOffset;
    p.layoutSize = kLength;
    ASSERT_TRUE(p.pages.Reserve(p.length));
    const Bytes head = mark(k, false), tail = mark(k, true);
    std::memcpy(p.pages.data(), head.data(), head.size());
    std::memcpy(p.pages.data() + p.length - tail.size(), tail.data(), tail.size());
    s().images.partitionPieces.push_back(std::move(p));
  }
  MbrImage mbr;
  mbr.name = " MBR0";
  mbr.heap = testenv::WithZero(mkpackage::SyntheticData(3, "mbr", 512));
  mbr.length = 512;
  mbr.offset = kMbrOffset;
  s().images.mbrImages.push_back(std::move(mbr));

  DeviceSlot& dev = s().slots[kSlot];
  dev.DeviceHandle = board.handle();
  dev.Busy = 1;
  const FlashInfo info = testenv::FlashInfoOf(cfg, kSlot);
  FillDeviceParams(kSlot);
  NandBbt bbt;
  ASSERT_EQ(EmmcFullInstall(kSlot, dev, info, *s().fwEntries, BurnOption{}, bbt), kResultDone) << DeviceLogText(kSlot);
  dev.DeviceHandle = kInvalidHandle;

  for (uint64_t k = 0; k < pieces; ++k) {
    SCOPED_TRACE(k);
    const uint64_t start = kOffset + k * kPiece;
    const uint64_t length = std::min(kPiece, kLength - k * kPiece);
    EXPECT_EQ(board.board().Flash(start, 16), mark(k, false));
    EXPECT_EQ(board.board().Flash(start + length - 16, 16), mark(k, true));
    EXPECT_EQ(board.board().Flash(start + 16, 16), Bytes(16, 0)) << "the zeros between the marks were written too";
  }
  EXPECT_EQ(board.board().Flash(kOffset + kLength, 16), Bytes(16, 0xFF)) << "nothing beyond the partition";
  EXPECT_EQ(board.board().Flash(kMbrOffset, 512), mkpackage::SyntheticData(3, "mbr", 512));

  uint64_t sent = 0;
  for (const boardsim::Exchange& e : board.Exchanges(0xF4))
    if (e.placedAt >= kOffset && e.placedAt < kOffset + kLength) sent += e.transferLength;
  EXPECT_EQ(sent, kLength);
  EXPECT_NE(DeviceLogText(kSlot).find(" MBR0 icon[0] : block number : 14680064 \xE3\x80\x82\r\n"), std::string::npos);
  for (int64_t v : dev.Remaining.partitions) EXPECT_EQ(v, 0);
}

}  // namespace
}  // namespace station

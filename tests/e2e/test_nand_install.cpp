// A NAND board programmed end to end: a package built by the package builder, unpacked and
// loaded by the station, the USB hardware setting, the full installation and the burning of
// the bad block table, all against a simulated board. What the board holds afterwards is
// checked against a picture of the flash that this test draws itself from the package's
// description and the NAND layout rules (boot area from block 6, gold copies, head pages, bad
// block table in blocks 1 and 2, remapped blocks from the end of the flash downwards).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "boardsim/board_sim.h"
#include "factory/factory_area.h"
#include "foundation/image_buffers.h"
#include "foundation/log_boxes.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "mkpackage/mkpackage.h"
#include "package/install_image.h"
#include "package/layout_file.h"
#include "package/package_loading.h"
#include "package/type_lists.h"
#include "programming/nand_install.h"
#include "programming/slot_params.h"
#include "programming/usb_hwsetting.h"
#include "support/area_check.h"
#include "support/install_env.h"
#include "support/nand_picture.h"
#include "support/package_env.h"
#include "support/usb_sim.h"
#include "usblink/bbt_burn.h"
#include "usblink/flash_options.h"

namespace station {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using testenv::FirstDifference;
using testenv::FlashPicture;
using testenv::Installed;
using testenv::NandExpectation;

constexpr int kSlot = 0;
constexpr uint8_t kOpWriteFlash = 0xF4;
constexpr uint8_t kOpSpecialPage = 0xF3;

class NandInstallEndToEnd : public ::testing::Test, public testenv::InstallFixture {
 protected:
  // A small NAND board: 32 MiB of 128 KiB blocks, 2 KiB pages.
  static boardsim::BoardConfig Board(std::vector<uint32_t> bad = {}) {
    boardsim::BoardConfig cfg;
    cfg.nandSizeM = 32;
    cfg.badBlocks = std::move(bad);
    return cfg;
  }

  static mkpackage::PackageOptions RichPackage() { return testenv::RichNandPackage(); }

  // Builds the package, unpacks install.img as "open" does and loads it for a NAND board.
  mkpackage::PackageInfo Load(mkpackage::PackageOptions o) { return InstallFixture::Load(std::move(o), "NAND"); }

  struct Outcome {
    ResultCode install = -1;
    ResultCode burn = -1;
    Bytes flash;
  };

  // What a job does with a NAND board after it opened it: the slot's parameters, the USB
  // hardware setting, the installation, the factory data when asked for and, after a
  // success, the bad block table.
  Outcome Program(testenv::SimBoard& board, BurnOption option, const std::function<void()>& beforeInstall = {},
                  bool withFactory = false) {
    Outcome out;
    const FlashInfo info = StartJob(kSlot, board);
    if (beforeInstall) beforeInstall();
    DeviceSlot& dev = s().slots[kSlot];
    out.install = NandFullInstall(kSlot, dev, info, *s().fwEntries, option, bbt_);
    if (out.install == kResultDone && withFactory) out.install = WriteFactoryArea(kSlot, dev, info, option, bbt_);
    if (out.install == kResultDone) out.burn = BurnBBT(kSlot, dev, info, bbt_.table.get(), bbt_.remapCount, bbt_.lastIndex);
    out.flash = SavedFlash(board);
    dev.DeviceHandle = kInvalidHandle;  // the board's link closes it
    return out;
  }

  NandBbt bbt_;
};

TEST_F(NandInstallEndToEnd, BoardHoldsEveryPieceOfThePackageWhereTheLayoutPutsIt) {
  const mkpackage::PackageInfo pkg = Load(RichPackage());
  EXPECT_EQ(s().mainDlg.Text(kNandModelList), "MX30LF1G18AC") << "the layout's NAND model is chosen";
  const boardsim::BoardConfig cfg = Board();
  testenv::SimBoard board(dir, cfg);

  const Outcome out = Program(board, BurnOption{});
  ASSERT_EQ(out.install, kResultDone) << DeviceLogText(kSlot);
  ASSERT_EQ(out.burn, kResultDone) << DeviceLogText(kSlot);

  const FlashPicture pic = Installed(cfg, pkg);
  EXPECT_EQ(FirstDifference(out.flash, pic.image(), pic.block()), "");
  EXPECT_TRUE(pic.remaps().empty());

  // The board is told what each write holds, and the head pages how many blocks follow.
  struct Marker {
    uint32_t page;
    uint8_t opcode;
    uint16_t marker;
  };
  const uint32_t P = static_cast<uint32_t>(pic.pagesPerBlock());
  std::vector<Marker> want = {{6 * P, kOpWriteFlash, 0x23},  {10 * P, kOpWriteFlash, 0x79},
                              {14 * P, kOpWriteFlash, 0x89}, {18 * P, kOpWriteFlash, 0x90},
                              {22 * P, kOpWriteFlash, 0x91}, {26 * P, kOpWriteFlash, 0x92},
                              {30 * P, kOpWriteFlash, 0x93}, {3 * P, kOpWriteFlash, 0xD0}};
  const std::vector<boardsim::Exchange> exchanges = board.board().exchanges();
  for (const Marker& m : want) {
    SCOPED_TRACE(m.page);
    auto it = std::find_if(exchanges.begin(), exchanges.end(),
                           [&](const boardsim::Exchange& e) { return e.opcode == m.opcode && e.address == m.page; });
    ASSERT_NE(it, exchanges.end());
    EXPECT_EQ(it->partMarker, m.marker);
  }
  std::vector<uint32_t> headExtras;
  for (const boardsim::Exchange& e : exchanges) {
    if (e.opcode != kOpSpecialPage) continue;
    headExtras.push_back(e.extra);
    EXPECT_EQ(e.routingB, 1);
    EXPECT_EQ(e.transferLength, pic.page());
  }
  // Blocks of each 1 MiB partition area left after its data: 2.5 blocks, 1/4 and 1/8 of one.
  EXPECT_EQ(headExtras, (std::vector<uint32_t>{5, 7, 7}));

  // Every counter of the slot was sent down to nothing.
  const RemainingBytes& rem = s().slots[kSlot].Remaining;
  for (int64_t v : rem.boot) EXPECT_EQ(v, 0);
  for (int i = 0; i < kFwEntryCount; ++i) {
    // The efuse programs go to the board's DDR, never to its flash.
    const bool efuse = i == FW_EFUSE_VERIFY || i == FW_EFUSE_PROGRAMMER;
    EXPECT_EQ(rem.entries[i], efuse ? static_cast<int64_t>((*s().fwEntries)[i].Size) : 0) << i;
  }
  for (int64_t v : rem.partitions) EXPECT_EQ(v, 0);
  EXPECT_NE(DeviceLogText(kSlot).find("nand flash: hwsetting address device[0] - startPage : 384 , writeBlock : 6 "
                                      "\xE3\x80\x82\r\n"),
            std::string::npos);
  EXPECT_NE(MainLogText().find("BBTList.BBT address icon[0] - start page addr : 128 - block : 2 "), std::string::npos);
}

TEST_F(NandInstallEndToEnd, BadBlocksAreRemappedFromTheEndOfTheFlashAndTheBurntTableSaysSo) {
  const mkpackage::PackageInfo pkg = Load(RichPackage());
  auto offsetOf = [&](const std::string& key) {
    for (const auto& d : pkg.entries)
      if (d.key == key) return d.offset;
    for (const auto& d : pkg.partitions)
      if (d.key == key) return d.offset;
    ADD_FAILURE() << key;
    return uint64_t{0};
  };
  const uint32_t B = 128 * 1024;
  // A hwsetting copy, the gold firmware table, the second block of the large partition, and
  // the block that holds a small partition and its head page.
  const std::vector<uint32_t> bad = {7, static_cast<uint32_t>(offsetOf("FW_FWTBL") / B + 1),
                                     static_cast<uint32_t>(offsetOf("PART0") / B + 1),
                                     static_cast<uint32_t>(offsetOf("PART1") / B)};
  const boardsim::BoardConfig cfg = Board(bad);
  testenv::SimBoard board(dir, cfg);

  const Outcome out = Program(board, BurnOption{});
  ASSERT_EQ(out.install, kResultDone) << DeviceLogText(kSlot);
  ASSERT_EQ(out.burn, kResultDone) << DeviceLogText(kSlot);

  const FlashPicture pic = Installed(cfg, pkg);
  EXPECT_EQ(FirstDifference(out.flash, pic.image(), pic.block()), "");

  // 256 blocks: the replacements are 255 downwards, the small partition's block twice over
  // (its data, then its head page).
  ASSERT_EQ(pic.remaps().size(), 5u);
  EXPECT_EQ(pic.remaps()[0].replacement, 255u);
  EXPECT_EQ(pic.remaps()[4].bad, bad[3]);
  EXPECT_EQ(bbt_.remapCount, 5);
  const Bytes table = pic.Table();
  ASSERT_EQ(static_cast<size_t>(bbt_.lastIndex + 1) * 8, table.size());
  EXPECT_EQ(std::memcmp(bbt_.table.get(), table.data(), table.size()), 0) << "the table in memory is the one burnt";
}

TEST_F(NandInstallEndToEnd, CompareModeReadsEveryWriteBackAlsoThroughRemappedBlocks) {
  const mkpackage::PackageInfo pkg = Load(RichPackage());
  const boardsim::BoardConfig cfg = Board({7});
  testenv::SimBoard board(dir, cfg);

  BurnOption option{};
  option.compareMode = 1;
  const Outcome out = Program(board, option);
  ASSERT_EQ(out.install, kResultDone) << DeviceLogText(kSlot);
  ASSERT_EQ(out.burn, kResultDone);

  const std::string log = DeviceLogText(kSlot);
  EXPECT_EQ(testenv::CountOf(log, "device[0] - hwsetting start compare \r\n "), 4) << "one compare per copy";
  EXPECT_EQ(testenv::CountOf(log, "device[0] - FW_FWTBL  start compare \r\n "), 2);
  EXPECT_EQ(testenv::CountOf(log, "device[0] -  PART0 start compare \r\n "), 1 + 1 + 5) << "the piece, then its head pages";
  EXPECT_EQ(testenv::CountOf(MainLogText(), "nand start compare \r\n"), testenv::CountOf(log, " start compare \r\n "));

  // The second hwsetting copy was read back from the replacement block.
  bool readReplacement = false;
  for (const boardsim::Exchange& e : board.board().exchanges())
    if (e.opcode == 0xF6 && e.address == 255u * 64) readReplacement = true;
  EXPECT_TRUE(readReplacement);
}

TEST_F(NandInstallEndToEnd, CompareModeFindsAWriteTheBoardCorruptedAndReports21) {
  Load(RichPackage());
  const boardsim::BoardConfig cfg = Board();
  testenv::SimBoard board(dir, cfg);
  BurnOption option{};
  option.compareMode = 1;
  const Outcome out = Program(board, option, [&] { board.SetFaults([](boardsim::Faults& f) { f.corruptWriteExchange = 0; }); });

  EXPECT_EQ(out.install, 21);
  EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(kSlot)), kPictureFailedBase + 21);
  // The first hwsetting copy was the corrupted write: nothing was written after its compare.
  const std::vector<boardsim::Exchange> ex = board.board().exchanges();
  ASSERT_FALSE(ex.empty());
  EXPECT_EQ(ex.back().opcode, 0xF6);
  EXPECT_EQ(std::count_if(ex.begin(), ex.end(), [](const boardsim::Exchange& e) { return e.opcode == kOpWriteFlash; }),
            1);
}

TEST_F(NandInstallEndToEnd, OnlyUpgradeBootloaderWritesTheBootAreaAlone) {
  mkpackage::PackageOptions o;
  o.missingFiles = {"fsbl.bin", "tee.bin", "bl31.bin", "rsa_bin_fw.bin", "rsa_bin_tee.bin"};
  const mkpackage::PackageInfo pkg = Load(o);
  const boardsim::BoardConfig cfg = Board();
  testenv::SimBoard board(dir, cfg);
  BurnOption option{};
  option.onlyUpgradeBootloader = 1;

  const Outcome out = Program(board, option);
  ASSERT_EQ(out.install, kResultDone) << DeviceLogText(kSlot);

  const FlashPicture pic = Installed(cfg, pkg, {.onlyBootloader = true});
  EXPECT_EQ(FirstDifference(out.flash, pic.image(), pic.block()), "");

  std::vector<uint32_t> blocks;
  for (const boardsim::Exchange& e : board.board().exchanges())
    if (e.opcode == kOpWriteFlash && e.partMarker != 0xBB) blocks.push_back(e.address / 64);
  EXPECT_EQ(blocks, (std::vector<uint32_t>{6, 7, 8, 9, 10, 11, 12, 13}));
  EXPECT_EQ(s().slots[kSlot].Remaining.entries[FW_KERNEL], static_cast<int64_t>((*s().fwEntries)[FW_KERNEL].Size))
      << "the layout is not touched";
}

TEST_F(NandInstallEndToEnd, OnlyUpgradeSecureFirmwareStopsAfterTheGoldAudioKernel) {
  mkpackage::PackageOptions o = RichPackage();
  s().optionsDlg.SetChecked(option_id::kOnlyUpgradeSecureFirmware, true);  // the load leaves partitions out
  const mkpackage::PackageInfo pkg = Load(o);
  const boardsim::BoardConfig cfg = Board();
  testenv::SimBoard board(dir, cfg);
  BurnOption option{};
  option.onlyUpgradeSecureFirmware = 1;

  const Outcome out = Program(board, option);
  ASSERT_EQ(out.install, kResultDone) << DeviceLogText(kSlot);

  const FlashPicture pic = Installed(cfg, pkg, {.secureOnly = true});
  EXPECT_EQ(FirstDifference(out.flash, pic.image(), pic.block()), "");
  for (const boardsim::Exchange& e : board.board().exchanges()) EXPECT_NE(e.opcode, kOpSpecialPage);
}

TEST_F(NandInstallEndToEnd, PackageWithoutHwsettingStartsWithTheKernel) {
  mkpackage::PackageOptions o = RichPackage();
  o.missingFiles = {"hw_setting.bin"};
  const mkpackage::PackageInfo pkg = Load(o);
  const boardsim::BoardConfig cfg = Board();
  testenv::SimBoard board(dir, cfg);

  const Outcome out = Program(board, BurnOption{});
  ASSERT_EQ(out.install, kResultDone) << DeviceLogText(kSlot);
  EXPECT_NE(DeviceLogText(kSlot).find("uboot hwsetting = 0 , begin write fw kernel \r\n"), std::string::npos);
  EXPECT_NE(MainLogText().find("uboot hwsetting = 0 , begin write fw kernel \r\n"), std::string::npos);

  const FlashPicture pic = Installed(cfg, pkg);
  EXPECT_EQ(FirstDifference(out.flash, pic.image(), pic.block()), "") << "no boot area, though its pieces were loaded";
  const std::vector<boardsim::Exchange> ex = board.board().exchanges();
  auto firstWrite = std::find_if(ex.begin(), ex.end(), [](const boardsim::Exchange& e) { return e.opcode == kOpWriteFlash; });
  ASSERT_NE(firstWrite, ex.end());
  EXPECT_EQ(uint64_t{firstWrite->address} * cfg.pageSize, pkg.entries[0].offset);
}

// The factory data after the installation, with a bad block inside factory copy 0's area:
// that block's part of the copy lies in the next replacement block, the burnt table says so
// after the installation's own remap, and both copies read back whole through it.
TEST_F(NandInstallEndToEnd, FactoryCopiesAroundABadBlockAndTheBurntTableSaysSo) {
  const mkpackage::PackageInfo pkg = Load(RichPackage());
  constexpr uint32_t kPagesPerBlock = 64, kCopy0Page = 4736, kCopy1Page = 5760;
  const uint32_t factoryBad = kCopy0Page / kPagesPerBlock;
  const boardsim::BoardConfig cfg = Board({7, factoryBad});
  testenv::SimBoard board(dir, cfg);

  const Outcome out = Program(board, BurnOption{}, {}, true);
  ASSERT_EQ(out.install, kResultDone) << DeviceLogText(kSlot);
  ASSERT_EQ(out.burn, kResultDone) << DeviceLogText(kSlot);

  const auto remaps = testenv::BurntRemaps(board.board());
  ASSERT_EQ(remaps.size(), 2u);
  EXPECT_EQ(remaps[0], std::make_pair(7u, 255u));
  EXPECT_EQ(remaps[1], std::make_pair(factoryBad, 254u));
  const uint64_t page = cfg.pageSize;
  const std::string copy0 =
      testenv::StampedArchive(testenv::NandArea(board.board(), kCopy0Page * page, 0x200000, remaps));
  const std::string copy1 =
      testenv::StampedArchive(testenv::NandArea(board.board(), kCopy1Page * page, 0x200000, remaps));
  ASSERT_FALSE(copy0.empty());
  EXPECT_EQ(testenv::HeadOf(copy1).flag, 1u);
  EXPECT_EQ(testenv::HeadOf(copy1).length, copy0.size());
  EXPECT_EQ(testenv::ArchiveMember(copy0, dir / "copy0", "tmp/factory/layout.txt"),
            testenv::ReadFile(std::filesystem::path(pkg.treeDir) / "layout.txt"));
}

// On a board of 256 KiB blocks the storage area (blocks 28 to 43) lies in the boot area the
// installation wrote (blocks 6 to 33): the factory step is refused with 17 before anything is
// sent, and the board keeps the installation whole, boot copy in block 28 included.
TEST_F(NandInstallEndToEnd, StorageAreaOverTheBootAreaIsRefusedAndTheInstallationKept) {
  mkpackage::PackageOptions o = RichPackage();
  o.nandBlockBytes = 0x40000;
  const mkpackage::PackageInfo pkg = Load(o);
  boardsim::BoardConfig cfg = Board();
  cfg.blockSizeK = 256;
  cfg.pageSize = 4096;
  cfg.nandSizeM = 64;
  testenv::SimBoard board(dir, cfg);
  BurnOption option;
  option.burnFactory = 1;
  option.useSecureStorage = 1;

  const Outcome out = Program(board, option, {}, true);
  EXPECT_EQ(out.install, 17);
  const std::string logs = testenv::TakeErrorLogs(appDir);
  EXPECT_NE(logs.find("storage area (blocks 28 - 43) overlaps the installation's boot area (blocks 6 - 33)"),
            std::string::npos)
      << logs;

  // The table is burnt only after a step that succeeded.
  const FlashPicture pic = Installed(cfg, pkg);
  Bytes want = pic.image();
  std::fill(want.begin() + pic.block(), want.begin() + 3 * pic.block(), 0xFF);
  EXPECT_EQ(FirstDifference(out.flash, want, pic.block()), "");
}

}  // namespace
}  // namespace station

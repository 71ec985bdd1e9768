// Boards on the USB bus, end to end: simulated boards behind an emulated bus (umockdev) reached
// through the libusb backend, so that every transfer is a bulk transfer of libusb and the
// simulator still checks every wrapper, length and CRC. The NAND, eMMC and NOR installations of
// the node suites, hot-plug of a board binding and unbinding its slot, and the ways a job on
// the bus ends when its board is pulled out or stalls.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/board_sim.h"
#include "boardsim/usb_emulation.h"
#include "foundation/log_boxes.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "mkpackage/mkpackage.h"
#include "package/type_lists.h"
#include "platform/clock.h"
#include "programming/ddr_transfer.h"
#include "programming/emmc_install.h"
#include "programming/nand_install.h"
#include "station/device_binding.h"
#include "station/slot_buttons.h"
#include "station/slot_jobs.h"
#include "support/emmc_picture.h"
#include "support/install_env.h"
#include "support/nand_picture.h"
#include "support/usb/usb_boards.h"
#include "support/usb_sim.h"
#include "usblink/bbt_burn.h"
#include "usblink/flash_options.h"
#include "usblink/usb_device.h"
#include "usblink/usb_wrappers.h"

namespace station {
namespace {

const bool kEmulated = boardsim::UseUsbEmulation();

using Bytes = std::vector<uint8_t>;
using boardsim::FlashKind;

constexpr int kSlot = 0;
constexpr uint8_t kOpReadFlash = 0xF6;

class UsbBoardsEndToEnd : public ::testing::Test, public testenv::InstallFixture {
 protected:
  void SetUp() override { ASSERT_TRUE(kEmulated) << "umockdev's preload library (package umockdev) is missing"; }
  ~UsbBoardsEndToEnd() override { StopAllSlotJobs(); }

  // A board plugged into the bus at `port`, with the station's handle open on it.
  std::unique_ptr<testenv::SimBoard> OnTheBus(const std::string& port, boardsim::BoardConfig cfg) {
    return std::make_unique<testenv::SimBoard>(std::move(cfg), [&](boardsim::Board& b) {
      devices_.push_back(&usb.bus().PlugBoard(port, b));
      return devices_.back()->stationPath();
    });
  }
  boardsim::EmulatedDevice& Device(size_t i = 0) { return *devices_.at(i); }

  // A NOR station as the programming job tests set it up.
  Bytes SetUpNor(const boardsim::BoardConfig& cfg, uint32_t size = 0x20000) {
    ChooseFlash("NOR");
    s().mainDlg.SetText(kDdrTypeList, "2DDR4_1GB");
    GetDdrFolderName(1);
    testenv::DescribeFlash(cfg);
    s().mainDlg.SetText(kImagePathEdit, (dir / "install.img").string());
    const Bytes ramlet = mkpackage::SyntheticData(3, "ramlet.bin", size);
    img().norImage.data = testenv::WithZero(ramlet);
    img().norImage.length = size;
    return ramlet;
  }
  static boardsim::BoardConfig Nor() {
    boardsim::BoardConfig c;
    c.flash = FlashKind::Nor;
    return c;
  }

  // Clicks the slot's button and waits (a real-time bound of a minute) for its job to end.
  static bool RunJob(int slot) {
    OnSlotButton(slot);
    const bool ended = testenv::Eventually([slot] { return !SlotJobRunning(slot); }, 60);
    StopSlotJob(slot, true);
    return ended;
  }

  testenv::UsbBoards usb{dir};
  std::vector<boardsim::EmulatedDevice*> devices_;
};

// The NAND installation of the node suite, bad block and compare mode included: every write,
// every read-back and the bad block table go over the bus.
TEST_F(UsbBoardsEndToEnd, NandInstallationWithItsBadBlockTable) {
  const mkpackage::PackageInfo pkg = Load(testenv::RichNandPackage(), "NAND");
  boardsim::BoardConfig cfg;
  cfg.nandSizeM = 32;
  cfg.badBlocks = {9};  // inside the boot area's copies
  auto board = OnTheBus("1-2", cfg);
  ASSERT_NE(board->handle(), kInvalidHandle);

  const FlashInfo info = StartJob(kSlot, *board);
  DeviceSlot& dev = s().slots[kSlot];
  BurnOption option{};
  option.compareMode = true;
  NandBbt bbt;
  ASSERT_EQ(NandFullInstall(kSlot, dev, info, *s().fwEntries, option, bbt), kResultDone) << DeviceLogText(kSlot);
  ASSERT_EQ(BurnBBT(kSlot, dev, info, bbt.table.get(), bbt.remapCount, bbt.lastIndex), kResultDone)
      << DeviceLogText(kSlot);

  const testenv::FlashPicture pic = testenv::Installed(cfg, pkg);
  EXPECT_EQ(testenv::FirstDifference(SavedFlash(*board), pic.image(), pic.block()), "");
  EXPECT_EQ(pic.remaps().size(), 1u);
  EXPECT_FALSE(board->Exchanges(kOpReadFlash).empty()) << "compare mode read the writes back";
  for (const boardsim::Exchange& e : board->board().exchanges()) EXPECT_TRUE(e.answered);
  EXPECT_GT(Device().inTransfers(), 0u);
  dev.DeviceHandle = kInvalidHandle;  // the board's handle closes it
}

TEST_F(UsbBoardsEndToEnd, EmmcInstallationByteForByte) {
  const mkpackage::PackageInfo pkg = Load(testenv::RichEmmcPackage(), "EMMC");
  boardsim::BoardConfig cfg;
  cfg.flash = FlashKind::Emmc;
  cfg.emmcBytes = 128ull << 20;
  const Bytes picture = testenv::DrawInstallation(pkg, cfg.emmcBytes);
  auto board = OnTheBus("1-4.1", cfg);  // behind a hub
  ASSERT_NE(board->handle(), kInvalidHandle);

  const FlashInfo info = StartJob(kSlot, *board);
  DeviceSlot& dev = s().slots[kSlot];
  BurnOption option{};
  option.compareMode = true;
  NandBbt bbt;
  ASSERT_EQ(EmmcFullInstall(kSlot, dev, info, *s().fwEntries, option, bbt), kResultDone) << DeviceLogText(kSlot);
  EXPECT_EQ(testenv::Differences(SavedFlash(*board), picture), std::vector<uint64_t>{});
  dev.DeviceHandle = kInvalidHandle;
}

// A whole NOR job of a slot whose board is on the bus: the job opens the "usb:" path itself,
// and the board is given back to its kernel driver when the job closes it.
TEST_F(UsbBoardsEndToEnd, NorJobOpensTheBoardOnTheBusAndGivesItBack) {
  const boardsim::BoardConfig cfg = Nor();
  const Bytes ramlet = SetUpNor(cfg);
  boardsim::Board board(cfg);
  boardsim::UsbDeviceDescription d;
  d.kernelDriver = "usbfs-probe";
  boardsim::EmulatedDevice& dev = usb.bus().PlugBoard("1-2", board, d);
  SetSlotDevicePath(3, dev.stationPath());
  SetRememberedPath(3, dev.stationPath());
  s().HwsettingPending[3] = 1;

  ASSERT_TRUE(RunJob(3));
  EXPECT_EQ(s().SlotResult[3].load(), kResultDone) << DeviceLogText(3);
  EXPECT_EQ(board.Ddr(kRamletDdrAddress, static_cast<uint32_t>(ramlet.size())), ramlet);
  EXPECT_TRUE(board.hwsettingDone());
  EXPECT_EQ(s().slots[3].DeviceHandle, kInvalidHandle);
  EXPECT_EQ(dev.opens(), 1);
  EXPECT_EQ(dev.driverDetaches(), 1);
  EXPECT_EQ(dev.driverReattaches(), 1);
}

// The binder takes boards of the bus as they come and go, auto burn starts their jobs, and a
// memory stick on the same bus is never opened nor bound.
TEST_F(UsbBoardsEndToEnd, HotPlugBindsAndUnbindsASlot) {
  const boardsim::BoardConfig cfg = Nor();
  SetUpNor(cfg, 0x1000);
  testenv::ScopedEnv deviceRoot("USB_DEVICE_ROOT", (dir / "devices").string());
  s().optionsDlg.SetText(kMaxUsbConnectionEdit, "12");
  s().optionsDlg.SetChecked(kAutoBurnCheck, true);
  DeviceBinder binder;
  ASSERT_EQ(binder.Start(), StartupBinding::NoDevices);
  ASSERT_TRUE(binder.Watching());

  boardsim::UsbDeviceDescription stick;
  stick.product = 0x0002;
  stick.interfaceClass = 0x08;
  stick.interfaceSubClass = 0x06;
  stick.interfaceProtocol = 0x50;
  boardsim::EmulatedDevice& storage = usb.bus().PlugDevice("1-1", stick);

  boardsim::Board board(cfg);
  const uint64_t starts = SlotJobStarts(0);
  boardsim::EmulatedDevice& dev = usb.bus().PlugBoard("1-3", board);
  ASSERT_TRUE(testenv::Eventually([&] { return binder.Idle() && SlotDevicePath(0) == "usb:1-3"; }));
  ASSERT_TRUE(testenv::Eventually([&] { return SlotJobStarts(0) > starts && !SlotJobRunning(0); }, 60));
  EXPECT_EQ(s().SlotResult[0].load(), kResultDone) << DeviceLogText(0);
  EXPECT_EQ(dev.opens(), 1);

  usb.bus().Unplug(dev);
  ASSERT_TRUE(testenv::Eventually([&] { return binder.Idle() && SlotDevicePath(0).empty(); }));
  EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(0)), kPictureIdle);

  // Back in the same port: the same path, so the same slot, and a new job.
  boardsim::EmulatedDevice& again = usb.bus().PlugBoard("1-3", board);
  ASSERT_TRUE(testenv::Eventually([&] { return binder.Idle() && SlotDevicePath(0) == "usb:1-3"; }));
  ASSERT_TRUE(testenv::Eventually([&] { return SlotJobStarts(0) == starts + 2 && !SlotJobRunning(0); }, 60));
  EXPECT_EQ(s().SlotResult[0].load(), kResultDone) << DeviceLogText(0);
  EXPECT_EQ(again.opens(), 1);
  for (int slot = 1; slot < kSlotCount; ++slot) EXPECT_TRUE(SlotDevicePath(slot).empty()) << slot;
  EXPECT_EQ(storage.opens(), 0);
  binder.Stop();
}

// A board pulled out in the middle of its ramlet: the data phase finds it gone at once, though
// the read time-out is ten minutes, and the job ends with that failure.
TEST_F(UsbBoardsEndToEnd, ABoardPulledOutMidTransferEndsTheJobWithItsFailure) {
  const boardsim::BoardConfig cfg = Nor();
  SetUpNor(cfg, 0x400000);
  testenv::ScopedReadTimeout timeout(600000);
  boardsim::Board board(cfg);
  boardsim::EmulatedDevice& dev = usb.bus().PlugBoard("1-2", board);
  dev.PullDuringOutTransfer(17);  // a data phase: every exchange sends its wrapper, then its data
  SetSlotDevicePath(5, dev.stationPath());
  s().HwsettingPending[5] = 1;

  ASSERT_TRUE(RunJob(5));
  EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(5)), kPictureFailedBase + kResultDataWrite) << DeviceLogText(5);
  EXPECT_FALSE(dev.plugged());
  EXPECT_EQ(s().slots[5].DeviceHandle, kInvalidHandle);
}

// A board whose status endpoint halts at every read: each read fails at once with the halt
// cleared, and the status wait ends by its own time-out on the clock (20 s of pauses between
// the reads) instead of hanging on the bus.
TEST_F(UsbBoardsEndToEnd, AStalledEndpointEndsTheJobWithAFailure) {
  const boardsim::BoardConfig cfg = Nor();
  SetUpNor(cfg, 0x1000);
  testenv::ScopedReadTimeout timeout(600000);
  boardsim::Board board(cfg);
  boardsim::EmulatedDevice& dev = usb.bus().PlugBoard("1-2", board);
  dev.StallIn(-1);
  SetSlotDevicePath(6, dev.stationPath());
  s().HwsettingPending[6] = 1;

  plat::RealClock real;
  const int64_t began = real.NowMs();
  ASSERT_TRUE(RunJob(6));
  const int64_t realMs = real.NowMs() - began;
  EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(6)), kPictureFailedBase + kResultCswTimeout) << DeviceLogText(6);
  // Real time passes under the fast clock as well: what a busy machine spends of the 20 s is
  // pauses the wait did not need.
  const int reads = static_cast<int>((int64_t{kStatusTimeoutSeconds} * 1000 - realMs) / kStatusRetryPauseMs);
  EXPECT_GE(dev.clearedHalts(), reads) << "one cleared halt per read";
  EXPECT_LT(dev.clearedHalts(), kStatusReadLimit);
  EXPECT_EQ(s().HwsettingPending[6].load(), 1);
}

}  // namespace
}  // namespace station

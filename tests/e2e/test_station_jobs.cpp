// Twelve simulated eMMC boards plugged in one after the other, bound to slots by the device
// binder and programmed at once by auto burn from one loaded package, while the percentage
// display reads every slot: each board's flash is checked against a picture this test draws
// itself from the package's description, and its two blank factory copies for their stamps.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "boardsim/board_sim.h"
#include "foundation/log_boxes.h"
#include "foundation/result_messages.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "package/type_lists.h"
#include "station/device_binding.h"
#include "station/slot_buttons.h"
#include "station/slot_jobs.h"
#include "support/area_check.h"
#include "support/emmc_picture.h"
#include "support/install_env.h"
#include "support/usb_sim.h"

namespace station {
namespace {

// The blank factory copies a normal job writes last, over what the installation put there.
constexpr uint64_t kCopyBytes = 0x200000;
constexpr uint64_t kCopyAt[] = {0x1100 * 512, 0x2100 * 512};

class StationJobs : public ::testing::Test, public testenv::InstallFixture {
 protected:
  static boardsim::BoardConfig Emmc() {
    boardsim::BoardConfig cfg;
    cfg.flash = boardsim::FlashKind::Emmc;
    cfg.emmcBytes = 128ull << 20;
    return cfg;
  }
};

TEST_F(StationJobs, TwelveBoardsAtOnceFromOnePackage) {
  const mkpackage::PackageInfo pkg = Load(testenv::RichEmmcPackage(), "EMMC");
  const std::vector<uint8_t> picture = testenv::DrawInstallation(pkg, Emmc().emmcBytes);
  std::vector<uint64_t> starts;
  for (int slot = 0; slot < kSlotCount; ++slot) starts.push_back(SlotJobStarts(slot));
  const uint64_t startsBefore = starts.back();
  s().mainDlg.SetText(kImagePathEdit, pkg.imagePath);
  testenv::DescribeFlash(Emmc());

  testenv::ScopedEnv deviceRoot("USB_DEVICE_ROOT", (dir / "devices").string());
  s().optionsDlg.SetText(kMaxUsbConnectionEdit, "12");
  s().optionsDlg.SetChecked(kAutoBurnCheck, true);
  DeviceBinder binder;
  ASSERT_EQ(binder.Start(), StartupBinding::NoDevices);

  std::vector<std::unique_ptr<boardsim::Board>> boards;
  {
    // The percentage display reads the slots' counters the whole time.
    std::jthread percentages([](std::stop_token st) {
      plat::RealClock real;
      while (!st.stop_requested()) {
        for (int slot = 0; slot < kSlotCount; ++slot) ShowProgressPercent(slot, 1);
        real.SleepMs(1, st);
      }
    });
    for (int n = 0; n < kSlotCount; ++n) {
      boards.push_back(std::make_unique<boardsim::Board>(Emmc()));
      ASSERT_FALSE(boards.back()->Plug(testenv::BoardClassFolder(), "simboard-" + std::to_string(n + 1)).empty());
    }
    EXPECT_TRUE(testenv::Eventually([&] { return binder.Idle() && SlotJobStarts(kSlotCount - 1) > startsBefore; }));
    for (int slot = 0; slot < kSlotCount; ++slot)
      EXPECT_TRUE(testenv::Eventually([slot] { return !SlotJobRunning(slot); }, 300));
  }
  for (int slot = 0; slot < kSlotCount; ++slot) {
    SCOPED_TRACE(slot);
    EXPECT_EQ(SlotDevicePath(slot), boards[slot]->path()) << "the boards take the slots in the order they came";
    EXPECT_EQ(SlotJobStarts(slot), starts[slot] + 1) << "one job per arrival";
    EXPECT_FALSE(SlotJobRunning(slot));
    EXPECT_EQ(s().SlotResult[slot].load(), kResultDone);
    std::vector<uint8_t> flash = boards[slot]->Flash(0, picture.size());
    for (uint64_t at : kCopyAt) {
      const std::vector<uint8_t> copy = boards[slot]->Flash(at, kCopyBytes);
      EXPECT_FALSE(testenv::StampedArchive(std::string(copy.begin(), copy.end())).empty());
      std::copy(picture.begin() + at, picture.begin() + at + kCopyBytes, flash.begin() + at);
    }
    EXPECT_EQ(testenv::Differences(flash, picture), std::vector<uint64_t>{});
    EXPECT_EQ(s().slots[slot].DeviceHandle, kInvalidHandle);
    EXPECT_EQ(s().slots[slot].Busy.load(), 0);
  }
  binder.Stop();
  StopAllSlotJobs();
  EXPECT_FALSE(s().MutexFactory.Held());
  EXPECT_FALSE(s().MutexGoDdr.Held());
  EXPECT_TRUE(s().mainDlg.Enabled(kFlashTypeList));
}

}  // namespace
}  // namespace station

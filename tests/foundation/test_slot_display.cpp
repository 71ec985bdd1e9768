#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "foundation/image_buffers.h"
#include "foundation/slot_display.h"
#include "support/test_env.h"

namespace {

using namespace station;

class SlotDisplay : public ::testing::Test {
 protected:
  void TearDown() override { FreeFwEntryBuffers(); }  // the entry table outlives the test's state
  StationState& s() { return *fx.station; }
  ui::Dialog& main() { return fx.station->mainDlg; }
  testenv::StationFixture fx;
};

struct StateCase {
  const char* name;
  int state;
  int code;
  int picture;
  int selectedPicture;
  bool enabled;
  const char* mac;  // nullptr: left as it was
  const char* sn;
  int width;
};

class SlotStates : public SlotDisplay, public ::testing::WithParamInterface<StateCase> {};

TEST_P(SlotStates, ShowsPictureButtonAndFields) {
  const StateCase& c = GetParam();
  const int slot = 5;
  s().MacTable[slot] = "00:11:22:33:44:55";
  s().SnTable[slot] = "SN0005";
  main().SetText(SlotMacId(slot), "stale mac");
  main().SetText(SlotSnId(slot), "stale sn");
  main().SetPicture(SlotButtonId(slot), 999);
  main().SetEnabled(SlotButtonId(slot), !c.enabled);
  main().SetRect(SlotButtonId(slot), {40, 60, 1, 1});

  SetSlotState(slot, c.state, c.code);

  EXPECT_EQ(main().Picture(SlotButtonId(slot)), c.picture);
  EXPECT_EQ(s().slotButtons[slot].selected.load(), c.selectedPicture);
  EXPECT_EQ(main().Enabled(SlotButtonId(slot)), c.enabled);
  EXPECT_EQ(main().Text(SlotMacId(slot)), c.mac ? c.mac : "stale mac");
  EXPECT_EQ(main().Text(SlotSnId(slot)), c.sn ? c.sn : "stale sn");
  const ui::Rect r = main().GetRect(SlotButtonId(slot));
  EXPECT_EQ(r, (ui::Rect{40, 60, c.width, 100})) << "sized to the picture, left where it was";
}

INSTANTIATE_TEST_SUITE_P(
    AllStates, SlotStates,
    ::testing::Values(
        StateCase{"initial", 0, 0, 141, 0, false, "", "-", 100},
        StateCase{"removed", 1, 0, 141, 0, false, "", "-", 100},
        StateCase{"connected", 2, 0, 139, 140, true, "00:11:22:33:44:55", "SN0005", 100},
        StateCase{"running", 3, 0, 142, 0, false, nullptr, nullptr, 100},
        StateCase{"failedZero", 4, 0, 153, 0, false, "", "-", 100},
        StateCase{"failedSeven", 4, 7, 160, 0, false, "", "-", 100},
        StateCase{"failedLast", 4, 24, 177, 0, false, "", "-", 100},
        StateCase{"singleModeDone", 5, 0, 183, 0, false, nullptr, nullptr, 105}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SlotDisplay, ConnectedWithoutTextsShowsPlaceholders) {
  SetSlotState(2, kSlotConnected, 0);
  EXPECT_EQ(main().Text(SlotMacId(2)), "FF:FF:FF:FF:FF:FF");
  EXPECT_EQ(main().Text(SlotSnId(2)), "-");
  EXPECT_EQ(s().slotButtons[2].focus.load(), 139);
}

TEST_F(SlotDisplay, RemovalForgetsTheBoardAndAsksForHardwareSettingAgain) {
  s().MacTable[1] = "00:11:22:33:44:55";
  s().SnTable[1] = "SN1";
  s().HwsettingPending[1] = 0;
  SetSlotState(1, kSlotRemoved, 0);
  EXPECT_EQ(s().MacTable[1], "");
  EXPECT_EQ(s().SnTable[1], "");
  EXPECT_EQ(s().HwsettingPending[1].load(), 1);

  // Only the removal forgets: a failure keeps the texts for the next run of the same board.
  s().MacTable[2] = "00:11:22:33:44:66";
  s().HwsettingPending[2] = 0;
  SetSlotState(2, kSlotFailed, 3);
  EXPECT_EQ(s().MacTable[2], "00:11:22:33:44:66");
  EXPECT_EQ(s().HwsettingPending[2].load(), 0);
}

TEST_F(SlotDisplay, FailureReenablesTheChoiceControls) {
  for (int id : {1064, 1067, 1068}) main().SetEnabled(id, false);
  SetSlotState(0, kSlotRunning, 0);
  EXPECT_FALSE(main().Enabled(1067));
  SetSlotState(0, kSlotFailed, 11);
  for (int id : {1064, 1067, 1068}) EXPECT_TRUE(main().Enabled(id)) << id;
}

TEST_F(SlotDisplay, UnknownStateOnlyRefreshes) {
  SetSlotState(4, kSlotSingleDone, 0);
  main().SetText(SlotMacId(4), "kept");
  SetSlotState(4, 6, 9);
  SetSlotState(4, -1, 9);
  EXPECT_EQ(main().Picture(SlotButtonId(4)), 183);
  EXPECT_EQ(main().Text(SlotMacId(4)), "kept");
  EXPECT_EQ(main().GetRect(SlotButtonId(4)).w, 105);
}

TEST_F(SlotDisplay, OnlyInitialStateBindsTheButton) {
  SetSlotState(7, kSlotConnected, 0);
  EXPECT_FALSE(s().slotButtons[7].bound.load());
  SetSlotState(7, kSlotInitial, 0);
  EXPECT_TRUE(s().slotButtons[7].bound.load());
}

TEST_F(SlotDisplay, ASlotTouchesNoOtherSlot) {
  for (int i = 0; i < kSlotCount; ++i) SetSlotState(i, kSlotInitial, 0);
  s().MacTable[8] = "00:00:00:00:00:08";
  SetSlotState(9, kSlotConnected, 0);
  SetSlotState(9, kSlotFailed, 2);
  SetSlotState(9, kSlotRemoved, 0);
  for (int i = 0; i < kSlotCount; ++i) {
    if (i == 9) continue;
    EXPECT_EQ(main().Picture(SlotButtonId(i)), 141) << i;
    EXPECT_EQ(main().Text(SlotSnId(i)), "-") << i;
  }
  EXPECT_EQ(s().MacTable[8], "00:00:00:00:00:08");
}

TEST_F(SlotDisplay, SlotsOutsideTheDialogAreIgnored) {
  for (int i = 0; i < kSlotCount; ++i) SetSlotState(i, kSlotInitial, 0);
  main().SetEnabled(1067, false);
  SetSlotState(12, kSlotFailed, 1);
  SetSlotState(-1, kSlotRemoved, 0);
  ShowProgressPercent(12, 1);
  EXPECT_EQ(ShowSlotMac(-1, 0, s().MacTable), 1);
  EXPECT_FALSE(main().Enabled(1067));
  EXPECT_EQ(main().Picture(SlotButtonId(11)), 141);
  EXPECT_EQ(main().Picture(SlotButtonId(0)), 141);
}

TEST_F(SlotDisplay, ShowSlotMacAnswersWhatItDid) {
  std::array<std::string, kSlotCount> macs;
  macs[3] = "AA:BB:CC:DD:EE:FF";
  EXPECT_EQ(ShowSlotMac(3, 1, macs), 0);
  EXPECT_EQ(main().Text(SlotMacId(3)), "AA:BB:CC:DD:EE:FF");
  EXPECT_EQ(ShowSlotMac(3, 0, macs), 1);
  EXPECT_EQ(main().Text(SlotMacId(3)), "");
}

TEST_F(SlotDisplay, TwelveThreadsEachDriveTheirOwnSlot) {
  std::vector<std::thread> threads;
  for (int slot = 0; slot < kSlotCount; ++slot)
    threads.emplace_back([slot] {
      for (int round = 0; round < 200; ++round) {
        SetSlotState(slot, kSlotConnected, 0);
        SetSlotState(slot, kSlotRunning, 0);
        ShowProgressPercent(slot, 1);
        SetSlotState(slot, kSlotFailed, slot);
      }
    });
  for (auto& t : threads) t.join();
  for (int slot = 0; slot < kSlotCount; ++slot) {
    EXPECT_EQ(main().Picture(SlotButtonId(slot)), 153 + slot);
    EXPECT_EQ(main().Text(SlotPercentId(slot)), "0");
  }
}

// ---- percentage ----

class Percentage : public SlotDisplay {
 protected:
  // 1000 bytes loaded: 600 in an entry, 200 in a boot piece, 200 in one partition piece.
  void LoadImage() {
    (*s().fwEntries)[FW_KERNEL].Size = 600;
    s().images.boot[kBootCode].length = 200;
    s().images.partitionPieces.resize(1);
    s().images.partitionPieces[0].length = 200;
  }
  std::string Shown(int slot) {
    ShowProgressPercent(slot, 1);
    return main().Text(SlotPercentId(slot));
  }
};

TEST_F(Percentage, DisabledSlotSaysSoInTheLargeFont) {
  ShowProgressPercent(0, 0);
  EXPECT_EQ(main().Text(SlotPercentId(0)), "Disable");
  EXPECT_EQ(main().Snapshot(SlotPercentId(0))->font, kLargeFont);
}

TEST_F(Percentage, CountsSentBytesOfEveryLoadedPiece) {
  LoadImage();
  DeviceSlot& d = s().slots[3];
  d.Busy = 1;
  d.Remaining.entries[FW_KERNEL] = 300;
  d.Remaining.boot[kBootCode] = 23;
  d.PartRemaining = {10};
  EXPECT_EQ(Shown(3), "66") << "667 of 1000 sent: truncated, not rounded";

  d.Remaining = {};
  d.PartRemaining.clear();
  EXPECT_EQ(Shown(3), "100");
}

TEST_F(Percentage, EveryLoadedBufferCountsTowardTheTotal) {
  // One byte left of a total made of one of each kind of buffer, except the USB hardware
  // setting, which is not part of the image.
  s().images.usbHwsetting.length = 1000000;
  (*s().fwEntries)[FW_FWTBL].Size = 1;
  for (auto& b : s().images.boot) b.length = 1;
  s().images.norImage.length = 1;
  for (auto& b : s().images.singleMode) b.length = 1;
  s().images.partitionPieces.resize(2);
  for (auto& p : s().images.partitionPieces) p.length = 1;
  s().images.mbrImages.resize(1);
  s().images.mbrImages[0].length = 1;
  s().images.entryList.resize(2);
  for (auto& e : s().images.entryList) e.length = 1;
  // 1 + 7 + 1 + 4 + 2 + 1 + 2 = 18 bytes, 9 of them left.
  DeviceSlot& d = s().slots[0];
  d.Busy = 1;
  d.Remaining.boot = {1, 1, 1, 1, 1, 1, 1};
  d.Remaining.norImage = 1;
  d.Remaining.mbr = {1};
  EXPECT_EQ(Shown(0), "50");
}

TEST_F(Percentage, IdleSlotShowsZeroEvenWithAnOpenDevice) {
  LoadImage();
  s().slots[2].DeviceHandle = 7;
  s().slots[2].Busy = 0;
  EXPECT_EQ(Shown(2), "0");
}

TEST_F(Percentage, SingleModeWithFactoryCountsOnlyTheEmptyEntryList) {
  LoadImage();
  s().slots[1].Busy = 1;
  s().optionsDlg.SetChecked(1069, true);
  EXPECT_EQ(Shown(1), "100") << "single mode alone counts the whole image";
  s().optionsDlg.SetChecked(1070, true);
  EXPECT_EQ(Shown(1), "0");
}

TEST_F(Percentage, CountersBeyondTheImageStayWithinZeroAndHundred) {
  LoadImage();
  DeviceSlot& d = s().slots[4];
  d.Busy = 1;
  d.Remaining.entries[FW_KERNEL] = int64_t{1} << 62;  // counters of an image no longer loaded
  EXPECT_EQ(Shown(4), "0");
  d.Remaining.entries[FW_KERNEL] = -500;
  EXPECT_EQ(Shown(4), "100");
}

TEST_F(Percentage, NothingLoadedShowsZero) {
  s().slots[6].Busy = 1;
  s().slots[6].Remaining.entries[0] = 100;
  EXPECT_EQ(Shown(6), "0");
}

}  // namespace

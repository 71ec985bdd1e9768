// The key check before a factory job and the efuse step after an installation, against the
// main dialog's key fields and a simulated board.
#include "factory/key_and_efuse.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "boardsim/board_sim.h"
#include "foundation/fw_entry.h"
#include "foundation/log_boxes.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "programming/slot_params.h"
#include "support/app_dir.h"
#include "support/test_env.h"
#include "support/usb_sim.h"
#include "usblink/flash_options.h"
#include "usblink/send_routine.h"
#include "usblink/usb_wrappers.h"

namespace station {
namespace {

using boardsim::BoardConfig;
using boardsim::Exchange;
using boardsim::FlashKind;
using testenv::SimBoard;
using Bytes = std::vector<uint8_t>;

constexpr int kSlot = 6;
constexpr uint8_t kOpWriteDdr = 0xF9;
constexpr uint32_t kProgrammerTarget = 0x1F00000;
constexpr uint32_t kVerifierTarget = 0x2000000;

class KeyCheck : public ::testing::Test, public testenv::ScratchStationFixture {
 protected:
  static BurnOption Factory(bool on) {
    BurnOption o;
    o.burnFactory = on ? 1 : 0;
    return o;
  }
  static void SetKeys(const std::string& path, const std::string& counter, const std::string& maximum) {
    ui::Dialog& main = state().mainDlg;
    main.SetText(kKeyPathEdit, path);
    main.SetText(kKeyCounterEdit, counter);
    main.SetText(kKeyMaximumEdit, maximum);
  }
};

TEST_F(KeyCheck, KeyFileAndCounterDecideWhetherTheJobGoesOn) {
  const std::string key = (dir / "factory.tar").string();
  testenv::WriteFile(key, "key bag");
  const std::string missing = (dir / "gone.tar").string();
  struct Case {
    const char* name;
    bool factory;
    std::string path, counter, maximum;
    bool pass;
    int code;  // reported when refused
    const char* text;
    const char* caption;
    unsigned icon;
  };
  const char* kNoPath = "secure key path not found! please checking secure key path!";
  const char* kUsedUp = "has been unable to use!,please replace the next set of security keys!";
  const Case cases[] = {
      {"burn factory off judges nothing", false, "", "9", "1", true, 0, nullptr, nullptr, 0},
      {"counter at the maximum", true, key, "5", "5", true, 0, nullptr, nullptr, 0},
      {"counter texts with a tail", true, key, "4 keys", "5th", true, 0, nullptr, nullptr, 0},
      {"counter past the maximum", true, key, "6", "5", false, 23, kUsedUp, "WARNING", ui::MB_ICONWARNING},
      {"a counter without a maximum", true, key, "1", "", false, 23, kUsedUp, "WARNING", ui::MB_ICONWARNING},
      {"no key path, before the counters", true, "", "6", "5", false, 20, kNoPath, "LOST", ui::MB_ICONQUESTION},
      {"no file at the key path", true, missing, "1", "5", false, 20, kNoPath, "LOST", ui::MB_ICONQUESTION},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host->Clear();
    SetSlotState(kSlot, kSlotRunning, 0);
    SetKeys(c.path, c.counter, c.maximum);

    EXPECT_EQ(CheckSecureKey(kSlot, Factory(c.factory)), c.pass);

    const std::vector<ui::HeadlessHost::Prompt> prompts = host->Prompts();
    if (c.pass) {
      EXPECT_TRUE(prompts.empty());
      EXPECT_EQ(state().mainDlg.Picture(SlotButtonId(kSlot)), kPictureRunning);
      continue;
    }
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_EQ(prompts[0].text, c.text);
    EXPECT_EQ(prompts[0].caption, c.caption);
    EXPECT_EQ(prompts[0].flags & 0xF0u, c.icon);
    EXPECT_EQ(state().mainDlg.Picture(SlotButtonId(kSlot)), kPictureFailedBase + c.code);
  }
}

class Efuse : public ::testing::Test, public testenv::ScratchStationFixture {
 protected:
  Efuse() {
    table_[FW_EFUSE_VERIFY].Name = "FW_EFUSE_VERIFY ";
    table_[FW_EFUSE_PROGRAMMER].Name = "FW_EFUSE_PROGRAMMER ";
    state().fwEntries = &table_;
  }

  // The entry as a package load leaves it.
  void Load(int index, const Bytes& data, uint32_t target) {
    FwEntry& e = table_[index];
    ASSERT_TRUE(e.Buffer.Reserve(data.size()));
    std::memcpy(e.Buffer.data(), data.data(), data.size());
    e.Size = data.size();
    e.Target = target;
  }

  // The efuse step of a job for the board, its counters filled as the job fills them.
  ResultCode Burn(SimBoard& b) {
    const FlashInfo info = testenv::FlashInfoOf(b.board().config(), kSlot);
    FillDeviceParams(kSlot);
    DeviceSlot& dev = state().slots[kSlot];
    dev.DeviceHandle = b.handle();
    const ResultCode rc = BurnEfuse(kSlot, dev, table_, info, BurnOption{});
    dev.DeviceHandle = kInvalidHandle;
    return rc;
  }
  int64_t Slept() { return clock.get().SleptMs(); }
  static bool SlotLogHas(const std::string& text) { return DeviceLogText(kSlot).find(text) != std::string::npos; }

  static BoardConfig Board(FlashKind kind) {
    BoardConfig c;
    c.flash = kind;
    return c;
  }

  FwEntryTable table_;
  const Bytes programmer_ = testenv::FlashPattern(0x1800, 21);
  const Bytes verifier_ = testenv::FlashPattern(0x900, 22);
};

TEST_F(Efuse, WhatIsSentDependsOnTheEntriesThePackageHolds) {
  struct Case {
    const char* name;
    bool programmer, verifier;
    const char* programmerName;  // as the table names entry 23
    std::vector<uint32_t> sentTo;
    int64_t slept;
  };
  const Case cases[] = {
      {"programmer and verifier", true, true, "FW_EFUSE_PROGRAMMER ", {kProgrammerTarget, kVerifierTarget}, 4000},
      {"programmer only", true, false, "FW_EFUSE_PROGRAMMER ", {kProgrammerTarget}, 4000},
      {"no programmer", false, true, "FW_EFUSE_PROGRAMMER ", {}, 0},
      {"entry 23 is not the programmer", true, true, "FW_OTHER ", {kVerifierTarget}, 4000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (FwEntry& e : table_) {
      e.Buffer.Release();
      e.Size = 0;
    }
    table_[FW_EFUSE_PROGRAMMER].Name = c.programmerName;
    if (c.programmer) Load(FW_EFUSE_PROGRAMMER, programmer_, kProgrammerTarget);
    if (c.verifier) Load(FW_EFUSE_VERIFY, verifier_, kVerifierTarget);
    SetDeviceLogText(kSlot, "");
    SimBoard b(dir, Board(FlashKind::Emmc));
    const int64_t sleptBefore = Slept();

    EXPECT_EQ(Burn(b), kResultDone);

    EXPECT_EQ(Slept() - sleptBefore, c.slept);
    const std::vector<Exchange> ex = b.board().exchanges();
    ASSERT_EQ(ex.size(), c.sentTo.size());
    for (size_t i = 0; i < ex.size(); ++i) {
      EXPECT_EQ(ex[i].opcode, kOpWriteDdr);
      EXPECT_EQ(ex[i].subCode, 5);
      EXPECT_EQ(ex[i].address, c.sentTo[i]);
      EXPECT_EQ(ex[i].routingA, 0);
      EXPECT_EQ(ex[i].extra, 0u);
      EXPECT_EQ(ex[i].flashType, 2);
      const Bytes& sent = c.sentTo[i] == kProgrammerTarget ? programmer_ : verifier_;
      EXPECT_TRUE(b.board().Ddr(c.sentTo[i], static_cast<uint32_t>(sent.size())) == sent);
    }
    const RemainingBytes& rem = state().slots[kSlot].Remaining;
    if (c.programmer && c.sentTo.size() > 0 && c.sentTo[0] == kProgrammerTarget) {
      EXPECT_EQ(LoadCounter(rem.entries[FW_EFUSE_PROGRAMMER]), 0);
      EXPECT_TRUE(SlotLogHas("icon:[6] efuse_programmer ddr address : 0x1f00000 \r\n"));
    }
    if (!c.programmer) {
      EXPECT_TRUE(SlotLogHas("efuse_programmer.complete.enc length=0,pass burn efuse.\r\n"));
      EXPECT_FALSE(SlotLogHas("begin burn efuse_verify.bin"));
    } else {
      EXPECT_TRUE(SlotLogHas("begin burn efuse_verify.bin\r\n"));
    }
    EXPECT_EQ(SlotLogHas("efuse_verify burn done\r\n"), c.verifier && c.programmer);
  }
}

TEST_F(Efuse, AFailingProgrammerEndsTheStepAtOnce) {
  Load(FW_EFUSE_PROGRAMMER, programmer_, kProgrammerTarget);
  Load(FW_EFUSE_VERIFY, verifier_, kVerifierTarget);
  SimBoard b(dir, Board(FlashKind::Nand));
  b.SetFaults([](boardsim::Faults& f) { f.failStatusExchange = 0; });
  const int64_t sleptBefore = Slept();

  EXPECT_EQ(Burn(b), kResultCswStatus);

  EXPECT_EQ(Slept(), sleptBefore) << "no wait after a failed programmer";
  const std::vector<Exchange> ex = b.board().exchanges();
  ASSERT_EQ(ex.size(), 1u);
  EXPECT_EQ(ex[0].address, kProgrammerTarget);
  EXPECT_EQ(LoadCounter(state().slots[kSlot].Remaining.entries[FW_EFUSE_VERIFY]),
            static_cast<int64_t>(verifier_.size()));
  EXPECT_EQ(state().mainDlg.Picture(SlotButtonId(kSlot)), kPictureFailedBase + kResultCswStatus);
}

TEST_F(Efuse, AFailingVerifierIsReportedAfterTheWait) {
  Load(FW_EFUSE_PROGRAMMER, programmer_, kProgrammerTarget);
  Load(FW_EFUSE_VERIFY, verifier_, kVerifierTarget);
  SimBoard b(dir, Board(FlashKind::Emmc));
  b.SetFaults([](boardsim::Faults& f) { f.failStatusExchange = 1; });
  const int64_t sleptBefore = Slept();

  EXPECT_EQ(Burn(b), kResultCswStatus);

  EXPECT_EQ(Slept() - sleptBefore, kEfuseBurnWaitMs);
  EXPECT_EQ(b.board().exchanges().size(), 2u);
  EXPECT_EQ(state().mainDlg.Picture(SlotButtonId(kSlot)), kPictureFailedBase + kResultCswStatus);
}

TEST_F(Efuse, TheVerifierIsRoutedOnExceptOnANorBoard) {
  struct Case {
    FlashKind kind;
    uint8_t flashType;
    uint8_t verifierRoutingB;
  };
  const Case cases[] = {{FlashKind::Nand, 0, 1}, {FlashKind::Nor, 1, 0}, {FlashKind::Emmc, 2, 1}};
  Load(FW_EFUSE_PROGRAMMER, programmer_, kProgrammerTarget);
  Load(FW_EFUSE_VERIFY, verifier_, kVerifierTarget);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flashType);
    SimBoard b(dir, Board(c.kind));
    ASSERT_EQ(Burn(b), kResultDone);
    const std::vector<Exchange> ex = b.board().exchanges();
    ASSERT_EQ(ex.size(), 2u);
    EXPECT_EQ(ex[0].flashType, c.flashType);
    EXPECT_EQ(ex[0].routingB, 0) << "the programmer";
    EXPECT_EQ(ex[1].flashType, c.flashType);
    EXPECT_EQ(ex[1].routingB, c.verifierRoutingB) << "the verifier";
  }
}

}  // namespace
}  // namespace station

// A slot's programming job against simulated boards: what it sends, what the slot shows and
// the history line it leaves; the passes of the test switch; the ways a job ends early; a job
// that is stopped by a new click or loses its board, and the order of a removed board's job's
// end and the slot's next binding.
#include "station/programming_job.h"

#include <gtest/gtest.h>

#include <sys/un.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "boardsim/board_sim.h"
#include "factory/key_and_efuse.h"
#include "foundation/log_boxes.h"
#include "foundation/result_messages.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "mkpackage/mkpackage.h"
#include "package/settings_files.h"
#include "package/type_lists.h"
#include "platform/profile.h"
#include "programming/ddr_transfer.h"
#include "station/device_binding.h"
#include "station/slot_buttons.h"
#include "station/slot_jobs.h"
#include "support/area_check.h"
#include "support/factory_env.h"
#include "support/install_env.h"
#include "support/usb_sim.h"
#include "usblink/flash_options.h"
#include "usblink/usb_device.h"
#include "usblink/usb_wrappers.h"

namespace station {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using boardsim::FlashKind;

constexpr uint8_t kOpWriteDdr = 0xF9;
constexpr uint8_t kOpHwsetting = 0xF5;
constexpr int kRetryBox = 1049;

constexpr uint32_t kProgrammerTarget = 0x1F00000, kVerifierTarget = 0x2000000;
constexpr ResultCode kResultOpenFile = 2;

// Run on a job's thread in one of its waits: has the test pull the board out, then waits (at
// most a minute of real time) until the job has been told that its board has gone.
void PullOutHere(std::promise<void>& pull) {
  pull.set_value();
  std::mutex m;
  std::condition_variable_any cv;
  std::unique_lock l(m);
  cv.wait_for(l, plat::CurrentWaitToken(), std::chrono::minutes(1), [] { return false; });
}

boardsim::BoardConfig Config(FlashKind kind) {
  boardsim::BoardConfig c;
  c.flash = kind;
  c.emmcBytes = 256ull << 20;
  return c;
}

class ProgrammingJob : public ::testing::Test, public testenv::InstallFixture {
 protected:
  ProgrammingJob() { s().mainDlg.SetText(kImagePathEdit, (dir / "install.img").string()); }
  ~ProgrammingJob() override {
    StopAllSlotJobs();
    for (auto& b : boards_) b->Unplug();
  }

  // A board plugged into the boards' folder and bound to `slot`, as the binder leaves it.
  boardsim::Board& Plug(int slot, boardsim::BoardConfig cfg) {
    s().HwsettingPending[slot] = 1;  // a board new to the slot, as its binding leaves it
    boards_.push_back(std::make_unique<boardsim::Board>(std::move(cfg)));
    boardsim::Board& b = *boards_.back();
    const std::string path = b.Plug((dir / "dev").string(), "simboard-" + std::to_string(slot));
    EXPECT_FALSE(path.empty());
    SetSlotDevicePath(slot, path);
    SetRememberedPath(slot, path);
    return b;
  }

  // A NOR station: the flash type chosen, a DDR type for the hardware setting, the options
  // describing the board, and a ramlet loaded.
  Bytes SetUpNor(const boardsim::BoardConfig& cfg, uint32_t size = 0x20000) {
    ChooseFlash("NOR");
    s().mainDlg.SetText(kDdrTypeList, "2DDR4_1GB");
    GetDdrFolderName(1);
    testenv::DescribeFlash(cfg);
    const Bytes ramlet = mkpackage::SyntheticData(3, "ramlet.bin", size);
    img().norImage.data = testenv::WithZero(ramlet);
    img().norImage.length = size;
    return ramlet;
  }

  // Clicks the slot's button and waits (a real-time bound of a minute) until its job has ended.
  bool RunJob(int slot) {
    OnSlotButton(slot);
    return WaitForJob(slot);
  }
  static bool WaitForJob(int slot) {
    const bool ended = testenv::Eventually([slot] { return !SlotJobRunning(slot); }, 60);
    StopSlotJob(slot, true);
    return ended;
  }

  std::string HistoryLog(int slot) const {
    std::string all;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(appDir) / "log" / "history_log", ec))
      if (e.path().filename().string().find("-TreadCont-" + std::to_string(slot) + "-") != std::string::npos)
        all += testenv::ReadFile(e.path());
    return all;
  }
  static std::vector<boardsim::Exchange> Of(const boardsim::Board& b, uint8_t opcode) {
    std::vector<boardsim::Exchange> out;
    for (const auto& e : b.exchanges())
      if (e.opcode == opcode) out.push_back(e);
    return out;
  }
  std::vector<ui::HeadlessHost::Prompt> Prompts() { return host->Prompts(); }

  // Efuse programs of several chunks each in the package, so that a job runs its efuse step.
  static void LoadEfusePrograms() {
    auto load = [](int entry, uint32_t target, uint32_t bytes) {
      FwEntry& e = (*state().fwEntries)[entry];
      const Bytes data = mkpackage::SyntheticData(entry, "efuse", bytes);
      ASSERT_TRUE(e.Buffer.Reserve(data.size()));
      std::memcpy(e.Buffer.data(), data.data(), data.size());
      e.Size = data.size();
      e.Target = target;
    };
    load(FW_EFUSE_PROGRAMMER, kProgrammerTarget, 3 * 0x40000);
    load(FW_EFUSE_VERIFY, kVerifierTarget, 2 * 0x40000);
  }

  // The board leaves as the binder sees it: pulled out, then its removal handled. The slot it
  // held, once its job has ended.
  static int PullOut(boardsim::Board& b) {
    const std::string path = b.path();
    b.Unplug();
    return HandleDeviceEvent({DeviceEvent::Removal, path});
  }

  std::vector<std::unique_ptr<boardsim::Board>> boards_;
};

TEST_F(ProgrammingJob, NorBoardEndsDoneWithItsHistoryLine) {
  const boardsim::BoardConfig cfg = Config(FlashKind::Nor);
  const Bytes ramlet = SetUpNor(cfg);
  boardsim::Board& board = Plug(3, cfg);

  ASSERT_TRUE(RunJob(3));
  EXPECT_EQ(s().SlotResult[3].load(), kResultDone) << DeviceLogText(3);
  EXPECT_EQ(board.Ddr(kRamletDdrAddress, static_cast<uint32_t>(ramlet.size())), ramlet);
  EXPECT_TRUE(board.hwsettingDone());
  EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(3)), kPictureConnected);
  EXPECT_EQ(s().slots[3].DeviceHandle, kInvalidHandle) << "the job closed its board";
  EXPECT_EQ(s().slots[3].Busy.load(), 0);
  EXPECT_TRUE(s().mainDlg.Enabled(kFlashTypeList)) << "no slot busy: the main controls are back";
  const std::string history = HistoryLog(3);
  EXPECT_EQ(testenv::CountOf(history, "\r\n"), 1);
  EXPECT_NE(history.find("Thread=3,MAC=NULL,KeyNowCont=NULL,KeyMax=NULL,"), std::string::npos) << history;
  EXPECT_NE(history.find(",ImageNam=install.img,time consuming="), std::string::npos) << history;
  EXPECT_NE(DeviceLogText(3).find("ThreadProgramDevice with device index(3) end \r\n"), std::string::npos);
}

// With the test switch a board that keeps succeeding is programmed 200 times, its hardware
// setting only once; a failure ends the job after its pass.
TEST_F(ProgrammingJob, RetrySwitchRepeatsPassesUntilTheFirstFailure) {
  struct Case {
    int failingPass;  // 0: none
    int passes;
    ResultCode result;
  } cases[] = {{0, 200, kResultDone}, {5, 5, kResultCswStatus}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failingPass);
    const boardsim::BoardConfig cfg = Config(FlashKind::Nor);
    SetUpNor(cfg, 0x1000);
    s().optionsDlg.SetChecked(kRetryBox, true);
    s().optionsDlg.SetChecked(1131, false);
    boards_.push_back(std::make_unique<boardsim::Board>(cfg));
    boardsim::Board& board = *boards_.back();
    auto ramlets = std::make_shared<int>(0);
    board.SetExchangeHook([&board, ramlets, fail = c.failingPass](const boardsim::Exchange& e) {
      // Pass N's ramlet is the N-th DDR write; the one after pass N-1's fails.
      if (e.opcode == kOpWriteDdr && ++*ramlets == fail - 1) {
        std::lock_guard g(board.lock());
        board.faults().failStatusExchange = 0;
      }
    });
    SetSlotDevicePath(1, board.Plug((dir / "dev").string(), "simboard-" + std::to_string(c.failingPass)));
    s().HwsettingPending[1] = 1;
    const int64_t sleptBefore = clock.get().SleptMs();

    ASSERT_TRUE(RunJob(1));
    EXPECT_EQ(s().SlotResult[1].load(), c.result);
    EXPECT_EQ(static_cast<int>(Of(board, kOpWriteDdr).size()), c.passes);
    EXPECT_EQ(Of(board, kOpHwsetting).size(), 1u) << "later passes keep the board's hardware setting";
    const int done = c.failingPass ? c.failingPass - 1 : c.passes;
    EXPECT_EQ(testenv::CountOf(HistoryLog(1), "\r\n"), done);
    // Every pass but the last waits 3 s before the next; the last one does not.
    EXPECT_GE(clock.get().SleptMs() - sleptBefore, int64_t{3000} * (c.passes - 1));
    if (c.failingPass) {
      EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(1)), kPictureFailedBase + kResultCswStatus);
    }
    board.Unplug();
    fs::remove_all(fs::path(appDir) / "log" / "history_log");
  }
}

TEST_F(ProgrammingJob, FailedOpenShowsAFailureAndSendsNothing) {
  const boardsim::BoardConfig cfg = Config(FlashKind::Nor);
  SetUpNor(cfg);
  SetSlotDevicePath(2, (dir / "dev" / "nobody").string());
  ASSERT_TRUE(RunJob(2));
  EXPECT_NE(testenv::TakeErrorLogs(appDir).find("Open Device Error!\r\n"), std::string::npos);
  EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(2)), kPictureFailedBase + 11);
  EXPECT_EQ(s().slots[2].Busy.load(), 0);
  EXPECT_TRUE(s().mainDlg.Enabled(kFlashTypeList));
  EXPECT_TRUE(HistoryLog(2).empty());
}

TEST_F(ProgrammingJob, FailedHardwareSettingKeepsThePendingFlagAndWritesNoHistory) {
  const boardsim::BoardConfig cfg = Config(FlashKind::Nor);
  SetUpNor(cfg);
  boardsim::Board& board = Plug(4, cfg);
  {
    std::lock_guard g(board.lock());
    board.faults().failStatusExchange = 0;  // the first chunk of the hardware setting
  }
  ASSERT_TRUE(RunJob(4));
  EXPECT_NE(s().SlotResult[4].load(), kResultDone);
  EXPECT_EQ(s().HwsettingPending[4].load(), 1);
  EXPECT_TRUE(Of(board, kOpWriteDdr).empty()) << "no installation after a failed hardware setting";
  EXPECT_TRUE(HistoryLog(4).empty());
  EXPECT_EQ(s().slots[4].DeviceHandle, kInvalidHandle);
  EXPECT_EQ(s().slots[4].Busy.load(), 0);
}

// The ways a job refuses to start, each with its box and nothing sent to the board.
TEST_F(ProgrammingJob, RefusalsBeforeAnythingIsSent) {
  struct Case {
    const char* name;
    std::function<void(StationState&)> set;
    const char* text;
    const char* caption;
  } cases[] = {
      {"OptionConflict",
       [](StationState& st) {
         st.optionsDlg.SetChecked(option_id::kOnlyUpgradeLayoutFirmware, true);
         st.optionsDlg.SetChecked(option_id::kBurnFactory, true);
       },
       "only upgrade firmware,can not select the write factory option or single write option at the same "
       "time!please recheck system.ini file.",
       "WARNING"},
      {"UnknownFlashType", [](StationState& st) { st.optionsDlg.SetText(option_id::kFlashType, "10"); },
       "flash type error!!", "WARNING"},
      {"NoInstallImage", [](StationState& st) { st.mainDlg.SetText(kImagePathEdit, ""); },
       "please check install.img already prepared!", "LOST"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const boardsim::BoardConfig cfg = Config(FlashKind::Nor);
    SetUpNor(cfg);
    s().mainDlg.SetText(kImagePathEdit, (dir / "install.img").string());
    for (int id : {option_id::kOnlyUpgradeLayoutFirmware, option_id::kBurnFactory}) s().optionsDlg.SetChecked(id, false);
    c.set(s());
    boardsim::Board& board = Plug(6, cfg);
    host->Clear();
    ASSERT_TRUE(RunJob(6));
    const auto prompts = Prompts();
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_EQ(prompts[0].text, c.text);
    EXPECT_EQ(prompts[0].caption, c.caption);
    EXPECT_TRUE(board.exchanges().empty());
    EXPECT_EQ(s().slots[6].Busy.load(), 0) << "a job that does not start gives the slot back";
    EXPECT_TRUE(s().mainDlg.Enabled(kFlashTypeList));
    board.Unplug();
  }
}

TEST_F(ProgrammingJob, MissingPackageReportsReadImageFailure) {
  ChooseFlash("EMMC");
  const boardsim::BoardConfig cfg = Config(FlashKind::Emmc);
  testenv::DescribeFlash(cfg);
  Plug(7, cfg);
  ASSERT_TRUE(RunJob(7));
  const auto prompts = Prompts();
  ASSERT_FALSE(prompts.empty());
  EXPECT_EQ(prompts.back().text, "kernel data length not found maby forgeter open install image!");
  EXPECT_EQ(prompts.back().caption, "LOST");
  EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(7)), kPictureFailedBase + 0);
  EXPECT_EQ(s().SlotResult[7].load(), 0) << "the record holds the code the slot shows";
  EXPECT_NE(testenv::TakeErrorLogs(appDir).find("Error - Read install image data failed !\r\n"), std::string::npos);
}

// A key bag that cannot be used ends the job with the refusal's square, and the slot's record
// holds that code, not the hardware setting's 100.
TEST_F(ProgrammingJob, AFailedKeyCheckLeavesItsCodeInTheRecord) {
  const std::string bag = (dir / "keys.bin").string();
  testenv::WriteFile(bag, "bag");
  struct Case {
    const char* name;
    std::string path, counter, maximum;
    ResultCode code;
  } const cases[] = {{"no key path", "", "0", "4", 20},
                     {"no key file", (dir / "none.bin").string(), "0", "4", 20},
                     {"keys used up", bag, "5", "4", 23}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const boardsim::BoardConfig cfg = Config(FlashKind::Nor);
    SetUpNor(cfg);
    s().optionsDlg.SetChecked(option_id::kBurnFactory, true);
    s().mainDlg.SetText(kKeyPathEdit, c.path);
    s().mainDlg.SetText(kKeyCounterEdit, c.counter);
    s().mainDlg.SetText(kKeyMaximumEdit, c.maximum);
    boardsim::Board& board = Plug(2, cfg);
    ASSERT_TRUE(RunJob(2));
    EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(2)), kPictureFailedBase + c.code);
    EXPECT_EQ(s().SlotResult[2].load(), c.code);
    EXPECT_NE(testenv::TakeErrorLogs(appDir).find(ResultMessage(c.code)), std::string::npos);
    EXPECT_TRUE(HistoryLog(2).empty());
    board.Unplug();
  }
}

// A stage lock that cannot be taken (its name's file cannot be used) fails the job as any
// failed step does: its square, its error log, a main-log line naming the lock, no history.
TEST_F(ProgrammingJob, AStageLockThatCannotBeTakenFailsTheJob) {
  struct Case {
    const char* lock;
    const char* flash;
    FlashKind kind;
    plat::NamedMutex StationState::*mutex;
  } const cases[] = {{"MY_MUTEX_FACTORY", "EMMC", FlashKind::Emmc, &StationState::MutexFactory},
                     {"MY_MUTEX_GODDR", "NOR", FlashKind::Nor, &StationState::MutexGoDdr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lock);
    const boardsim::BoardConfig cfg = Config(c.kind);
    if (c.kind == FlashKind::Nor) {
      SetUpNor(cfg);
    } else {
      mkpackage::PackageOptions o;
      o.outDir = (dir / "pkg").string();
      o.emmc = true;
      Load(o, c.flash);
      testenv::DescribeFlash(cfg);
    }
    (s().*c.mutex).Close();
    s().optionsDlg.SetText(kMainLogControlId, "");
    boardsim::Board& board = Plug(3, cfg);
    ASSERT_TRUE(RunJob(3));
    EXPECT_EQ(s().SlotResult[3].load(), kResultOpenFile);
    EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(3)), kPictureFailedBase + kResultOpenFile);
    const std::string errors = testenv::TakeErrorLogs(appDir);
    EXPECT_NE(errors.find(ResultMessage(kResultOpenFile)), std::string::npos) << errors;
    EXPECT_NE(errors.find(std::string("lock ") + c.lock), std::string::npos) << errors;
    EXPECT_NE(MainLogText().find(std::string("lock ") + c.lock + " failed , thread number [3] \r\n"), std::string::npos)
        << MainLogText();
    EXPECT_TRUE(HistoryLog(3).empty());
    EXPECT_EQ(s().slots[3].Busy.load(), 0);
    EXPECT_TRUE(s().mainDlg.Enabled(kFlashTypeList));
    board.Unplug();
  }
}

TEST_F(ProgrammingJob, KeyWarningAfterADoneBoardWhenTheCounterPassedItsMaximum) {
  const boardsim::BoardConfig cfg = Config(FlashKind::Nor);
  SetUpNor(cfg);
  s().mainDlg.SetText(1110, "6");
  s().mainDlg.SetText(1111, "5");
  Plug(0, cfg);
  ASSERT_TRUE(RunJob(0));
  EXPECT_EQ(s().SlotResult[0].load(), kResultDone);
  const auto prompts = Prompts();
  ASSERT_EQ(prompts.size(), 1u);
  EXPECT_EQ(prompts[0].text, "please replace the next set of security keys!");
  EXPECT_EQ(prompts[0].caption, "WARNING");
}

// Every installation road runs to done; a normal installation also writes its (blank)
// factory data, and a NAND board gets its bad block table after it.
TEST_F(ProgrammingJob, InstallationRoadsOfNandAndEmmc) {
  struct Case {
    const char* flash;
    FlashKind kind;
    bool onlyBootloader;
    ResultCode result;
  } cases[] = {{"NAND", FlashKind::Nand, true, kResultDone},
               {"EMMC", FlashKind::Emmc, true, kResultDone},
               {"EMMC", FlashKind::Emmc, false, kResultDone},
               {"NAND", FlashKind::Nand, false, kResultDone}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.flash) + (c.onlyBootloader ? " only bootloader" : " full"));
    mkpackage::PackageOptions o;
    o.outDir = (dir / "pkg").string();
    o.emmc = c.kind == FlashKind::Emmc;
    Load(o, c.flash);
    const boardsim::BoardConfig cfg = Config(c.kind);
    testenv::DescribeFlash(cfg);
    s().optionsDlg.SetChecked(option_id::kOnlyUpgradeBootloader, c.onlyBootloader);
    boardsim::Board& board = Plug(8, cfg);
    ASSERT_TRUE(RunJob(8));
    EXPECT_EQ(s().SlotResult[8].load(), c.result) << testenv::TakeErrorLogs(appDir);
    EXPECT_FALSE(board.exchanges().empty());
    EXPECT_EQ(HistoryLog(8).empty(), c.result != kResultDone);
    board.Unplug();
    fs::remove_all(fs::path(appDir) / "log");
  }
}

// A board pulled out in the middle of its installation, and a second click on a slot whose
// board is busy: the old job ends with a failure and leaves no thread, socket or lock.
TEST_F(ProgrammingJob, BoardPulledOutOrSecondClickEndsTheOldJob) {
  const boardsim::BoardConfig cfg = Config(FlashKind::Nor);
  SetUpNor(cfg, 0x400000);
  const int threads = testenv::ThreadCount();
  const int descriptors = testenv::OpenDescriptorCount();
  {
    boardsim::Board& board = Plug(9, cfg);
    {
      std::lock_guard g(board.lock());
      board.faults().vanishAfterExchanges = 8;  // in the middle of the ramlet
    }
    ASSERT_TRUE(RunJob(9));
    // The data phase or the status wait finds the board gone, whichever it reached.
    const int picture = s().mainDlg.Picture(SlotButtonId(9));
    EXPECT_TRUE(picture == kPictureFailedBase + kResultCswTimeout || picture == kPictureFailedBase + kResultDataWrite)
        << picture;
    EXPECT_FALSE(board.plugged());
    board.Unplug();
  }
  {
    boardsim::Board& board = Plug(10, cfg);
    std::promise<void> busy;
    auto once = std::make_shared<std::once_flag>();
    board.SetExchangeHook([&, once](const boardsim::Exchange& e) {
      (void)e;
      std::call_once(*once, [&] { busy.set_value(); });
    });
    {
      std::lock_guard g(board.lock());
      board.faults().busyForMs = int64_t{1} << 50;  // from the first exchange on, busy for ever
    }
    OnSlotButton(10);
    busy.get_future().wait();
    OnSlotButton(10);  // the first job is stopped, the second starts once it has ended
    EXPECT_EQ(SlotJobStarts(10), 2u);
    StopSlotJob(10, true);
    EXPECT_FALSE(SlotJobRunning(10));
    EXPECT_NE(testenv::TakeErrorLogs(appDir).find("transfer stopped\r\n"), std::string::npos);
    EXPECT_EQ(s().slots[10].DeviceHandle, kInvalidHandle);
    board.Unplug();
  }
  EXPECT_FALSE(s().MutexFactory.Held());
  EXPECT_FALSE(s().MutexGoDdr.Held());
  boards_.clear();
  EXPECT_EQ(testenv::ThreadCount(), threads);
  EXPECT_EQ(testenv::OpenDescriptorCount(), descriptors);
}

// Jobs of several slots at once take their efuse stages one at a time: no board gets part of
// its efuse programs while another board is getting its own.
TEST_F(ProgrammingJob, EfuseStagesOfSlotsNeverOverlap) {
  const boardsim::BoardConfig cfg = Config(FlashKind::Nor);
  SetUpNor(cfg, 0x1000);
  LoadEfusePrograms();

  constexpr int kBoards = 6;
  std::mutex lock;
  std::vector<int> order;  // the board of every efuse exchange, as the boards saw them
  bool unguarded = false;
  for (int slot = 0; slot < kBoards; ++slot) {
    boardsim::Board& board = Plug(slot, cfg);
    board.SetExchangeHook([&, slot](const boardsim::Exchange& e) {
      if (e.opcode != kOpWriteDdr || e.address == kRamletDdrAddress) return;
      std::lock_guard g(lock);
      order.push_back(slot);
      if (!state().MutexGoDdr.Held()) unguarded = true;
    });
  }
  for (int slot = 0; slot < kBoards; ++slot) OnSlotButton(slot);
  for (int slot = 0; slot < kBoards; ++slot) ASSERT_TRUE(WaitForJob(slot));

  std::lock_guard g(lock);
  EXPECT_FALSE(unguarded);
  ASSERT_EQ(order.size(), static_cast<size_t>(kBoards * 5));
  for (size_t i = 0; i < order.size(); i += 5) {
    for (size_t k = 1; k < 5; ++k) EXPECT_EQ(order[i + k], order[i]) << "efuse exchanges interleaved at " << i + k;
  }
  for (int slot = 0; slot < kBoards; ++slot) EXPECT_EQ(s().SlotResult[slot].load(), kResultDone) << slot;
}

// A single-mode job runs its one operation after the hardware setting and installs nothing.
TEST_F(ProgrammingJob, SingleModeJobRunsItsOperationInsteadOfAnInstallation) {
  const boardsim::BoardConfig cfg = Config(FlashKind::Nor);
  SetUpNor(cfg);
  s().optionsDlg.SetChecked(option_id::kSingleMode, true);
  s().optionsDlg.SetChecked(1000, true);  // "System reset"
  boardsim::Board& board = Plug(11, cfg);
  ASSERT_TRUE(RunJob(11));
  EXPECT_EQ(s().SlotResult[11].load(), kResultDone) << DeviceLogText(11);
  EXPECT_EQ(Of(board, 0xF2).size(), 1u);
  EXPECT_TRUE(Of(board, kOpWriteDdr).empty()) << "no ramlet in single mode";
  EXPECT_NE(HistoryLog(11).find(",ImageNam=NULL,"), std::string::npos) << HistoryLog(11);
}

// Single mode with "burn factory" on NAND writes the factory data alone: the board keeps the
// table its installation burnt, and the table is burnt again only when a factory write met a
// new bad block, with the old remaps kept.
TEST_F(ProgrammingJob, SingleModeFactoryDataKeepsTheBoardsTable) {
  const std::string bag = (dir / "keys.bin").string();
  ASSERT_TRUE(testenv::MakeKeyBagAt(stationFiles.toolDir, bag, 4));
  s().mainDlg.SetText(kKeyPathEdit, bag);
  s().mainDlg.SetText(kKeyCounterEdit, "0");
  s().mainDlg.SetText(kKeyMaximumEdit, "4");
  plat::WriteProfileString("FACTORY", "KEY PATH", bag, UsbMpToolIniPath());
  mkpackage::PackageOptions o;
  o.outDir = (dir / "pkg").string();
  Load(o, "NAND");
  s().optionsDlg.SetChecked(option_id::kSingleMode, true);
  s().optionsDlg.SetChecked(option_id::kBurnFactory, true);
  constexpr uint32_t kPagesPerBlock = 64, kCopy0Block = 4736 / 64;
  const NandBbtEntry installed{0, 7, 0, 1023};
  struct Case {
    const char* name;
    std::vector<uint32_t> bad;
    std::vector<std::pair<uint32_t, uint32_t>> table;
    bool burnt;
  } cases[] = {{"nothing remapped", {}, {{7, 1023}}, false},
               {"a bad block in copy 0", {kCopy0Block}, {{7, 1023}, {kCopy0Block, 1022}}, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    boardsim::BoardConfig cfg = Config(FlashKind::Nand);
    cfg.badBlocks = c.bad;
    testenv::DescribeFlash(cfg);
    boardsim::Board& board = Plug(5, cfg);
    // The table an installation left: one remap, the other entries unused.
    NandBbt bbt;
    ASSERT_TRUE(AllocNandBbt(testenv::FlashInfoOf(cfg), bbt));
    bbt.table[0] = installed;
    const auto* bytes = reinterpret_cast<const uint8_t*>(bbt.table.get());
    const std::vector<uint8_t> image(bytes, bytes + (bbt.lastIndex + 1) * sizeof(NandBbtEntry));
    for (uint32_t block : {1u, 2u}) board.WriteFlash(uint64_t(block) * kPagesPerBlock * cfg.pageSize, image);
    ASSERT_TRUE(RunJob(5));
    EXPECT_EQ(s().SlotResult[5].load(), kResultDone) << testenv::TakeErrorLogs(appDir);
    EXPECT_EQ(testenv::BurntRemaps(board), c.table);
    size_t tableWrites = 0;
    for (const auto& e : Of(board, 0xF4)) tableWrites += e.partMarker == 0xBB;
    EXPECT_EQ(tableWrites, c.burnt ? 2u : 0u);
    board.Unplug();
  }
}

// A board pulled out in a wait of its job, or while it answers busy, ends the job with the code
// of the exchange it can no longer have: between two exchanges the next command wrapper cannot
// be written (10), a busy board's status reads run out (6). Pulled out in the closing waits of
// the efuses, after its last exchange, or between two passes of the test switch, it does not
// end as done either. On the fast clock and on real time alike. The slot is freed once the job
// has ended; the job's error log tells what happened, and the slot keeps no history line but
// those of the passes done before.
TEST_F(ProgrammingJob, APulledOutBoardEndsWithTheCodeOfItsFailedExchange) {
  constexpr int64_t kBusy = 0;  // pulled out while the board answers busy
  struct Case {
    const char* name;
    int64_t waitMs;  // the job's wait the board is pulled out in, or kBusy
    int nth;         // which of the waits of that length
    bool realTime;
    bool retry;      // the test switch on
    ResultCode code;
  } const cases[] = {
      {"in the pause after the hardware setting", 1500, 1, false, false, kResultCbwWrite},
      {"in the pause after the hardware setting, real time", 1500, 1, true, false, kResultCbwWrite},
      {"while it answers busy", kBusy, 1, false, false, kResultCswRetries},
      {"while it answers busy, real time", kBusy, 1, true, false, kResultCswRetries},
      {"in the efuse step's wait", kEfuseBurnWaitMs, 1, false, false, kResultCbwWrite},
      {"in the efuse stage's wait", 3000, 1, false, false, kResultCbwWrite},
      // The first pass's efuse stage waits 3 s, then the pause before the second pass.
      {"between two passes", 3000, 2, false, true, kResultCbwWrite},
  };
  const boardsim::BoardConfig cfg = Config(FlashKind::Nor);
  SetUpNor(cfg, 0x1000);
  LoadEfusePrograms();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    s().optionsDlg.SetChecked(kRetryBox, c.retry);
    std::promise<void> pull;
    int64_t at = c.waitMs;
    std::function<void()> action = [&pull] { PullOutHere(pull); };
    if (c.waitMs == kBusy) {
      at = boardsim::kBusyPaceMs;  // the board's pause after its first busy answer
      action = [&pull] { pull.set_value(); };
    }
    testenv::HookedClock<plat::FastClock> fast(at, action, c.nth);
    testenv::HookedClock<plat::RealClock> real(at, action, c.nth);
    testenv::ScopedClock scoped(c.realTime ? static_cast<plat::Clock&>(real) : fast, clock.get());
    boardsim::Board& board = Plug(5, cfg);
    if (c.waitMs == kBusy) {
      std::lock_guard g(board.lock());
      board.faults().busyForMs = int64_t{1} << 50;
    }
    const uint64_t starts = SlotJobStarts(5);
    OnSlotButton(5);
    pull.get_future().wait();
    ASSERT_EQ(PullOut(board), 5);
    EXPECT_FALSE(SlotJobRunning(5)) << "the job ended before its slot was freed";
    EXPECT_EQ(SlotJobStarts(5), starts + 1);
    EXPECT_EQ(s().SlotResult[5].load(), c.code);
    EXPECT_NE(testenv::TakeErrorLogs(appDir).find(ResultMessage(c.code)), std::string::npos);
    EXPECT_EQ(testenv::CountOf(HistoryLog(5), "\r\n"), c.retry ? 1 : 0);
    fs::remove_all(fs::path(appDir) / "log" / "history_log");
    EXPECT_EQ(s().HwsettingPending[5].load(), 1);
    EXPECT_EQ(SlotDevicePath(5), "");
    EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(5)), kPictureIdle);
    EXPECT_EQ(s().slots[5].DeviceHandle, kInvalidHandle);
    EXPECT_FALSE(s().MutexGoDdr.Held());
  }
}

// The job of a pulled-out board ends before its slot is freed, so nothing it does at its end
// reaches the board when it is plugged in again: the board is shown connected with its button
// enabled, and its next job sends the hardware setting again and ends done.
TEST_F(ProgrammingJob, APulledOutBoardsJobEndsBeforeTheSlotIsBoundAgain) {
  const boardsim::BoardConfig cfg = Config(FlashKind::Nor);
  SetUpNor(cfg, 0x1000);
  s().optionsDlg.SetText(kMaxUsbConnectionEdit, "12");
  // In the pause after the hardware setting, and in the efuse stage's closing wait.
  for (int64_t waitMs : {int64_t{1500}, int64_t{3000}}) {
    SCOPED_TRACE(waitMs);
    std::promise<void> pull;
    testenv::HookedClock<plat::FastClock> hooked(waitMs, [&pull] { PullOutHere(pull); });
    testenv::ScopedClock scoped(hooked, clock.get());
    boardsim::Board& board = Plug(0, cfg);
    const std::string path = board.path();
    OnSlotButton(0);
    pull.get_future().wait();
    ASSERT_EQ(PullOut(board), 0);
    EXPECT_FALSE(SlotJobRunning(0));
    EXPECT_EQ(s().HwsettingPending[0].load(), 1);

    ASSERT_EQ(board.Plug((dir / "dev").string(), "simboard-0"), path);
    ASSERT_EQ(HandleDeviceEvent({DeviceEvent::Arrival, path}), 0);
    EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(0)), kPictureConnected);
    EXPECT_TRUE(s().mainDlg.Enabled(SlotButtonId(0)));
    EXPECT_EQ(s().HwsettingPending[0].load(), 1);
    const size_t hwsettings = Of(board, kOpHwsetting).size();
    ASSERT_TRUE(RunJob(0));
    EXPECT_EQ(s().SlotResult[0].load(), kResultDone) << testenv::TakeErrorLogs(appDir);
    EXPECT_GT(Of(board, kOpHwsetting).size(), hwsettings) << "the board plugged in again gets its hardware setting";
    board.Unplug();
    testenv::TakeErrorLogs(appDir);
  }
}

}  // namespace
}  // namespace station

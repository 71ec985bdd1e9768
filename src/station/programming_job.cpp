#include "station/programming_job.h"

#include <cstdlib>
#include <string>

#include "factory/factory_area.h"
#include "factory/key_and_efuse.h"
#include "foundation/log_boxes.h"
#include "foundation/log_files.h"
#include "foundation/result_messages.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "package/type_lists.h"
#include "platform/clock.h"
#include "platform/ui.h"
#include "programming/ddr_transfer.h"
#include "programming/emmc_install.h"
#include "programming/nand_install.h"
#include "programming/single_mode.h"
#include "programming/slot_params.h"
#include "programming/usb_hwsetting.h"
#include "usblink/bbt_burn.h"
#include "usblink/flash_options.h"
#include "usblink/usb_device.h"
#include "usblink/usb_wrappers.h"

namespace station {

namespace {

constexpr int kRetryCheckBox = 1049;  // "Retry ( for test)"
constexpr int kSaveLogCheckBox = 1131;
constexpr int kKeyCountEdit = 1110;
constexpr int kKeyMaxEdit = 1111;
constexpr int kKeyPathEdit = 1066;
constexpr int kRetryPasses = 200;
constexpr int64_t kRetryPauseMs = 3000;
constexpr int64_t kFactoryPauseMs = 1000;
constexpr int64_t kEfusePauseMs = 3000;
constexpr ResultCode kResultReadImage = 0;
constexpr ResultCode kResultOpenFile = 2;
constexpr ResultCode kResultOpenDevice = 11;

using Procedure = ResultCode (*)(int, DeviceSlot&, FlashInfo, FwEntryTable&, BurnOption, NandBbt&);

Procedure ProcedureOf(uint8_t flashType) {
  switch (flashType) {
    case kFlashNand: return NandFullInstall;
    case kFlashNor: return TransRamletToDdr;
    case kFlashEmmc: return EmmcFullInstall;
    default: return nullptr;
  }
}

// Leading decimal digits of a text; none gives 0.
long LeadingNumber(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10); }

bool AnySlotBusy() {
  for (const DeviceSlot& d : state().slots)
    if (d.Busy.load()) return true;
  return false;
}

// The main controls come back once no slot is busy; while one still is, the controls that
// would change what it programs stay off.
void EnableMainControlsByBusySlots() {
  if (!AnySlotBusy()) {
    EnableMainControls(true);
    return;
  }
  for (int id : {1068, 1067, kFlashTypeList, kNandModelList}) state().mainDlg.SetEnabled(id, false);
}

// The board left the slot between two exchanges (or after the last one): the next exchange
// could not even write its command wrapper.
ResultCode BoardGone(int slot) {
  PrintDeviceLog(slot, "device removed\r\n");
  return kResultCbwWrite;
}

// Why a wait of the job ended before it got what it waited for: a stop ends the job with the
// stop's own code, a board that has gone with the code of the exchange it can no longer have.
// 0 when neither happened.
ResultCode WaitCutShort(int slot) {
  if (plat::StopRequested()) return UnlessStopped(kResultStopped, slot);
  if (plat::DeviceRemoved()) return BoardGone(slot);
  return 0;
}

// A failure the job reports itself, in the way ReportResult frames one.
void ReportJobFailure(int slot, ResultCode code) {
  SetSlotState(slot, kSlotFailed, code);
  PrintDeviceLog(slot, "%s", kReportOpeningRule);
  PrintDeviceLog(slot, "%s", kReportLogHeader);
  if (!WriteLogFile(slot, ResultMessage(code), "", DeviceLogText(slot))) PrintLog("write error log failed!\r\n");
  SetDeviceLogText(slot, "");
  state().slots[slot].Busy = 0;
}

// One slot's job: the options it read, the board it opened and the table its passes made.
class Job {
 public:
  explicit Job(int slot) : slot_(slot), s_(state()), dev_(s_.slots[slot]) {}
  ~Job();
  void Run();

 private:
  enum class Pass { Done, Failed, EndJob };

  bool Start();
  Pass RunPass();
  bool OpenBoard();
  void LogDeviceTable();
  Pass Program(const FlashInfo& info, Procedure procedure);
  ResultCode FactoryStage(const FlashInfo& info);
  ResultCode EfuseStage(const FlashInfo& info, ResultCode result);
  ResultCode LockNotTaken(const char* name);
  void EndUnlessBoardStays();
  void CloseBoard(bool log);
  void Finish(ResultCode result);
  void EndPass(int pass, bool passesLeft);
  void SetResult(ResultCode r) { s_.SlotResult[slot_] = r; }
  ResultCode Result() const { return s_.SlotResult[slot_].load(); }

  const int slot_;
  StationState& s_;
  DeviceSlot& dev_;
  BurnOption option_{};
  NandBbt bbt_;
  int64_t startSeconds_ = 0;
  bool retry_ = false;
};

Job::~Job() {
  // Every way out closes the board this job opened and gives the slot back.
  CloseBoard(false);
  dev_.Busy = 0;
  EnableMainControlsByBusySlots();
  bbt_ = NandBbt{};
  if (s_.optionsDlg.Checked(kSaveLogCheckBox)) SaveDeviceLog(slot_);
}

void Job::Run() {
  if (!Start()) return;
  const int passes = retry_ ? kRetryPasses : 1;
  for (int pass = 1; pass <= passes; ++pass) {
    const Pass outcome = RunPass();
    if (outcome == Pass::EndJob) return;
    EndPass(pass, pass < passes);
    if (outcome != Pass::Done || plat::StopRequested()) return;
    if (pass < passes && plat::DeviceRemoved()) {
      // The board left after a pass: the next one would find nothing to send to.
      SetResult(BoardGone(slot_));
      ReportResult(Result(), slot_, "next pass");
      return;
    }
    if (pass < passes && option_.singleMode) s_.optionsDlg.SetText(kMainLogControlId, "");
  }
}

bool Job::Start() {
  GetBurnOption(option_, slot_);
  PrintDeviceLog(slot_, "ThreadProgramDevice with device index(%d) \r\n", slot_);
  if (!CheckBurnOption(option_, 0) && !CheckInstallImgPrepared()) return false;
  if (CheckBurnOption(option_, 3) && (option_.burnFactory || option_.singleMode)) {
    const char* text =
        "only upgrade firmware,can not select the write factory option or single write option at the same "
        "time!please recheck system.ini file.";
    PrintDeviceLog(slot_, "%s", text);
    ui::MessageBox(text, "WARNING", ui::MB_OK | ui::MB_ICONWARNING);
    return false;
  }
  startSeconds_ = plat::clock().NowSeconds();
  retry_ = s_.optionsDlg.Checked(kRetryCheckBox);
  return true;
}

Job::Pass Job::RunPass() {
  if (retry_) dev_.Busy = 1;
  FlashInfo info{};
  GetFlashInfo(info, slot_);
  const Procedure procedure = ProcedureOf(info.FlashType);
  if (!procedure) {
    PrintDeviceLog(slot_, "flash type error!!\nflash type=%d\n", info.FlashType);
    ui::MessageBox("flash type error!!", "WARNING", ui::MB_OK | ui::MB_ICONWARNING);
    return Pass::EndJob;
  }
  EnableMainControls(false);
  SetResult(0);
  SetSlotState(slot_, kSlotRunning, 0);
  if (!OpenBoard()) return Pass::Failed;

  FillDeviceParams(slot_);
  SetResult(RunUsbHwsetting(slot_, dev_, info, s_.HwsettingPending[slot_]));
  if (Result() != kResultDone) {
    s_.HwsettingPending[slot_] = 1;
    ShowProgressPercent(slot_, 1);
    return Pass::EndJob;
  }
  return Program(info, procedure);
}

bool Job::OpenBoard() {
  const std::string path = SlotDevicePath(slot_);
  StoreHandle(dev_.DeviceHandle, OpenUsbDevice(path.c_str()));
  LogDeviceTable();
  PrintDeviceLog(slot_, "thread [%d] path = %s \r\n", slot_, path.c_str());
  if (dev_.DeviceHandle != kInvalidHandle) return true;
  PrintDeviceLog(slot_, "Open Device Error!\r\n");
  // The operator sees the failure on the slot instead of a picture that keeps running.
  SetResult(kResultOpenDevice);
  ReportResult(kResultOpenDevice, slot_, "open device");
  return false;
}

void Job::LogDeviceTable() {
  PrintDeviceLog(slot_, "[device table] \r\n");
  for (int i = 0; i < kSlotCount; ++i)
    PrintDeviceLog(slot_, "table[%d] path = %s\r\n", i, RememberedPath(i).c_str());
}

Job::Pass Job::Program(const FlashInfo& info, Procedure procedure) {
  bool factoryOnly = false;
  if (CheckBurnOption(option_, 1)) {
    SetResult(RunSingleModeOp(slot_, dev_, info, option_));
  } else {
    ResultCode refused = 0;
    if (!CheckSecureKey(slot_, option_, &refused)) {
      SetResult(refused);  // the code of the square the refusal shows
      return Pass::EndJob;
    }
    if (option_.singleMode) {
      factoryOnly = true;  // single mode with burn factory: the factory data alone
    } else if (LoadCounter(dev_.Remaining.entries[FW_KERNEL]) > 0 || option_.onlyUpgradeBootloader ||
               info.FlashType == kFlashNor) {
      FwEntryTable& table = *s_.fwEntries;
      SetResult(procedure(slot_, dev_, info, table, option_, bbt_));
    } else {
      SetResult(kResultReadImage);
      ReportJobFailure(slot_, kResultReadImage);
      ui::MessageBox("kernel data length not found maby forgeter open install image!", "LOST",
                     ui::MB_OK | ui::MB_ICONWARNING);
      EnableMainControls(true);
      return Pass::EndJob;
    }
  }

  if (Result() == kResultDone || factoryOnly) {
    // Without an installation a NAND board keeps its own table, and it is burnt again only
    // when the factory writes remapped a block.
    bool factoryStage = (!CheckBurnOption(option_, 0) && info.FlashType != kFlashNor) || factoryOnly;
    int32_t remapsBefore = 0;
    if (factoryOnly && info.FlashType == kFlashNand) {
      SetResult(ReadBurntBbt(dev_.DeviceHandle, info, slot_, bbt_));
      ReportResult(Result(), slot_, "read board BBT");
      remapsBefore = bbt_.remapCount;
      factoryStage = Result() == kResultDone;
    }
    if (factoryStage) SetResult(FactoryStage(info));
    bool efuse = true;
    if (bbt_.table && info.FlashType == kFlashNand) {
      // A failed factory stage leaves the table unburnt and the efuses alone.
      if (Result() != kResultDone)
        efuse = false;
      else if (!factoryOnly || bbt_.remapCount > remapsBefore)
        SetResult(BurnBBT(slot_, dev_, info, bbt_.table.get(), bbt_.remapCount, bbt_.lastIndex));
    }
    if (efuse) SetResult(EfuseStage(info, Result()));
  }
  bbt_ = NandBbt{};
  CloseBoard(true);
  EndUnlessBoardStays();
  Finish(Result());
  return Result() == kResultDone ? Pass::Done : Pass::Failed;
}

ResultCode Job::FactoryStage(const FlashInfo& info) {
  s_.mainDlg.SetPicture(SlotButtonId(slot_), kPictureSingleDone);
  s_.mainDlg.SetEnabled(SlotButtonId(slot_), false);
  plat::NamedMutexLock factory(s_.MutexFactory);
  if (!factory.locked()) return LockNotTaken("MY_MUTEX_FACTORY");
  PrintLog("thread number [%d] \r\n", slot_);
  PrintDeviceLog(slot_, "thread number [%d] \r\n", slot_);
  plat::clock().SleepMs(kFactoryPauseMs);
  return WriteFactoryArea(slot_, dev_, info, option_, bbt_);
}

ResultCode Job::EfuseStage(const FlashInfo& info, ResultCode result) {
  plat::NamedMutexLock goDdr(s_.MutexGoDdr);
  // A failure before the stage has been reported already and stays the job's result.
  if (!goDdr.locked()) return result == kResultDone ? LockNotTaken("MY_MUTEX_GODDR") : result;
  if (!CheckBurnOption(option_, 0) && result == kResultDone) {
    result = BurnEfuse(slot_, dev_, *s_.fwEntries, info, option_);
    plat::clock().SleepMs(kEfusePauseMs);
  }
  return result;
}

// A stage lock that was not taken fails the job like any failed step: a stop or a board that
// has gone with their codes, a lock that cannot be used at all (its file in the runtime folder
// cannot be made or locked) as a file that cannot be opened.
ResultCode Job::LockNotTaken(const char* name) {
  ResultCode code = WaitCutShort(slot_);
  if (code == 0) code = kResultOpenFile;
  PrintLog("lock %s failed , thread number [%d] \r\n", name, slot_);
  PrintDeviceLog(slot_, "lock %s failed , thread number [%d] \r\n", name, slot_);
  ReportResult(code, slot_, std::string("lock ") + name);
  return code;
}

// A job whose board left, or that was stopped, after its last exchange (in the closing waits
// of the efuses) has not programmed a board that is still there: it does not end as done.
void Job::EndUnlessBoardStays() {
  if (Result() != kResultDone) return;
  const ResultCode code = WaitCutShort(slot_);
  if (code == 0) return;
  SetResult(code);
  ReportResult(code, slot_, "close device");
}

void Job::CloseBoard(bool log) {
  if (dev_.DeviceHandle == kInvalidHandle) return;
  if (log) PrintDeviceLog(slot_, "close device icon:[%x]\r\n", static_cast<unsigned>(dev_.DeviceHandle));
  ShowProgressPercent(slot_, 1);
  CloseDevice(dev_.DeviceHandle);
}

void Job::Finish(ResultCode result) {
  if (result != kResultDone) return;
  const ui::Dialog& main = s_.mainDlg;
  char elapsed[32];
  snprintf(elapsed, sizeof elapsed, "%ld", static_cast<long>(plat::clock().NowSeconds() - startSeconds_));
  const bool factory = option_.burnFactory != 0;
  const std::string image = CheckBurnOption(option_, 0) ? "NULL" : main.Text(kImagePathEdit);
  const int written = WriteHistoryLog(slot_, factory ? SlotMacText(slot_) : "NULL",
                                      factory ? main.Text(kKeyCountEdit) : "NULL",
                                      factory ? main.Text(kKeyMaxEdit) : "NULL",
                                      factory ? main.Text(kKeyPathEdit) : "NULL", image, elapsed);
  if (!written) {
    PrintDeviceLog(slot_, "save history log failed!\r\n");
    SetResult(kResultOpenFile);
    ReportJobFailure(slot_, kResultOpenFile);
    return;
  }
  SetSlotState(slot_, kSlotConnected, 0);
  if (option_.singleMode && option_.burnFactory) s_.mainDlg.SetText(SlotPercentId(slot_), "100");
  PrintDeviceLog(slot_, "ThreadProgramDevice with device index(%d) end \r\n", slot_);
  if (LeadingNumber(main.Text(kKeyCountEdit)) > LeadingNumber(main.Text(kKeyMaxEdit)))
    ui::MessageBox("please replace the next set of security keys!", "WARNING", ui::MB_OK | ui::MB_ICONWARNING);
}

void Job::EndPass(int pass, bool passesLeft) {
  if (passesLeft && retry_) {
    PrintDeviceLog(slot_, "\r\nretry count : %d \r\n\r\n", pass);
    plat::clock().SleepMs(kRetryPauseMs);
  }
  dev_.Busy = 0;
  EnableMainControlsByBusySlots();
}

}  // namespace

void ThreadProgramDevice(int slot, std::stop_token stop, std::stop_token removed) {
  if (slot < 0 || slot >= kSlotCount) return;
  plat::ScopedStopToken current(stop, removed);
  // The job reads the loaded package for its whole run; a load waits until it is done.
  PackageHold package(state().package);
  if (!package.held()) {
    state().slots[slot].Busy = 0;
    return;
  }
  Job(slot).Run();
}

}  // namespace station

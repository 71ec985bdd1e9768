#include "station/options_dialog.h"

#include "factory/factory_work_files.h"
#include "foundation/image_buffers.h"
#include "foundation/log_boxes.h"
#include "foundation/result_messages.h"
#include "foundation/station_state.h"
#include "package/bootloader_archive.h"
#include "package/usb_hwsetting_file.h"
#include "platform/ui.h"
#include "programming/single_mode_files.h"
#include "station/main_dialog.h"

namespace station {

namespace {

constexpr int kOkButton = 1183;
constexpr int kCleanLogButton = 1182;
constexpr int kBurnFactoryCheck = 1070;
constexpr int kNasEnableCheck = 1194;
constexpr int kOnlyUpgradeBootloaderCheck = 1159;
constexpr int kKeyOpenButton = 1068;
constexpr int kKeyPathEdit = 1066;

// A box that changes the loaded package waits for no job and no load: while a job holds the
// package or a loader replaces it, the click is refused, the operator is told why and the box
// goes back to how it was.
void RefuseChange(int box, bool jobsHold) {
  StationState& s = state();
  ui::MessageBox(jobsHold ? "please wait until every device is done!" : "Please wait while loading", "WARNING");
  s.optionsDlg.SetChecked(box, !s.optionsDlg.Checked(box));
}

}  // namespace

void OnBnClickedOk() { state().optionsDlg.Show(false); }

void OnBnClickedCleanLog() {
  // The work files belong to the slot in its factory-data step while it holds the mutex.
  const bool kept = !DeleteTmpTarFilesWhenIdle(0) && state().MutexFactory.Held();
  state().optionsDlg.SetText(kMainLogControlId, "");
  PrintLog("clear.\r\n");
  if (kept) PrintLog("clean log : a board is writing its factory data, the work files are kept\r\n");
}

void OnBnClickedBurnFactory() {
  StationState& s = state();
  ui::Dialog& main = s.mainDlg;
  const bool on = s.optionsDlg.Checked(kBurnFactoryCheck);
  main.SetEnabled(kKeyOpenButton, on);
  main.SetText(kKeyPathEdit, on ? "" : "writefactory=0! not need to write key (factory.tar)!");
  main.SetText(1110, "");
  main.SetText(1111, "");
}

void OnBnClickedNasEnable() { state().mainDlg.SetTitle(StationTitle()); }

void OnBnClickedOnlyUpgradeBootloader() {
  StationState& s = state();
  PackageLoad load(s.package, /*tryOnly=*/true);
  if (!load.begun()) {
    RefuseChange(kOnlyUpgradeBootloaderCheck, s.package.holders() > 0);
    return;
  }
  FreeImageBuffers();
  if (!s.optionsDlg.Checked(kOnlyUpgradeBootloaderCheck)) return;
  OnBnClickedCleanLog();
  s.PackageSubdir.clear();
  if (!PrepareUsbHwsettingBuffer(0)) {
    PrintLog("please check if the ddr type is selected?\r\n");
    FreeImageBuffers();
    return;
  }
  if (ReadBootloaderTarFile(1)) return;
  ReportResult(0, 0, "read bootloader.tar file failed!!");
  FreeImageBuffers();
}

void BindOptionsButtons() {
  ui::Dialog& options = state().optionsDlg;
  options.OnClick(kOkButton, OnBnClickedOk);
  options.OnClick(kCleanLogButton, OnBnClickedCleanLog);
  options.OnClick(kBurnFactoryCheck, OnBnClickedBurnFactory);
  options.OnClick(kNasEnableCheck, OnBnClickedNasEnable);
  options.OnClick(kOnlyUpgradeBootloaderCheck, OnBnClickedOnlyUpgradeBootloader);
  BindSingleModeButtons();
}

}  // namespace station

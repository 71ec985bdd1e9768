#include "station/main_dialog.h"

#include <cmath>
#include <string>

#include "foundation/file_utils.h"
#include "foundation/image_buffers.h"
#include "foundation/log_boxes.h"
#include "foundation/slot_display.h"
#include "package/settings_files.h"
#include "package/type_lists.h"
#include "platform/clock.h"
#include "platform/ui.h"
#include "station/main_buttons.h"
#include "station/options_dialog.h"
#include "station/slot_buttons.h"
#include "station/slot_jobs.h"
#include "usblink/usb_device.h"

namespace station {

namespace {

constexpr int kNasEnableCheck = 1194;
constexpr int kSingleModeCheck = 1069;
constexpr int64_t kLayoutSettleMs = 50;
constexpr int kGeometryEdits[] = {1020, 1021, 1022, 1023, 1024, 1025, 1029, 1030, 1031, 1032};

bool IsSlotButton(int id) { return id >= SlotButtonId(0) && id <= SlotButtonId(kSlotCount - 1); }

// Stops a worker thread and waits for it (a thread that is not joinable is no thread).
void StopAndJoin(std::jthread& t) {
  t.request_stop();
  if (t.joinable()) t.join();
}

}  // namespace

std::string StationTitle() {
  std::string title = kVersionBanner;
  if (state().optionsDlg.Checked(kNasEnableCheck)) title += kNasTitleSuffix;
  return title;
}

bool MainDialog::OnInitDialog() {
  StationState& s = state();
  s.optionsDlg.Show(false);
  LoadIniSettings(1);
  switch (CreateMutexes()) {
    case MutexStart::Taken:
      return false;
    case MutexStart::Refused:
      GiveUp(kStartRefusedExitCode);
      return true;
    case MutexStart::Ok:
      break;
  }
  ArrangeOptionsDialog(false);
  SetUpSlots();
  s.optionsDlg.SetTextLimit(kMainLogControlId, 0);
  s.optionsDlg.SetReadOnly(kMainLogControlId, true);
  BindSlotButtons();
  BindMainButtons();
  BindOptionsButtons();
  s.mainDlg.OnSize([this](int type, int cx, int cy) { OnSize(type, cx, cy); });
  s.mainDlg.OnSysCommand([this](unsigned id) { OnSysCommand(id); });
  started_ = true;

  // The boards present now are bound before the timers run; too many of them end start-up.
  if (binder_.Start() == StartupBinding::TooManyDevices) {
    GiveUp();
    return true;
  }
  StartTimers();
  for (int id : kGeometryEdits) s.optionsDlg.SetEnabled(id, false);
  SetTitle();
  ToggleSimpleLayout();
  if (!FillTypeCombos()) {
    GiveUp();
    return true;
  }
  CreateMultiDir(GetTempDir() + "/mvx_tool" + "/");
  TakeFirstLayout();
  return true;
}

// A second station on this machine finds the names taken and stops here. A name that cannot
// be made (the runtime folder is not the station's own, a lock file fails) would leave the
// jobs without their locks and a second station free to start: the operator is told why.
MainDialog::MutexStart MainDialog::CreateMutexes() {
  StationState& s = state();
  for (plat::NamedMutex* m : {&s.MutexFactory, &s.MutexGoDdr, &s.MutexEnum}) {
    const char* name = m == &s.MutexFactory ? kMutexFactoryName : m == &s.MutexGoDdr ? kMutexGoDdrName : kMutexEnumName;
    std::string why;
    switch (m->Create(name, &why)) {
      case plat::NamedMutex::Created::Ok:
        break;
      case plat::NamedMutex::Created::AlreadyExists:
        return MutexStart::Taken;
      case plat::NamedMutex::Created::Failed: {
        const std::string text =
            "the station's runtime folder " + plat::RuntimeDir() + " cannot be used: " + why + "; the station does not start";
        PrintLog("%s\r\n", text.c_str());
        ui::MessageBox(text, "ERROR", ui::MB_OK | ui::MB_ICONERROR);
        return MutexStart::Refused;
      }
    }
  }
  return MutexStart::Ok;
}

void MainDialog::SetUpSlots() {
  StationState& s = state();
  ui::Dialog& d = s.mainDlg;
  for (int i = 0; i < kSlotCount; ++i) {
    d.SetTextLimit(DeviceLogControlId(i), 0);
    s.HwsettingPending[i] = 1;
    s.SlotResult[i] = 0;
    s.SlotKteeKey[i] = {};
    SetSlotState(i, kSlotInitial, 0);
    d.SetFont(SlotNumberId(i), kLargeFont);
    d.SetFont(SlotPercentId(i), kLargeFont);
    d.SetFont(SlotMacId(i), kSmallFont);
    d.SetFont(SlotSnId(i), kSmallFont);
    SetSlotMacText(i, "");
    SetSlotSnText(i, "");
    SetSlotDevicePath(i, "");
    SetRememberedPath(i, "");
  }
  for (int id : {1164, 1165, 1166, 1167, kFlashTypeList, kDdrTypeList, kNandModelList}) d.SetFont(id, kSmallFont);
  for (int id : {1110, 1111, 1113}) d.SetFont(id, kLargeFont);
}

void MainDialog::StartTimers() {
  StationState& s = state();
  s.mainDlg.SetTimer(kPercentTimer, 1000, [this] { OnTimer(kPercentTimer); });
  s.splash.Create();
  s.mainDlg.SetTimer(kSplashTimer, 300, [this] { OnTimer(kSplashTimer); });
}

void MainDialog::SetTitle() { state().mainDlg.SetTitle(StationTitle()); }

// The controls are scaled against the client rectangle taken here, in the window's normal
// size; then the window is maximised.
void MainDialog::TakeFirstLayout() {
  StationState& s = state();
  ui::Dialog& d = s.mainDlg;
  s.SavedClientRect = d.WindowRect();
  s.LayoutReady = true;
  d.SetShowState(ui::ShowState::Minimized);
  plat::clock().SleepMs(kLayoutSettleMs);
  d.SetShowState(ui::ShowState::Normal);
  plat::clock().SleepMs(kLayoutSettleMs);
  s.SavedClientRect = d.WindowRect();
  d.SetShowState(ui::ShowState::Maximized);
}

void MainDialog::GiveUp(int exitCode) {
  OnDestroy();
  ui::RequestQuit(exitCode);
}

void MainDialog::OnTimer(int id) {
  StationState& s = state();
  if (id == kPercentTimer) {
    if (s.optionsDlg.Checked(kSingleModeCheck)) return;
    for (int i = 0; i < kSlotCount; ++i)
      if (LoadHandle(s.slots[i].DeviceHandle) != kInvalidHandle) ShowProgressPercent(i, 1);
  } else if (id == kSplashTimer) {
    s.splash.Redraw();
  }
}

void MainDialog::OnSize(int type, int cx, int cy) {
  StationState& s = state();
  if (!s.LayoutReady || destroyed_) return;
  if (type == 1) {
    s.Minimised = true;
    return;
  }
  if (type != 0 && type != 2) return;
  // Back from minimised the lists keep their heights; the controls are scaled against the
  // size the window had before it was minimised, in every case.
  if (s.Minimised)
    s.Minimised = false;
  else
    SetListHeights();
  for (int id : s.mainDlg.Ids()) ResizeChild(id, cx, cy);
  s.SavedClientRect = ui::Rect{0, 0, cx, cy};
}

// Each type list reaches down 40 pixels per entry of the flash type list, before it is scaled
// with the other controls.
void MainDialog::SetListHeights() {
  ui::Dialog& d = state().mainDlg;
  const int entries = static_cast<int>(d.Items(kFlashTypeList).size());
  for (int id : {kFlashTypeList, kNandModelList, kDdrTypeList}) {
    ui::Rect r = d.GetRect(id);
    r.h = kListEntryHeight * entries;
    d.SetRect(id, r);
  }
}

// Scales a control against the client rectangle taken at the last resize; a slot button keeps
// its picture's size.
void MainDialog::ResizeChild(int id, int cx, int cy) {
  StationState& s = state();
  const ui::Rect base = s.SavedClientRect;
  if (base.w <= 0 || base.h <= 0) return;
  const float sx = static_cast<float>(cx) / static_cast<float>(base.w);
  const float sy = static_cast<float>(cy) / static_cast<float>(base.h);
  const ui::Rect r = s.mainDlg.GetRect(id);
  const int left = static_cast<int>(r.x * sx), right = static_cast<int>((r.x + r.w) * sx);
  const int top = static_cast<int>(r.y * sy), bottom = static_cast<int>((r.y + r.h) * sy);
  ui::Rect moved{left, top, right - left, bottom - top};
  if (IsSlotButton(id)) {
    moved.w = r.w;
    moved.h = r.h;
  }
  s.mainDlg.SetRect(id, moved);
}

void MainDialog::OnSysCommand(unsigned id) {
  if ((id & 0xFFF0) == kAboutCommand)
    ui::MessageBox(std::string(kVersionBanner) + "\r\nCopyright (C) 2026", "About", ui::MB_OK | ui::MB_ICONINFORMATION);
}

void MainDialog::OnDestroy() {
  if (destroyed_.exchange(true)) return;
  StationState& s = state();
  // Every thread first, while all it uses is still there.
  binder_.Stop();
  StopAllSlotJobs();
  StopAndJoin(s.ReloadThreadHandle);
  StopAndJoin(s.OpenThreadHandle);
  StopAndJoin(s.KeyHeaderThreadHandle);
  // Then the timers.
  s.mainDlg.KillTimer(kPercentTimer);
  s.mainDlg.KillTimer(kSplashTimer);
  // Then what they used.
  for (int i = 0; i < kSlotCount; ++i) {
    DeviceSlot& dev = s.slots[i];
    if (dev.DeviceHandle != kInvalidHandle) CloseDevice(dev.DeviceHandle);
    std::lock_guard g(dev.lock);
    std::vector<int64_t>().swap(dev.PartRemaining);
    s.SlotKteeKey[i] = {};
  }
  FreeImageBuffers();
  CloseNamedMutexes(s);
  s.splash.Destroy();
  s.optionsDlg.Show(false);
}

}  // namespace station

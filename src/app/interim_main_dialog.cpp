#include "app/interim_main_dialog.h"

#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "station/slot_jobs.h"

namespace station {

bool MainDialog::OnInitDialog() {
  StationState& s = state();
  s.optionsDlg.Show(false);
  if (!CreateNamedMutexes(s)) return false;
  started_ = true;
  for (int i = 0; i < kSlotCount; ++i) {
    SetSlotState(i, kSlotInitial, 0);
    s.mainDlg.SetFont(SlotNumberId(i), kLargeFont);
    s.mainDlg.SetFont(SlotPercentId(i), kLargeFont);
    s.mainDlg.SetFont(SlotMacId(i), kSmallFont);
    s.mainDlg.SetFont(SlotSnId(i), kSmallFont);
  }
  s.mainDlg.SetTimer(1, 1000, [] {
    for (int i = 0; i < kSlotCount; ++i)
      if (state().slots[i].DeviceHandle != kInvalidHandle) ShowProgressPercent(i, 1);
  });
  s.splash.Create();
  s.mainDlg.SetTimer(2, 300, [] { state().splash.Redraw(); });
  s.mainDlg.SetTitle("flashing station");
  s.mainDlg.SetShowState(ui::ShowState::Maximized);
  return true;
}

void MainDialog::OnDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  StationState& s = state();
  StopAllSlotJobs();
  s.mainDlg.KillTimer(1);
  s.mainDlg.KillTimer(2);
  s.splash.Destroy();
  if (started_) CloseNamedMutexes(s);
}

}  // namespace station

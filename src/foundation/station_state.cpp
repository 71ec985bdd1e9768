#include "foundation/station_state.h"

#include "foundation/dialog_templates.h"
#include "foundation/log_boxes.h"

namespace station {

namespace {
std::atomic<StationState*> g_state{nullptr};

void PointLogsAt(StationState* s) {
  SetMainLogTarget(s ? &s->optionsDlg : nullptr, kMainLogControlId);
  for (int i = 0; i < kSlotCount; ++i) SetDeviceLogTarget(i, s ? &s->mainDlg : nullptr, DeviceLogControlId(i));
}
}  // namespace

StationState::StationState() {
  BuildMainDialog(mainDlg);
  BuildOptionsDialog(optionsDlg);
  BuildProgressDialog(progressDlg);
  BuildSplashDialog(splashDlg);
  for (auto& p : HwsettingPending) p = 1;
}

StationState::~StationState() = default;

StationState& state() {
  StationState* s = g_state.load();
  if (!s) {
    static StationState fallback;  // a process that never installed one
    g_state.compare_exchange_strong(s, &fallback);
    s = g_state.load();
  }
  return *s;
}

void SetState(StationState* s) {
  g_state.store(s);
  PointLogsAt(s);
}

ScopedStation::ScopedStation() : state_(std::make_unique<StationState>()), previous_(g_state.load()) {
  SetState(state_.get());
}

ScopedStation::~ScopedStation() { SetState(previous_); }

}  // namespace station

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

namespace {
template <class F>
auto WithSlot(int slot, F&& f) {
  StationState& s = state();
  std::lock_guard g(s.slots[static_cast<size_t>(slot)].lock);
  return f(s);
}
bool Valid(int slot) { return slot >= 0 && slot < kSlotCount; }
}  // namespace

bool CreateNamedMutexes(StationState& s) {
  return s.MutexFactory.Create(kMutexFactoryName) == plat::NamedMutex::Created::Ok &&
         s.MutexGoDdr.Create(kMutexGoDdrName) == plat::NamedMutex::Created::Ok &&
         s.MutexEnum.Create(kMutexEnumName) == plat::NamedMutex::Created::Ok;
}

void CloseNamedMutexes(StationState& s) {
  s.MutexFactory.Close();
  s.MutexGoDdr.Close();
  s.MutexEnum.Close();
}

std::string RememberedPath(int slot) {
  if (!Valid(slot)) return {};
  StationState& s = state();
  std::lock_guard g(s.rememberedLock);
  return s.rememberedPaths[slot];
}
void SetRememberedPath(int slot, const std::string& path) {
  if (!Valid(slot)) return;
  StationState& s = state();
  std::lock_guard g(s.rememberedLock);
  s.rememberedPaths[slot] = path;
}

std::string SlotDevicePath(int slot) {
  return Valid(slot) ? WithSlot(slot, [&](StationState& s) { return s.slots[slot].DevicePath; }) : std::string();
}
void SetSlotDevicePath(int slot, const std::string& path) {
  if (Valid(slot)) WithSlot(slot, [&](StationState& s) { s.slots[slot].DevicePath = path; });
}
std::string SlotMacText(int slot) {
  return Valid(slot) ? WithSlot(slot, [&](StationState& s) { return s.MacTable[slot]; }) : std::string();
}
void SetSlotMacText(int slot, const std::string& text) {
  if (Valid(slot)) WithSlot(slot, [&](StationState& s) { s.MacTable[slot] = text; });
}
std::string SlotSnText(int slot) {
  return Valid(slot) ? WithSlot(slot, [&](StationState& s) { return s.SnTable[slot]; }) : std::string();
}
void SetSlotSnText(int slot, const std::string& text) {
  if (Valid(slot)) WithSlot(slot, [&](StationState& s) { s.SnTable[slot] = text; });
}
std::string SlotStorageText(int slot) {
  return Valid(slot) ? WithSlot(slot, [&](StationState& s) { return s.StorageTable[slot]; }) : std::string();
}
void SetSlotStorageText(int slot, const std::string& text) {
  if (Valid(slot)) WithSlot(slot, [&](StationState& s) { s.StorageTable[slot] = text; });
}

ScopedStation::ScopedStation() : state_(std::make_unique<StationState>()), previous_(g_state.load()) {
  SetState(state_.get());
}

// The state's worker threads are joined first, while they still find their own state.
ScopedStation::~ScopedStation() {
  state_.reset();
  SetState(previous_);
}

}  // namespace station

#include "station/device_binding.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <set>
#include <vector>

#include "foundation/log_boxes.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "platform/clock.h"
#include "platform/device_nodes.h"
#include "platform/ui.h"
#include "station/slot_buttons.h"
#include "station/slot_jobs.h"
#include "usblink/usb_device.h"

namespace station {

namespace {

// The form of a path that bindings compare: lower case throughout.
std::string PathKey(const std::string& path) {
  std::string key = path;
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return key;
}

int ConnectionLimit() { return std::atoi(state().optionsDlg.Text(kMaxUsbConnectionEdit).c_str()); }

// A path longer than the station binds, or one the device layer can never open, is refused
// with a main-log line.
bool RefusedAsTooLong(const std::string& path) {
  if (path.size() <= kLongestDevicePath && UsbDevicePathUsable(path)) return false;
  PrintLog("device path too long : %s\r\n", path.c_str());
  return true;
}

int BoundSlotOf(const std::string& key) {
  if (key.empty()) return kNoSlot;
  for (int i = 0; i < kSlotCount; ++i)
    if (PathKey(SlotDevicePath(i)) == key) return i;
  return kNoSlot;
}

// The slot of the first remembered entry that is this path or empty, whichever comes first.
int ChooseSlot(const std::string& key) {
  for (int i = 0; i < kSlotCount; ++i) {
    const std::string remembered = RememberedPath(i);
    if (remembered.empty() || PathKey(remembered) == key) return i;
  }
  return kNoSlot;
}

// How many distinct paths are remembered: the used entries form a prefix.
int RememberedCount() {
  int n = 0;
  while (n < kSlotCount && !RememberedPath(n).empty()) ++n;
  return n;
}

int RefuseBinding() {
  state().splash.HideSplash();
  ui::MessageBox("please remount usb device!", "WARNING", ui::MB_OK | ui::MB_ICONWARNING);
  return kNoSlot;
}

// The boards present now that the station can bind, in listing order.
std::vector<std::string> PresentDevices() {
  std::vector<std::string> listed, present;
  plat::ListDevices(kUsbClassGuid, listed);
  for (const std::string& p : listed)
    if (!RefusedAsTooLong(p)) present.push_back(p);
  return present;
}

void ShowBinding(int slot) {
  if (slot == kNoSlot) return;
  if (!SlotDevicePath(slot).empty()) {
    SetSlotState(slot, kSlotConnected, 0);
    return;
  }
  SetSlotState(slot, kSlotRemoved, 0);
  StationState& s = state();
  s.slots[slot].Busy = 0;
  s.mainDlg.SetText(SlotPercentId(slot), "0");
  s.mainDlg.SetFont(SlotPercentId(slot), kLargeFont);
}

// One arrival or removal with its display and auto burn; the caller holds "MY_MUTEX_ENUM".
int ApplyDeviceEvent(const DeviceEvent& event) {
  StationState& s = state();
  s.splash.ShowSplash();
  const int slot = event.kind == DeviceEvent::Arrival ? BindArrivedDevice(event.path) : UnbindRemovedDevice(event.path);
  ShowBinding(slot);
  s.splash.HideSplash();
  if (slot != kNoSlot && s.optionsDlg.Checked(kAutoBurnCheck)) AutoWrite(slot);
  return slot;
}

// After lost events: what is bound and gone is removed, what is present and unbound arrives.
void ApplyPresentDevices() {
  std::vector<std::string> listed;
  if (!plat::ListDevices(kUsbClassGuid, listed)) return;
  std::set<std::string> present;
  for (const std::string& p : listed) present.insert(PathKey(p));
  for (int i = 0; i < kSlotCount; ++i) {
    const std::string path = SlotDevicePath(i);
    if (!path.empty() && !present.count(PathKey(path))) ApplyDeviceEvent({DeviceEvent::Removal, path});
  }
  for (const std::string& p : listed)
    if (BoundSlotOf(PathKey(p)) == kNoSlot) ApplyDeviceEvent({DeviceEvent::Arrival, p});
}

// Holds "MY_MUTEX_ENUM" for a scope. A mutex that was never created is not waited for (the
// binder's one thread keeps bindings apart anyway); a wait that was stopped holds nothing.
class EnumHold {
 public:
  EnumHold() {
    if (state().MutexEnum.open()) lock_.emplace(state().MutexEnum);
  }
  bool held() const { return !lock_ || lock_->locked(); }

 private:
  std::optional<plat::NamedMutexLock> lock_;
};

}  // namespace

int BindArrivedDevice(const std::string& path) {
  if (RefusedAsTooLong(path)) return kNoSlot;
  const std::string key = PathKey(path);
  if (key.empty() || BoundSlotOf(key) != kNoSlot) return kNoSlot;
  const int slot = ChooseSlot(key);
  if (slot == kNoSlot) return RefuseBinding();
  const bool isNew = RememberedPath(slot).empty();
  if (isNew) SetRememberedPath(slot, path);
  if (RememberedCount() > ConnectionLimit()) {
    if (isNew) SetRememberedPath(slot, "");
    return RefuseBinding();
  }
  SetSlotDevicePath(slot, path);
  return slot;
}

int UnbindRemovedDevice(const std::string& path) {
  const int slot = BoundSlotOf(PathKey(path));
  if (slot == kNoSlot) return kNoSlot;
  if (!EndSlotJobOfRemovedBoard(slot, kRemovedJobEndMs))
    PrintLog("device removed , thread [%d] still running\r\n", slot);
  SetSlotDevicePath(slot, "");
  return slot;
}

StartupBinding EnumerateAndBind() {
  EnumHold hold;
  if (!hold.held()) return StartupBinding::NoDevices;
  for (int i = 0; i < kSlotCount; ++i) SetSlotDevicePath(i, "");
  const std::vector<std::string> present = PresentDevices();
  if (static_cast<int>(present.size()) > ConnectionLimit()) {
    ui::MessageBox("please check usb device connection count! exceeded the number!", "ERROR", ui::MB_OK | ui::MB_ICONWARNING);
    return StartupBinding::TooManyDevices;
  }
  const size_t bound = std::min(present.size(), static_cast<size_t>(kSlotCount));
  for (size_t i = 0; i < bound; ++i) {
    SetSlotDevicePath(static_cast<int>(i), present[i]);
    SetRememberedPath(static_cast<int>(i), present[i]);
  }
  if (present.size() > bound) RefuseBinding();
  return bound ? StartupBinding::Devices : StartupBinding::NoDevices;
}

int HandleDeviceEvent(const DeviceEvent& event) {
  EnumHold hold;
  if (!hold.held()) return kNoSlot;
  if (event.kind != DeviceEvent::Overflow) return ApplyDeviceEvent(event);
  ApplyPresentDevices();
  return kNoSlot;
}

void AutoWrite(int slot) {
  if (slot < 0 || slot >= kSlotCount) return;
  const std::string path = SlotDevicePath(slot);
  PrintDeviceLog(slot, "AutoWrite strDevLen[%d]: %d\r\n", slot, static_cast<int>(path.size()));
  PrintDeviceLog(slot, "AutoWrite device path [%d]: %sr\n", slot, path.c_str());
  if (state().optionsDlg.Checked(kAutoBurnCheck) && !path.empty()) OnSlotButton(slot);
}

StartupBinding DeviceBinder::Start() {
  if (Running() || Watching()) return StartupBinding::NoDevices;
  BindUsbBoards();
  const bool watching = watcher_.StartClass(
      kUsbClassGuid, [this](const std::string& p) { Post({DeviceEvent::Arrival, p}); },
      [this](const std::string& p) { Post({DeviceEvent::Removal, p}); }, [this] { Post({DeviceEvent::Overflow, {}}); });
  watching_ = watching;
  if (!watching) PrintLog("Device Change Registeration FAILED!! \r\n");
  const StartupBinding found = EnumerateAndBind();
  if (found == StartupBinding::TooManyDevices) {
    Stop();
    return found;
  }
  for (int i = 0; i < kSlotCount; ++i)
    if (!SlotDevicePath(i).empty()) SetSlotState(i, kSlotConnected, 0);
  thread_ = std::jthread([this](std::stop_token stop) { Serve(stop); });
  return found;
}

void DeviceBinder::Stop() {
  watcher_.Stop();
  watching_ = false;
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
  std::lock_guard g(m_);
  queue_.clear();
}

void DeviceBinder::Post(DeviceEvent event) {
  {
    std::lock_guard g(m_);
    queue_.push_back(std::move(event));
  }
  cv_.notify_one();
}

size_t DeviceBinder::Pending() const {
  std::lock_guard g(m_);
  return queue_.size();
}

bool DeviceBinder::Idle() const {
  std::lock_guard g(m_);
  return queue_.empty() && !handling_;
}

void DeviceBinder::Serve(std::stop_token stop) {
  plat::ScopedStopToken current(stop);
  DeviceEvent event;
  while (Next(stop, event)) {
    HandleDeviceEvent(event);
    Done();
  }
}

bool DeviceBinder::Next(std::stop_token stop, DeviceEvent& event) {
  std::unique_lock l(m_);
  if (!cv_.wait(l, stop, [&] { return !queue_.empty(); }) || stop.stop_requested()) return false;
  event = std::move(queue_.front());
  queue_.pop_front();
  handling_ = true;
  return true;
}

void DeviceBinder::Done() {
  std::lock_guard g(m_);
  handling_ = false;
}

}  // namespace station

#pragma once
// Binding boards to the twelve slots. A board is known only by its device path. The boards
// present at start-up are bound from an enumeration; afterwards the device watcher's arrivals
// and removals go into one queue that the binder's thread serves in order, one event at a time
// under "MY_MUTEX_ENUM". A board that comes back on the same path gets its old slot again: the
// station remembers which path used which slot. The options dialog's "max usb connection :"
// caps how many distinct paths are remembered. With "auto burn" checked, a newly bound board
// starts its job at once.
//
// Paths are compared in lower case, the same way for enumerated and notified paths, and
// stored as they came, for opening.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "platform/devices.h"

namespace station {

constexpr int kAutoBurnCheck = 1132;          // options dialog: "auto burn"
constexpr int kMaxUsbConnectionEdit = 1143;   // options dialog: "max usb connection :"
constexpr int kNoSlot = 255;
// Longest device path the station binds; a longer one is refused with a main-log line, and so
// is a board's node whose path does not fit a socket address.
constexpr size_t kLongestDevicePath = 258;
// How long (real time) the removal of a board waits for the slot's job to end before the slot
// is freed.
constexpr int64_t kRemovedJobEndMs = 30000;

struct DeviceEvent {
  enum Kind { Arrival, Removal, Overflow };  // Overflow: events were lost, the path is empty
  Kind kind = Arrival;
  std::string path;
};

// The binding rules. Each runs on the caller's thread; the binder's thread calls them under
// "MY_MUTEX_ENUM", so that each reads the remembered paths and writes them in one piece.

// Binds an arrived board: the slot it was bound to, or kNoSlot when it was already bound (then
// nothing changes), when its path is too long, or when it is refused because there are more
// distinct boards than allowed or no slot is left ("please remount usb device!"). A refused
// board holds no slot and is not remembered.
int BindArrivedDevice(const std::string& path);

// Unbinds a removed board: the slot it held, or kNoSlot when it held none. A job still running
// on the slot is told that its board has gone and ends with the code of the exchange it can no
// longer have; the slot is freed once that job has ended (it closes its own device), so that
// nothing it does at its end reaches a board bound to the slot afterwards.
int UnbindRemovedDevice(const std::string& path);

enum class StartupBinding { NoDevices, Devices, TooManyDevices };

// The start-up enumeration: every slot is emptied, then the present boards are bound to slots
// 0, 1, ... in listing order and remembered there. More boards than allowed bind none of them,
// show "please check usb device connection count! exceeded the number!" and give
// TooManyDevices: start-up must stop.
StartupBinding EnumerateAndBind();

// Handles one event as the binder's thread does: under "MY_MUTEX_ENUM" (when it was created),
// with the splash window shown while binding, the slot shown as connected or removed, and
// auto burn for the slot. An overflow lists the present boards afresh: it unbinds the slots of
// boards that are gone and binds the boards that are new. The slot the event bound or freed,
// kNoSlot when none (always for an overflow).
int HandleDeviceEvent(const DeviceEvent& event);

// Starts the slot's job as if its button had been clicked, when "auto burn" is checked and the
// slot is bound.
void AutoWrite(int slot);

// The binder: the device watcher on the boards' class (its folder, and the boards on the USB bus
// that the binding file in the station folder lists), the event queue and the one thread that
// serves it.
class DeviceBinder {
 public:
  DeviceBinder() = default;
  ~DeviceBinder() { Stop(); }
  DeviceBinder(const DeviceBinder&) = delete;
  DeviceBinder& operator=(const DeviceBinder&) = delete;

  // Starts watching first and enumerates then, so that a board arriving in between is bound
  // once (its queued arrival finds it bound); shows the bound slots as connected and starts
  // the binder's thread. With TooManyDevices nothing is left running and start-up must stop.
  // A watch that cannot be set up is logged; the enumeration still binds what is present.
  // A binder that runs already is left as it is (NoDevices).
  StartupBinding Start();
  // Stops the watcher and the binder's thread and waits for both; events still queued are
  // dropped. An event being handled finishes first (a message box it shows is answered first).
  void Stop();

  // Queues an event for the binder's thread (the watcher's callbacks use it).
  void Post(DeviceEvent event);

  // Whether the watcher runs (from any thread), and whether the binder's thread runs (from the
  // thread that starts and stops the binder).
  bool Watching() const { return watching_.load(); }
  bool Running() const { return thread_.joinable(); }
  // Events queued and not yet taken by the binder's thread.
  size_t Pending() const;
  // True when no event is queued or being handled.
  bool Idle() const;

 private:
  void Serve(std::stop_token stop);
  bool Next(std::stop_token stop, DeviceEvent& event);
  void Done();

  plat::DeviceWatcher watcher_;
  mutable std::mutex m_;
  std::condition_variable_any cv_;
  std::deque<DeviceEvent> queue_;
  bool handling_ = false;
  std::atomic<bool> watching_{false};
  std::jthread thread_;
};

}  // namespace station

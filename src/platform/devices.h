#pragma once
// Boards of one device-interface class: each present board is a node in the class folder (see
// device_nodes.h), or a board on the USB bus that the class's binding lists (see usb_bus.h).
// Listing the folder and the bus is the enumeration; an inotify watcher on the folder and
// libusb's hot-plug events on the bus report boards arriving and leaving.
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/usb_bus.h"

namespace plat {

// Creates the folder (and its parents) when it is missing; true when it exists afterwards.
bool EnsureClassFolder(const std::string& folder);

// The nodes of a class folder, as full paths, sorted so that the order is stable. Names that
// start with '.' are nodes still being published and are left out. The folder is created when
// it does not exist; false when it cannot be made or read.
bool ListClassFolder(const std::string& folder, std::vector<std::string>& paths);

// The class folder of `guid` under the device root, as above, followed by the class's bound
// boards on the USB bus ("usb:" paths, sorted). False only when the folder cannot be made or read.
bool ListDevices(std::string_view guid, std::vector<std::string>& paths);

// Connects to a board's node; the connected socket, or -1 when the node is missing or refuses.
int ConnectNode(const std::string& path);
// Whether a node path fits a socket address at all; a longer one can never be connected to.
bool NodePathFits(std::string_view path);

// Watches a class folder. A board arrives when its node is created or renamed into place, and
// leaves when its node is unlinked or renamed away. The callbacks run on the watcher's own
// thread with the node's full path. When the kernel's event queue overflowed, events were lost:
// the overflow callback says so, and only a fresh listing tells what is present now.
class DeviceWatcher {
 public:
  using Callback = std::function<void(const std::string& path)>;
  using OverflowCallback = std::function<void()>;

  DeviceWatcher() = default;
  ~DeviceWatcher() { Stop(); }
  DeviceWatcher(const DeviceWatcher&) = delete;
  DeviceWatcher& operator=(const DeviceWatcher&) = delete;

  // Starts watching `folder` (created when missing). False when the watch cannot be set up or
  // a watch already runs. Events that happen after Start returns are reported.
  bool Start(const std::string& folder, Callback onArrival, Callback onRemoval, OverflowCallback onOverflow = nullptr);
  // Watches the boards of the class `guid`: its class folder as Start does, and its bound boards
  // on the USB bus, whose arrivals and removals come through the same callbacks on the same
  // thread. A class without boards on the bus is watched in its folder alone. False when the
  // folder cannot be watched.
  bool StartClass(std::string_view guid, Callback onArrival, Callback onRemoval, OverflowCallback onOverflow = nullptr);
  // Whether the bus is watched too.
  bool watchingBus() const { return bus_.running(); }
  // Stops the thread and waits for it; a callback in progress finishes first.
  void Stop();
  bool running() const { return thread_.joinable(); }

 private:
  void Run(std::stop_token stop);

  std::string folder_;
  Callback onArrival_, onRemoval_;
  OverflowCallback onOverflow_;
  int inotifyFd_ = -1;
  int wakeFd_ = -1;
  UsbBusWatch bus_;
  std::jthread thread_;
};

}  // namespace plat

#pragma once
// Boards of one device-interface class: each present board is a node in the class folder (see
// device_nodes.h). Listing the folder is the enumeration; an inotify watcher on it reports
// boards arriving and leaving.
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace plat {

// Creates the folder (and its parents) when it is missing; true when it exists afterwards.
bool EnsureClassFolder(const std::string& folder);

// The nodes of a class folder, as full paths, sorted so that the order is stable. Names that
// start with '.' are nodes still being published and are left out. The folder is created when
// it does not exist; false when it cannot be made or read.
bool ListClassFolder(const std::string& folder, std::vector<std::string>& paths);

// The same for the class folder of `guid` under the device root.
bool ListDevices(std::string_view guid, std::vector<std::string>& paths);

// Connects to a board's node; the connected socket, or -1 when the node is missing or refuses.
int ConnectNode(const std::string& path);

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
  std::jthread thread_;
};

}  // namespace plat

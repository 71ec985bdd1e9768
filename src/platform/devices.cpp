#include "platform/devices.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/device_nodes.h"

namespace plat {

namespace fs = std::filesystem;

bool EnsureClassFolder(const std::string& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  return fs::is_directory(folder, ec);
}

bool ListClassFolder(const std::string& folder, std::vector<std::string>& paths) {
  paths.clear();
  if (!EnsureClassFolder(folder)) return false;
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return false;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return false;
    std::string name = it->path().filename().string();
    if (name.empty() || name[0] == '.') continue;
    paths.push_back(it->path().string());
  }
  std::sort(paths.begin(), paths.end());
  return true;
}

bool ListDevices(std::string_view guid, std::vector<std::string>& paths) {
  if (!ListClassFolder(ClassFolder(guid), paths)) return false;
  for (std::string& p : ListUsbBoards(guid)) paths.push_back(std::move(p));
  return true;
}

bool NodePathFits(std::string_view path) { return !path.empty() && path.size() < sizeof(sockaddr_un::sun_path); }

int ConnectNode(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (!NodePathFits(path)) return -1;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  for (;;) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (errno == EINTR) continue;
    close(fd);
    return -1;
  }
}

bool DeviceWatcher::Start(const std::string& folder, Callback onArrival, Callback onRemoval, OverflowCallback onOverflow) {
  if (thread_.joinable()) return false;
  if (!EnsureClassFolder(folder)) return false;
  int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (in < 0) return false;
  if (inotify_add_watch(in, folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM) < 0) {
    close(in);
    return false;
  }
  int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0) {
    close(in);
    return false;
  }
  folder_ = folder;
  while (folder_.size() > 1 && folder_.back() == '/') folder_.pop_back();
  onArrival_ = std::move(onArrival);
  onRemoval_ = std::move(onRemoval);
  onOverflow_ = std::move(onOverflow);
  inotifyFd_ = in;
  wakeFd_ = wake;
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
  return true;
}

bool DeviceWatcher::StartClass(std::string_view guid, Callback onArrival, Callback onRemoval,
                               OverflowCallback onOverflow) {
  if (thread_.joinable()) return false;
  // The bus first, so that the thread polls it from its first look on.
  bus_.Start(guid);
  if (Start(ClassFolder(guid), std::move(onArrival), std::move(onRemoval), std::move(onOverflow))) return true;
  bus_.Stop();
  return false;
}

void DeviceWatcher::Stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    uint64_t one = 1;
    [[maybe_unused]] ssize_t w = write(wakeFd_, &one, sizeof one);
    thread_.join();
  }
  bus_.Stop();
  if (inotifyFd_ >= 0) close(inotifyFd_);
  if (wakeFd_ >= 0) close(wakeFd_);
  inotifyFd_ = wakeFd_ = -1;
}

void DeviceWatcher::Run(std::stop_token stop) {
  alignas(inotify_event) char buffer[16 * 1024];
  while (!stop.stop_requested()) {
    pollfd fds[3] = {{inotifyFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}, {bus_.fd(), POLLIN, 0}};
    int r = poll(fds, bus_.fd() >= 0 ? 3 : 2, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (stop.stop_requested() || (fds[1].revents & POLLIN)) return;
    if (fds[2].revents & POLLIN) {
      UsbBusWatch::Event e;
      while (bus_.Take(e)) {
        const Callback& report = e.arrived ? onArrival_ : onRemoval_;
        if (report) report(e.path);
      }
    }
    if (!(fds[0].revents & POLLIN)) continue;
    ssize_t n = read(inotifyFd_, buffer, sizeof buffer);
    if (n <= 0) continue;
    for (char* p = buffer; p < buffer + n;) {
      auto* ev = reinterpret_cast<inotify_event*>(p);
      p += sizeof(inotify_event) + ev->len;
      if (ev->mask & IN_Q_OVERFLOW) {
        if (onOverflow_) onOverflow_();
        continue;
      }
      if (ev->len == 0 || ev->name[0] == '\0' || ev->name[0] == '.') continue;  // hidden: still being published
      if (ev->mask & IN_ISDIR) continue;
      std::string path = folder_ + "/" + ev->name;
      if (ev->mask & (IN_CREATE | IN_MOVED_TO)) {
        if (onArrival_) onArrival_(path);
      } else if (ev->mask & (IN_DELETE | IN_MOVED_FROM)) {
        if (onRemoval_) onRemoval_(path);
      }
    }
  }
}

}  // namespace plat

#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace plat {

std::string RuntimeDir() {
  if (const char* d = std::getenv("STATION_RUNTIME_DIR"); d && *d) return d;
  if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x) return std::string(x) + "/flashstation";
  return "/tmp/flashstation-" + std::to_string(getuid());
}

NamedMutex::Created NamedMutex::Create(const std::string& name) {
  std::lock_guard g(m_);
  if (fd_ >= 0 || name.empty() || name.find('/') != std::string::npos) return Created::Failed;
  const std::string dir = RuntimeDir();
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  ::chmod(dir.c_str(), 0700);
  const std::string path = dir + "/" + name + ".lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Created::Failed;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
    if (errno == EINTR) continue;
    const bool taken = errno == EWOULDBLOCK;
    ::close(fd);
    return taken ? Created::AlreadyExists : Created::Failed;
  }
  fd_ = fd;
  held_ = false;
  return Created::Ok;
}

bool NamedMutex::open() const {
  std::lock_guard g(m_);
  return fd_ >= 0;
}

bool NamedMutex::Lock(std::stop_token stop) {
  std::unique_lock l(m_);
  if (fd_ < 0 || (held_ && owner_ == std::this_thread::get_id())) return false;
  if (!cv_.wait(l, stop, [&] { return !held_ || fd_ < 0; })) return false;
  if (fd_ < 0) return false;
  held_ = true;
  owner_ = std::this_thread::get_id();
  return true;
}

void NamedMutex::Unlock() {
  {
    std::lock_guard g(m_);
    if (!held_ || owner_ != std::this_thread::get_id()) return;
    held_ = false;
    owner_ = {};
  }
  cv_.notify_one();
}

bool NamedMutex::HeldByThisThread() const {
  std::lock_guard g(m_);
  return held_ && owner_ == std::this_thread::get_id();
}

bool NamedMutex::Held() const {
  std::lock_guard g(m_);
  return held_;
}

void NamedMutex::Close() {
  {
    std::lock_guard g(m_);
    if (fd_ < 0) return;
    ::close(fd_);  // the file lock goes with the descriptor
    fd_ = -1;
    held_ = false;
    owner_ = {};
  }
  cv_.notify_all();
}

}  // namespace plat

#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace plat {

std::string RuntimeDir() {
  if (const char* d = std::getenv("STATION_RUNTIME_DIR"); d && *d) return d;
  if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x) return std::string(x) + "/flashstation";
  return "/tmp/flashstation-" + std::to_string(getuid());
}

namespace {

std::string ErrorText(int error) { return std::strerror(error); }

// Why the folder open at `fd` is not this user's own, or nothing when it is.
std::string ForeignFolder(int fd) {
  struct stat st = {};
  if (::fstat(fd, &st) != 0) return "it cannot be examined: " + ErrorText(errno);
  if (!S_ISDIR(st.st_mode)) return "it is not a folder";
  if (st.st_uid != ::geteuid()) return "it belongs to user " + std::to_string(st.st_uid);
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return std::string("other users may use it (mode ") + mode + ")";
  }
  return {};
}

}  // namespace

int OpenRuntimeDir(const std::string& dir, std::string* why) {
  auto refuse = [&](const std::string& reason) {
    if (why) *why = reason;
    return -1;
  };
  // The folders above it are not the station's; only a missing one is made.
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(dir).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  const bool made = ::mkdir(dir.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) return refuse("it cannot be made: " + ErrorText(errno));
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    struct stat st = {};
    if (::lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return refuse("it is a link");
    if (error == ENOTDIR) return refuse("it is not a folder");
    return refuse("it cannot be opened: " + ErrorText(error));
  }
  // A folder made just now has the mode asked for, whatever the umask took away from it.
  if (made && ::fchmod(fd, 0700) != 0) {
    const int error = errno;
    ::close(fd);
    return refuse("its mode cannot be set: " + ErrorText(error));
  }
  if (std::string reason = ForeignFolder(fd); !reason.empty()) {
    ::close(fd);
    return refuse(reason);
  }
  return fd;
}

NamedMutex::Created NamedMutex::Create(const std::string& name, std::string* why) {
  auto fail = [&](const std::string& reason) {
    if (why) *why = reason;
    return Created::Failed;
  };
  std::lock_guard g(m_);
  if (fd_ >= 0) return fail("the mutex " + name + " is open already");
  if (name.empty() || name.find('/') != std::string::npos) return fail("the name \"" + name + "\" is no file name");
  // Only this user can write in the folder, so nobody else can take a lock file out of it,
  // put one of theirs in its place, or point the name elsewhere.
  const int dirFd = OpenRuntimeDir(RuntimeDir(), why);
  if (dirFd < 0) return Created::Failed;
  const std::string file = name + ".lock";
  const int fd = ::openat(dirFd, file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  const int openError = errno;
  ::close(dirFd);
  if (fd < 0) return fail("the lock file " + file + " cannot be made: " + ErrorText(openError));
  struct stat st = {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail("the lock file " + file + " is not a plain file");
  }
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
    if (errno == EINTR) continue;
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) return Created::AlreadyExists;
    return fail("the lock file " + file + " cannot be locked: " + ErrorText(error));
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

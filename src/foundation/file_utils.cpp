#include "foundation/file_utils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <new>
#include <optional>

#include "foundation/log_boxes.h"
#include "platform/clock.h"
#include "platform/ui.h"

namespace station {

namespace {

std::mutex g_appDirMutex;
std::string g_appDirOverride;

std::atomic<uint64_t> g_reservedTotal{0};

bool TooLong(const std::string& path) { return path.size() >= kMaxPathChars; }

// The path is there for the file system (the link itself counts, dangling or not).
bool PathPresent(const std::string& path) {
  struct stat st;
  return !TooLong(path) && ::lstat(path.c_str(), &st) == 0;
}

// Do `step`, wait, test; the wait grows by one step a round.
bool RetryUntil(const std::function<void()>& step, const std::function<bool()>& done) {
  for (int round = 1; round <= kRetryRounds; ++round) {
    step();
    plat::clock().SleepMs(kRetryStepMs * round);
    if (done()) return true;
  }
  return false;
}

bool WriteAll(int fd, const uint8_t* p, uint64_t n) {
  while (n > 0) {
    const size_t chunk = n > (1u << 30) ? (1u << 30) : static_cast<size_t>(n);
    const ssize_t w = ::write(fd, p, chunk);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<uint64_t>(w);
  }
  return true;
}

// Reads up to `n` bytes; returns how many arrived before the end of the file (or an error).
uint64_t ReadAll(int fd, uint8_t* p, uint64_t n) {
  uint64_t got = 0;
  while (got < n) {
    const uint64_t left = n - got;
    const size_t chunk = left > (1u << 30) ? (1u << 30) : static_cast<size_t>(left);
    const ssize_t r = ::read(fd, p + got, chunk);
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (r == 0) break;
    got += static_cast<uint64_t>(r);
  }
  return got;
}

// Copies the bytes and permission bits of the file open at `in` (described by `st`) to a
// newly created `target` (`flags` decide truncation or exclusive creation); more than
// `maxBytes` bytes fail the copy. A failed copy leaves no target behind.
bool CopyOpenFile(int in, const struct stat& st, const std::string& target, int flags, uint64_t maxBytes) {
  // Copying a file onto itself would truncate it first.
  struct stat tst;
  if (::stat(target.c_str(), &tst) == 0 && tst.st_dev == st.st_dev && tst.st_ino == st.st_ino) return false;
  const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, st.st_mode & 07777);
  if (out < 0) return false;
  bool ok = true;
  uint64_t copied = 0;
  std::vector<uint8_t> buf(1 << 20);
  for (;;) {
    const ssize_t r = ::read(in, buf.data(), buf.size());
    if (r < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (r == 0) break;
    copied += static_cast<uint64_t>(r);
    if (copied > maxBytes || !WriteAll(out, buf.data(), static_cast<uint64_t>(r))) {
      ok = false;
      break;
    }
  }
  if (ok) ::fchmod(out, st.st_mode & 07777);
  if (::close(out) != 0) ok = false;
  if (!ok) ::unlink(target.c_str());
  return ok;
}

// Copies a regular file (or anything but a folder that reads like one) to `target`.
bool CopyBytes(const std::string& source, const std::string& target, int flags) {
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  const bool ok = ::fstat(in, &st) == 0 && !S_ISDIR(st.st_mode) && CopyOpenFile(in, st, target, flags, UINT64_MAX);
  ::close(in);
  return ok;
}

// The parts of `path` below `root`, or nothing when `path` does not lie below it.
std::optional<std::vector<std::string>> PartsBelow(const std::string& root, const std::string& path) {
  std::string r = root;
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  if (r.empty() || path.size() <= r.size() || path.compare(0, r.size(), r) != 0 ||
      (r != "/" && path[r.size()] != '/'))
    return std::nullopt;
  std::vector<std::string> parts;
  size_t pos = r.size();
  while (pos < path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    std::string part = path.substr(pos, next - pos);
    if (!part.empty() && part != ".") parts.push_back(std::move(part));
    pos = next + 1;
  }
  return parts;
}

// How the folder that holds a path's last part was reached.
enum class Walk { Open, Gone, Failed };

// Opens the folder holding the last part of `path` (into `fd`, its name into `leaf`), walking
// the parts below `root` one by one and never through a link. A link standing where a folder
// of the path should be is no folder of the tree: the path is Gone, and with `dropLinks` the
// link itself is removed. A missing folder or a file in its place also gives Gone; a ".."
// part or a folder that cannot be opened gives Failed. A path that does not lie below `root`
// is reached from its own folder as the system finds it.
Walk OpenParentBelow(const std::string& root, const std::string& path, bool dropLinks, int& fd, std::string& leaf) {
  fd = -1;
  const auto parts = PartsBelow(root, path);
  if (!parts) {
    const size_t slash = path.rfind('/');
    leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    if (leaf.empty() || leaf == "." || leaf == "..") return Walk::Failed;
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) return Walk::Open;
    return errno == ENOENT || errno == ENOTDIR ? Walk::Gone : Walk::Failed;
  }
  if (parts->empty()) return Walk::Failed;
  for (const std::string& part : *parts)
    if (part == "..") return Walk::Failed;
  fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? Walk::Gone : Walk::Failed;
  for (size_t i = 0; i + 1 < parts->size(); ++i) {
    const char* name = (*parts)[i].c_str();
    struct stat st;
    Walk why = Walk::Open;
    if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      why = errno == ENOENT ? Walk::Gone : Walk::Failed;
    } else if (S_ISLNK(st.st_mode)) {
      if (dropLinks) ::unlinkat(fd, name, 0);
      why = Walk::Gone;
    } else if (!S_ISDIR(st.st_mode)) {
      why = Walk::Gone;
    }
    const int next = why == Walk::Open ? ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
    ::close(fd);
    fd = next;
    if (why != Walk::Open) return why;
    if (fd < 0) return Walk::Failed;
  }
  leaf = parts->back();
  return Walk::Open;
}

// Whether `name` stands in the folder open at `dirFd` (a link counts as itself).
bool PresentAt(int dirFd, const std::string& name) {
  struct stat st;
  return ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// A regular file without its owner's write bit gets it back (it would not go on every system);
// the file is opened without following a link, so nothing else is widened.
void ClearReadOnlyAt(int dirFd, const std::string& name) {
  struct stat st;
  if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & S_IWUSR))
    return;
  const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR))
    ::fchmod(fd, (st.st_mode & 07777) | S_IWUSR);
  ::close(fd);
}

// Deletes `name` (a file or a link, never a folder) from the folder open at `dirFd`, with the
// rounds of DeleteFileRetry.
bool DeleteAtRetry(int dirFd, const std::string& name) {
  ClearReadOnlyAt(dirFd, name);
  return RetryUntil([&] { ::unlinkat(dirFd, name.c_str(), 0); }, [&] { return !PresentAt(dirFd, name); });
}

// Opens the sub-folder `name` (described by `st`) of the folder open at `dirFd` to empty it; a
// folder unpacked with a mode that shuts out its owner is opened up first.
int OpenFolderToEmpty(int dirFd, const std::string& name, const struct stat& st) {
  if ((st.st_mode & S_IRWXU) != S_IRWXU) ::fchmodat(dirFd, name.c_str(), (st.st_mode & 07777) | S_IRWXU, 0);
  return ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Empties the folder open at `fd` (which is closed here): files and links are deleted, never
// followed; sub-folders are emptied and removed only when `recurse`.
void EmptyFolderAt(int fd, bool recurse, ui::Dialog* progress, int progressId, uint16_t* count, uint32_t* step) {
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return;
  }
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(dir)) names.emplace_back(e->d_name);

  if (progress) {
    uint16_t found = static_cast<uint16_t>(names.size());
    if (count) found = *count = static_cast<uint16_t>(*count + found);
    progress->SetRange(progressId, 0, static_cast<uint16_t>(7u * found));
  }
  uint32_t ownStep = 0;
  for (const std::string& name : names) {
    if (progress) {
      uint32_t& s = step ? *step : ownStep;
      ++s;
      progress->SetPos(progressId, static_cast<int>(s));
    }
    if (name == "." || name == "..") continue;
    struct stat st;
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISDIR(st.st_mode)) {
      DeleteAtRetry(fd, name);  // a link is removed, never followed
    } else if (recurse) {
      const int sub = OpenFolderToEmpty(fd, name, st);
      if (sub >= 0) EmptyFolderAt(sub, recurse, nullptr, 0, nullptr, nullptr);
      ::unlinkat(fd, name.c_str(), AT_REMOVEDIR);
    }
  }
  ::closedir(dir);  // closes fd
}

// Moves without ever replacing an existing target; a file moves across file systems by a copy.
void MoveStep(const std::string& source, const std::string& target) {
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
    return;
  if (errno == EINVAL || errno == ENOSYS) {  // a file system without no-replace renames
    if (!PathPresent(target)) ::rename(source.c_str(), target.c_str());
    return;
  }
  if (errno == EXDEV) {
    struct stat st;
    if (::lstat(source.c_str(), &st) == 0 && S_ISREG(st.st_mode) && CopyBytes(source, target, O_EXCL))
      ::unlink(source.c_str());
  }
}

// Moves over an existing target; a file moves across file systems by a copy beside the target
// that then replaces it. True when this step moved the file.
bool ReplaceStep(const std::string& source, const std::string& target) {
  if (::rename(source.c_str(), target.c_str()) == 0) return true;
  if (errno != EXDEV) return false;
  struct stat st;
  if (::lstat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const std::string beside = target + ".moving";
  ::unlink(beside.c_str());
  if (!CopyBytes(source, beside, O_EXCL)) return false;
  if (::rename(beside.c_str(), target.c_str()) != 0) {
    ::unlink(beside.c_str());
    return false;
  }
  ::unlink(source.c_str());
  return true;
}

int DigitValue(char c) {
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= '0' && c <= '9') return c - '0';
  return 0;  // a one-character text that is no decimal number reads as 0
}

}  // namespace

bool CopyFileRetry(const std::string& source, const std::string& target) {
  return RetryUntil([&] { CopyBytes(source, target, O_TRUNC); }, [&] { return FileExists(target); });
}

bool MoveFileRetry(const std::string& source, const std::string& target) {
  return RetryUntil([&] { MoveStep(source, target); }, [&] { return FileExists(target); });
}

bool MoveFileReplaceRetry(const std::string& source, const std::string& target) {
  if (!PathPresent(source)) return false;
  bool moved = false;
  return RetryUntil([&] { moved = ReplaceStep(source, target) || moved; },
                    [&] { return moved && !PathPresent(source) && FileExists(target); });
}

bool DeleteFileRetry(const std::string& path) {
  if (TooLong(path)) return RetryUntil([] {}, [] { return true; });
  int dirFd = -1;
  std::string leaf;
  if (OpenParentBelow({}, path, false, dirFd, leaf) != Walk::Open)
    return RetryUntil([&] { ::unlink(path.c_str()); }, [&] { return !PathPresent(path); });
  const bool gone = DeleteAtRetry(dirFd, leaf);
  ::close(dirFd);
  return gone;
}

bool DeleteFileRetry(const std::string& path, const std::string& root) {
  int dirFd = -1;
  std::string leaf;
  switch (OpenParentBelow(root, path, true, dirFd, leaf)) {
    case Walk::Open: {
      const bool gone = DeleteAtRetry(dirFd, leaf);
      ::close(dirFd);
      return gone;
    }
    case Walk::Gone:
      return RetryUntil([] {}, [] { return true; });
    case Walk::Failed:
      break;
  }
  return false;
}

bool FileThereBelow(const std::string& path, const std::string& root) {
  int dirFd = -1;
  std::string leaf;
  if (OpenParentBelow(root, path, false, dirFd, leaf) != Walk::Open) return false;
  const bool there = PresentAt(dirFd, leaf);
  ::close(dirFd);
  return there;
}

bool RemoveDirTree(const std::string& folder, const std::string& root) {
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  int dirFd = -1;
  std::string leaf;
  const Walk walk = OpenParentBelow(root, path, true, dirFd, leaf);
  if (walk != Walk::Open) return walk == Walk::Gone;
  struct stat st;
  if (::fstatat(dirFd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISDIR(st.st_mode)) {
      const int fd = OpenFolderToEmpty(dirFd, leaf, st);
      if (fd >= 0) EmptyFolderAt(fd, true, nullptr, 0, nullptr, nullptr);
      ::unlinkat(dirFd, leaf.c_str(), AT_REMOVEDIR);
    } else {
      ::unlinkat(dirFd, leaf.c_str(), 0);  // a link or a file where the folder should be
    }
  }
  const bool gone = !PresentAt(dirFd, leaf);
  ::close(dirFd);
  return gone;
}

bool CopyBoardFileRetry(const std::string& source, const std::string& target, const std::string& root,
                        uint64_t maxBytes) {
  // The source is looked at once: a board's file that is refused stays refused.
  int dirFd = -1;
  std::string leaf;
  if (OpenParentBelow(root, source, false, dirFd, leaf) != Walk::Open) return false;
  const int in = ::openat(dirFd, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  ::close(dirFd);
  if (in < 0) return false;
  struct stat st;
  // A second name of the file may be any file of the machine that the station can read.
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
      static_cast<uint64_t>(st.st_size) > maxBytes) {
    ::close(in);
    return false;
  }
  // A board's files carry its key: the copy is private, whatever mode the board gave them.
  st.st_mode = (st.st_mode & S_IFMT) | 0600;
  const bool copied = RetryUntil(
      [&] {
        // No target is written through a link standing in its place: the link goes.
        struct stat tst;
        if (::lstat(target.c_str(), &tst) == 0 && S_ISLNK(tst.st_mode)) ::unlink(target.c_str());
        ::lseek(in, 0, SEEK_SET);
        CopyOpenFile(in, st, target, O_TRUNC | O_NOFOLLOW, maxBytes);
      },
      [&] { return FileExists(target); });
  ::close(in);
  return copied;
}

bool CreateMultiDir(const std::string& path) {
  for (size_t i = path.find('/'); i != std::string::npos; i = path.find('/', i + 1))
    if (i > 0) ::mkdir(path.substr(0, i).c_str(), 0777);
  if (!path.empty()) ::mkdir(path.c_str(), 0777);
  return FileExists(path);
}

bool CreateDirTree(const std::string& path) {
  if (path.empty() || TooLong(path)) return false;
  std::error_code ec;
  return std::filesystem::create_directories(path, ec) && !ec;
}

void DeleteDirTree(const std::string& folder, bool recurse, ui::Dialog* progress, int progressId,
                   uint16_t* count, uint32_t* step) {
  // A link given as the folder is not followed: nothing outside the tree is emptied.
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) EmptyFolderAt(fd, recurse, progress, progressId, count, step);
}

std::string CombinePath(const std::string& folder, const std::string& file) {
  std::string joined;
  if (file.empty())
    joined = folder;
  else if (folder.empty() || file.front() == '/')
    joined = file;
  else
    joined = folder + (folder.back() == '/' ? "" : "/") + file;

  // Resolve "." and ".." steps; ".." never climbs above the root of an absolute path.
  const bool absolute = !joined.empty() && joined.front() == '/';
  const bool trailing = joined.size() > 1 && joined.back() == '/';
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= joined.size()) {
    size_t next = joined.find('/', pos);
    if (next == std::string::npos) next = joined.size();
    std::string part = joined.substr(pos, next - pos);
    pos = next + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..")
        parts.pop_back();
      else if (!absolute)
        parts.push_back(part);
      continue;
    }
    parts.push_back(std::move(part));
  }
  std::string out = absolute ? "/" : "";
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += '/';
    out += parts[i];
  }
  if (trailing && !parts.empty()) out += '/';
  if (out.empty() && !joined.empty()) out.push_back('.');
  return TooLong(out) ? std::string{} : out;
}

std::string GetAppDir() {
  {
    std::lock_guard lock(g_appDirMutex);
    if (!g_appDirOverride.empty()) return g_appDirOverride;
  }
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string exe(buf, static_cast<size_t>(n));
  const size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : exe.substr(0, slash);
}

void SetAppDirOverride(const std::string& dir) {
  std::string d = dir;
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  std::lock_guard lock(g_appDirMutex);
  g_appDirOverride = d;
}

std::string GetTempDir() {
  for (const char* name : {"TEMP", "TMPDIR"}) {
    const char* v = std::getenv(name);
    if (v && *v) return v;
  }
  return "/tmp";
}

std::string GetFileNameFromPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string GetDirFromPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(0, slash);
}

uint64_t HexStrToU64(const std::string& text) {
  uint64_t sum = 0;
  const size_t n = text.size();
  for (size_t place = 0; place < n && place < 16; ++place)  // 16^16 and up wrap to 0
    sum += static_cast<uint64_t>(DigitValue(text[n - 1 - place])) << (4 * place);
  return sum;
}

int CountLinesWithText(const std::string& file, const std::string& text) {
  FILE* f = std::fopen(file.c_str(), "r");
  if (!f) return 0;
  char line[kMaxPathChars];
  int count = 0;
  while (std::fgets(line, sizeof line, f))
    if (std::strstr(line, text.c_str())) ++count;
  std::fclose(f);
  return count;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && !TooLong(path) && ::stat(path.c_str(), &st) == 0;
}

bool getDataLen(const std::string& path, uint64_t& length) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  const bool ok = fd >= 0 && ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
  if (fd >= 0) ::close(fd);
  if (!ok) {
    PrintLog("getDataLen:open file failed!\r\n");
    return false;
  }
  length = static_cast<uint64_t>(st.st_size);
  return true;
}

bool file_read(const std::string& path, FileBlock& buffer, uint64_t& length, bool chunkMode,
               uint64_t chunkIndex, uint64_t chunkSize) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    PrintLog("file_read:open file failed!\r\n");
    return false;
  }
  const uint64_t total = static_cast<uint64_t>(st.st_size);
  const uint64_t offset = chunkIndex * chunkSize;
  length = total;

  if (!chunkMode) {
    try {
      buffer.heap.assign(total + 1, 0);  // the data is followed by a zero byte
    } catch (const std::bad_alloc&) {
      ::close(fd);
      PrintLog("file_read:out of memory!\r\n");
      return false;
    }
    buffer.pages.Release();
  } else {
    if (chunkSize != 0) {
      // The piece at `offset`: a whole chunk, or what is left of the file after it.
      const uint64_t left = offset < total ? total - offset : 0;
      length = left < chunkSize ? left : chunkSize;
    }
    if (!buffer.pages.Reserve(length)) {
      const int err = errno;
      const uint64_t reserved = g_reservedTotal.load() + length;
      PrintDeviceLog(0, "get virtal space failed\r\nvirtual totalsize:%" PRIu64 "\r\n", reserved);
      PrintDeviceLog(0, "GetLastError:%d\r\n", err);
      PrintLog("virtual total size:%" PRIu64 "\r\n", reserved);
      PrintLog("GetLastError:%d\r\n", err);
      ::close(fd);
      g_reservedTotal = 0;
      return false;
    }
    g_reservedTotal += length;
    buffer.heap.clear();
    buffer.heap.shrink_to_fit();
  }

  PrintLog("length: %" PRIu64 " \r\n", length);
  if (chunkIndex != 0) ::lseek(fd, static_cast<off_t>(offset), SEEK_SET);
  const uint64_t got = ReadAll(fd, buffer.data(), length);
  ::close(fd);
  length = got;  // a file that shrank meanwhile gives what was really read
  return true;
}

uint64_t FileReadReservedTotal() { return g_reservedTotal.load(); }

bool WriteBufToFile(const std::string& path, const void* data, uint64_t length) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = true;
  const auto* p = static_cast<const uint8_t*>(data);
  uint64_t left = length;
  while (ok && left > 0) {
    const size_t chunk = left > (1u << 30) ? (1u << 30) : static_cast<size_t>(left);
    const size_t w = std::fwrite(p, 1, chunk, f);
    if (w != chunk) ok = false;
    p += w;
    left -= w;
  }
  if (std::fflush(f) != 0) ok = false;
  if (std::fclose(f) != 0) ok = false;
  return ok;
}

std::FILE* OpenPrivateFile(const std::string& path, bool append) {
  if (path.empty() || TooLong(path)) return nullptr;
  if (!append) ::unlink(path.c_str());
  const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (append ? O_APPEND : O_EXCL);
  const int fd = ::open(path.c_str(), flags, 0600);
  if (fd < 0) return nullptr;
  std::FILE* f = ::fdopen(fd, append ? "ab" : "wb");
  if (!f) ::close(fd);
  return f;
}

bool WritePrivateFile(const std::string& path, const void* data, uint64_t length) {
  if (path.empty() || TooLong(path)) return false;
  ::unlink(path.c_str());
  // Exclusive creation: a file someone else made in its place meanwhile is never written into.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = length == 0 || WriteAll(fd, static_cast<const uint8_t*>(data), length);
  if (::close(fd) != 0) ok = false;
  if (!ok) ::unlink(path.c_str());
  return ok;
}

}  // namespace station

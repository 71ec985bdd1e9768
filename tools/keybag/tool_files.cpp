#include "keybag/tool_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/profile.h"

namespace keybag {

std::string BagPathFromIni(const std::string& iniPath) {
  return plat::GetProfileString("FACTORY", "KEY PATH", "", iniPath);
}

bool MakeOutputFolder(const std::string& folder) {
  ::mkdir(folder.c_str(), 0700);
  struct stat st;
  return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteFileWhole(const std::string& path, const void* data, size_t length) {
  const std::string part = path + ".part";
  ::unlink(part.c_str());
  const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const auto* p = static_cast<const unsigned char*>(data);
  bool ok = true;
  for (size_t left = length; ok && left > 0;) {
    const ssize_t w = ::write(fd, p, left);
    if (w < 0 && errno == EINTR) continue;
    ok = w > 0;
    if (ok) {
      p += w;
      left -= static_cast<size_t>(w);
    }
  }
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(part.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(part.c_str());
  return ok;
}

bool WriteFileWhole(const std::string& path, const std::string& text) {
  return WriteFileWhole(path, text.data(), text.size());
}

}  // namespace keybag

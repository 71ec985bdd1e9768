#include "package/archive_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "foundation/file_utils.h"
#include "package/tar_reader.h"

namespace station {

std::string FirstCutMember(const std::string& archive) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(archive, ec)) return {};
  const uint64_t fileSize = std::filesystem::file_size(archive, ec);
  if (ec) return {};
  TarReader reader(archive, 0);
  for (TarEntry e = reader.FirstEntry(); !e.IsEnd(); e = reader.NextEntry())
    if (e.DataPosition() > fileSize || e.Header().size > fileSize - e.DataPosition())
      return e.Header().name.empty() ? "?" : e.Header().name;
  return {};
}

namespace {

// A name from outside as it may stand in a log line: at most 200 characters, every byte
// outside printable ASCII (a line end among them) as \xNN.
std::string Printable(const std::string& name) {
  std::string out;
  for (unsigned char c : name.substr(0, 200)) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  if (name.size() > 200) out += "...";
  return out.empty() ? "?" : out;
}

// A size field as GNU tar reads it alike: base-256, or octal digits after blanks and followed
// only by blanks or NULs. Anything else could be read otherwise by another reader.
bool PlainSizeField(const uint8_t* block) {
  const uint8_t* f = block + tar_field::kSize;
  if (f[0] & 0x80) return true;
  int i = 0;
  while (i < 12 && f[i] == ' ') ++i;
  while (i < 12 && f[i] >= '0' && f[i] <= '7') ++i;
  for (; i < 12; ++i)
    if (f[i] != ' ' && f[i] != '\0') return false;
  return true;
}

// Why a member of this type may not be unpacked; nullptr for files and folders.
const char* TypeRefused(char type) {
  switch (type) {
    case '0': case '\0': case '5': case 'L': return nullptr;
    case '1': return "hard link";
    case '2': return "symbolic link";
    case '3': return "character device";
    case '4': return "block device";
    case '6': return "fifo";
    case 'S': return "sparse member";
    case 'x': case 'g': return "extended header";
    case 'K': return "long link name";
    default: return "member type not allowed";
  }
}

bool InsideTop(const std::string& name, const std::string& top) {
  if (top.empty()) return true;
  return name.compare(0, top.size(), top) == 0 && (name.size() == top.size() || name[top.size()] == '/');
}

}  // namespace

ArchiveRefusal CheckArchiveBeforeUnpack(const std::string& archive, const UnpackLimits& limits) {
  struct Fd {
    int fd;
    ~Fd() {
      if (fd >= 0) ::close(fd);
    }
  } file{::open(archive.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
  const int fd = file.fd;
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    return {Printable(GetFileNameFromPath(archive)), "archive cannot be read"};
  const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
  TarReader reader(archive, 0);
  uint64_t total = 0;
  bool afterLongName = false;
  for (TarEntry e = reader.FirstEntry(); !e.IsEnd(); e = reader.NextEntry()) {
    const TarHeader& h = e.Header();
    const std::string name = Printable(h.name);
    uint8_t block[kTarBlockSize];
    const uint64_t headAt = e.DataPosition() - kTarBlockSize;
    const bool read = ::pread(fd, block, sizeof block, static_cast<off_t>(headAt)) == kTarBlockSize;
    // The reader takes a header with a stored checksum of 0 and walks over a block that is no
    // header; GNU tar does neither, so the two could see different members.
    if (!read || !TarChecksumMatches(block, h.checksum) || !PlainSizeField(block))
      return {name.empty() ? "?" : name, "bad header at " + std::to_string(headAt)};
    if (e.DataPosition() > fileSize || h.size > fileSize - e.DataPosition()) return {name, "member cut short"};
    if (const char* why = TypeRefused(h.typeflag)) return {name, why};
    if (h.typeflag == 'L') {
      // A GNU long name names the member that follows; one only, and no longer than a path.
      if (afterLongName || h.size > 4096) return {name, "long name"};
      afterLongName = true;
      continue;
    }
    afterLongName = false;
    if (std::memcmp(block + tar_field::kMagic, "ustar\0", 6) == 0 && block[tar_field::kPrefix] != '\0')
      return {name, "name prefix"};
    if (!IsSafeMemberName(h.name) || !InsideTop(h.name, limits.top)) return {name, "name outside the tree"};
    if (h.size > limits.maxMemberBytes) return {name, "member too large"};
    total += h.size;
    if (total > limits.maxTotalBytes) return {name, "archive too large"};
  }
  return {};
}

}  // namespace station

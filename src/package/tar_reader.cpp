#include "package/tar_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "foundation/file_utils.h"
#include "platform/clock.h"

namespace station {

namespace {

using namespace tar_field;

// Data is copied through one buffer of this size: large enough that unpacking a package of
// several GiB is not bound by system calls, small enough to keep memory use flat.
constexpr size_t kCopyChunk = 64 * 1024;
// Long names and pax records are read whole; anything larger than this is no name.
constexpr uint64_t kMaxMetaSize = 1 << 20;

std::string FieldText(const uint8_t* block, int offset, int width) {
  const char* p = reinterpret_cast<const char*>(block + offset);
  size_t n = 0;
  while (n < static_cast<size_t>(width) && p[n] != '\0') ++n;
  return std::string(p, n);
}

uint64_t ParseNumber(const char* field, int width) {
  const auto* u = reinterpret_cast<const unsigned char*>(field);
  if (u[0] & 0x80) {
    // Base-256: the rest of the first byte and the following bytes, big-endian. A negative
    // value (first byte 0xFF) means nothing for sizes and positions.
    if (u[0] == 0xFF) return 0;
    uint64_t v = u[0] & 0x7F;
    for (int i = 1; i < width; ++i) v = (v << 8) | u[i];
    return v;
  }
  int i = 0;
  while (i < width && (field[i] == ' ' || field[i] == '0')) ++i;
  uint64_t v = 0;
  for (; i < width; ++i) {
    char c = field[i];
    if (c == '\0' || c == ' ') break;
    v *= 8;
    if (c >= '0' && c <= '7') v += static_cast<uint64_t>(c - '0');
  }
  return v;
}

bool IsMetaMember(char typeflag) { return typeflag == 'L' || typeflag == 'K' || typeflag == 'x' || typeflag == 'g'; }

bool IsRegular(char typeflag) { return typeflag == '0' || typeflag == '\0'; }

}  // namespace

// The reader's file: a descriptor and the position the next read starts from.
struct TarStream {
  int fd = -1;
  uint64_t pos = 0;
  bool failed = false;

  // Reads up to n bytes at the current position and moves it on; fewer at the end of file.
  size_t Read(uint8_t* buf, size_t n) { return ReadAt(pos, buf, n, true); }

  size_t ReadAt(uint64_t at, uint8_t* buf, size_t n, bool advance) {
    size_t done = 0;
    while (done < n) {
      ssize_t r = pread(fd, buf + done, n - done, static_cast<off_t>(at + done));
      if (r < 0) {
        if (errno == EINTR) continue;
        failed = true;
        break;
      }
      if (r == 0) break;
      done += static_cast<size_t>(r);
    }
    if (advance) pos = at + done;
    return done;
  }
};

struct TarReader::Pending {
  std::optional<std::string> path;
  std::optional<std::string> linkpath;
  std::optional<uint64_t> size;
};

int64_t TarHeaderChecksum(const uint8_t* block) {
  int64_t sum = 0;
  for (int i = 0; i < kChksum; ++i) sum += static_cast<int8_t>(block[i]);
  sum += 8 * 32;
  for (int i = kTypeflag; i < kPadding; ++i) sum += static_cast<int8_t>(block[i]);
  return sum;
}

int64_t TarHeaderChecksumUnsigned(const uint8_t* block) {
  int64_t sum = 0;
  for (int i = 0; i < kChksum; ++i) sum += block[i];
  sum += 8 * 32;
  for (int i = kTypeflag; i < kPadding; ++i) sum += block[i];
  return sum;
}

bool TarChecksumMatches(const uint8_t* block, uint64_t stored) {
  const auto v = static_cast<int64_t>(stored);
  if (v == TarHeaderChecksum(block) || v == TarHeaderChecksumUnsigned(block)) return true;
  // GNU tar sums the whole block: a head stamped in its last 12 bytes counts them in.
  int64_t sum = TarHeaderChecksum(block), usum = TarHeaderChecksumUnsigned(block);
  for (int i = kPadding; i < kTarBlockSize; ++i) {
    sum += static_cast<int8_t>(block[i]);
    usum += block[i];
  }
  return v == sum || v == usum;
}

uint64_t ParseOctal12(const char* field) { return ParseNumber(field, 12); }
uint64_t ParseOctal8(const char* field) { return ParseNumber(field, 8); }

TarHeader ParseTarHeader(const uint8_t* block) {
  TarHeader h;
  const char* c = reinterpret_cast<const char*>(block);
  uint64_t stored = ParseOctal8(c + kChksum);
  // GNU tar and every POSIX archiver store the unsigned sum; older archivers the signed one.
  bool sumMatches = TarChecksumMatches(block, stored);
  bool blankAccepted = stored == 0 && block[kName] != '\0';
  if (!sumMatches && !blankAccepted) return h;

  h.name = FieldText(block, kName, kNameLen);
  h.mode.assign(c + kMode, 8);
  h.uid = ParseOctal8(c + kUid);
  h.gid = ParseOctal8(c + kGid);
  h.size = ParseOctal12(c + kSize);
  h.mtime = ParseOctal12(c + kMtime);
  h.checksum = stored;
  h.typeflag = c[kTypeflag];
  h.linkname = FieldText(block, kLinkname, kLinknameLen);

  if (memcmp(c + kMagic, "ustar  \0", 8) == 0)
    h.format = 1;
  else if (memcmp(c + kMagic, "GNUtar \0", 8) == 0)
    h.format = 2;
  else if (memcmp(c + kMagic, "ustar\0\0\0", 8) == 0)
    h.format = 3;
  if (h.format != 0) {
    h.magic.assign(c + kMagic, 5);
    memcpy(&h.version, c + kVersion, 2);
    h.uname = FieldText(block, kUname, kOwnerLen);
    h.gname = FieldText(block, kGname, kOwnerLen);
    h.devmajor = ParseOctal8(c + kDevmajor);
    h.devminor = ParseOctal8(c + kDevminor);
    h.prefix = FieldText(block, kPrefix, kPrefixLen);
  }
  return h;
}

bool IsSafeMemberName(const std::string& name) {
  if (name.empty() || name.front() == '/') return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t slash = name.find('/', start);
    size_t end = slash == std::string::npos ? name.size() : slash;
    if (name.compare(start, end - start, "..") == 0 && end - start == 2) return false;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return true;
}

TarEntry MakeEndTarEntry() { return TarEntry(); }

template <class Sink>
bool TarEntry::Copy(Sink&& sink) {
  std::vector<uint8_t> buf(kCopyChunk);
  while (stream_) {
    // A thread asked to stop (the station closing) does not copy a large member to its end.
    if (plat::StopRequested()) return false;
    uint64_t remaining = header_.size - copied_;
    if (remaining == 0) break;
    size_t want = remaining < buf.size() ? static_cast<size_t>(remaining) : buf.size();
    size_t got = stream_->Read(buf.data(), want);
    lastRead_ = static_cast<int64_t>(got);
    copied_ += got;
    if (got == 0) break;
    if (!sink(buf.data(), got)) return false;
  }
  return true;
}

bool TarEntry::CopyData(std::ostream& out) {
  if (openMode_ == 1 || !out.good() || !IsRegular(header_.typeflag)) return false;
  return Copy([&out](const uint8_t* p, size_t n) {
    out.write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>(n));
    return out.good();
  });
}

bool TarEntry::ExtractFile(const std::string& folder) {
  if (openMode_ == 1 || !IsRegular(header_.typeflag)) return false;
  if (!IsSafeMemberName(header_.name)) return false;
  std::string path = CombinePath(folder, header_.name);
  if (path.empty()) return false;
  // O_NOFOLLOW: a link already standing at the member's place is not written through.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  bool ok = Copy([fd](const uint8_t* p, size_t n) {
    size_t done = 0;
    while (done < n) {
      ssize_t w = write(fd, p + done, n - done);
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += static_cast<size_t>(w);
    }
    return true;
  });
  if (close(fd) != 0) ok = false;
  return ok;
}

TarReader::TarReader() : pending_(std::make_unique<Pending>()) {}

TarReader::TarReader(const std::string& path, int mode) : TarReader() { Open(path, mode); }

TarReader::~TarReader() {
  if (stream_ && stream_->fd >= 0) close(stream_->fd);
}

bool TarReader::IsOpen() const { return stream_ && stream_->fd >= 0; }

bool TarReader::Open(const std::string& path, int mode) {
  if (IsOpen()) return false;
  mode_ = mode;
  path_ = path;
  int flags;
  switch (mode) {
    case 0: flags = O_RDONLY; break;
    case 1: flags = O_WRONLY | O_CREAT | O_TRUNC; break;
    case 2: flags = O_WRONLY | O_CREAT | O_APPEND; break;
    default: flags = mode; break;
  }
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  stream_ = std::make_unique<TarStream>();
  stream_->fd = fd;
  return true;
}

TarEntry TarReader::FirstEntry() {
  if (!IsOpen()) return MakeEndTarEntry();
  stream_->failed = false;
  nextHeader_ = 0;
  *pending_ = Pending{};
  return NextEntry();
}

TarEntry TarReader::NextEntry() {
  if (!IsOpen()) return MakeEndTarEntry();
  uint8_t block[kTarBlockSize];
  stream_->pos = nextHeader_;
  size_t got = stream_->Read(block, sizeof block);
  nextHeader_ += got;
  if (got < sizeof block) return MakeEndTarEntry();
  bool allZero = true;
  for (uint8_t b : block)
    if (b != 0) {
      allZero = false;
      break;
    }
  if (allZero) return MakeEndTarEntry();

  TarEntry e;
  e.end_ = false;
  e.openMode_ = mode_;
  e.stream_ = stream_.get();
  e.dataPos_ = stream_->pos;
  e.header_ = ParseTarHeader(block);
  TarHeader& h = e.header_;

  bool valid = !h.name.empty() || h.typeflag != '\0' || h.size != 0;
  if (valid && IsMetaMember(h.typeflag)) {
    ReadMeta(h, e.dataPos_);
  } else if (valid) {
    // A ustar name that did not fit in 100 characters keeps its head in the prefix field.
    // (The GNU format uses that space for other things, so only the POSIX magic counts.)
    if (memcmp(block + kMagic, "ustar\0", 6) == 0) {
      std::string prefix = FieldText(block, kPrefix, kPrefixLen);
      if (!prefix.empty()) h.name = prefix + "/" + h.name;
    }
    if (pending_->path) h.name = *pending_->path;
    if (pending_->linkpath) h.linkname = *pending_->linkpath;
    if (pending_->size) h.size = *pending_->size;
    *pending_ = Pending{};
  } else {
    // A block that is no header: whatever was pending belonged to a member that is lost.
    *pending_ = Pending{};
  }

  if (h.size > 0) {
    // A size no archive can hold would carry the position past 2^64 and back to an earlier
    // header, so that the walk never ends: the walk ends behind it instead.
    const uint64_t room = UINT64_MAX - nextHeader_;
    if (room < kTarBlockSize - 1 || h.size > room - (kTarBlockSize - 1))
      nextHeader_ = UINT64_MAX;
    else
      nextHeader_ += (h.size + kTarBlockSize - 1) / kTarBlockSize * kTarBlockSize;
  }
  return e;
}

void TarReader::ReadMeta(const TarHeader& h, uint64_t dataPos) {
  if (h.size > kMaxMetaSize) return;
  std::string data(static_cast<size_t>(h.size), '\0');
  size_t got = stream_->ReadAt(dataPos, reinterpret_cast<uint8_t*>(data.data()), data.size(), false);
  data.resize(got);
  switch (h.typeflag) {
    case 'L':
      pending_->path = data.substr(0, data.find('\0'));
      break;
    case 'K':
      pending_->linkpath = data.substr(0, data.find('\0'));
      break;
    case 'x': {
      // Records of the form "<length> <key>=<value>\n", the length counting the whole record.
      size_t pos = 0;
      while (pos < data.size()) {
        size_t space = data.find(' ', pos);
        if (space == std::string::npos) break;
        uint64_t len = 0;
        bool digits = space > pos;
        for (size_t i = pos; i < space; ++i) {
          if (data[i] < '0' || data[i] > '9') digits = false;
          else len = len * 10 + static_cast<uint64_t>(data[i] - '0');
        }
        if (!digits || len <= space - pos + 1 || len > data.size() - pos || data[pos + len - 1] != '\n') break;
        std::string record = data.substr(space + 1, pos + len - 1 - (space + 1));
        size_t eq = record.find('=');
        if (eq != std::string::npos) {
          std::string key = record.substr(0, eq);
          std::string value = record.substr(eq + 1);
          if (key == "path") {
            pending_->path = value;
          } else if (key == "linkpath") {
            pending_->linkpath = value;
          } else if (key == "size") {
            uint64_t v = 0;
            bool ok = !value.empty();
            for (char ch : value) {
              if (ch < '0' || ch > '9') ok = false;
              else v = v * 10 + static_cast<uint64_t>(ch - '0');
            }
            if (ok) pending_->size = v;
          }
        }
        pos += len;
      }
      break;
    }
    default:  // 'g': global records name no member; nothing of them is needed here
      break;
  }
}

}  // namespace station

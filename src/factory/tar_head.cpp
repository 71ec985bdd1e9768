#include "factory/tar_head.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "package/tar_reader.h"

namespace station {

namespace {

constexpr size_t kBlock = kTarBlockSize;
constexpr size_t kZeroTail = 1024;

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The sum of the block's unsigned bytes with the checksum field counted as eight blanks.
uint32_t HeadSum(const uint8_t* block) {
  uint32_t sum = 8 * ' ';
  for (size_t i = 0; i < kBlock; ++i)
    if (i < tar_field::kChksum || i >= tar_field::kChksum + tar_field::kChksumLen) sum += block[i];
  return sum;
}

// The first 512 bytes and the length of the file; false when either cannot be had.
bool ReadHead(const std::string& path, uint8_t* head, uint64_t& size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok) {
    size = static_cast<uint64_t>(st.st_size);
    ok = size >= kBlock && ::pread(fd, head, kBlock, 0) == static_cast<ssize_t>(kBlock);
  }
  ::close(fd);
  return ok;
}

}  // namespace

bool WriteFileAt(const std::string& path, int64_t offset, const void* buffer, size_t length) {
  if (offset < 0) return false;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const auto* p = static_cast<const uint8_t*>(buffer);
  bool ok = true;
  for (size_t done = 0; ok && done < length;) {
    const ssize_t w = ::pwrite(fd, p + done, length - done, static_cast<off_t>(offset + done));
    if (w < 0 && errno == EINTR) continue;
    ok = w > 0;
    if (ok) done += static_cast<size_t>(w);
  }
  return ::close(fd) == 0 && ok;
}

bool RecalculateTarHead(const std::string& path, const BurnOption& option, uint32_t flag) {
  uint8_t head[kBlock] = {};
  uint64_t size = 0;
  if (!ReadHead(path, head, size) || size > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) return false;

  std::memcpy(head + 508, "MVX", 4);
  PutLe32(head + 504, static_cast<uint32_t>(size));
  PutLe32(head + tar_field::kPadding, flag);
  char field[8];
  std::snprintf(field, sizeof field, "%06o", static_cast<unsigned>(HeadSum(head)));
  std::memcpy(head + tar_field::kChksum, field, 6);
  head[tar_field::kChksum + 6] = '\0';
  head[tar_field::kChksum + 7] = ' ';

  const int64_t end = static_cast<int64_t>(size);
  if (!WriteFileAt(path, 0, head, kBlock) || !WriteFileAt(path, end, head, kBlock)) return false;
  if (flag == kTarHeadWritten || option.nasEnable) return true;
  static const uint8_t kZeros[kZeroTail] = {};
  return WriteFileAt(path, end + static_cast<int64_t>(kBlock), kZeros, kZeroTail);
}

bool IsTarHead(const uint8_t* block) {
  if (std::all_of(block, block + kBlock, [](uint8_t b) { return b == 0; })) return false;
  const uint8_t* f = block + tar_field::kChksum;
  size_t i = 0;
  while (i < tar_field::kChksumLen && f[i] == ' ') ++i;
  uint32_t stored = 0;
  size_t digits = 0;
  for (; i < tar_field::kChksumLen && f[i] >= '0' && f[i] <= '7'; ++i, ++digits) stored = stored * 8 + (f[i] - '0');
  const bool ended = i == tar_field::kChksumLen || f[i] == '\0' || f[i] == ' ';
  return digits > 0 && ended && stored == HeadSum(block);
}

}  // namespace station

#include "boardsim/flash_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace boardsim {

void SparseStore::Reset(uint64_t size, uint8_t fill) {
  size_ = size;
  fill_ = fill;
  segments_.clear();
  segments_.resize((size + kSegment - 1) / kSegment);
  touchedSegments_ = 0;
}

uint8_t* SparseStore::SegmentFor(uint64_t index, bool wholeOverwritten) {
  auto& seg = segments_[index];
  if (!seg) {
    seg.reset(new uint8_t[kSegment]);
    // A segment that the write covers entirely needs no fill first.
    if (!wholeOverwritten) std::memset(seg.get(), fill_, kSegment);
    ++touchedSegments_;
  }
  return seg.get();
}

void SparseStore::Write(uint64_t offset, const uint8_t* data, uint64_t length) {
  while (length > 0) {
    const uint64_t index = offset / kSegment;
    const uint64_t within = offset % kSegment;
    const uint64_t n = std::min(length, kSegment - within);
    uint8_t* seg = SegmentFor(index, within == 0 && n == kSegment);
    std::memcpy(seg + within, data, n);
    offset += n;
    data += n;
    length -= n;
  }
}

void SparseStore::Read(uint64_t offset, uint8_t* out, uint64_t length) const {
  while (length > 0) {
    const uint64_t index = offset / kSegment;
    const uint64_t within = offset % kSegment;
    const uint64_t n = std::min(length, kSegment - within);
    if (const auto& seg = segments_[index]) {
      std::memcpy(out, seg.get() + within, n);
    } else {
      std::memset(out, fill_, n);
    }
    offset += n;
    out += n;
    length -= n;
  }
}

void SparseStore::Corrupt(uint64_t offset) {
  if (offset >= size_) return;
  uint8_t* seg = SegmentFor(offset / kSegment, false);
  seg[offset % kSegment] ^= 0xFF;
}

namespace {

bool WriteAll(int fd, const uint8_t* p, uint64_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, std::min<uint64_t>(n, 1u << 30));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<uint64_t>(w);
  }
  return true;
}

}  // namespace

bool SparseStore::Save(const std::string& path, bool sparse) const {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  std::unique_ptr<uint8_t[]> blank;
  for (uint64_t i = 0; ok && i < segments_.size(); ++i) {
    const uint64_t off = i * kSegment;
    const uint64_t n = std::min(kSegment, size_ - off);
    if (segments_[i]) {
      ok = lseek(fd, static_cast<off_t>(off), SEEK_SET) >= 0 && WriteAll(fd, segments_[i].get(), n);
    } else if (!sparse) {
      if (!blank) {
        blank.reset(new uint8_t[kSegment]);
        std::memset(blank.get(), fill_, kSegment);
      }
      ok = lseek(fd, static_cast<off_t>(off), SEEK_SET) >= 0 && WriteAll(fd, blank.get(), n);
    }
  }
  if (ok) ok = ftruncate(fd, static_cast<off_t>(size_)) == 0;
  if (close(fd) != 0) ok = false;
  return ok;
}

}  // namespace boardsim

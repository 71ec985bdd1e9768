#include "platform/pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace plat {

namespace {

// The size of a transparent huge page on x86-64 and on arm64 with 4 KiB base pages.
constexpr uint64_t kHugePage = 2ull << 20;

uint64_t RoundUp(uint64_t n, uint64_t step) { return (n + step - 1) / step * step; }

uint64_t BasePage() {
  static const uint64_t page = [] {
    const long n = ::sysconf(_SC_PAGESIZE);
    return n > 0 ? static_cast<uint64_t>(n) : 4096u;
  }();
  return page;
}

void* MapFresh(uint64_t length) {
  void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

// A block of at least one huge page starts on a huge-page boundary, asks for huge pages and is
// faulted in whole by one call: the station fills such a block with file data right away, and
// taking its pages one 4 KiB fault at a time costs far more than copying the data. Both
// requests are hints; a kernel that refuses them leaves an ordinary block, faulted in as it is
// touched. nullptr when no address range of the padded length is free.
uint8_t* MapLarge(uint64_t size) {
  const uint64_t base = BasePage();
  if (size > UINT64_MAX - 2 * kHugePage) return nullptr;
  const uint64_t mapped = RoundUp(size, base);
  const uint64_t padded = mapped + kHugePage;
  auto* raw = static_cast<uint8_t*>(MapFresh(padded));
  if (!raw) return nullptr;
  const auto at = reinterpret_cast<uintptr_t>(raw);
  uint8_t* start = raw + (RoundUp(at, kHugePage) - at);
  // The padding before and after the aligned block goes back at once.
  if (start > raw) munmap(raw, static_cast<size_t>(start - raw));
  uint8_t* end = start + mapped;
  if (raw + padded > end) munmap(end, static_cast<size_t>(raw + padded - end));
#ifdef MADV_HUGEPAGE
  madvise(start, static_cast<size_t>(mapped), MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
  madvise(start, static_cast<size_t>(mapped), MADV_POPULATE_WRITE);
#endif
  return start;
}

}  // namespace

PageBuffer& PageBuffer::operator=(PageBuffer&& o) noexcept {
  if (this != &o) {
    Release();
    data_ = o.data_;
    size_ = o.size_;
    o.data_ = nullptr;
    o.size_ = 0;
  }
  return *this;
}

bool PageBuffer::Reserve(uint64_t size) {
  Release();
  if (size == 0) return true;
  uint8_t* p = size >= kHugePage ? MapLarge(size) : nullptr;
  if (!p) p = static_cast<uint8_t*>(MapFresh(size));
  if (!p) return false;
  data_ = p;
  size_ = size;
  return true;
}

void PageBuffer::Release() {
  if (data_) munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace plat

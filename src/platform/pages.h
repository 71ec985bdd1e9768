#pragma once
// Page-reserved buffers: blocks of read-write pages taken straight from the system (mmap),
// for file data too large for the heap (firmware entries, partition pieces).
#include <cstddef>
#include <cstdint>

namespace plat {

class PageBuffer {
 public:
  PageBuffer() = default;
  ~PageBuffer() { Release(); }
  PageBuffer(PageBuffer&& o) noexcept { *this = static_cast<PageBuffer&&>(o); }
  PageBuffer& operator=(PageBuffer&& o) noexcept;
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;

  // Reserves and commits `size` zeroed bytes; false (and empty) when the system refuses.
  // A reservation of 0 bytes succeeds and holds nothing. A block of 2 MiB or more starts on a
  // 2 MiB boundary and is backed by huge pages where the system allows it.
  bool Reserve(uint64_t size);
  void Release();

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  uint64_t size() const { return size_; }
  bool empty() const { return data_ == nullptr; }

 private:
  uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
};

}  // namespace plat

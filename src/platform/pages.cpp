#include "platform/pages.h"

#include <sys/mman.h>

namespace plat {

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
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return false;
  data_ = static_cast<uint8_t*>(p);
  size_ = size;
  return true;
}

void PageBuffer::Release() {
  if (data_) munmap(data_, size_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace plat

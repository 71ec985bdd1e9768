#include "foundation/package_use.h"

namespace station {

bool PackageUse::Hold(std::stop_token stop) {
  std::unique_lock l(m_);
  if (!cv_.wait(l, stop, [&] { return !loading_; })) return false;
  ++holders_;
  return true;
}

void PackageUse::Release() {
  {
    std::lock_guard g(m_);
    if (holders_ > 0) --holders_;
  }
  cv_.notify_all();
}

bool PackageUse::BeginLoad(std::stop_token stop) {
  std::unique_lock l(m_);
  if (!cv_.wait(l, stop, [&] { return !loading_ && holders_ == 0; })) return false;
  loading_ = true;
  return true;
}

bool PackageUse::TryBeginLoad() {
  std::lock_guard g(m_);
  if (loading_ || holders_ > 0) return false;
  loading_ = true;
  return true;
}

void PackageUse::EndLoad() {
  {
    std::lock_guard g(m_);
    loading_ = false;
  }
  cv_.notify_all();
}

int PackageUse::holders() const {
  std::lock_guard g(m_);
  return holders_;
}

}  // namespace station

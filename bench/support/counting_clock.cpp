#include "support/counting_clock.h"

#include <chrono>

namespace benchsupport {

bool CountingClock::Sleep(int64_t ms, std::stop_token stop) {
  if (ms <= 0) return RealClock::Sleep(ms, stop);
  const auto t0 = std::chrono::steady_clock::now();
  const bool whole = RealClock::Sleep(ms, stop);
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::lock_guard g(m_);
  WaitTally& t = byLength_[ms];
  ++t.calls;
  t.askedMs += ms;
  t.waitedS += waited;
  return whole;
}

std::map<int64_t, WaitTally> CountingClock::ByLength() const {
  std::lock_guard g(m_);
  return byLength_;
}

WaitTally CountingClock::Total() const {
  std::lock_guard g(m_);
  WaitTally total;
  for (const auto& [ms, t] : byLength_) total += t;
  return total;
}

void CountingClock::Reset() {
  std::lock_guard g(m_);
  byLength_.clear();
}

}  // namespace benchsupport

#pragma once
// The loaded installation package is read by every running job and replaced by the loaders
// ("open", "reload", the boot-loader reload, the single-mode files). A job holds the package
// for its whole run; a load waits until no job holds it and keeps new jobs out until it is
// done; a change on the window's thread, which must never wait for a job, is refused while
// jobs hold the package.
#include <condition_variable>
#include <mutex>
#include <stop_token>

#include "platform/clock.h"

namespace station {

class PackageUse {
 public:
  // A job takes the package; waits while a load runs. False when `stop` was asked first.
  bool Hold(std::stop_token stop = plat::CurrentWaitToken());
  void Release();
  // A loader waits until no job holds the package, then has it alone until EndLoad. False when
  // `stop` was asked first.
  bool BeginLoad(std::stop_token stop = plat::CurrentStopToken());
  // The same without waiting: false at once when a job holds the package or a load runs.
  bool TryBeginLoad();
  void EndLoad();
  int holders() const;

 private:
  mutable std::mutex m_;
  std::condition_variable_any cv_;
  int holders_ = 0;
  bool loading_ = false;
};

// Holds the package for a scope; `held()` is false when the wait was stopped.
class PackageHold {
 public:
  explicit PackageHold(PackageUse& use, std::stop_token stop = plat::CurrentWaitToken())
      : use_(use), held_(use.Hold(stop)) {}
  ~PackageHold() {
    if (held_) use_.Release();
  }
  PackageHold(const PackageHold&) = delete;
  PackageHold& operator=(const PackageHold&) = delete;
  bool held() const { return held_; }

 private:
  PackageUse& use_;
  bool held_;
};

// A load for a scope: waits (or, with `tryOnly`, does not wait) for the jobs to let go.
class PackageLoad {
 public:
  explicit PackageLoad(PackageUse& use, bool tryOnly = false, std::stop_token stop = plat::CurrentStopToken())
      : use_(use), begun_(tryOnly ? use.TryBeginLoad() : use.BeginLoad(stop)) {}
  ~PackageLoad() {
    if (begun_) use_.EndLoad();
  }
  PackageLoad(const PackageLoad&) = delete;
  PackageLoad& operator=(const PackageLoad&) = delete;
  bool begun() const { return begun_; }

 private:
  PackageUse& use_;
  bool begun_;
};

}  // namespace station

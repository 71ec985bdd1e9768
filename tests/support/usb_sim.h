#pragma once
// Simulated boards for tests of the USB device link and of everything above it: a board
// plugged into the boards' class folder under a scratch device root, with the station's handle
// open on it, and the driver's read time-out lowered so that a silent board costs little.
#include <memory>
#include <string>

#include "boardsim/board_sim.h"
#include "foundation/station_state.h"
#include "support/test_env.h"

namespace testenv {

// Points USB_DEVICE_ROOT at `root` for the lifetime of the object.
class ScopedDeviceRoot {
 public:
  explicit ScopedDeviceRoot(const std::string& root);
  ~ScopedDeviceRoot();
  ScopedDeviceRoot(const ScopedDeviceRoot&) = delete;
  ScopedDeviceRoot& operator=(const ScopedDeviceRoot&) = delete;

 private:
  bool had_ = false;
  std::string old_;
};

// Sets the driver's read time-out for the lifetime of the object.
class ScopedReadTimeout {
 public:
  explicit ScopedReadTimeout(int ms);
  ~ScopedReadTimeout();

 private:
  int old_;
};

// The boards' class folder under the current device root.
std::string BoardClassFolder();

// One simulated board, plugged in under a scratch device root, with the station's device handle
// open on it.
class SimBoard {
 public:
  explicit SimBoard(boardsim::BoardConfig config = {}, const std::string& nodeName = "board-0");
  ~SimBoard();

  boardsim::Board& board() { return *board_; }
  station::DevHandle& handle() { return handle_; }
  const std::string& path() const { return path_; }
  // Faults of the plugged board, changed under its lock.
  template <class F>
  void SetFaults(F&& change) {
    std::lock_guard g(board_->lock());
    change(board_->faults());
  }

 private:
  ScratchDir root_;
  ScopedDeviceRoot deviceRoot_;
  ScopedReadTimeout readTimeout_;
  std::unique_ptr<boardsim::Board> board_;
  std::string path_;
  station::DevHandle handle_ = station::kInvalidHandle;
};

}  // namespace testenv

#pragma once
// Simulated boards for tests of the USB device link and of everything above it: a board
// plugged in under a scratch folder with the station's device handle open on it, the way a
// slot's job opens its board, and the options dialog describing the board's flash.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "boardsim/board_sim.h"
#include "foundation/station_state.h"
#include "support/test_env.h"
#include "usblink/flash_options.h"

namespace testenv {

// Sets the driver's read time-out for the lifetime of the object.
class ScopedReadTimeout {
 public:
  explicit ScopedReadTimeout(int ms);
  ~ScopedReadTimeout();
  ScopedReadTimeout(const ScopedReadTimeout&) = delete;
  ScopedReadTimeout& operator=(const ScopedReadTimeout&) = delete;

 private:
  int old_;
};

// The boards' class folder under the current device root.
std::string BoardClassFolder();

// One simulated board with the station's device handle open on it; the handle is closed and
// the board unplugged when the object goes.
class SimBoard {
 public:
  // Plugged into the boards' class folder under a scratch device root of its own, with the
  // driver's read time-out lowered so that a silent board costs little.
  explicit SimBoard(boardsim::BoardConfig config = {}, const std::string& nodeName = "board-0");
  // Plugged into `dir`/dev as "b0"; the device root and the driver's read time-out stay as
  // they are.
  explicit SimBoard(const ScratchDir& dir, boardsim::BoardConfig config = {});
  // Plugged in by `plug`, which returns the device path to open (a board on an emulated USB
  // bus, for example); the device root and the driver's read time-out stay as they are.
  SimBoard(boardsim::BoardConfig config, const std::function<std::string(boardsim::Board&)>& plug);
  ~SimBoard();
  SimBoard(const SimBoard&) = delete;
  SimBoard& operator=(const SimBoard&) = delete;

  boardsim::Board& board() { return board_; }
  const boardsim::Board& board() const { return board_; }
  station::DevHandle handle() const { return handle_; }
  const std::string& path() const { return path_; }

  // Faults of the plugged board, changed under its lock.
  template <class F>
  void SetFaults(F&& change) {
    std::lock_guard g(board_.lock());
    change(board_.faults());
  }
  // The exchanges of one opcode, in order.
  std::vector<boardsim::Exchange> Exchanges(uint8_t opcode) const;

 private:
  void Open(const std::string& folder, const std::string& nodeName);

  std::optional<ScratchDir> root_;
  std::optional<ScopedEnv> deviceRoot_;
  std::optional<ScopedReadTimeout> readTimeout_;
  boardsim::Board board_;
  std::string path_;
  station::DevHandle handle_ = station::kInvalidHandle;
};

// `n` bytes of a pattern drawn from `seed`, without a 0xFF byte: no page of it is blank, so a
// NAND write of it sends every page.
std::vector<uint8_t> FlashPattern(size_t n, uint32_t seed);

// Fills the options dialog's flash boxes as an operator would for the board of `cfg`.
void DescribeFlash(const boardsim::BoardConfig& cfg);

// The snapshot a job would take of the options dialog after DescribeFlash.
station::FlashInfo FlashInfoOf(const boardsim::BoardConfig& cfg, int slot = 0);

}  // namespace testenv

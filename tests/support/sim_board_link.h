#pragma once
// A simulated board plugged into a test's scratch folder and opened the way a slot's job opens
// its board, with the options dialog describing the board's flash.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "boardsim/board_sim.h"
#include "foundation/station_state.h"
#include "support/test_env.h"
#include "usblink/flash_options.h"
#include "usblink/usb_device.h"

namespace testenv {

// Points TEMP (the station's temporary folder) at `dir` for the lifetime of the object.
class ScopedTempEnv {
 public:
  explicit ScopedTempEnv(const std::string& dir) {
    if (const char* old = std::getenv("TEMP")) old_ = old;
    setenv("TEMP", dir.c_str(), 1);
  }
  ~ScopedTempEnv() {
    if (old_)
      setenv("TEMP", old_->c_str(), 1);
    else
      unsetenv("TEMP");
  }
  ScopedTempEnv(const ScopedTempEnv&) = delete;
  ScopedTempEnv& operator=(const ScopedTempEnv&) = delete;

 private:
  std::optional<std::string> old_;
};

// Fills the options dialog's flash boxes as an operator would for the board of `cfg`.
inline void DescribeFlash(const boardsim::BoardConfig& cfg) {
  using namespace station::option_id;
  ui::Dialog& d = station::state().optionsDlg;
  auto HexText = [](uint64_t v) {
    char b[24];
    std::snprintf(b, sizeof b, "%llx", static_cast<unsigned long long>(v));
    return std::string(b);
  };
  const int type = cfg.flash == boardsim::FlashKind::Nand ? 0 : cfg.flash == boardsim::FlashKind::Nor ? 1 : 2;
  d.SetText(kFlashType, HexText(type));
  if (type == 0) {
    d.SetText(kNandSizeM, HexText(cfg.nandSizeM));
    d.SetText(kBlockSizeK, HexText(cfg.blockSizeK));
    d.SetText(kPageSize, HexText(cfg.pageSize));
  }
  d.SetText(kTransmissionSizeK, "256");
  d.SetText(kOneWriteSizeM, "16");
}

// The snapshot a job would take of the options dialog after DescribeFlash.
inline station::FlashInfo FlashInfoOf(const boardsim::BoardConfig& cfg, int slot = 0) {
  DescribeFlash(cfg);
  station::FlashInfo info{};
  station::GetFlashInfo(info, slot);
  return info;
}

class LinkedBoard {
 public:
  explicit LinkedBoard(const ScratchDir& dir, boardsim::BoardConfig cfg = {}) : board(std::move(cfg)) {
    path = board.Plug((dir / "dev").string(), "b0");
    handle = station::OpenUsbDevice(path.c_str());
  }
  ~LinkedBoard() {
    station::CloseDevice(handle);
    board.Unplug();
  }
  LinkedBoard(const LinkedBoard&) = delete;
  LinkedBoard& operator=(const LinkedBoard&) = delete;

  template <class F>
  void Fault(F change) {
    std::lock_guard g(board.lock());
    change(board.faults());
  }

  // The exchanges of one opcode, in order.
  std::vector<boardsim::Exchange> Exchanges(uint8_t opcode) const {
    std::vector<boardsim::Exchange> out;
    for (const auto& e : board.exchanges())
      if (e.opcode == opcode) out.push_back(e);
    return out;
  }

  boardsim::Board board;
  std::string path;
  station::DevHandle handle = station::kInvalidHandle;
};

}  // namespace testenv

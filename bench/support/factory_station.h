#pragma once
// What the factory-data benchmarks run against: a station folder in /tmp with the shipped
// files, the key-bag tools and GNU tar in its tool folder, an unpacked eMMC package in
// UnTarTmp and a key bag named in USBMPTOOL.ini; and simulated eMMC boards served in this
// process, each plugged in with its slot's device handle open on it, as a job leaves a board
// when its installation is done and its factory stage begins.
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "boardsim/board_sim.h"
#include "foundation/station_state.h"
#include "usblink/flash_options.h"
#include "usblink/nand_bbt.h"

namespace benchsupport {

// The folders and files, and the process environment that points the station at them (TEMP,
// USB_DEVICE_ROOT, STATION_RUNTIME_DIR, the station folder). Everything goes at the end.
class FactoryStation {
 public:
  // `keys`: how many keys the bag holds, one per board that gets the key road.
  explicit FactoryStation(int keys);
  ~FactoryStation();
  FactoryStation(const FactoryStation&) = delete;
  FactoryStation& operator=(const FactoryStation&) = delete;

  // Empty when everything is in place; else what is missing.
  const std::string& error() const { return error_; }
  const std::string& root() const { return root_; }

  // The named mutexes of `s`, in this station's runtime folder, and the package's folder set
  // as the loaded one. Call with the station state that the run uses.
  bool Attach(station::StationState& s);

 private:
  std::string root_;
  std::string packageFolder_;
  std::string error_;
};

// One simulated eMMC board (16 MiB, its own key for "en ktee") in `slot`: plugged in, the
// slot's handle open on it, the options dialog describing its flash. Unplugged and the handle
// closed when the object goes.
class FactoryBoard {
 public:
  explicit FactoryBoard(int slot);
  ~FactoryBoard();
  FactoryBoard(const FactoryBoard&) = delete;
  FactoryBoard& operator=(const FactoryBoard&) = delete;

  bool ok() const { return station::state().slots[slot_].DeviceHandle != station::kInvalidHandle; }
  int slot() const { return slot_; }
  station::DeviceSlot& dev() { return station::state().slots[slot_]; }
  // The job's snapshot of the options dialog for this slot.
  const station::FlashInfo& info() const { return info_; }
  station::NandBbt& bbt() { return bbt_; }
  boardsim::Board& board() { return *board_; }

 private:
  int slot_;
  std::unique_ptr<boardsim::Board> board_;
  station::FlashInfo info_{};
  station::NandBbt bbt_;
};

// Fills the options dialog's flash boxes for a 16 MiB eMMC board, as an operator would.
void DescribeEmmc();

}  // namespace benchsupport

#pragma once
// Helpers for the tests of the programming procedures: the error logs that failed steps leave
// in the station folder, and a station that loads a built package and starts a job on a
// simulated board, as the end-to-end installations do.
#include <string>
#include <vector>

#include "foundation/station_state.h"
#include "mkpackage/mkpackage.h"
#include "support/package_env.h"
#include "support/usb_sim.h"
#include "usblink/flash_options.h"

namespace testenv {

// The boot pieces in the order an installation packs them (not the archive's order: the
// firmware key comes before the TEE key).
inline constexpr const char* kBootPackOrder[] = {"hw_setting.bin", "uboot.bin",      "fsbl.bin",       "tee.bin",
                                                 "bl31.bin",       "rsa_bin_fw.bin", "rsa_bin_tee.bin"};

// A station folder for installations of whole packages: the temporary folder (read-back files
// of compare mode) is the scratch folder's "temp", and the image buffers start and end empty.
struct InstallFixture : PackageFixture {
  InstallFixture();
  ~InstallFixture();

  // Builds the package, unpacks install.img as "open" does and loads it for a board of `flash`
  // (the list text: "NAND", "EMMC", ...) with the DDR type 2DDR4_1GB.
  mkpackage::PackageInfo Load(mkpackage::PackageOptions options, const std::string& flash);
  // What a job does with a board it opened, up to its installation: the slot takes the board,
  // its parameters are filled and the USB hardware setting runs (and must succeed). Returns the
  // job's snapshot of the flash options.
  station::FlashInfo StartJob(int slot, SimBoard& board);
  // What the board's flash holds.
  std::vector<uint8_t> SavedFlash(SimBoard& board);

  ScopedEnv temp;
};

// The error-log files under `appDir`/log/error_log, joined in name order, and removed, so that
// the next failure of the same second is read on its own.
std::string TakeErrorLogs(const std::string& appDir);

// True when `text` holds `lines` in this order (each after the end of the one before).
bool HasInOrder(const std::string& text, const std::vector<std::string>& lines, std::string* missing = nullptr);

}  // namespace testenv

#pragma once
// Single-mode operations: with "single mode" checked a job installs nothing. After the USB
// hardware setting it runs one low-level operation on the board, chosen with the operation
// boxes of the options dialog: a file sent to a DDR address or written to flash, a reset, a
// key request, the DDR enable, a read-back of the flash or of its spare area, or the efuse
// programs sent into DDR.
#include <cstdint>
#include <vector>

#include "foundation/result_messages.h"
#include "foundation/station_state.h"
#include "usblink/flash_options.h"

namespace station {

// The operations by number. The first checked box, in this order, chooses the operation.
namespace single_op {
enum : int {
  kNone = -1,
  kGoDdr = 0,       // 1026 "Go ddr address"
  kHwsetting,       // 998 "HW Setting"
  kUserData,        // 1004 "User data "
  kSpecialPage,     // 1003 "Special page"
  kSystemReset,     // 1000 "System reset"
  kKnKey,           // 1002 "Kn key"
  kKsKey,           // 1018 "Ks key"
  kDdrEnable,       // 1134 "DDR enable"
  kReadMode,        // 1136 "read mode"
  kReadSpare,       // 1137 "read spare"
  kBurnEfuse,       // 999 "only burn efuse"
};
}  // namespace single_op

// The single-mode files in ImageBuffers::singleMode and RemainingBytes::singleMode.
enum SingleModeFile : int { kFileGoDdr = 0, kFileHwsetting = 1, kFileUserData = 2, kFileSpecialPage = 3 };

// A file operation whose file is empty ("Rede file failed"): nothing is sent.
constexpr ResultCode kResultEmptyFile = 4;

// Where "Go ddr address" sends its file when the start address is 0.
constexpr uint32_t kGoDdrDefaultAddress = 0x1500000;

// The two efuse programs of the station folder's "efuse" folder and their DDR addresses.
struct EfuseImages {
  std::vector<uint8_t> programmer;  // the file followed by one zero byte
  uint32_t programmerLength = 0;
  uint32_t programmerAddress = 0;
  std::vector<uint8_t> verify;
  uint32_t verifyLength = 0;
  uint32_t verifyAddress = 0;
};

// The chosen operation's number, single_op::kNone when no box is checked.
int GetSingleModeOp();

// Runs the chosen operation on the board of slot `slot` (device open in `dev`) and reports its
// outcome under the label "single mode:" and the operation's name. A NAND board needs its model
// chosen (22 otherwise, after a warning, with the device closed) and gets a bad block table for
// the operation (when none can be made, 22 is reported and the operation still runs). A user
// data or special page write on NAND starts from the board's own table (the read's code, and
// nothing written, when it cannot be read) and burns it again when the write remapped a block.
// A file operation with an empty file sends nothing and ends with kResultEmptyFile after a
// warning. A user data write in "compare mode" is read back and compared. Returns the
// operation's code; 0 when nothing was sent (no operation, or efuse files missing), 22 as
// above; "read spare" gives 100 when the words were read and saved, else the read's code.
ResultCode RunSingleModeOp(int slot, DeviceSlot& dev, FlashInfo info, BurnOption option);

// Reads "efuse_programmer.complete.enc" and "efuse_verify.bin" of AppDir + "/efuse" and their
// DDR addresses, the "target=" of the lines holding "FW_EFUSE_PROGRAMMER " and
// "FW_EFUSE_VERIFY " in the folder's "layout.txt". False, with a main-log line, when a file
// cannot be read, is too large for a 32-bit length, or an address is missing.
bool LoadEfuseFiles(EfuseImages& images);

}  // namespace station

#pragma once
// Copying a flash range of a board into a dump file on the PC: eMMC and NOR ranges in one
// read (the data stay in the slot's read-back file), NAND ranges block by block, each block
// looked up in the board's own bad block table and appended to the slot's dump file.
#include <cstdint>
#include <string>

#include "foundation/station_state.h"
#include "usblink/flash_options.h"
#include "usblink/usb_wrappers.h"

namespace station {

// Looks of one NAND block in the board's table before the read gives up on that block.
inline constexpr int kBbtLookupAttempts = 3;

// The slot's dump file: AppDir + "/dump/device_no_<slot>_dump_data.bin".
std::string DumpFilePath(int slot);

struct FlashReadRequest {
  DevHandle device = kInvalidHandle;
  FlashInfo info{};
  int slot = 0;
  uint32_t start = 0;   // in the flash's address unit; with a length of 0 too, StartAddress
  uint32_t length = 0;  // bytes; with a start of 0 too, TotalDataSize
};

// Reads the requested range. A NAND read starts a new dump file and appends every block to
// it; a failed read keeps the blocks appended so far. 100, the read's code, or 9 when a block
// could not be appended.
ResultCode ReadDeviceFlash(const FlashReadRequest& request);
ResultCode ReadDeviceFlash(DevHandle device, FlashInfo info, int slot, uint32_t start, uint32_t length);

// Appends the slot's read-back file to its dump file (creating the dump folder and file when
// missing); true when every byte was appended.
bool MergeDumpFile(int slot);

}  // namespace station

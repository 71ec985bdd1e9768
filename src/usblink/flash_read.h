#pragma once
// Bringing flash contents back from a board: a range of flash read chunk by chunk into the
// slot's read-back file in the temporary folder (for the compare mode and the dumps), and the
// NAND spare bytes read into the spare file of the current folder.
#include <cstdint>
#include <string>

#include "foundation/station_state.h"
#include "usblink/flash_options.h"
#include "usblink/usb_wrappers.h"

namespace station {

inline constexpr ResultCode kResultReadDevice = 9;  // the read-back file is not there afterwards

inline constexpr uint32_t kNandReadChunk = 0x40000;
inline constexpr uint32_t kNorReadChunk = 0x1000;
inline constexpr uint32_t kEmmcReadChunk = 0x40000;
inline constexpr uint32_t kEmmcSector = 512;

// The slot's read-back file: TempDir + "/flash_data_<slot>.bin".
std::string ReadBackFilePath(int slot);
// The spare file, relative to the current folder.
inline constexpr const char* kSpareFileName = "./spare_data.bin";

// Chunk size of an eMMC read of `length` bytes: 512 up to one sector (0 included), 0x40000
// from 0x40000 on, otherwise the length rounded down to whole sectors.
uint32_t EmmcChunkSize(uint64_t length);

// Reads `length` bytes from `address` (NAND page, NOR byte, eMMC sector) into the slot's
// read-back file, replacing an earlier one. The file appears only once every chunk has
// arrived; a failed read leaves no new file behind (an older one stays as it was).
// 100 when the file exists afterwards, 9 when it does not (or the range cannot be addressed),
// 7 when the board says the read failed, or 5, 6, 10, 11 from the exchange.
ResultCode ReadDeviceToFile(DevHandle device, uint32_t address, uint64_t length, const FlashInfo* info, int slot);

// Reads `count` spare words (4 bytes each) from `address` and writes them to the spare file;
// nothing is written when the read fails. Lines go to the slot's log, or to the main log for
// slot -1. 100 when the words were read and the file written; otherwise the read's code: 10
// when the command wrapper was not taken, 11 when the data did not arrive, 7 when the board
// failed the read, the status wait's code, or 9 when the words do not fit one read or the file
// cannot be written.
ResultCode ReadSpareData(DevHandle device, uint32_t address, uint32_t count, const FlashInfo* info, int slot = -1);

}  // namespace station

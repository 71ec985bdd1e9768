#pragma once
// Two board files of the factory data: the serial number text that goes into the slot's SN
// table, and the board's read-back factory area, which becomes the old archive that a
// firmware-only upgrade takes the board's own factory data from.
#include <string>

#include "factory/slot_tables.h"

namespace station {

// Reads `path` and puts its text up to the first NUL byte into `sn` for `slot`. False when the
// file cannot be read, or (with the slot-log line "sn table or sn buf len is null") when the
// file or the text is empty.
bool ReadSnFileToTable(const std::string& path, const SlotTextTable& sn, int slot);

// Moves the slot's read-back of its factory area onto `targetPath`, replacing an older file
// there: on NAND the slot's dump file (AppDir/dump/device_no_<slot>_dump_data.bin), on eMMC
// its read-back file (TempDir/flash_data_<slot>.bin). A NOR board ("nor flash not soupport!")
// or another flash type has none. False, with "rename flash dump data failed!", when nothing
// was moved.
bool MakeDumpFilePath(const std::string& targetPath, int slot, int flashType);

}  // namespace station

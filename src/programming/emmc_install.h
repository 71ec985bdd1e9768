#pragma once
// The eMMC installation of a board: the boot area (seven boot pieces packed back to back from
// sector 256), the firmware entries, the firmware table and its gold copy, the gold entries,
// the partition pieces and the MBR images, each with one flash write. Every eMMC address is a
// 512-byte sector. In compare mode each piece is read back and compared right after its write.
#include <cstdint>

#include "foundation/fw_entry.h"
#include "foundation/result_messages.h"
#include "foundation/station_state.h"
#include "usblink/flash_options.h"
#include "usblink/nand_bbt.h"

namespace station {

inline constexpr uint32_t kEmmcBootAreaSector = 256;
inline constexpr uint32_t kEmmcFwTableSector = 0x3100;
inline constexpr uint64_t kEmmcGoldTableGap = 0x40;  // sectors after the table's own offset

// Writes the loaded installation image to the eMMC board of `dev`, with the slot's counters of
// bytes still to send (they fall as the data goes out). Every write and compare is reported
// through ReportResult with its step's name; the first one that is not 100 ends the procedure
// with its code. A counter that does not describe its piece (more or fewer bytes than the
// piece holds), or a write that leaves bytes of its piece unsent, ends it with 3. The bad
// block table is not used.
ResultCode EmmcFullInstall(int slot, DeviceSlot& dev, FlashInfo info, FwEntryTable& table, BurnOption option,
                           NandBbt& bbt);

// Sectors a boot piece of `size` bytes takes in the boot area (the last one may be partly used).
uint64_t BootPieceSectors(int64_t size);

}  // namespace station

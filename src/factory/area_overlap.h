#pragma once
// What of a board's flash the installation of the loaded package occupies, and the check that
// the factory and storage areas of a factory write stay clear of it: an area written over the
// installation would destroy a boot copy, a firmware entry or a partition. Ranges are counted
// in NAND blocks or eMMC sectors, first and last included.
#include <cstdint>
#include <string>
#include <vector>

#include "usblink/flash_options.h"

namespace station {

struct FlashRange {
  std::string name;
  uint64_t first = 0;
  uint64_t last = 0;
};

// The ranges the installation of the loaded package writes on a board of `info`.
// NAND: the bad block table's blocks 1 and 2, the gold profile's block 3, the boot area from
// block 6 (each boot piece four times, block by block), the firmware entries with the gold
// copies of the firmware table and the profile, and each partition's area with its head pages.
// eMMC: the boot area from sector 256, the firmware entries, the firmware table's gold copy,
// each partition's area and the MBR images. Empty for other flash types or without a usable
// geometry. Reads the loaded package: the caller holds it.
std::vector<FlashRange> InstallationRanges(const FlashInfo& info);

// The areas a factory write with `option` uses, each with its whole room: the storage area
// when "burn factory" and "burn se_storage" are both set, then factory copies 0 and 1. Areas
// without a position or room are left out.
std::vector<FlashRange> FactoryAreaRanges(const FlashInfo& info, const BurnOption& option);

// True when no area of FactoryAreaRanges overlaps InstallationRanges. Otherwise the slot's log
// gets a line naming both ranges, the step is reported failed with 17 and the result is false;
// nothing is sent to the board either way.
bool AreasClearOfInstallation(int slot, const FlashInfo& info, const BurnOption& option);

}  // namespace station

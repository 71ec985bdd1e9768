#pragma once
// The firmware entry table: the 24 pieces of an installation package, in fixed order, and
// what a package load put into memory for each.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/pages.h"

namespace station {

struct FwEntry {
  std::string Name;        // upper case with exactly one trailing blank, e.g. "FW_KERNEL "
  uint64_t Size = 0;       // bytes of the entry's file in Buffer; 0 = not in the package
  plat::PageBuffer Buffer; // the entry's data; empty when nothing is loaded
  uint64_t Offset = 0;     // the layout's "offset=" (flash position)
  uint32_t Target = 0;     // the layout's "target=" (DDR address)
};

constexpr int kFwEntryCount = 24;
using FwEntryTable = std::array<FwEntry, kFwEntryCount>;

// Index of each entry in the table.
enum FwIndex : int {
  FW_KERNEL = 0, FW_RESCUE_DT, FW_KERNEL_DT, FW_RESCUE_ROOTFS, FW_KERNEL_ROOTFS,
  FW_NAS_RESCUE_KERNEL, FW_NAS_RESCUE_DT, FW_NAS_RESCUE_ROOTFS, FW_AKERNEL, FW_TEEKERNEL,
  FW_BL31, FW_P_UBOOT, FW_DALOGO, FW_DILOGO, FW_CILOGO1, FW_FWTBL, FW_CONFIG, FW_PROFILE,
  FW_GOLD_KERNEL, FW_GOLD_RESCUE_DT, FW_GOLD_ROOTFS, FW_GOLD_AKERNEL, FW_EFUSE_VERIFY,
  FW_EFUSE_PROGRAMMER,
};

// The process-wide table, built with its names before first use.
FwEntryTable& fwEntryTable();
// Index of the entry called `name` (with its trailing blank), or -1.
int FindFwEntry(std::string_view name);

}  // namespace station

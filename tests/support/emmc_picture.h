#pragma once
// What an eMMC board must hold after a whole installation, drawn by the tests themselves from
// the package builder's description, independently of the station's installer.
#include <cstdint>
#include <vector>

#include "mkpackage/mkpackage.h"

namespace testenv {

// The loader cuts partitions into pieces of this many bytes.
inline constexpr uint64_t kEmmcPartitionPiece = 0x3000000;

// More of the layout than the builder's default: every kind of entry the eMMC takes, boot
// pieces that do not fill their last sector, and a partition that the loader cuts in two
// pieces. MBR images at sector 0 and at 0x200000.
mkpackage::PackageOptions RichEmmcPackage();

// An erased eMMC of `emmcBytes` with the package laid on it: the boot pieces packed by sectors
// from sector 256, the entries at their offsets, the firmware table at sector 0x3100 and its
// gold copy 0x40 sectors after its own offset, the partitions and MBR images at theirs.
std::vector<uint8_t> DrawInstallation(const mkpackage::PackageInfo& pkg, uint64_t emmcBytes);

// The places where two images differ, for people: empty when they are equal.
std::vector<uint64_t> Differences(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want,
                                  size_t limit = 8);

}  // namespace testenv

#pragma once
// Turning an unpacked installation package (UnTarTmp, with the package folder found) into the
// data the programming procedures send: the USB hardware-setting program for eMMC boards, the
// boot pieces, the 24 firmware entries, the partition images cut into 48 MiB pieces and, for
// eMMC, the MBR images. Runs on an image loading thread while the main controls are disabled.
#include <cstdint>

namespace station {

// Partition images are held in pieces of this many bytes, each in its own page block.
constexpr uint64_t kPartitionPieceSize = 0x3000000;
// Partition numbers run from 0 to 29.
constexpr int kMaxPartitionNumber = 30;

// Loads everything the layout names. 1 when all that is needed was loaded; 0 otherwise, with
// the reason in the main log, leaving the caller to report the failure and release the image
// (what was loaded before the failing step stays until then). A loading thread asked to stop
// (plat::StopRequested) gets 0 before its next entry or piece, with nothing logged for it.
int ReadUntarTempFiles();

}  // namespace station

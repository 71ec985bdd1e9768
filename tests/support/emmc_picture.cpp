#include "support/emmc_picture.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "support/install_env.h"
#include "support/test_env.h"

namespace testenv {

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t kSectorBytes = 512;

// The layout keys that go to the eMMC at their own offsets (the firmware table does not).
const char* const kAtOffset[] = {
    "FW_KERNEL",  "FW_RESCUE_DT", "FW_KERNEL_DT", "FW_RESCUE_ROOTFS", "FW_KERNEL_ROOTFS", "FW_NAS_RESCUE_KERNEL",
    "FW_NAS_RESCUE_DT", "FW_NAS_RESCUE_ROOTFS", "FW_AKERNEL", "FW_TEEKERNEL", "FW_BL31", "FW_P_UBOOT", "FW_DALOGO",
    "FW_DILOGO", "FW_CILOGO1", "FW_CONFIG", "FW_GOLD_KERNEL", "FW_GOLD_RESCUE_DT", "FW_GOLD_ROOTFS",
    "FW_GOLD_AKERNEL"};

}  // namespace

mkpackage::PackageOptions RichEmmcPackage() {
  mkpackage::PackageOptions o;
  o.emmc = true;
  o.entries = mkpackage::DefaultEntries(true);
  o.entries.push_back({"FW_TEEKERNEL", "tee_kernel.bin", 0x3000, 0, 0, true, 0x10100000});
  o.entries.push_back({"FW_CONFIG", "config.bin", 0x200, 0, 0, true, 0});
  o.entries.push_back({"FW_GOLD_KERNEL", "gold_uImage", 0x22000, 0, 0, true, 0x03000000});
  o.entries.push_back({"FW_GOLD_ROOTFS", "gold_root.cpio.gz", 0x8100, 0, 0, true, 0x02200000});
  o.partitions = {{0, "rootfs.bin", kEmmcPartitionPiece + 0x1234, 0, 0}, {1, "etc.bin", 0x8000, 0, 0}, {2, "cache.bin", 0x4064, 0, 0}};
  o.bootPieceSizes = {{"hw_setting.bin", 1000}, {"uboot.bin", 0x12345}, {"fsbl.bin", 512}, {"tee.bin", 513},
                      {"bl31.bin", 7000},       {"rsa_bin_tee.bin", 300}, {"rsa_bin_fw.bin", 600}};
  return o;
}

std::vector<uint8_t> DrawInstallation(const mkpackage::PackageInfo& pkg, uint64_t emmcBytes) {
  Bytes image(emmcBytes, 0xFF);
  auto put = [&](uint64_t offset, const Bytes& data) {
    if (offset + data.size() > image.size()) throw std::out_of_range("a piece past the end of the eMMC");
    std::copy(data.begin(), data.end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
  };
  uint64_t sector = 256;
  for (const char* member : kBootPackOrder) {  // packed from sector 256
    auto it = std::find_if(pkg.bootPieces.begin(), pkg.bootPieces.end(),
                           [&](const mkpackage::BootPieceData& b) { return b.member == member && b.present; });
    if (it == pkg.bootPieces.end()) break;
    const Bytes data = ReadBytes(it->path);
    put(sector * kSectorBytes, data);
    sector += (data.size() + kSectorBytes - 1) / kSectorBytes;
  }
  for (const mkpackage::PlacedData& e : pkg.entries) {
    if (!e.present) continue;
    const Bytes data = ReadBytes(e.path);
    if (e.key == "FW_FWTBL") {
      put(0x3100 * kSectorBytes, data);
      put((e.offset / kSectorBytes + 0x40) * kSectorBytes, data);
    } else if (std::find(std::begin(kAtOffset), std::end(kAtOffset), e.key) != std::end(kAtOffset)) {
      put(e.offset, data);
    }
  }
  for (const mkpackage::PlacedData& p : pkg.partitions)
    if (p.present) put(p.offset, ReadBytes(p.path));
  for (const mkpackage::PlacedData& m : pkg.mbrs)
    if (m.present) put(m.offset, ReadBytes(m.path));
  return image;
}

std::vector<uint64_t> Differences(const Bytes& got, const Bytes& want, size_t limit) {
  std::vector<uint64_t> at;
  if (got.size() != want.size()) return {~0ull};
  for (uint64_t i = 0; i < got.size() && at.size() < limit; ++i) {
    // Whole words first: the images are large and mostly equal.
    if (i % 8 == 0 && i + 8 <= got.size() && std::memcmp(&got[i], &want[i], 8) == 0) {
      i += 7;
      continue;
    }
    if (got[i] != want[i]) at.push_back(i);
  }
  return at;
}

}  // namespace testenv

#include "support/nand_picture.h"

#include <cstdio>

#include "support/install_env.h"
#include "support/test_env.h"

namespace testenv {

namespace {

// The layout keys in the order the installation writes them.
const char* const kWriteOrder[] = {
    "FW_KERNEL",        "FW_RESCUE_DT",  "FW_KERNEL_DT",         "FW_RESCUE_ROOTFS", "FW_KERNEL_ROOTFS",
    "FW_NAS_RESCUE_KERNEL", "FW_NAS_RESCUE_DT", "FW_NAS_RESCUE_ROOTFS", "FW_AKERNEL", "FW_TEEKERNEL",
    "FW_BL31",          "FW_P_UBOOT",    "FW_DALOGO",            "FW_DILOGO",        "FW_CILOGO1",
    "FW_FWTBL",         "FW_CONFIG",     "FW_PROFILE",           "FW_GOLD_KERNEL",   "FW_GOLD_RESCUE_DT",
    "FW_GOLD_ROOTFS",   "FW_GOLD_AKERNEL",
};

}  // namespace

mkpackage::PackageOptions RichNandPackage() {
  mkpackage::PackageOptions o;
  o.entries = mkpackage::DefaultEntries(false);
  o.entries.push_back({"FW_TEEKERNEL", "tee_kernel.bin", 0x3000, 0, 0, true, 0x10100000});
  o.entries.push_back({"FW_DALOGO", "dalogo.bin", 0x1800, 0, 0, true, 0});
  o.entries.push_back({"FW_CONFIG", "config.bin", 0x200, 0, 0, true, 0});
  o.entries.push_back({"FW_GOLD_KERNEL", "gold_uImage", 0x22000, 0, 0, true, 0x03000000});
  o.entries.push_back({"FW_GOLD_RESCUE_DT", "gold_rescue.dtb", 0x2000, 0, 0, true, 0x02140000});
  o.entries.push_back({"FW_GOLD_AKERNEL", "gold_audio", 0x4000, 0, 0, true, 0x0f900000});
  // A partition of two and a half blocks, and two small ones, the last not a whole number
  // of pages.
  o.partitions = {{0, "rootfs.bin", 0x50000, 0, 0}, {1, "etc.bin", 0x8000, 0, 0}, {2, "cache.bin", 0x4064, 0, 0}};
  return o;
}

// Draws the installation of `pkg` on `pic`, from the package's description alone.
void DrawInstallation(FlashPicture& pic, const mkpackage::PackageInfo& pkg, NandExpectation x) {
  const uint64_t B = pic.block();
  auto bootPiece = [&](const std::string& member) -> const mkpackage::BootPieceData* {
    for (const auto& p : pkg.bootPieces)
      if (p.member == member && p.present) return &p;
    return nullptr;
  };
  if (bootPiece("hw_setting.bin")) {
    uint64_t block = 6;  // the boot pieces are packed from block 6
    for (int k = 0; k < 7; ++k) {
      const mkpackage::BootPieceData* p = bootPiece(testenv::kBootPackOrder[k]);
      if (!p) {
        if (k >= 2) break;  // from the FSBL on, a missing piece ends the boot area
        continue;
      }
      const Bytes data = testenv::ReadBytes(p->path);
      const uint64_t blocksPerCopy = (data.size() + B - 1) / B;
      for (int copy = 0; copy < 4; ++copy, block += blocksPerCopy) pic.Write(block * B, data);
    }
  }
  if (x.onlyBootloader) return;

  for (const char* key : kWriteOrder) {
    for (const mkpackage::PlacedData& e : pkg.entries) {
      if (e.key != key || !e.present) continue;
      const Bytes data = testenv::ReadBytes(e.path);
      pic.Write(e.offset, data);
      if (e.key == "FW_FWTBL") pic.Write(e.offset + B, data);  // gold table: one block on
      if (e.key == "FW_PROFILE") pic.Write(3 * B, data);       // gold profile: block 3
    }
  }
  if (x.secureOnly) return;

  for (const mkpackage::PlacedData& p : pkg.partitions) {
    if (!p.present || p.size == 0) continue;
    const Bytes data = testenv::ReadBytes(p.path);
    pic.Write(p.offset, data);
    const uint64_t headPage = (p.offset + p.size + pic.page() - 1) / pic.page();
    const int64_t blocksLeft = (int64_t(p.layoutSize) - int64_t(p.size)) / int64_t(pic.block());
    pic.HeadPage(headPage, blocksLeft, Bytes(data.begin(), data.begin() + std::min<uint64_t>(pic.page(), data.size())));
  }
}

// The picture of `pkg` installed on a board of `cfg`, with the bad block table burnt into
// blocks 1 and 2 afterwards.
FlashPicture Installed(const boardsim::BoardConfig& cfg, const mkpackage::PackageInfo& pkg, NandExpectation x) {
  FlashPicture pic(cfg);
  DrawInstallation(pic, pkg, x);
  const Bytes table = pic.Table();
  pic.Write(1 * pic.block(), table);
  pic.Write(2 * pic.block(), table);
  return pic;
}

// Where two flash images first differ, for people: empty when they are equal.
std::string FirstDifference(const Bytes& got, const Bytes& want, uint64_t blockBytes) {
  if (got.size() != want.size())
    return "flash of " + std::to_string(got.size()) + " bytes, expected " + std::to_string(want.size());
  auto [g, w] = std::mismatch(got.begin(), got.end(), want.begin());
  if (g == got.end()) return {};
  const uint64_t at = static_cast<uint64_t>(g - got.begin());
  char text[160];
  std::snprintf(text, sizeof text, "first difference at 0x%llx (block %llu + 0x%llx): 0x%02x, expected 0x%02x",
                static_cast<unsigned long long>(at), static_cast<unsigned long long>(at / blockBytes),
                static_cast<unsigned long long>(at % blockBytes), *g, *w);
  return text;
}


}  // namespace testenv

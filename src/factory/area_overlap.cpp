#include "factory/area_overlap.h"

#include <algorithm>

#include "factory/area_positions.h"
#include "factory/area_write.h"
#include "foundation/log_boxes.h"
#include "foundation/result_messages.h"
#include "foundation/station_state.h"
#include "package/type_lists.h"
#include "programming/emmc_install.h"
#include "programming/nand_install.h"
#include "usblink/bbt_burn.h"
#include "usblink/flash_read.h"

namespace station {

namespace {

// The firmware entries written once at their own offset, in both installations.
constexpr int kOwnOffsetEntries[] = {FW_KERNEL,       FW_RESCUE_DT,         FW_KERNEL_DT,     FW_RESCUE_ROOTFS,
                                     FW_KERNEL_ROOTFS, FW_NAS_RESCUE_KERNEL, FW_NAS_RESCUE_DT, FW_NAS_RESCUE_ROOTFS,
                                     FW_AKERNEL,      FW_TEEKERNEL,         FW_BL31,          FW_P_UBOOT,
                                     FW_DALOGO,       FW_DILOGO,            FW_CILOGO1,       FW_CONFIG,
                                     FW_GOLD_KERNEL,  FW_GOLD_RESCUE_DT,    FW_GOLD_ROOTFS,   FW_GOLD_AKERNEL};

// An entry's name without its trailing blank.
std::string EntryName(const FwEntry& e) {
  std::string name = e.Name;
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name;
}

// Collects byte ranges as ranges of units (NAND blocks or eMMC sectors).
class Ranges {
 public:
  explicit Ranges(uint64_t unit) : unit_(unit) {}
  void AddBytes(const std::string& name, uint64_t offset, uint64_t length) {
    if (length == 0) return;
    ranges_.push_back({name, offset / unit_, (offset + length - 1) / unit_});
  }
  void AddUnits(const std::string& name, uint64_t first, uint64_t count) {
    if (count > 0) ranges_.push_back({name, first, first + count - 1});
  }
  std::vector<FlashRange> Take() { return std::move(ranges_); }

 private:
  uint64_t unit_;
  std::vector<FlashRange> ranges_;
};

// The partitions of the loaded package: consecutive pieces of one name make one partition,
// which takes its layout size from its first piece's offset, or its data and the head page
// behind it when they are longer.
void AddPartitions(Ranges& out, const ImageBuffers& img, uint64_t headPage) {
  const auto& pieces = img.partitionPieces;
  for (size_t i = 0; i < pieces.size();) {
    const PartitionPiece& first = pieces[i];
    uint64_t data = 0;
    for (; i < pieces.size() && pieces[i].name == first.name; ++i) data += pieces[i].length;
    out.AddBytes(first.name, first.offset, std::max(first.layoutSize, data + headPage));
  }
}

// The boot pieces an installation writes: none without a hardware setting; the hardware
// setting and the boot code always, from the FSBL on up to the first piece that is missing.
template <class Each>
void ForEachBootPiece(const ImageBuffers& img, Each each) {
  if (img.boot[kBootHwsetting].length == 0) return;
  for (int k = 0; k < kBootPieceCount; ++k) {
    if (k >= kBootFsbl && img.boot[k].length == 0) return;
    each(k, img.boot[k].length);
  }
}

std::vector<FlashRange> NandRanges(const FlashInfo& info) {
  const uint64_t block = uint64_t(info.BlockSizeK) * 1024;
  const uint64_t page = info.PageSize;
  Ranges out(block);
  const StationState& s = state();
  const FwEntryTable& table = *s.fwEntries;

  for (int k : kBbtCopyBlocks) out.AddUnits("bad block table", static_cast<uint64_t>(k), 1);
  if (table[FW_PROFILE].Size > 0) out.AddUnits("gold profile", kNandGoldProfileBlock, 1);

  // Every copy of a boot piece takes whole blocks (the recorded length is four copies).
  uint64_t bootBlocks = 0;
  ForEachBootPiece(s.images, [&](int, uint32_t length) {
    const int64_t copy = static_cast<int32_t>(length) / 4;
    if (copy > 0) bootBlocks += 4 * ((uint64_t(copy) + block - 1) / block);
  });
  out.AddUnits("boot area", kNandBootFirstBlock, bootBlocks);

  for (int i : kOwnOffsetEntries) out.AddBytes(EntryName(table[i]), table[i].Offset, table[i].Size);
  const FwEntry& fwTable = table[FW_FWTBL];
  out.AddBytes(EntryName(fwTable), fwTable.Offset, fwTable.Size);
  out.AddBytes(EntryName(fwTable) + " gold copy", fwTable.Offset + block, fwTable.Size);
  out.AddBytes(EntryName(table[FW_PROFILE]), table[FW_PROFILE].Offset, table[FW_PROFILE].Size);
  AddPartitions(out, s.images, page);
  return out.Take();
}

std::vector<FlashRange> EmmcRanges() {
  Ranges out(kEmmcSector);
  const StationState& s = state();
  const FwEntryTable& table = *s.fwEntries;

  uint64_t bootSectors = 0;
  ForEachBootPiece(s.images, [&](int, uint32_t length) { bootSectors += BootPieceSectors(length); });
  out.AddUnits("boot area", kEmmcBootAreaSector, bootSectors);

  for (int i : kOwnOffsetEntries) out.AddBytes(EntryName(table[i]), table[i].Offset, table[i].Size);
  // The table's first copy at its fixed sector is left out: on a board with a storage area
  // factory copy 0 starts there and takes its place, and the gold copy stays.
  const FwEntry& fwTable = table[FW_FWTBL];
  out.AddBytes(EntryName(fwTable) + " gold copy", (fwTable.Offset / kEmmcSector + kEmmcGoldTableGap) * kEmmcSector,
               fwTable.Size);
  AddPartitions(out, s.images, 0);
  for (const MbrImage& mbr : s.images.mbrImages) out.AddBytes(mbr.name, mbr.offset, mbr.length);
  return out.Take();
}

// Bytes of one position unit: a page on NAND, a sector on eMMC.
uint64_t PositionBytes(const FlashInfo& info) { return info.FlashType == kFlashNand ? info.PageSize : kEmmcSector; }

const char* UnitName(const FlashInfo& info) { return info.FlashType == kFlashNand ? "blocks" : "sectors"; }

}  // namespace

std::vector<FlashRange> InstallationRanges(const FlashInfo& info) {
  if (!AreaGeometryUsable(info)) return {};
  return info.FlashType == kFlashNand ? NandRanges(info) : EmmcRanges();
}

std::vector<FlashRange> FactoryAreaRanges(const FlashInfo& info, const BurnOption& option) {
  if (!AreaGeometryUsable(info)) return {};
  Ranges out(info.FlashType == kFlashNand ? uint64_t(info.BlockSizeK) * 1024 : kEmmcSector);
  const uint64_t unit = PositionBytes(info);
  auto add = [&](const char* name, uint32_t start, uint32_t room) {
    if (start != kNoPosition) out.AddBytes(name, uint64_t(start) * unit, room);
  };
  if (option.burnFactory && option.useSecureStorage)
    add("storage area", StorageAreaStart(info), StorageAreaRoom(info, option));
  add("factory copy 0", GetFactoryAreaOffset(info, option, 0), FactoryCopyRoom(info, option, 0));
  add("factory copy 1", GetFactoryAreaOffset(info, option, 1), FactoryCopyRoom(info, option, 1));
  return out.Take();
}

bool AreasClearOfInstallation(int slot, const FlashInfo& info, const BurnOption& option) {
  const std::vector<FlashRange> installed = InstallationRanges(info);
  for (const FlashRange& area : FactoryAreaRanges(info, option)) {
    for (const FlashRange& used : installed) {
      if (area.last < used.first || used.last < area.first) continue;
      const char* unit = UnitName(info);
      PrintDeviceLog(slot, "icon[%d] : %s (%s %llu - %llu) overlaps the installation's %s (%s %llu - %llu)\r\n", slot,
                     area.name.c_str(), unit, static_cast<unsigned long long>(area.first),
                     static_cast<unsigned long long>(area.last), used.name.c_str(), unit,
                     static_cast<unsigned long long>(used.first), static_cast<unsigned long long>(used.last));
      ReportResult(kFactoryError, slot, "factory area over the installation");
      return false;
    }
  }
  return true;
}

}  // namespace station

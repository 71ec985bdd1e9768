#include "programming/emmc_install.h"

#include <cstdio>
#include <limits>
#include <string>

#include "foundation/log_boxes.h"
#include "usblink/compare_mode.h"
#include "usblink/send_routine.h"
#include "usblink/usb_wrappers.h"

namespace station {

namespace {

constexpr uint8_t kSubWriteFlash = 1;
constexpr uint64_t kSector = 512;
// Address lines end with a blank, the ideographic full stop and CR LF.
constexpr char kAddressEnd[] = " \xE3\x80\x82\r\n";
constexpr char kStartBlock[] = " icon[%d] : start block : %d";

struct BootStep {
  BootPiece piece;
  const char* addressLine;
  const char* writeLabel;
  const char* compareLabel;
};

// The boot area in the order the pieces follow one another on the eMMC.
constexpr BootStep kBootSteps[kBootPieceCount] = {
    {kBootHwsetting, "uboot hwsetting address icon[%d] : start block : %d", "emmc install hwsetting", "uboot hwstting"},
    {kBootCode, "boocode address icon[%d] : start block %d", "emmc install  bootcode", "uboot bootcode"},
    {kBootFsbl, "uboot FSBL address icon[%d] : start block : %d", "emmc install  fsbl", "uboot fsbl"},
    {kBootTee, "uboot tee_enc.bin address icon[%d] : start block : %d", "emmc install  uboot tee_enc.bin", "uboot tee"},
    {kBootBl31, "uboot bl31.bin address icon[%d] : start block : %d", "emmc install  uboot bl31.bin", "uboot bl31"},
    {kBootRsaFw, "uboot rsa_bin_fw.bin address icon[%d] : start block : %d", "emmc install  uboot rsa_bin_fw.bin",
     "uboot rsa_bin_fw"},
    {kBootRsaTee, "uboot rsa_bin_tee.bin address icon[%d] : start block : %d", "emmc install  uboot rsa_bin_tee.bin",
     "uboot rsa_bin_tee"},
};

// Address line text after the name of firmware entries 0 to 14.
constexpr const char* kEntryLines[15] = {
    kStartBlock,                       // FW_KERNEL
    kStartBlock,                       // FW_RESCUE_DT
    "icon[%d] : start block : %d",     // FW_KERNEL_DT
    " icon[%d] - start block : %d",    // FW_RESCUE_ROOTFS
    kStartBlock,                       // FW_KERNEL_ROOTFS
    kStartBlock,                       // FW_NAS_RESCUE_KERNEL
    kStartBlock,                       // FW_NAS_RESCUE_DT
    kStartBlock,                       // FW_NAS_RESCUE_ROOTFS
    " icon[%d] : Starblock : %d",      // FW_AKERNEL
    " icon[%d] : Starblock : %d",      // FW_TEEKERNEL
    " icon[%d] : Starblock : %d",      // FW_BL31
    " icon[%d] : starblock : %d",      // FW_P_UBOOT
    kStartBlock,                       // FW_DALOGO
    kStartBlock,                       // FW_DILOGO
    kStartBlock,                       // FW_CILOGO1
};

// One piece as it is written: its bytes, how many of them the buffer really holds, and the
// counter that the send counts down (null when the slot has none for it).
struct Piece {
  uint64_t sector = 0;
  const uint8_t* data = nullptr;
  uint64_t length = 0;
  uint64_t capacity = 0;
  int64_t* remaining = nullptr;
  uint16_t partMarker = 0;
};

uint64_t Capacity(const ImageRecord& r) { return r.pages.empty() ? r.heap.size() : r.pages.size(); }

class Installer {
 public:
  Installer(int slot, DeviceSlot& dev, const FlashInfo& info, const BurnOption& option)
      : slot_(slot), dev_(dev), info_(info), compare_(option.compareMode != 0) {}

  ResultCode Run(FwEntryTable& table, const BurnOption& option);

 private:
  // Returns true when the procedure ends after the boot area (with `result`).
  bool BootArea(const BurnOption& option, ResultCode& result);
  ResultCode Entry(FwEntryTable& table, int index, const char* line);

  void Announce(const std::string& name, const char* line, uint64_t sector);
  ResultCode WriteStep(const Piece& p, const std::string& label);
  ResultCode CompareStep(const Piece& p, const std::string& label);
  ResultCode WriteAndCompare(const Piece& p, const std::string& writeLabel, const std::string& compareLabel) {
    ResultCode rc = WriteStep(p, writeLabel);
    if (rc != kResultOk || !compare_) return rc;
    return CompareStep(p, compareLabel);
  }

  const int slot_;
  DeviceSlot& dev_;
  const FlashInfo info_;
  const bool compare_;
  int32_t remapCount_ = 0;  // shared by every write of this board; eMMC never remaps
};

void Installer::Announce(const std::string& name, const char* line, uint64_t sector) {
  char text[kLogBufferSize];
  std::snprintf(text, sizeof text, line, slot_, static_cast<int>(sector));
  const std::string all = name + text + kAddressEnd;
  PrintDeviceLog(slot_, "%s", all.c_str());
  PrintLog("%s", all.c_str());
}

ResultCode Installer::WriteStep(const Piece& p, const std::string& label) {
  ResultCode result;
  if (p.sector > std::numeric_limits<uint32_t>::max()) {
    // The command block holds a 32-bit sector: a wrapped one would overwrite another place.
    PrintDeviceLog(slot_, "%s: sector %llu is out of reach\r\n", label.c_str(), static_cast<unsigned long long>(p.sector));
    result = kResultSizeError;
  } else if (!p.remaining || *p.remaining < 0 || static_cast<uint64_t>(*p.remaining) != p.length ||
             p.length > p.capacity) {
    // The counter is the length of the send: more than the buffer holds would send what lies
    // behind it, fewer would leave the piece cut short on the board.
    PrintDeviceLog(slot_, "%s: %lld bytes to send for %llu bytes loaded\r\n", label.c_str(),
                   p.remaining ? static_cast<long long>(*p.remaining) : -1LL, static_cast<unsigned long long>(p.length));
    result = kResultSizeError;
  } else {
    result = PerformReadTest(dev_.DeviceHandle, OpByte(VendorOpcode::WriteFlash), kSubWriteFlash,
                             static_cast<uint32_t>(p.sector), p.data, p.remaining, 0, 0, 0, 0,
                             static_cast<int32_t>(info_.TransRange), info_.FlashType, p.partMarker,
                             info_.OnceMaxTransRange, 0, static_cast<uint8_t>(info_.Secure), 0, &remapCount_, nullptr,
                             slot_);
    if (result == kResultOk && *p.remaining != 0) {
      PrintDeviceLog(slot_, "%s: %lld bytes were not sent\r\n", label.c_str(), static_cast<long long>(*p.remaining));
      result = kResultSizeError;
    }
  }
  ReportResult(result, slot_, label);
  return result;
}

ResultCode Installer::CompareStep(const Piece& p, const std::string& label) {
  PrintLog("emmc start compare \r\n");
  PrintDeviceLog(slot_, "icon[%d] : %s start compare \r\n ", slot_, label.c_str());
  const ResultCode result = CompareDeviceData(dev_.DeviceHandle, static_cast<uint32_t>(p.sector),
                                              static_cast<int64_t>(p.length), slot_, p.data, nullptr);
  ReportResult(result, slot_, label + " data compare");
  return result;
}

bool Installer::BootArea(const BurnOption& option, ResultCode& result) {
  const ImageBuffers& img = state().images;
  RemainingBytes& rem = dev_.Remaining;

  // Sector counts first: the sends consume the sizes.
  uint64_t sectors[kBootPieceCount];
  for (int k = 0; k < kBootPieceCount; ++k) sectors[k] = BootPieceSectors(rem.boot[k]);

  if (rem.boot[kBootHwsetting] == 0) {
    PrintDeviceLog(slot_, "uboot hwsetting length:=0 , start writing the fw kernel.\r\n");
    PrintLog("uboot hwsetting length:=0,start writing the fw kernel.\r\n");
    return false;
  }

  const bool onlyBootloader = option.onlyUpgradeBootloader != 0;
  uint64_t sector = kEmmcBootAreaSector;
  for (const BootStep& step : kBootSteps) {
    // The hwsetting and the bootcode always go; from the FSBL on the chain ends at the first
    // piece that is missing. Then only a boot loader upgrade is done, with or without FSBL.
    if (step.piece >= kBootFsbl && rem.boot[step.piece] <= 0) {
      result = kResultOk;
      return onlyBootloader;
    }
    const ImageBuffer& buf = img.boot[step.piece];
    Piece p;
    p.sector = sector;
    p.data = buf.data.data();
    p.length = buf.length;
    p.capacity = buf.data.size();
    p.remaining = &rem.boot[step.piece];
    p.partMarker = step.piece == kBootHwsetting ? info_.SpecialValue : 0;
    Announce("", step.addressLine, sector);
    result = WriteAndCompare(p, step.writeLabel, step.compareLabel);
    if (result != kResultOk) return true;
    sector += sectors[step.piece];
  }
  result = kResultOk;
  return onlyBootloader;
}

ResultCode Installer::Entry(FwEntryTable& table, int index, const char* line) {
  FwEntry& e = table[index];
  Piece p;
  p.sector = e.Offset / kSector;
  p.data = e.Buffer.data();
  p.length = e.Size;
  p.capacity = e.Buffer.size();
  p.remaining = &dev_.Remaining.entries[index];
  Announce(e.Name, line, p.sector);
  return WriteAndCompare(p, "emmc install " + e.Name, e.Name);
}

ResultCode Installer::Run(FwEntryTable& table, const BurnOption& option) {
  ResultCode rc = kResultOk;
  if (BootArea(option, rc)) return rc;

  for (int i = FW_KERNEL; i <= FW_CILOGO1; ++i) {
    rc = Entry(table, i, kEntryLines[i]);
    if (rc != kResultOk) return rc;
  }

  // The firmware table twice from one buffer: each write counts down a copy of the slot's
  // counter, so both send the whole table.
  {
    FwEntry& t = table[FW_FWTBL];
    int64_t& counter = dev_.Remaining.entries[FW_FWTBL];
    Piece p;
    p.data = t.Buffer.data();
    p.length = t.Size;
    p.capacity = t.Buffer.size();

    int64_t first = counter;
    p.sector = kEmmcFwTableSector;
    p.remaining = &first;
    Announce(t.Name, kStartBlock, p.sector);
    PrintDeviceLog(slot_, "emmc install %s \r\n", t.Name.c_str());
    rc = WriteAndCompare(p, "emmc install " + t.Name, t.Name);
    if (rc != kResultOk) return rc;

    int64_t gold = counter;
    p.sector = t.Offset / kSector + kEmmcGoldTableGap;
    p.remaining = &gold;
    Announce(t.Name, kStartBlock, p.sector);
    PrintDeviceLog(slot_, "emmc install W_FW_GOLD_TABLE \r\n");
    rc = WriteStep(p, "emmc install W_FW_GOLD_TABLE");
    if (rc != kResultOk) return rc;
    StoreCounter(counter, 0);
    if (compare_) {
      rc = CompareStep(p, t.Name);
      if (rc != kResultOk) return rc;
    }
  }

  // FW_PROFILE is not written on eMMC.
  rc = Entry(table, FW_CONFIG, kStartBlock);
  if (rc != kResultOk) return rc;

  for (int i = FW_GOLD_KERNEL; i <= FW_GOLD_AKERNEL; ++i) {
    if (i == FW_GOLD_KERNEL) PrintLog("W_FW_GOLD_KERNEL seekpoint: %d%s", i, kAddressEnd);
    rc = Entry(table, i, kStartBlock);
    if (rc != kResultOk) return rc;
  }

  // The efuse files never go to the eMMC; a secure firmware upgrade ends here.
  if (option.onlyUpgradeSecureFirmware) return kResultOk;

  const ImageBuffers& img = state().images;
  RemainingBytes& rem = dev_.Remaining;
  const auto& pieces = img.partitionPieces;
  uint64_t sector = pieces.empty() ? 0 : pieces.front().offset / kSector;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const PartitionPiece& piece = pieces[i];
    Piece p;
    p.sector = sector;
    p.data = piece.data();
    p.length = piece.length;
    p.capacity = Capacity(piece);
    p.remaining = i < rem.partitions.size() ? &rem.partitions[i] : nullptr;
    Announce(piece.name, kStartBlock, sector);
    rc = WriteAndCompare(p, "emmc install " + piece.name, piece.name);
    if (rc != kResultOk) return rc;
    // A piece of the same partition follows right behind; a new partition starts at its offset.
    if (i + 1 < pieces.size())
      sector = pieces[i + 1].name == piece.name ? sector + piece.length / kSector : pieces[i + 1].offset / kSector;
  }

  for (size_t m = 0; m < img.mbrImages.size(); ++m) {
    const MbrImage& mbr = img.mbrImages[m];
    Piece p;
    p.sector = mbr.offset / kSector;
    p.data = mbr.data();
    p.length = mbr.length;
    p.capacity = Capacity(mbr);
    p.remaining = m < rem.mbr.size() ? &rem.mbr[m] : nullptr;
    Announce(mbr.name, " icon[%d] : block number : %d", p.sector);
    rc = WriteAndCompare(p, "emmc install " + mbr.name, mbr.name);
    if (rc != kResultOk) return rc;
  }
  return kResultOk;
}

}  // namespace

uint64_t BootPieceSectors(int64_t size) {
  if (size <= 0) return 0;
  const uint64_t bytes = static_cast<uint64_t>(size);
  return bytes / kSector + (bytes % kSector != 0 ? 1 : 0);
}

ResultCode EmmcFullInstall(int slot, DeviceSlot& dev, FlashInfo info, FwEntryTable& table, BurnOption option,
                           NandBbt& /*bbt*/) {
  Installer installer(slot, dev, info, option);
  return installer.Run(table, option);
}

}  // namespace station

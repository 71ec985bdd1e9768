#include "package/package_loading.h"

#include <algorithm>
#include <cinttypes>
#include <string>
#include <vector>

#include "foundation/file_utils.h"
#include "foundation/fw_entry.h"
#include "foundation/image_buffers.h"
#include "foundation/log_boxes.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "package/bootloader_archive.h"
#include "package/layout_file.h"
#include "package/type_lists.h"
#include "package/usb_hwsetting_file.h"
#include "platform/clock.h"
#include "usblink/flash_options.h"

namespace station {

namespace {

bool SkippedPartitionFile(const std::string& path) {
  for (const char* name : {"logo_p.bin", "uboot_p.bin", "verify_p.bin"})
    if (path.find(name) != std::string::npos) return true;
  return false;
}

uint64_t PiecesOf(uint64_t length) {
  return length / kPartitionPieceSize + (length % kPartitionPieceSize != 0 ? 1 : 0);
}

// Moves the load's share of the strip forward (never back).
void AdvanceProgress(StationState& s, uint32_t at) {
  s.UnpackProgressPos = std::max(s.UnpackProgressPos, at);
  if (s.progress.Created()) s.progress.SetPos(static_cast<int>(s.UnpackProgressPos));
}

// The loading thread asked to stop (the station closing) reads no further entry or piece.
bool Stopped() { return plat::StopRequested(); }

bool LoadFirmwareEntries(StationState& s, const std::string& layout, bool emmc) {
  for (FwEntry& e : *s.fwEntries) {
    if (Stopped()) return false;
    // Whatever an earlier load left in an entry is not part of this package.
    e.Size = 0;
    e.Offset = 0;
    e.Target = 0;
    e.Buffer.Release();
    if (emmc && e.Name == "FW_PROFILE ") {
      PrintLog("%s - because emmc so pass\r\n", e.Name.c_str());
      continue;
    }
    PrintLog("%s - ", e.Name.c_str());
    uint64_t scratch = 0;
    if (ParseLayoutEntry(layout, e.Name, e.Buffer, e.Size, e.Offset, scratch, 0, 0, &e.Target) == 0) {
      PrintDeviceLog(0, "load layout fw [%s] failed\r\n", e.Name.c_str());
      PrintLog("load layout fw [%s] failed\r\n", e.Name.c_str());
      FreeFwEntryBuffers();
      return false;
    }
    if (e.Size == 0) PrintLog(": len is null\r\n");
  }
  return true;
}

// First pass: the length of each partition's data file, from the file system, and the number
// each partition line was found under; returns false when a data file cannot be opened.
bool ScanPartitions(StationState& s, const std::string& layout, int count, std::vector<int>& numbers,
                    uint64_t& pieceCount) {
  std::vector<int64_t>& lengths = s.images.partitionFileSizes;
  lengths.assign(static_cast<size_t>(count), 0);
  numbers.assign(static_cast<size_t>(count), -1);
  s.images.partitionCount = count;
  int n = 0;
  for (int i = 0; i < count && n < kMaxPartitionNumber;) {
    if (Stopped()) return false;
    const std::string key = " PART" + std::to_string(n);
    const std::string path = GetPartitionPath(layout, key);
    PrintDeviceLog(0, "ScanTargetName: %s, PartNumFileName: %s \r\n", key.c_str(), path.c_str());
    if (path.empty()) {
      ++n;  // no line for this number: try the next number for the same partition
      continue;
    }
    numbers[i] = n;
    if (!SkippedPartitionFile(path)) {
      uint64_t length = 0;
      if (!getDataLen(UnpackedFilePath(path), length)) return false;
      lengths[i] = static_cast<int64_t>(length);
      pieceCount += PiecesOf(length);
    }
    ++n;
    ++i;
  }
  return true;
}

// Second pass: every piece of every partition into its own page block. The list is made at its
// final size before the first piece is read.
bool LoadPartitionPieces(StationState& s, const std::string& layout, const std::vector<int>& numbers,
                         uint64_t pieceCount) {
  FreeLayoutBuffers();
  std::vector<PartitionPiece>& list = s.images.partitionPieces;
  list.resize(pieceCount);
  size_t r = 0;
  const std::vector<int64_t>& lengths = s.images.partitionFileSizes;
  for (size_t i = 0; i < numbers.size(); ++i) {
    if (numbers[i] < 0) continue;  // the numbers ran out before this line was found
    const uint64_t pieces = PiecesOf(static_cast<uint64_t>(lengths[i]));
    const std::string key = " PART" + std::to_string(numbers[i]);
    for (uint64_t k = 0; k < pieces && r < list.size(); ++k) {
      if (Stopped()) return false;
      PartitionPiece& piece = list[r];
      piece.name = key;
      PrintLog("%s - ", key.c_str());
      if (ParseLayoutEntry(layout, key, piece.pages, piece.length, piece.offset, piece.layoutSize, k,
                           kPartitionPieceSize, nullptr) == 0) {
        PrintLog("load [%s] data failed\r\n", key.c_str());
        FreeLayoutBuffers();
        return false;
      }
      if (piece.layoutSize == 0) {
        // The line went away since the first pass: nothing of this partition can be sent.
        PrintLog("load [%s] data failed\r\n", key.c_str());
        FreeLayoutBuffers();
        return false;
      }
      ++r;
    }
  }
  return true;
}

bool LoadMbrImages(StationState& s, const std::string& layout) {
  const int count = CountLinesWithText(layout, " MBR");
  if (count <= 0) {
    PrintLog("can't not found MBR target!!\r\n");
    return false;
  }
  FreePartitionList();
  std::vector<MbrImage>& list = s.images.mbrImages;
  list.resize(static_cast<size_t>(count));
  for (int m = 0; m < count; ++m) {
    if (Stopped()) return false;
    MbrImage& mbr = list[static_cast<size_t>(m)];
    const std::string key = " MBR" + std::to_string(m);
    mbr.name = key;
    PrintLog("%s - ", key.c_str());
    if (ParseLayoutEntry(layout, key, mbr.heap, mbr.length, mbr.offset, mbr.layoutSize, nullptr) == 0) {
      PrintDeviceLog(0, "load [%s] data failed\r\n", key.c_str());
      PrintLog("load [%s] data failed!\r\n", key.c_str());
      FreePartitionList();
      return false;
    }
  }
  return true;
}

void ShowSlotZero() {
  if (SlotDevicePath(0).empty())
    SetSlotState(0, kSlotRemoved, 0);
  else
    SetSlotState(0, kSlotConnected, 0);
}

}  // namespace

int ReadUntarTempFiles() {
  StationState& s = state();
  const bool secureOnly = s.optionsDlg.Checked(option_id::kOnlyUpgradeSecureFirmware);
  const int kind = GetFlashTypeIndex(1);
  const bool emmc = kind >= kFlashEmmc;
  // The pieces and MBR images of an earlier load are not part of this one, whatever happens.
  FreeLayoutBuffers();
  FreePartitionList();
  s.images.partitionFileSizes.clear();
  s.images.partitionCount = 0;

  if (emmc) {
    if (!PrepareUsbHwsettingBuffer(0)) return 0;
  } else {
    ReleaseUsbHwsettingBuffer(0);
  }

  if (ReadBootloaderTarFile(kBootloaderFromPackage) != 1 || Stopped()) return 0;
  AdvanceProgress(s, 20);

  const std::string sizeDir = GetFlashSizeDir(s.PackageSubdir);
  if (sizeDir.find("FAIL") != std::string::npos) return 0;
  const std::string layout = UnTarTmpDir() + sizeDir + "/layout.txt";
  PrintLog("FlashLayoutPath : %s \r\n ", layout.c_str());
  PrintDeviceLog(0, "FlashLayoutPath : %s \r\n ", layout.c_str());
  if (!FileExists(layout)) {
    PrintLog("flash layout file does not exist\r\n");
    return 0;
  }

  if (!LoadFirmwareEntries(s, layout, emmc)) return 0;
  AdvanceProgress(s, 40);

  if (!secureOnly) {
    const int count = CountLinesWithText(layout, " PART");
    if (count <= 0) {
      PrintLog("can't not found partition target!!\r\n");
      return 0;
    }
    std::vector<int> numbers;
    uint64_t pieceCount = 0;
    if (!ScanPartitions(s, layout, count, numbers, pieceCount)) return 0;
    if (!LoadPartitionPieces(s, layout, numbers, pieceCount)) return 0;
    AdvanceProgress(s, 70);

    if (emmc) {
      if (!LoadMbrImages(s, layout)) return 0;
    } else {
      PrintLog("flash type not emmc so ignore read mbr file!!\r\n");
    }
  }

  if (Stopped()) return 0;
  if (s.UnpackProgressPos < 100) {
    for (uint32_t p = s.UnpackProgressPos; p < 100; ++p)
      if (s.progress.Created()) s.progress.SetPos(static_cast<int>(p));
    s.UnpackProgressPos = 100;
    PrintLog("progress step  : %d \r\n", 100);
  }

  ShowSlotZero();
  return 1;
}

}  // namespace station

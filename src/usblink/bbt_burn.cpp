#include "usblink/bbt_burn.h"

#include <algorithm>
#include <string>

#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "foundation/result_messages.h"
#include "usblink/flash_read.h"
#include "usblink/send_routine.h"

namespace station {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// What one copy of the table says about a block.
enum class CopyAnswer { Unreadable, NotRemapped, Remapped };

// Scans the copy held in `bytes`: the first used entry that names `block` gives its
// replacement. The first unused entry ends the used part of the table.
CopyAnswer ScanCopy(const uint8_t* bytes, uint64_t length, uint32_t entries, uint32_t block,
                    uint32_t& replacement) {
  const uint64_t present = std::min<uint64_t>(entries, length / sizeof(NandBbtEntry));
  for (uint64_t i = 0; i < present; ++i) {
    const uint8_t* e = bytes + i * sizeof(NandBbtEntry);
    const uint16_t marker = Le16(e);
    const uint16_t bad = Le16(e + 2);
    if (marker == kBbtUnusedMarker && bad == kBbtUnusedBlock) break;
    if (bad == block) {
      replacement = Le16(e + 6);
      return CopyAnswer::Remapped;
    }
  }
  return CopyAnswer::NotRemapped;
}

// The used entries of a copy that reads as a table, or -1 when it does not.
int32_t UsedEntries(const uint8_t* bytes, uint64_t length, uint32_t entries, uint32_t blocks) {
  if (length < uint64_t(entries) * sizeof(NandBbtEntry)) return -1;
  int32_t used = 0;
  bool ended = false;
  for (uint32_t i = 0; i < entries; ++i) {
    const uint8_t* e = bytes + uint64_t(i) * sizeof(NandBbtEntry);
    const bool unused = Le16(e) == kBbtUnusedMarker && Le16(e + 2) == kBbtUnusedBlock;
    const bool usedEntry = Le16(e) == 0 && Le16(e + 2) < blocks && Le16(e + 6) < blocks;
    if (unused) {
      ended = true;
    } else if (usedEntry && !ended) {
      ++used;
    } else {
      return -1;
    }
  }
  return used;
}

}  // namespace

ResultCode ReadBurntBbt(DevHandle device, const FlashInfo& info, int slot, NandBbt& bbt) {
  if (!AllocNandBbt(info, bbt)) return kResultBbtCreate;
  const uint32_t pageSize = info.PageSize & 0xFFFF;
  const uint32_t pagesPerBlock = pageSize ? (info.BlockSizeK * 1024u) / pageSize : 0;
  if (pagesPerBlock == 0) return kResultBbtCreate;
  const uint32_t entries = static_cast<uint32_t>(bbt.lastIndex) + 1;
  const uint32_t blocks = (info.NandSizeM * 1024u) / info.BlockSizeK;
  const std::string path = ReadBackFilePath(slot);
  for (int k : kBbtCopyBlocks) {
    const ResultCode read =
        ReadDeviceToFile(device, static_cast<uint32_t>(k) * pagesPerBlock, uint64_t(entries) * 8, &info, slot);
    if (read != kResultOk) {
      PrintDeviceLog(slot, "read board bbt [%d] failed \r\n", k);
      return read;
    }
    FileBlock copy;
    uint64_t length = 0;
    const bool loaded = file_read(path, copy, length);
    DeleteFileRetry(path);
    const int32_t used = loaded ? UsedEntries(copy.data(), length, entries, blocks) : -1;
    if (used < 0) continue;
    std::copy_n(copy.data(), size_t(entries) * sizeof(NandBbtEntry), reinterpret_cast<uint8_t*>(bbt.table.get()));
    bbt.remapCount = used;
    PrintDeviceLog(slot, "board bbt [%d] : %d remapped blocks \r\n", k, used);
    return kResultOk;
  }
  PrintDeviceLog(slot, "board bbt : no table on the board \r\n");
  return kResultOk;
}

ResultCode BurnBBT(int slot, DeviceSlot& device, FlashInfo info, NandBbtEntry* table, int32_t& remapCount,
                   int32_t lastIndex) {
  const uint32_t pageSize = info.PageSize & 0xFFFF;
  ResultCode result = kResultOk;
  for (int k : kBbtCopyBlocks) {
    if (pageSize == 0) {
      // Without a page size block k has no address; nothing is written anywhere.
      result = kResultBbtCreate;
      ReportResult(result, slot, "burn BBT");
      PrintDeviceLog(slot, "BBT:[%d] burn fail! \r\n", k);
      return result;
    }
    const uint32_t page = static_cast<uint32_t>(uint64_t(info.BlockSizeK) * 1024 * k / pageSize);
    PrintDeviceLog(slot, "BBTList.BBT address icon[%d] - start page addr : %d = block : %d \xE3\x80\x82\r\n", slot,
                   static_cast<int>(page), k);
    PrintLog("BBTList.BBT address icon[%d] - start page addr : %d - block : %d \xE3\x80\x82\r\n", slot,
             static_cast<int>(page), k);
    int64_t size = int64_t(lastIndex) * 8 + 8;
    result = PerformReadTest(device.DeviceHandle, OpByte(VendorOpcode::WriteFlash), 1, page,
                             reinterpret_cast<const uint8_t*>(table), &size, info.EccCode,
                             static_cast<uint16_t>(pageSize), info.BlockSizeK, info.NandSizeM,
                             static_cast<int32_t>(info.TransRange), info.FlashType, kBbtPartMarker,
                             info.OnceMaxTransRange, 0, static_cast<uint8_t>(info.Secure),
                             static_cast<uint8_t>(info.GoJump), &remapCount, table, slot);
    ReportResult(result, slot, "burn BBT");
    if (result != kResultOk) {
      PrintDeviceLog(slot, "BBT:[%d] burn fail! \r\n", k);
      return result;
    }
  }
  return result;
}

ResultCode FindBbtRemapCount(DevHandle device, const FlashInfo& info, int slot, uint32_t page, uint32_t& foundPage) {
  const uint32_t pageSize = info.PageSize & 0xFFFF;
  const uint32_t pagesPerBlock = pageSize ? (info.BlockSizeK * 1024u) / pageSize : 0;
  const uint32_t entries = NandBbtEntryCount(info.NandSizeM, info.BlockSizeK);
  foundPage = page;
  if (pagesPerBlock == 0) return kResultReadDevice;
  const uint32_t block = page / pagesPerBlock;
  const std::string path = ReadBackFilePath(slot);

  ResultCode read = kResultOk;
  bool answered = false;  // some copy could be loaded and gave a usable answer
  for (int k : kBbtCopyBlocks) {
    read = ReadDeviceToFile(device, static_cast<uint32_t>(k) * pagesPerBlock, uint64_t(entries) * 8, &info, slot);
    if (read != kResultOk) {
      PrintDeviceLog(slot, "compare mode - bbt dump data fail \r\n");
      return read;
    }
    PrintDeviceLog(slot, "compare mode - find bbt [%d]\r\n", slot);
    FileBlock copy;
    uint64_t length = 0;
    if (!file_read(path, copy, length)) {
      // A copy that cannot be loaded gives no answer; an earlier copy's answer stands.
      PrintDeviceLog(slot, "compare mode - read dump bbt file fail \r\n");
      continue;
    }
    uint32_t replacement = 0;
    const CopyAnswer answer = ScanCopy(copy.data(), length, entries, block, replacement);
    DeleteFileRetry(path);
    const uint32_t found = answer == CopyAnswer::Remapped ? replacement * pagesPerBlock : page;
    if (found == page) {
      foundPage = page;
      answered = true;
      PrintDeviceLog(slot, "compare mode - find next bbt \r\n");
      continue;
    }
    if (found != 0) {
      foundPage = found;
      PrintDeviceLog(slot, "compare mode - find ! return remapping page count \r\n");
      return read;
    }
    // A replacement of block 0 (the boot block) is no answer either.
  }
  return answered ? read : kResultReadDevice;
}

}  // namespace station

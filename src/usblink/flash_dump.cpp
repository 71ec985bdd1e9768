#include "usblink/flash_dump.h"

#include <algorithm>
#include <cstdio>

#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "usblink/bbt_burn.h"
#include "usblink/flash_read.h"

namespace station {

namespace {

std::string DumpDir() { return GetAppDir() + "/dump"; }

}  // namespace

std::string DumpFilePath(int slot) { return DumpDir() + "/device_no_" + std::to_string(slot) + "_dump_data.bin"; }

ResultCode ReadDeviceFlash(DevHandle device, FlashInfo info, int slot, uint32_t start, uint32_t length) {
  return ReadDeviceFlash(FlashReadRequest{device, info, slot, start, length});
}

ResultCode ReadDeviceFlash(const FlashReadRequest& request) {
  const FlashInfo& info = request.info;
  const int slot = request.slot;
  uint32_t start = request.start;
  uint32_t length = request.length;
  if (start == 0 && length == 0) {
    start = info.StartAddress;
    length = info.TotalDataSize;
  }
  PrintDeviceLog(slot, "begin.read device [%d].\r\n", slot);

  if (info.FlashType != 0) {
    const ResultCode r = ReadDeviceToFile(request.device, start, length, &info, slot);
    if (r != kResultOk) PrintDeviceLog(slot, "read device [%d] failed. emmc flash.\r\n", slot);
    return r;
  }

  DeleteFileRetry(DumpFilePath(slot));
  const uint32_t blockBytes = info.BlockSizeK * 1024u;
  const uint32_t pageSize = info.PageSize & 0xFFFF;
  if (length != 0 && (blockBytes == 0 || pageSize == 0)) {
    PrintDeviceLog(slot, "read device [%d] failed. nand flash.\r\n", slot);
    return kResultReadDevice;
  }

  ResultCode result = kResultOk;
  while (length != 0) {
    const uint32_t piece = std::min(length, blockBytes);
    uint32_t found = start;
    ResultCode lookup = kResultOk;
    for (int attempt = 0; attempt < kBbtLookupAttempts; ++attempt) {
      lookup = FindBbtRemapCount(request.device, info, slot, start, found);
      if (lookup == kResultOk) break;
    }
    if (lookup != kResultOk) {
      PrintDeviceLog(slot, "read device [%d] failed. nand flash.\r\n", slot);
      return lookup;
    }
    result = ReadDeviceToFile(request.device, found, piece, &info, slot);
    if (result != kResultOk) {
      PrintDeviceLog(slot, "read device [%d] failed. nand flash.\r\n", slot);
      return result;
    }
    length -= piece;
    // The next block is counted from the logical page, never from a replacement.
    if (length != 0) start += piece / pageSize;
    if (!MergeDumpFile(slot)) {
      PrintDeviceLog(slot, "read device [%d]: merge file failed. nand flash.\r\n", slot);
      return kResultReadDevice;
    }
  }
  return result;
}

bool MergeDumpFile(int slot) {
  const std::string source = ReadBackFilePath(slot);
  const std::string dump = DumpFilePath(slot);
  if (!FileExists(source)) {
    PrintDeviceLog(slot, "merge file- source file not found \r\n");
    return false;
  }
  FileBlock block;
  uint64_t length = 0;
  if (!file_read(source, block, length)) {
    PrintDeviceLog(slot, "merge file - read file failed (%s)\r\n", source.c_str());
    return false;
  }
  if (!FileExists(DumpDir())) CreateMultiDir(DumpDir());
  std::FILE* f = OpenPrivateFile(dump, FileExists(dump));  // the board's data: private, like the read-back
  if (!f) {
    PrintDeviceLog(slot, "merge file - open file failed (%s)\r\n", dump.c_str());
    return false;
  }
  bool ok = std::fwrite(block.data(), 1, length, f) == length;
  ok = std::fflush(f) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  if (!ok) PrintDeviceLog(slot, "merge file - write file failed (%s)\r\n", dump.c_str());
  return ok;
}

}  // namespace station

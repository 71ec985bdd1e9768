#include "factory/board_files.h"

#include <cstring>

#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "usblink/flash_dump.h"
#include "usblink/flash_read.h"

namespace station {

bool ReadSnFileToTable(const std::string& path, const SlotTextTable& sn, int slot) {
  FileBlock block;
  uint64_t length = 0;
  if (!file_read(path, block, length)) return false;
  const char* text = reinterpret_cast<const char*>(block.data());
  const std::string serial(text, strnlen(text, length));
  sn.set(slot, serial);
  if (serial.empty() || length == 0) {
    PrintDeviceLog(slot, "sn table or sn buf len is null");
    return false;
  }
  return true;
}

bool MakeDumpFilePath(const std::string& targetPath, int slot, int flashType) {
  std::string readBack;
  if (flashType == 0)
    readBack = DumpFilePath(slot);
  else if (flashType == 2)
    readBack = ReadBackFilePath(slot);
  else if (flashType == 1)
    PrintDeviceLog(slot, "nor flash not soupport!\r\n");
  if (readBack.empty() || !MoveFileReplaceRetry(readBack, targetPath)) {
    PrintDeviceLog(slot, "rename flash dump data failed!\r\n");
    return false;
  }
  return true;
}

}  // namespace station

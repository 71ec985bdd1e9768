#include "package/usb_hwsetting_file.h"

#include <string>

#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "foundation/work_paths.h"

namespace station {

void ReleaseUsbHwsettingBuffer(int slot) {
  if (slot < 0 || slot >= kSlotCount) return;
  DeviceSlot& dev = state().slots[slot];
  std::vector<uint8_t>().swap(dev.HwsettingBuffer);
  dev.HwsettingSize = 0;
}

bool PrepareUsbHwsettingBuffer(int slot) {
  if (slot < 0 || slot >= kSlotCount) return false;
  StationState& s = state();
  const std::string ddr = s.DdrFolderName;
  if (ddr.empty()) {
    PrintDeviceLog(slot, "DDRFolderDirectoryName is empty!\r\n");
    return false;
  }

  const std::string path = workPaths().AppDir + "/Tempfile" + "/tamor_usb_hwsetting_" + ddr + ".bin";
  ReleaseUsbHwsettingBuffer(slot);

  if (!FileExists(path)) {
    PrintLog("usb_hwsetting path:%s is not found!\r\n", path.c_str());
    PrintDeviceLog(slot, "usb_hwsetting path:%s is not found!\r\n", path.c_str());
    s.SlotResult[slot] = kHwsettingFileError;
    return false;
  }

  PrintLog("prepare usb_hwsetting buffer\r\n");
  PrintDeviceLog(slot, "prepare usb_hwsetting buffer\r\n");
  FileBlock block;
  uint64_t length = 0;
  if (!file_read(path, block, length)) {
    PrintLog("read usb_hwsetting file failed! \r\n");
    PrintDeviceLog(slot, "prepare usb_hwsetting file failed\r\n");
    ReleaseUsbHwsettingBuffer(slot);
    s.SlotResult[slot] = kHwsettingFileError;
    return false;
  }

  PrintLog("prepare usb_hwsetting buffer done\r\n");
  PrintDeviceLog(slot, "prepare usb_hwsetting buffer done\r\n");
  DeviceSlot& dev = s.slots[slot];
  dev.HwsettingBuffer = std::move(block.heap);
  dev.HwsettingSize = static_cast<int64_t>(length);
  return true;
}

}  // namespace station

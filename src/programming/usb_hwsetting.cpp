#include "programming/usb_hwsetting.h"

#include "foundation/log_boxes.h"
#include "package/usb_hwsetting_file.h"
#include "platform/clock.h"
#include "usblink/send_routine.h"

namespace station {

ResultCode RunUsbHwsetting(int slot, DeviceSlot& dev, FlashInfo info, std::atomic<int>& pending) {
  if (pending.load() == 0) return kResultDone;  // the board runs it since an earlier pass

  if (!PrepareUsbHwsettingBuffer(slot)) {
    const ResultCode result = slot >= 0 && slot < kSlotCount ? state().SlotResult[slot].load() : 0;
    ReportResult(result, slot, "prepare usb hw buf");
    pending = 1;
    return result;
  }

  // The buffer and its counter are the slot's own; the send counts the counter down.
  DeviceSlot& own = state().slots[slot];
  PrintLog("run usb hwsetting icon:[%d] \r\n", slot);
  PrintDeviceLog(slot, "run usb hwsetting icon:[%d] \r\n", slot);
  int32_t remapCount = 0;
  ResultCode result = PerformReadTest(
      dev.DeviceHandle, static_cast<uint8_t>(VendorOpcode::WriteHwsetting), 0, kHwsettingDdrAddress,
      own.HwsettingBuffer.data(), &own.HwsettingSize, info.EccCode, static_cast<uint16_t>(info.PageSize),
      info.BlockSizeK, info.NandSizeM, static_cast<int32_t>(info.TransRange), info.FlashType, info.SpecialValue,
      info.OnceMaxTransRange, 0, static_cast<uint8_t>(info.Secure), static_cast<uint8_t>(info.GoJump), &remapCount,
      nullptr, slot);
  ReportResult(result, slot, "run usb hwsetting");
  plat::clock().SleepMs(kHwsettingSettleMs);
  if (result != kResultDone) {
    pending = 1;
    return result;
  }

  PrintLog("single device ddr enable Device[%d] \r\n", slot);
  PrintDeviceLog(slot, "run usb hwsetting ddr enable icon[%d]:\r\n", slot);
  int64_t noData = 0;
  remapCount = 0;
  result = PerformReadTest(dev.DeviceHandle, static_cast<uint8_t>(VendorOpcode::DdrEnable), 6, 0, nullptr, &noData,
                           0, 0, 0, 0, 0, info.FlashType, info.SpecialValue, info.OnceMaxTransRange, 0, 0, 0,
                           &remapCount, nullptr, slot);
  ReportResult(result, slot, "run usb hwsetting device ddr enable");
  pending = result == kResultDone ? 0 : 1;
  return result;
}

}  // namespace station

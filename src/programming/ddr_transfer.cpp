#include "programming/ddr_transfer.h"

#include "foundation/log_boxes.h"
#include "usblink/send_routine.h"
#include "usblink/usb_wrappers.h"

namespace station {

namespace {

constexpr uint8_t kGoAfterWrite = 1;        // routing value B: the board jumps into the ramlet
constexpr uint8_t kSubWriteDdr = 5;

}  // namespace

ResultCode TransRamletToDdr(int slot, DeviceSlot& dev, FlashInfo info, FwEntryTable& /*table*/,
                            BurnOption /*option*/, NandBbt& /*bbt*/) {
  PrintDeviceLog(slot, "transmission ramlet to ddr.\r\n");
  const ImageBuffer& ramlet = state().images.norImage;
  int64_t& remaining = dev.Remaining.norImage;

  // The counter is the length of the send: more than the buffer holds would send what lies
  // behind it, less would leave a ramlet cut short on a board that is then told to run it.
  ResultCode result;
  if (remaining != static_cast<int64_t>(ramlet.length) || ramlet.data.size() < ramlet.length) {
    PrintDeviceLog(slot, "ramlet size %lld does not match the loaded %u bytes\r\n", static_cast<long long>(remaining),
                   ramlet.length);
    result = kResultSizeError;
  } else {
    int32_t remapCount = 0;
    result = PerformReadTest(dev.DeviceHandle, OpByte(VendorOpcode::WriteDdr), kSubWriteDdr, kRamletDdrAddress,
                             ramlet.data.data(), &remaining, 0, 0, 0, 0,
                             static_cast<int32_t>(info.TransRange), info.FlashType, 0, info.OnceMaxTransRange, 0, 0,
                             kGoAfterWrite, &remapCount, nullptr, slot);
    if (result == kResultOk && remaining != 0) {
      PrintDeviceLog(slot, "ramlet not sent whole: %lld bytes left\r\n", static_cast<long long>(remaining));
      result = kResultSizeError;
    }
  }

  if (result == kResultOk) {
    ReportResult(result, slot, "transmission ramlet to ddr success.\r\n");
  } else {
    ReportResult(result, slot, "transmission ramlet to ddr failed.\r\n");
  }
  return result;
}

}  // namespace station

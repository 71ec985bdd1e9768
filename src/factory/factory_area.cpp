#include "factory/factory_area.h"

#include "foundation/log_boxes.h"
#include "foundation/result_messages.h"

namespace station {

ResultCode WriteFactoryArea(int slot, DeviceSlot&, FlashInfo, BurnOption, NandBbt&) {
  constexpr ResultCode kFactoryError = 17;
  PrintDeviceLog(slot, "write factory area : not available in this station, the factory data is not written\r\n");
  ReportResult(kFactoryError, slot, "write factory area");
  return kFactoryError;
}

}  // namespace station

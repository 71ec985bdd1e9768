#include "foundation/result_messages.h"

#include "foundation/log_boxes.h"
#include "foundation/log_files.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"

namespace station {

namespace {
const char* const kErrorMessages[kResultErrorCount] = {
    "Error - Read install image data failed !\r\n",
    "Error - OP Code error !\r\n",
    "Error - Open file failed !\r\n",
    "Error - Write device data size error !\r\n",
    "Error - Rede file failed !\r\n",
    "Error - (CSW) Read status failed !\r\n",
    "Error - (CSW) Retry thrity failed !\r\n",
    "Error - (CSW) Stat failed !\r\n",
    "Error - (CSW) Write failed !\r\n",
    "Error - Read device failed!\r\n",
    "Error - (CBW) Writer device struct failed !\r\n",
    "Error - Read/Writer device failed !\r\n",
    "Error - Remapping writer failed !\r\n",
    "Error - Remapping done but data size not match !\r\n",
    "Error - Calculate Remapping max bad block Numner error !\r\n",
    "Error - Remapping bad block out of range !\r\n",
    "Error - Remapping flash type error .not nand flash!\r\n",
    "Error - factory error , maybe path or file.tar not exist!\r\n",
    "Error - factory error , maybe file.tar not exist!\r\n",
    "Error - Emmc write failed!!\r\n",
    "Error - keybag.bin not found or bin file not exist!!\r\n",
    "Error - compare mode , There are differences in comparison data !!\r\n",
    "Error - create bad block table failed!!\r\n",
    "Error - insufficient number of keys!!\r\n",
    "Error - customized failed!!\r\n",
};
const char* const kDoneMessage = "DONE - Transmission is completed !\r\n";

bool IsError(ResultCode code) { return code >= 0 && code < kResultErrorCount; }
}  // namespace

const char* ResultMessage(ResultCode code) {
  if (IsError(code)) return kErrorMessages[code];
  if (code == kResultDone) return kDoneMessage;
  return "";
}

void ReportResult(ResultCode code, int slot, const std::string& stepName) {
  if (slot < 0 || slot >= kSlotCount) return;  // no such slot: nothing of any slot is touched
  const std::string message = ResultMessage(code);
  if (IsError(code)) SetSlotState(slot, kSlotFailed, code);

  PrintDeviceLog(slot, "%s", kReportOpeningRule);
  PrintDeviceLog(slot, "%s", kReportLogHeader);
  const std::string logText = DeviceLogText(slot);

  if (code == kResultDone) {
    PrintDeviceLog(slot, "%s", message.c_str());
    PrintDeviceLog(slot, "%s", kReportLogEnd);
    PrintDeviceLog(slot, "%s", kReportClosingRule);
    return;
  }

  if (!WriteLogFile(slot, message, stepName + "\r\n", logText)) PrintLog("write error log failed!\r\n");
  SetDeviceLogText(slot, "");
  state().slots[slot].Busy = 0;
}

}  // namespace station

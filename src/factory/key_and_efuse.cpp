#include "factory/key_and_efuse.h"

#include <cstdlib>
#include <string>

#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "platform/clock.h"
#include "platform/ui.h"
#include "usblink/send_routine.h"
#include "usblink/usb_wrappers.h"

namespace station {

namespace {

constexpr ResultCode kResultNoKey = 20;
constexpr ResultCode kResultKeysUsedUp = 23;
constexpr uint8_t kNorFlash = 1;
constexpr const char* kNoKeyText = "secure key path not found! please checking secure key path!";

// A counter text as a number: its leading decimal digits; 0 when there are none.
long long DecimalNumber(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

ResultCode RefuseMissingKey(int slot) {
  ReportResult(kResultNoKey, slot, kNoKeyText);
  ui::MessageBox(kNoKeyText, "LOST", ui::MB_OK | ui::MB_ICONQUESTION);
  return kResultNoKey;
}

ResultCode RefuseUsedUpKeys(int slot) {
  ReportResult(kResultKeysUsedUp, slot, "has been unable to use! , please replace the next set of security keys!");
  ui::MessageBox("has been unable to use!,please replace the next set of security keys!", "WARNING",
                 ui::MB_OK | ui::MB_ICONWARNING);
  return kResultKeysUsedUp;
}

// 100 when the key bag can be used, else the code of its refusal (reported).
ResultCode KeyRefusal(int slot) {
  const ui::Dialog& main = state().mainDlg;
  const std::string path = main.Text(kKeyPathEdit);
  if (path.empty()) return RefuseMissingKey(slot);
  const long long maximum = DecimalNumber(main.Text(kKeyMaximumEdit));
  const long long counter = DecimalNumber(main.Text(kKeyCounterEdit));
  if (counter > maximum) return RefuseUsedUpKeys(slot);
  if (!FileExists(path)) return RefuseMissingKey(slot);
  return kResultDone;
}

// One efuse program from its entry into DDR at the entry's target.
ResultCode SendToDdr(int slot, DeviceSlot& dev, const FwEntry& entry, int64_t& size, const FlashInfo& info,
                     uint8_t routingB, int32_t& remapCount) {
  const uint8_t op = OpByte(VendorOpcode::WriteDdr);
  return PerformReadTest(dev.DeviceHandle, op, VendorSubCode(op), entry.Target, entry.Buffer.data(), &size,
                         info.EccCode, static_cast<uint16_t>(info.PageSize), info.BlockSizeK, info.NandSizeM,
                         static_cast<int32_t>(info.TransRange), info.FlashType, info.SpecialValue,
                         info.OnceMaxTransRange, 0, 0, routingB, &remapCount, nullptr, slot);
}

ResultCode SendProgrammer(int slot, DeviceSlot& dev, const FwEntry& entry, const FlashInfo& info,
                          int32_t& remapCount) {
  PrintDeviceLog(slot, "icon:[%d] efuse_programmer ddr address : 0x%x \r\n", slot, entry.Target);
  const ResultCode result =
      SendToDdr(slot, dev, entry, dev.Remaining.entries[FW_EFUSE_PROGRAMMER], info, 0, remapCount);
  PrintDeviceLog(slot, "icon:[%d] efuse_programmer.\r\n", slot);
  ReportResult(result, slot, "burn efuse_programmer");
  if (result != kResultDone) PrintDeviceLog(slot, "efuse_programmer burn fail!\r\n");
  return result;
}

ResultCode SendVerifier(int slot, DeviceSlot& dev, const FwEntry& entry, const FlashInfo& info,
                        int32_t& remapCount) {
  PrintDeviceLog(slot, "icon:[%d] efuse_verify ddr address : 0x%x \r\n", slot, entry.Target);
  // A NOR board takes the verifier like the programmer; every other board routes it on.
  const uint8_t routingB = info.FlashType == kNorFlash ? 0 : 1;
  const ResultCode result =
      SendToDdr(slot, dev, entry, dev.Remaining.entries[FW_EFUSE_VERIFY], info, routingB, remapCount);
  PrintDeviceLog(slot, "icon:[%d] efuse_verify. \r\n", slot);
  ReportResult(result, slot, "burn efuse_verify");
  PrintDeviceLog(slot, result == kResultDone ? "efuse_verify burn done\r\n" : "efuse_verify burn fail !\r\n");
  return result;
}

}  // namespace

bool CheckSecureKey(int slot, BurnOption option, ResultCode* refused) {
  if (!CheckBurnOption(option, 2)) return true;
  const ResultCode code = KeyRefusal(slot);
  if (refused) *refused = code;
  return code == kResultDone;
}

ResultCode BurnEfuse(int slot, DeviceSlot& dev, FwEntryTable& table, FlashInfo info, BurnOption /*option*/) {
  PrintDeviceLog(slot, "burning efuse_programmer.complete.enc.\r\n");
  // Judged before the send, which counts the size down to 0.
  if (LoadCounter(dev.Remaining.entries[FW_EFUSE_PROGRAMMER]) == 0) {
    PrintDeviceLog(slot, "efuse_programmer.complete.enc length=0,pass burn efuse.\r\n");
    return kResultDone;
  }
  int32_t remapCount = 0;
  ResultCode result = 0;  // stays 0 when the entry is not the programmer
  const FwEntry& programmer = table[FW_EFUSE_PROGRAMMER];
  if (programmer.Name == "FW_EFUSE_PROGRAMMER ") {
    result = SendProgrammer(slot, dev, programmer, info, remapCount);
    if (result != kResultDone) return result;
  }

  PrintDeviceLog(slot, "begin burn efuse_verify.bin\r\n");
  const FwEntry& verifier = table[FW_EFUSE_VERIFY];
  if (verifier.Name == "FW_EFUSE_VERIFY " && LoadCounter(dev.Remaining.entries[FW_EFUSE_VERIFY]) != 0)
    result = SendVerifier(slot, dev, verifier, info, remapCount);
  plat::clock().SleepMs(kEfuseBurnWaitMs);
  return result;
}

}  // namespace station

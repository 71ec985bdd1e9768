#include "programming/single_mode.h"

#include <cstdint>
#include <iterator>
#include <limits>
#include <string>

#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "package/layout_file.h"
#include "platform/ui.h"
#include "programming/nand_install.h"
#include "usblink/bbt_burn.h"
#include "usblink/compare_mode.h"
#include "usblink/flash_dump.h"
#include "usblink/flash_read.h"
#include "usblink/nand_bbt.h"
#include "usblink/send_routine.h"
#include "usblink/usb_wrappers.h"

namespace station {

namespace {

constexpr uint8_t kNandFlash = 0;

// The operation boxes in the order they are looked at; the index is the operation number.
struct OpBox {
  int control;
  const char* name;
};
constexpr OpBox kOps[] = {
    {1026, "run goddr"},  {998, "write hwsetting"}, {1004, "user data"},      {1003, "special case"},
    {1000, "run reset"},  {1002, "gen kn key"},     {1018, "gen ks key"},     {1134, "run ddr enable"},
    {1136, "read mode"},  {1137, "read spare mode"}, {999, "burn efuse"},
};
constexpr int kOpCount = static_cast<int>(std::size(kOps));

// How an operation of one command (0 to 7) fills the send. The operations with a file send it
// from the start address with the transfer unit, the routing values and the bad block table;
// the commands without data go to address 0 with none of them.
struct SendPlan {
  VendorOpcode opcode;
  int file;         // SingleModeFile, or -1 for a command without data
  bool geometry;    // ECC code, page size, block size and flash size (else all 0)
  bool flashType;   // else 0
  bool partMarker;  // SpecialValue, else 0
  bool rangeSize;   // OnceMaxTransRange, else 0
};
constexpr SendPlan kPlans[] = {
    {VendorOpcode::WriteDdr, kFileGoDdr, false, true, false, false},
    {VendorOpcode::WriteHwsetting, kFileHwsetting, true, true, true, true},
    {VendorOpcode::WriteFlash, kFileUserData, true, true, true, true},
    {VendorOpcode::WriteSpecialPage, kFileSpecialPage, true, true, true, true},
    {VendorOpcode::SystemReset, -1, false, true, true, true},
    {VendorOpcode::GenKey, -1, false, false, false, true},
    {VendorOpcode::GenKsKey, -1, false, false, false, true},
    {VendorOpcode::DdrEnable, -1, false, true, true, true},
};
constexpr int kPlanCount = static_cast<int>(std::size(kPlans));

// The operation buttons of the four files, as the operator knows them.
constexpr const char* kFileCaptions[] = {"Go ddr address", "HW Setting", "User data", "Special page"};

const char* OpName(int op) { return op >= 0 && op < kOpCount ? kOps[op].name : "error case"; }

uint32_t AddressOf(int op, const FlashInfo& info) {
  if (kPlans[op].file < 0) return 0;
  if (op == single_op::kGoDdr && info.StartAddress == 0) return kGoDdrDefaultAddress;
  return info.StartAddress;
}

// The lines some operations log before their send.
void AnnounceSend(int op, int slot, DeviceSlot& dev, const FlashInfo& info, uint32_t address) {
  if (op == single_op::kGoDdr) {
    PrintLog("\r\nstart address : %x\r\ngojump: %d \r\n", address, static_cast<int>(info.GoJump));
  } else if (op == single_op::kUserData) {
    PrintLog("\r\nstart address : 0x%x \r\ngorojump: %d \r\n", info.StartAddress, static_cast<int>(info.GoJump));
    PrintLog("device[%d]:page size : %d\r\neccbit: %d\r\ndata size:%d\r\n", slot, static_cast<int>(info.PageSize),
             info.EccCode, static_cast<int>(LoadCounter(dev.Remaining.singleMode[kFileUserData])));
  } else if (op == single_op::kKnKey) {
    state().SlotKteeKey[slot].fill(0);  // the board's answer fills it again
  }
}

// One of the operations 0 to 7: one send as its plan says.
ResultCode SendPlanned(int op, int slot, DeviceSlot& dev, const FlashInfo& info, NandBbt& bbt) {
  const SendPlan& plan = kPlans[op];
  const bool withFile = plan.file >= 0;
  const uint32_t address = AddressOf(op, info);
  AnnounceSend(op, slot, dev, info, address);

  int64_t noData = 0;
  SendArgs a;
  a.device = dev.DeviceHandle;
  a.opcode = OpByte(plan.opcode);
  a.subCode = VendorSubCode(a.opcode);
  a.startAddress = address;
  if (withFile) {
    const ImageBuffer& file = state().images.singleMode[plan.file];
    a.data = file.data.empty() ? nullptr : file.data.data();
    a.size = &dev.Remaining.singleMode[plan.file];
    a.transferUnit = static_cast<int32_t>(info.TransRange);
    a.routingA = static_cast<uint8_t>(info.Secure);
    a.routingB = static_cast<uint8_t>(info.GoJump);
    a.bbt = bbt.table.get();
  } else {
    a.size = &noData;
  }
  if (plan.geometry) {
    a.eccCode = info.EccCode;
    a.pageSize = static_cast<uint16_t>(info.PageSize);
    a.blockSizeK = info.BlockSizeK;
    a.flashSizeM = info.NandSizeM;
  }
  a.flashType = plan.flashType ? info.FlashType : 0;
  a.partMarker = plan.partMarker ? info.SpecialValue : 0;
  a.rangeSize = plan.rangeSize ? info.OnceMaxTransRange : 0;
  a.remapCount = &bbt.remapCount;
  a.slot = slot;
  return PerformReadTest(a);
}

// A file operation whose file holds nothing would send nothing and pass: it is refused.
bool FileChosen(int op, int slot, DeviceSlot& dev) {
  const int file = op >= 0 && op < kPlanCount ? kPlans[op].file : -1;
  if (file < 0) return true;
  if (LoadCounter(dev.Remaining.singleMode[file]) > 0 && !state().images.singleMode[file].data.empty()) return true;
  PrintDeviceLog(slot, "single mode : %s file is empty , nothing sent\r\n", OpName(op));
  PrintLog("single mode : %s file is empty , nothing sent\r\n", OpName(op));
  ui::MessageBox(std::string("single mode : the file of \"") + kFileCaptions[file] + "\" is empty!", "WARNING",
                 ui::MB_OK | ui::MB_ICONWARNING);
  return false;
}

bool WritesFlash(int op) { return op == single_op::kUserData || op == single_op::kSpecialPage; }

// A user data or special page write. A block the board reports bad goes to the next
// replacement after those of the board's own table, and the table is burnt again so that the
// board and later writes know the remap. A special page whose block was bad arrives whole in
// its replacement block (the send ends with the negative bad page then).
ResultCode WriteFlashOp(int op, int slot, DeviceSlot& dev, const FlashInfo& info, NandBbt& bbt) {
  const int32_t remapsBefore = bbt.remapCount;
  ResultCode result = SendPlanned(op, slot, dev, info, bbt);
  if (!bbt.table || bbt.remapCount == remapsBefore) return result;
  if (result < 0 && op == single_op::kSpecialPage) {
    const uint64_t blockBytes = uint64_t(info.BlockSizeK) * 1024;
    const bool whole = state().images.singleMode[kFileSpecialPage].length <= blockBytes;
    PrintDeviceLog(slot, "single mode : special page of page %d in a replacement block\r\n", -result);
    result = whole ? kResultDone : kResultSizeError;
  }
  if (result != kResultDone) return result;
  return BurnBBT(slot, dev, info, bbt.table.get(), bbt.remapCount, bbt.lastIndex);
}

// One efuse program into DDR.
ResultCode SendEfuseImage(int slot, DeviceSlot& dev, const FlashInfo& info, const std::vector<uint8_t>& image,
                          uint32_t length, uint32_t address, uint8_t routingB) {
  int64_t size = length;
  int32_t remapCount = 0;
  const uint8_t op = OpByte(VendorOpcode::WriteDdr);
  return PerformReadTest(dev.DeviceHandle, op, VendorSubCode(op), address, image.empty() ? nullptr : image.data(),
                         &size, info.EccCode, static_cast<uint16_t>(info.PageSize), info.BlockSizeK, info.NandSizeM,
                         static_cast<int32_t>(info.TransRange), info.FlashType, info.SpecialValue,
                         info.OnceMaxTransRange, 0, 0, routingB, &remapCount, nullptr, slot);
}

// Operation 10: the programmer, then the verifier; `result` stays when the files are missing.
ResultCode BurnEfuseFiles(int slot, DeviceSlot& dev, const FlashInfo& info, ResultCode result) {
  EfuseImages images;
  if (!LoadEfuseFiles(images)) return result;
  PrintDeviceLog(slot, "efuse_programmer memaddress icon:[%d]:%d\r\n", slot,
                 static_cast<int>(images.programmerAddress));
  result = SendEfuseImage(slot, dev, info, images.programmer, images.programmerLength, images.programmerAddress, 0);
  if (result != kResultDone) {
    PrintDeviceLog(slot, "burn efuse_programmer fail!\r\n");
    return result;
  }
  PrintDeviceLog(slot, "begin burn efuse_verify.bin\r\n");
  PrintDeviceLog(slot, "efuse_verify memaddress icon:[%d]:%d\r\n", slot, static_cast<int>(images.verifyAddress));
  result = SendEfuseImage(slot, dev, info, images.verify, images.verifyLength, images.verifyAddress, 1);
  if (result != kResultDone) PrintDeviceLog(slot, "burn efuse_verify fail!\r\n");
  return result;
}

// Runs operation `op`; `result` is what the preparation left (0, or 22 without a table).
ResultCode RunOp(int op, int slot, DeviceSlot& dev, const FlashInfo& info, NandBbt& bbt, ResultCode result) {
  switch (op) {
    case single_op::kReadMode: return ReadDeviceFlash(dev.DeviceHandle, info, slot, 0, 0);
    case single_op::kReadSpare:
      return ReadSpareData(dev.DeviceHandle, info.StartAddress, info.SpareCounter, &info, slot);
    case single_op::kBurnEfuse: return BurnEfuseFiles(slot, dev, info, result);
    default:
      if (op < 0 || op >= kPlanCount) return result;
      if (WritesFlash(op)) return WriteFlashOp(op, slot, dev, info, bbt);
      return SendPlanned(op, slot, dev, info, bbt);
  }
}

// A NAND board gets a bad block table for operation `op`; a missing table is reported and
// leaves 22 as the result so far. A flash write starts from the table the board carries, so
// that its remaps take blocks no earlier remap took; when that table cannot be read nothing
// runs (false, with the read's code).
bool PrepareNandBbt(int op, int slot, DeviceSlot& dev, const FlashInfo& info, NandBbt& bbt, ResultCode& result) {
  if (info.FlashType != kNandFlash) return true;
  const ResultCode made = WritesFlash(op) ? ReadBurntBbt(dev.DeviceHandle, info, slot, bbt)
                                          : (AllocNandBbt(info, bbt) ? kResultDone : kResultBbtCreate);
  if (made == kResultBbtCreate) {
    ReportResult(kResultBbtCreate, slot, "nand gen bbt");
    result = kResultBbtCreate;
    return true;
  }
  if (made == kResultDone) return true;
  result = made;
  return false;
}

ResultCode CompareUserData(int slot, DeviceSlot& dev, const FlashInfo& info, const NandBbt& bbt,
                           const std::string& label) {
  PrintLog("single mode :start compare\r\n");
  PrintDeviceLog(slot, "device[%d]-start compare %s\r\n ", slot, label.c_str());
  const ImageBuffer& file = state().images.singleMode[kFileUserData];
  const ResultCode result = CompareDeviceData(dev.DeviceHandle, info.StartAddress, file.length, slot,
                                              file.data.empty() ? nullptr : file.data.data(), bbt.table.get());
  ReportResult(result, slot, "single mode : compare data");
  return result;
}

bool LoadEfuseFile(const std::string& path, std::vector<uint8_t>& buffer, uint32_t& length) {
  FileBlock block;
  uint64_t n = 0;
  if (!file_read(path, block, n)) return false;
  if (n > std::numeric_limits<uint32_t>::max()) {
    PrintLog("efuse file too large: %s \r\n", path.c_str());
    return false;
  }
  buffer = std::move(block.heap);
  length = static_cast<uint32_t>(n);
  return true;
}

// The "target=" of the first line of the layout that holds `key`; false when there is none.
bool LoadEfuseAddress(const std::string& layout, const char* key, uint32_t& address) {
  const std::string value = GetValueFromFile(layout, key, "target=");
  if (value.empty()) {
    PrintLog("efuse layout.txt : %starget= not found!\r\n", key);
    return false;
  }
  address = static_cast<uint32_t>(HexStrToU64(value));
  return true;
}

}  // namespace

int GetSingleModeOp() {
  const ui::Dialog& opt = state().optionsDlg;
  for (int op = 0; op < kOpCount; ++op)
    if (opt.Checked(kOps[op].control)) return op;
  return single_op::kNone;
}

bool LoadEfuseFiles(EfuseImages& images) {
  const std::string folder = GetAppDir() + "/efuse";
  const std::string layout = folder + "/layout.txt";
  return LoadEfuseFile(folder + "/efuse_programmer.complete.enc", images.programmer, images.programmerLength) &&
         LoadEfuseFile(folder + "/efuse_verify.bin", images.verify, images.verifyLength) &&
         LoadEfuseAddress(layout, "FW_EFUSE_PROGRAMMER ", images.programmerAddress) &&
         LoadEfuseAddress(layout, "FW_EFUSE_VERIFY ", images.verifyAddress);
}

ResultCode RunSingleModeOp(int slot, DeviceSlot& dev, FlashInfo info, BurnOption option) {
  std::string label = "single mode:";
  ResultCode result = 0;
  NandBbt bbt;  // freed when the operation is over
  int op = single_op::kNone;
  if (info.FlashType != kNandFlash || NandModelChosen(slot, dev)) {
    op = GetSingleModeOp();
    label += OpName(op);
    if (!FileChosen(op, slot, dev)) {
      result = kResultEmptyFile;
    } else if (PrepareNandBbt(op, slot, dev, info, bbt, result)) {
      result = RunOp(op, slot, dev, info, bbt, result);
    }
  } else {
    result = kResultBbtCreate;
  }
  ReportResult(result, slot, label);
  if (result == kResultDone && option.compareMode && op == single_op::kUserData)
    result = CompareUserData(slot, dev, info, bbt, label);
  return result;
}

}  // namespace station

#include "factory/storage_area.h"

#include <string>

#include "factory/area_positions.h"
#include "factory/area_write.h"
#include "factory/slot_tables.h"
#include "factory/status_tag.h"
#include "factory/storage_archive.h"
#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "foundation/result_messages.h"
#include "usblink/compare_mode.h"
#include "usblink/send_routine.h"

namespace station {

namespace {

// The board makes its key and hands it back encrypted; the send routine puts it into the
// slot's key buffer. True only when an exchange brought a key back.
bool GenerateBoardKey(DevHandle device, int slot, const FlashInfo& info, NandBbt& bbt) {
  StationState& s = state();
  s.SlotKteeKey[slot] = {};
  const uint32_t before = s.SlotKteeKeyCount[slot];
  int64_t size = 0;
  ResultCode result = PerformReadTest(device, OpByte(VendorOpcode::GenKey), 3, 0, nullptr, &size, 0, 0, 0, 0, 0, 0,
                                      0, info.OnceMaxTransRange, 0, 0, 0, &bbt.remapCount, nullptr, slot);
  if (result == kResultDone && s.SlotKteeKeyCount[slot] == before) {
    // Nothing was exchanged (a skipped command): the buffer holds no key of this board.
    PrintDeviceLog(slot, "icon:[%d] no key came back from the board\r\n", slot);
    result = kFactoryError;
  }
  ReportResult(result, slot, "secure burn : gen ktee key");
  if (result == kResultDone) return true;
  s.SlotKteeKey[slot] = {};
  return false;
}

StatusTag BuildArchive(DevHandle device, int slot, const FlashInfo& info, const BurnOption& option, NandBbt& bbt) {
  if (state().optionsDlg.Checked(option_id::kEnKtee)) {
    if (!GenerateBoardKey(device, slot, info, bbt)) return StatusTag::Fail("GET_KTEE_KEY_FAIL");
    PrintDeviceLog(slot, "write storage.tar with key icon:[%d] \r\n", slot);
    PrintDeviceLog(slot, "need to burn efuse.\r\n");
  } else {
    PrintDeviceLog(slot, "write storage with key - [%d] \r\n", slot);
    PrintDeviceLog(slot, "do not need to burn efuse\r\n");
  }
  return Gen_storage_tar_file(slot, StorageTexts(), option, state().SlotKteeKey[slot].data());
}

// The archive's length against the area's room: false, with the lines that say so, when it
// does not fit.
bool FitsStorageArea(int slot, const FlashInfo& info, const BurnOption& option, uint32_t start, uint64_t length) {
  const uint32_t room = StorageAreaRoom(info, option);
  if (start != kNoPosition && length <= room) return true;
  PrintDeviceLog(slot, "se_storage address device[%d] - StartPage : %d \r\n", slot, static_cast<int>(start));
  PrintDeviceLog(slot, "se_storage icon[%d] - flash type : %d \r\n", slot, info.FlashType);
  PrintDeviceLog(slot, "storagelen_temp  is too large , storage size 0x400000: %d \r\n ", static_cast<int>(length));
  if (room < kStorageMaxBytes)
    PrintDeviceLog(slot, "storage area room before the factory area : %u bytes\r\n", room);
  PrintDeviceLog(slot, "start write storage error.\r\n");
  ReportResult(kFactoryError, slot, "gen storage.tar\r\n ");
  return false;
}

ResultCode WriteAndCompare(DevHandle device, int slot, const FlashInfo& info, uint32_t start, const FileBlock& data,
                           uint64_t length, NandBbt& bbt) {
  PrintDeviceLog(slot, "storage.tar address icon[%d] - StartPage : %d \r\n", slot, static_cast<int>(start));
  if (!NoteKeySent(slot)) {
    ReportResult(kFactoryFileError, slot, "write storage.tar ");
    return kFactoryFileError;
  }
  ResultCode result =
      WriteAreaData(device, slot, info, start, data.data(), static_cast<int64_t>(length), bbt, "write storage.tar");
  ReportResult(result, slot, "write storage.tar ");
  if (result != kResultDone) {
    PrintDeviceLog(slot, "write storage.tar fail!\r\n");
    return result;
  }
  PrintLog("start compare - (write storage.tar)\r\n");
  PrintDeviceLog(slot, "device[%d] - start compare (storage.tar) \r\n ", slot);
  result = CompareDeviceData(device, start, static_cast<int64_t>(length), slot, data.data(), bbt.table.get());
  ReportResult(result, slot, "compare mode (write storage.tar )");
  if (result != kResultDone)
    PrintDeviceLog(slot, "icon:[%d] storage compare fail! - [%s] \r\n", slot, SlotStorageText(slot).c_str());
  return result;
}

}  // namespace

ResultCode WriteStorage(DevHandle device, int slot, FlashInfo info, BurnOption option, NandBbt& bbt) {
  if (slot < 0 || slot >= kSlotCount) return kFactoryError;
  PrintDeviceLog(slot, "device [%d] - wtrie storage \r\n", slot);
  const StatusTag tag = BuildArchive(device, slot, info, option, bbt);
  if (tag.Empty()) {
    PrintDeviceLog(slot, "icon:[%d]didn't get storage.tar r\n ", slot);
    ReportResult(kFactoryError, slot, "try to get storage.tar ,but pc tmp storage.tar path not found!!!");
    return kFactoryError;
  }
  if (tag.Failed()) {
    PrintDeviceLog(slot, "Gen_storage_tar_file failed :%s\r\n", tag.text.c_str());
    ReportResult(kFactoryError, slot, "get storage.tar :" + tag.text);
    return kFactoryError;
  }
  PrintDeviceLog(slot, "read storage.tar\r\n");
  FileBlock data;
  uint64_t length = 0;
  if (!file_read(tag.text, data, length)) {
    ReportResult(kFactoryFileError, slot, "read storage.tar data fail , path : [" + tag.text + "]");
    return kFactoryFileError;
  }
  const uint32_t start = StorageAreaStart(info);
  if (!FitsStorageArea(slot, info, option, start, length)) return kFactoryError;
  const ResultCode result = WriteAndCompare(device, slot, info, start, data, length, bbt);
  if (result != kResultDone) return result;
  SetSlotStorageText(slot, "");
  PrintDeviceLog(slot, "clean icon[%d] storage table value - [%s] \r\n", slot, SlotStorageText(slot).c_str());
  PrintDeviceLog(slot, "remove pc temp file storage.tar\r\n");
  DeleteFileRetry(tag.text);
  return kResultDone;
}

}  // namespace station

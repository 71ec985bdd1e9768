#include "factory/factory_area.h"

#include <string>

#include "factory/area_overlap.h"
#include "factory/area_positions.h"
#include "factory/area_write.h"
#include "factory/factory_archive.h"
#include "factory/factory_regen.h"
#include "factory/factory_work_files.h"
#include "factory/slot_tables.h"
#include "factory/status_tag.h"
#include "factory/storage_area.h"
#include "factory/tar_head.h"
#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "foundation/result_messages.h"
#include "foundation/slot_display.h"
#include "package/settings_files.h"
#include "package/type_lists.h"
#include "usblink/bbt_burn.h"
#include "usblink/compare_mode.h"
#include "usblink/flash_dump.h"

namespace station {

namespace {

// The texts of the copy writes, which differ between the two roads.
struct CopyTexts {
  const char* copyLine;
  const char* readFailure;
  const char* addressLine2;     // second line of the too-large lines
  const char* addressMain;      // address line, main log
  const char* addressSlot;      // address line, slot log
  const char* afterWrite;
  const char* writeLabel;
  const char* compareMain;
  const char* compareSlot;
  const char* compareLabel;
  const char* stampFailure;
  const char* stampLabel;
  bool labels;  // progress labels in single mode with burn factory
};

constexpr CopyTexts kWriteTexts = {
    "write factory.tar counter:%d\r\n",
    "full install gen factory.tar \r\n read pc tmp factory.tar failed\r\n ",
    "factory address device[%d] - startpage : %d \r\n",
    "factory address device[%d] - starpage : %d \r\n",
    "factory address icon[%d] - starpage : %d \r\n",
    "icon[%d]:write facotry.tar \r\n",
    "write factory.tar",
    "start compare -(write factory.tar)\r\n",
    "icon[%d] - start compare (write factory.tar) \r\n ",
    "full install : compare mode (write factory.tar )",
    "regen factory header failed!\r\n",
    "regen factory header failed!\r\n ",
    true,
};

constexpr CopyTexts kRegenTexts = {
    "now write factory.tar count:%d\r\n",
    "only upgrade fw regen factory.tar \r\n read pc tmp factory.tar failed\r\n ",
    "factory address device[%d] - starpage : %d \r\n",
    "only upgrade fw regen factory address icon[%d] - starpage : %d \r\n",
    "only upgrade fw regen factory address icon[%d] - starpage : %d \r\n",
    "icon[%d] - only upgrade fw regen write facotry.tar \r\n",
    "only upgrade fw regne factory.tar",
    "start compare - (only upgrade fw - write factory.tar)\r\n",
    "device[%d] - start compare (only upgrade fw - write factory.tar) \r\n ",
    "only upgrade fw : compare mode (write factory.tar )",
    "(only upgrade fw) regen factory header failed!\r\n",
    "(only upgrade fw) regen factory header failed!\r\n ",
    false,
};

bool ShowsLabels(const BurnOption& option) { return option.singleMode && option.burnFactory; }

void ShowLabel(int slot, const BurnOption& option, int percent) {
  if (ShowsLabels(option)) state().mainDlg.SetText(SlotPercentId(slot), std::to_string(percent));
}

// One factory write: the archive at `path` as copy 0 and copy 1, copy 1 read after copy 0's
// stamp. `carriesKey`: the archive holds the board's secure key.
class CopyWriter {
 public:
  CopyWriter(DevHandle device, int slot, const FlashInfo& info, const BurnOption& option, NandBbt& bbt,
             const CopyTexts& texts, bool carriesKey)
      : device_(device), slot_(slot), info_(info), option_(option), bbt_(bbt), t_(texts), carriesKey_(carriesKey) {}

  ResultCode Run(const std::string& path) {
    for (int copy = 0; copy < 2; ++copy) {
      const ResultCode result = WriteCopy(path, copy);
      if (result != kResultDone) return result;
    }
    return kResultDone;
  }

 private:
  ResultCode WriteCopy(const std::string& path, int copy) {
    PrintDeviceLog(slot_, t_.copyLine, copy);
    FileBlock data;
    uint64_t length = 0;
    if (!file_read(path, data, length)) {
      ReportResult(kFactoryFileError, slot_, t_.readFailure);
      return kFactoryFileError;
    }
    if (t_.labels) ShowLabel(slot_, option_, (copy + 1) * 40);
    const uint32_t start = GetFactoryAreaOffset(info_, option_, copy);
    if (!Fits(copy, start, length)) return kFactoryError;
    PrintLog(t_.addressMain, slot_, static_cast<int>(start));
    PrintDeviceLog(slot_, t_.addressSlot, slot_, static_cast<int>(start));

    if (carriesKey_ && !NoteKeySent(slot_)) {
      ReportResult(kFactoryFileError, slot_, t_.writeLabel);
      return kFactoryFileError;
    }
    ResultCode result = WriteAreaData(device_, slot_, info_, start, data.data(), static_cast<int64_t>(length), bbt_,
                                      t_.writeLabel);
    PrintDeviceLog(slot_, t_.afterWrite, slot_);
    ReportResult(result, slot_, t_.writeLabel);
    if (result != kResultDone) return result;

    // Every copy is read back, whatever "compare mode" says.
    PrintLog("%s", t_.compareMain);
    PrintDeviceLog(slot_, t_.compareSlot, slot_);
    result = CompareDeviceData(device_, start, static_cast<int64_t>(length), slot_, data.data(), bbt_.table.get());
    ReportResult(result, slot_, t_.compareLabel);
    if (result != kResultDone) return result;

    if (copy == 0 && !RecalculateTarHead(path, option_, kTarHeadWritten)) {
      PrintDeviceLog(slot_, "%s", t_.stampFailure);
      ReportResult(kFactoryFileError, slot_, t_.stampLabel);
      return kFactoryFileError;
    }
    return kResultDone;
  }

  // The copy must fit its 2 MiB and the room before the next area: nothing is written over
  // another copy or the storage area.
  bool Fits(int copy, uint32_t start, uint64_t length) {
    const uint32_t room = FactoryCopyRoom(info_, option_, copy);
    if (start != kNoPosition && length <= room) return true;
    PrintDeviceLog(slot_, "start write factory error.\r\n");
    PrintDeviceLog(slot_, t_.addressLine2, slot_, static_cast<int>(start));
    PrintDeviceLog(slot_, "factory  device[%d] - flash type : %d \r\n", slot_, info_.FlashType);
    PrintDeviceLog(slot_, "factorylen_temp  is too large , factory size 0x200000: %d \r\n ", static_cast<int>(length));
    if (room < kFactoryCopyMaxBytes)
      PrintDeviceLog(slot_, "factory copy %d room before the next area : %u bytes\r\n", copy, room);
    ReportResult(kFactoryError, slot_, "full install gen factory.tar\r\n ");
    return false;
  }

  DevHandle device_;
  int slot_;
  const FlashInfo& info_;
  const BurnOption& option_;
  NandBbt& bbt_;
  const CopyTexts& t_;
  bool carriesKey_;
};

// Logs a builder's failure tag; false when the tag names no archive.
bool TagFailed(int slot, const StatusTag& tag, const char* emptyLabel, const std::string& failLine,
               const std::string& tagLine, const std::string& failLabel) {
  if (tag.Empty()) {
    ReportResult(kFactoryError, slot, emptyLabel);
    return true;
  }
  if (!tag.Failed()) return false;
  PrintDeviceLog(slot, "%s", failLine.c_str());
  PrintDeviceLog(slot, tagLine.c_str(), tag.text.c_str());
  ReportResult(kFactoryError, slot, failLabel);
  return true;
}

StatusTag BuildFactoryArchive(int slot, const BurnOption& option) {
  if (option.burnFactory) {
    PrintDeviceLog(slot, "write factory.tar include secure key. icon[%d]\r\n", slot);
    return Gen_factory_tar_file(slot, MacTexts(), SnTexts(), option,
                                option.useSecureStorage ? nullptr : &StorageTexts());
  }
  PrintDeviceLog(slot, "full install - write blank factory.tar not include secure key- icon[%d] \r\n"
                       "begin gen blank factory.tar\r\n", slot);
  return Gen_blank_factory_tar_file(state().PackageSubdir, slot, option, 1);
}

ResultCode WriteFactoryBody(DevHandle device, int slot, const FlashInfo& info, const BurnOption& option,
                            NandBbt& bbt) {
  ShowLabel(slot, option, 10);
  const StatusTag tag = BuildFactoryArchive(slot, option);
  ShowLabel(slot, option, 30);
  if (TagFailed(slot, tag, "get factory.tar , but pc temp factory path not found!!!",
                "gen factory.tar failed :" + tag.text + "\r\n", "factory_tar_file_name : %s \r\n",
                "gen factory.tar " + tag.text))
    return kFactoryError;
  ShowLabel(slot, option, 40);
  PrintDeviceLog(slot, "begin read factory.tar data\r\n");
  // With "burn se_storage" the key went into the storage archive, not into this one.
  const bool carriesKey = option.burnFactory && !option.useSecureStorage;
  const ResultCode result = CopyWriter(device, slot, info, option, bbt, kWriteTexts, carriesKey).Run(tag.text);
  if (result != kResultDone) return result;

  PrintDeviceLog(slot, "remove pc temp file facoty.tar\r\n");
  DeleteFileRetry(tag.text);
  ResultCode done = kResultDone;
  if (option.burnFactory) {
    LoadIniSettings(0);  // the builder moved the key counters on
    if (!DeleteTmpTarFiles(slot)) {
      PrintDeviceLog(slot, "remove all secure key failed\r\n");
      ReportResult(kFactoryFileError, slot, "remove all secure key failed\r\n");
      done = kFactoryFileError;
    }
  }
  ShowLabel(slot, option, 100);
  return done;
}

// A board without a usable geometry, or an area without a position, gets nothing sent.
bool AreasHavePositions(int slot, const FlashInfo& info, const BurnOption& option) {
  bool usable = AreaGeometryUsable(info) && GetFactoryAreaOffset(info, option, 0) != kNoPosition &&
                GetFactoryAreaOffset(info, option, 1) != kNoPosition;
  if (usable && option.burnFactory && option.useSecureStorage) usable = StorageAreaStart(info) != kNoPosition;
  if (usable) return true;
  PrintDeviceLog(slot, "factory area : no position for flash type %d , page size %u , block size %uK\r\n",
                 info.FlashType, info.PageSize, info.BlockSizeK);
  ReportResult(kFactoryError, slot, "factory area position");
  return false;
}

ResultCode WriteKeyedFactoryData(DevHandle device, int slot, const FlashInfo& info, const BurnOption& option,
                                 NandBbt& bbt) {
  TakeKeySent(slot);
  ResultCode result = kResultDone;
  if (option.useSecureStorage) result = WriteStorage(device, slot, info, option, bbt);
  if (result == kResultDone) result = WriteFactory(device, slot, info, option, bbt);
  if (TakeKeySent(slot) && result != kResultDone) {
    // The board may hold the key now: it must never go to another board.
    PrintDeviceLog(slot, "icon[%d] : the secure key reached the board , it is not handed out again\r\n", slot);
    DeleteTmpTarFiles(slot);
    LoadIniSettings(0);  // the key counters show the spent key
  }
  return result;
}

}  // namespace

ResultCode WriteFactoryArea(int slot, DeviceSlot& dev, FlashInfo info, BurnOption option, NandBbt& bbt) {
  if (slot < 0 || slot >= kSlotCount) return kFactoryError;
  if (info.FlashType == kFlashNand && !bbt.table && !AllocNandBbt(info, bbt)) {
    ReportResult(kResultBbtCreate, slot, "nand create bbt");
    return kResultBbtCreate;
  }
  if (!AreasHavePositions(slot, info, option)) return kFactoryError;
  if (!AreasClearOfInstallation(slot, info, option)) return kFactoryError;
  const DevHandle device = dev.DeviceHandle;
  if (CheckBurnOption(option, 2)) return WriteKeyedFactoryData(device, slot, info, option, bbt);
  if (CheckBurnOption(option, 3)) return RegenFactoryOnlyUpgradeFw(device, slot, info, option, bbt);
  return WriteFactory(device, slot, info, option, bbt);
}

ResultCode WriteFactory(DevHandle device, int slot, FlashInfo info, BurnOption option, NandBbt& bbt) {
  PrintDeviceLog(slot, "enter , write factory icon[%d] \r\n", slot);
  PrintLog("enter , write factory\r\n");
  const ResultCode result = WriteFactoryBody(device, slot, info, option, bbt);
  PrintDeviceLog(slot, "exit , write factory.\r\n");
  PrintLog("exit , write factory\r\n");
  return result;
}

ResultCode RegenFactoryOnlyUpgradeFw(DevHandle device, int slot, FlashInfo info, BurnOption option, NandBbt& bbt) {
  const uint32_t start0 = GetFactoryAreaOffset(info, option, 0);
  const ResultCode read = ReadDeviceFlash(device, info, slot, start0, kFactoryCopyMaxBytes);
  if (read != kResultDone) {
    PrintDeviceLog(slot, "only upgrade firmware.\r\nread factory area [0] failed.");
    ReportResult(read, slot, "full install ! only upgrade firmware : read device failed");
    return read;
  }
  StatusTag tag = Gen_blank_factory_tar_file(state().PackageSubdir, slot, option, 0);
  if (TagFailed(slot, tag, "only upgrade fw : get factory folder , but pc temp factory path not found!!!",
                "only upgrade fw : gen factory folder failed - " + tag.text + "\r\n",
                "only upgrade fw : StatusTag : %s \r\n", "only upgrade fw - gen factory folder " + tag.text))
    return kFactoryError;
  tag = Regen_factory_tar_file(slot, info.FlashType, option);
  if (TagFailed(slot, tag, "only upgrade fw : get factory tar file , but pc temp factory path not found!!!",
                "only upgrade fw : regen factory tar file failed - " + tag.text + "\r\n",
                "only upgrade fw : StatusTag : %s \r\n", "only upgrade fw : regen factory tar file " + tag.text))
    return kFactoryError;
  PrintDeviceLog(slot, "only upgrade fw : regen factory done.\r\n");
  PrintDeviceLog(slot, "only upgrade fw : begin read factory.tar data\r\n");
  // The rebuilt archive carries the board's own key back to the same board.
  const ResultCode result = CopyWriter(device, slot, info, option, bbt, kRegenTexts, false).Run(tag.text);
  if (result != kResultDone) return result;
  DeleteFileRetry(tag.text);
  CleanWorkFolders();
  return kResultDone;
}

}  // namespace station

#include "programming/nand_install.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "foundation/log_boxes.h"
#include "foundation/slot_display.h"
#include "package/type_lists.h"
#include "platform/ui.h"
#include "usblink/bbt_burn.h"
#include "usblink/compare_mode.h"
#include "usblink/send_routine.h"
#include "usblink/usb_device.h"
#include "usblink/usb_wrappers.h"

namespace station {

namespace {

// Address lines end with the ideographic full stop and CR LF.
#define NAND_STOP "\xE3\x80\x82" "\r\n"

constexpr int kCopies = 4;
constexpr int kEndAfterLastPartition = -1;

// States of the installation.
enum : int {
  kStHwsetting = 0,
  kStBootcode = 1,
  kStFsbl = 2,
  kStKernel = 3,
  kStCilogo1 = 17,
  kStFwTable = 19,
  kStFwTableGold = 20,
  kStConfig = 21,
  kStProfile = 22,
  kStGoldKernel = 23,
  kStGoldRescueDt = 24,
  kStGoldAkernel = 26,
  kStPartition = 27,
  kStHeadPage = 28,
  kStCompare = 30,
  kStTee = 31,
  kStBl31 = 32,
  kStRsaFw = 33,
  kStRsaTee = 34,
  kStEnd = 35,
  kStProfileGold = 36,
};

// One boot-loader piece of the boot area, in the order the pieces are packed.
struct BootStep {
  int state;
  int piece;
  uint16_t marker;
  const char* slotAddress;  // (slot, start page, block)
  const char* mainAddress;
  const char* written;      // (copy counter)
  const char* label;
  const char* compareName;
  const char* slotFail;
  const char* mainFail;
};

const BootStep kBootSteps[] = {
    {kStHwsetting, kBootHwsetting, nand_marker::kHwsetting,
     "nand flash: hwsetting address device[%d] - startPage : %d , writeBlock : %d " NAND_STOP,
     "nand flash: hwsetting address device[%d] - startPage : %d , writeBlock : %d " NAND_STOP,
     "nand flash :hwsetting has been written count :[%d]\r\n", "nand flash :full install hwsetting", "hwsetting",
     "nand flash : hwsetting write failed!\r\n", "nand flash : hwsetting write fail!\r\n"},
    {kStBootcode, kBootCode, nand_marker::kBootcode,
     "nand flash : bootcode (LK.bin)  address device[%d] - startPage : %d , writeBlock : %d " NAND_STOP,
     "nand flash : bootcode (LK.bin) address device[%d] - startPage : %d , writeBlock : %d " NAND_STOP,
     "nand flash : bootcode (LK.bin) has been written count [%d]\r\n", "nand flash : full install bootcode",
     "bootcode(lk.bin)", "nand flash : bootcode (lk.bin) write fail!\r\n",
     "nand flash : bootcode (lk.bin) write fail!\r\n"},
    {kStFsbl, kBootFsbl, nand_marker::kFsbl,
     "nand flash :fsbl address device[%d] -  startPage : %d , writeBlock : %d" NAND_STOP,
     "nand flash : fsbl address device[%d] - startPage : %d , writeBlock : %d " NAND_STOP,
     "nand flash: fsbl has been written [%d]\r\n", "nand flash: full install fsbl", "fsbl",
     "nand flash : fsbl write failed!\r\n", "nand flash : fsbl write fail!\r\n"},
    {kStTee, kBootTee, nand_marker::kTee,
     "nand flash :tee.bin address device[%d] -  startPage : %d , writeBlock : %d" NAND_STOP,
     "nand flash :tee.bin address device[%d] - startPage : %d , writeBlock : %d " NAND_STOP,
     "nand flash: tee.bin has been written [%d]\r\n", "nand flash: full install tee.bin", "tee.bin",
     "nand flash : tee.bin write fail!\r\n", "nand flash : tee.bin write fail!\r\n"},
    {kStBl31, kBootBl31, nand_marker::kBl31,
     "nand flash :bl31 address device[%d] -  startPage : %d , writeBlock : %d" NAND_STOP,
     "nand flash :bl31 address device[%d] - startPage : %d , writeBlock : %d " NAND_STOP,
     "nand flash: bl31 has been written [%d]\r\n", "nand flash: full install bl31", "bl31",
     "nand flash : bl31 write failed!\r\n", "nand flash : bl31 write fail!\r\n"},
    {kStRsaFw, kBootRsaFw, nand_marker::kRsaFw,
     "nand flash :rsa fw address device[%d] -  startPage : %d , writeBlock : %d" NAND_STOP,
     "nand flash :rsa fw address device[%d] - startPage : %d , writeBlock : %d " NAND_STOP,
     "nand flash: rsa fw has been written [%d]\r\n", "nand flash: full install rsa fw", "rsafw",
     "nand flash : rsa fw write failed!\r\n", "nand flash : rsa fw write fail!\r\n"},
    {kStRsaTee, kBootRsaTee, nand_marker::kRsaTee,
     "nand flash :rsa tee address device[%d] -  startPage : %d , writeBlock : %d" NAND_STOP,
     "nand flash :rsa tee address device[%d] - startPage : %d , writeBlock : %d " NAND_STOP,
     "nand flash: rsa tee has been written [%d]\r\n", "nand flash: full install rsa tee", "rsatee",
     "nand flash : rsa tee write fail!\r\n", "nand flash : rsa tee write fail!\r\n"},
};

// One firmware entry written once at its own page.
struct EntryStep {
  int state;
  int entry;
  int next;
  const char* label;     // followed by the entry's name
  const char* pageLine;  // after the name: (slot, page)
  const char* fail;      // after the name
};

constexpr const char* kPageLine = " device[%d] - Page number : %d " NAND_STOP;
constexpr const char* kFullInstall = "nand flash: full install";
constexpr const char* kFullInstallBlank = "nand flash: full install ";
constexpr const char* kWriteFailed = "write failed!\r\n";

const EntryStep kEntrySteps[] = {
    {3, FW_KERNEL, 4, kFullInstall, kPageLine, "wirte failed!\r\n"},
    {4, FW_RESCUE_DT, 5, kFullInstall, kPageLine, kWriteFailed},
    {5, FW_KERNEL_DT, 6, kFullInstall, kPageLine, "write faileds!\r\n"},
    {6, FW_RESCUE_ROOTFS, 7, kFullInstall, kPageLine, kWriteFailed},
    {7, FW_KERNEL_ROOTFS, 8, kFullInstall, kPageLine, kWriteFailed},
    {8, FW_NAS_RESCUE_KERNEL, 9, kFullInstall, kPageLine, kWriteFailed},
    {9, FW_NAS_RESCUE_DT, 10, kFullInstallBlank, kPageLine, kWriteFailed},
    {10, FW_NAS_RESCUE_ROOTFS, 11, kFullInstallBlank, kPageLine, kWriteFailed},
    {11, FW_AKERNEL, 12, kFullInstallBlank, kPageLine, kWriteFailed},
    {12, FW_TEEKERNEL, 13, kFullInstallBlank, kPageLine, kWriteFailed},
    {13, FW_BL31, 14, kFullInstallBlank, kPageLine, kWriteFailed},
    {14, FW_P_UBOOT, 15, kFullInstallBlank, kPageLine, kWriteFailed},
    {15, FW_DALOGO, 16, kFullInstallBlank, kPageLine, kWriteFailed},
    {16, FW_DILOGO, 17, kFullInstallBlank, kPageLine, kWriteFailed},
    {kStCilogo1, FW_CILOGO1, kStFwTable, kFullInstallBlank, kPageLine, kWriteFailed},
    {kStConfig, FW_CONFIG, kStProfile, "nand flash : full install ", kPageLine, kWriteFailed},
    {kStGoldKernel, FW_GOLD_KERNEL, 24, kFullInstall, kPageLine, kWriteFailed},
    {kStGoldRescueDt, FW_GOLD_RESCUE_DT, 25, kFullInstall, " Page device[%d] - Page number : %d " NAND_STOP,
     kWriteFailed},
    {25, FW_GOLD_ROOTFS, kStGoldAkernel, kFullInstall, kPageLine, kWriteFailed},
    {kStGoldAkernel, FW_GOLD_AKERNEL, kStPartition, kFullInstall, kPageLine, kWriteFailed},
};

// The row of `table` for state `st`, or none.
template <class Step, size_t N>
const Step* FindStep(const Step (&table)[N], int st) {
  for (const Step& step : table)
    if (step.state == st) return &step;
  return nullptr;
}

// A read-back of one write, made before the next state.
struct CompareItem {
  uint32_t page;
  int64_t length;
  const uint8_t* buffer;
  std::string name;
};

class NandInstaller {
 public:
  NandInstaller(int slot, DeviceSlot& dev, const FlashInfo& info, FwEntryTable& table, const BurnOption& option,
                NandBbt& bbt)
      : slot_(slot),
        dev_(dev),
        info_(info),
        table_(table),
        option_(option),
        bbt_(bbt),
        img_(state().images),
        pageSize_(static_cast<uint16_t>(info.PageSize)) {}

  ResultCode Run();

 private:
  // Each returns the procedure's result when the procedure ends there.
  std::optional<ResultCode> BootCopy(const BootStep& b);
  std::optional<ResultCode> Entry(const EntryStep& e);
  std::optional<ResultCode> TwoCopies();
  std::optional<ResultCode> Partition();
  std::optional<ResultCode> HeadPage();
  std::optional<ResultCode> Compare();

  ResultCode Send(uint8_t opcode, uint32_t page, const uint8_t* data, int64_t* size, uint16_t marker,
                  uint32_t extra, uint8_t routingB);
  ResultCode WriteFlash(uint32_t page, const uint8_t* data, int64_t* size, uint16_t marker) {
    return Send(OpByte(VendorOpcode::WriteFlash), page, data, size, marker, 0, static_cast<uint8_t>(info_.GoJump));
  }
  // A send that reported success while bytes of its item are still unsent did not write the
  // item: that is a size error, never a success.
  ResultCode Checked(ResultCode rc, int64_t left) const {
    if (rc == kResultDone && left != 0) {
      PrintDeviceLog(slot_, "nand flash : data left after the write : %lld \r\n", static_cast<long long>(left));
      return kResultSizeError;
    }
    return rc;
  }
  // Writes an item of `expected` bytes of which `left` are to go from `data` (`available`
  // bytes loaded); `left` keeps what stays unsent.
  ResultCode WriteItem(uint32_t page, const uint8_t* data, uint64_t available, int64_t& left, uint16_t marker,
                       int64_t expected) {
    const ResultCode rc =
        Whole(left, expected) && Fits(left, available) ? WriteFlash(page, data, &left, marker) : kResultSizeError;
    last_ = Checked(rc, left);
    return last_;
  }
  // The address line of a write, `name` followed by `format` of (slot, page), to the slot's
  // log and the main log.
  void Announce(const std::string& name, const char* format, uint32_t page) {
    const std::string line = name + format;
    PrintDeviceLog(slot_, line.c_str(), slot_, static_cast<int>(page));
    PrintLog(line.c_str(), slot_, static_cast<int>(page));
  }
  // Whether a counter of `size` bytes sends the whole item of `expected` bytes: a counter that
  // is short of it (or missing) would leave the item cut on the board.
  bool Whole(int64_t size, int64_t expected) const {
    if (size == expected) return true;
    PrintDeviceLog(slot_, "nand flash : %lld bytes to send for an item of %lld \r\n", static_cast<long long>(size),
                   static_cast<long long>(expected));
    return false;
  }
  // Whether `size` bytes can be sent from a buffer of `available` bytes.
  bool Fits(int64_t size, uint64_t available) const {
    if (size <= 0 || static_cast<uint64_t>(size) <= available) return true;
    PrintDeviceLog(slot_, "nand flash : %lld bytes to send but %llu loaded \r\n", static_cast<long long>(size),
                   static_cast<unsigned long long>(available));
    return false;
  }
  // After a write: compare it first in compare mode, else go straight on.
  void Then(int next, std::vector<CompareItem> items) {
    if (option_.compareMode) {
      compare_ = std::move(items);
      saved_ = next;
      state_ = kStCompare;
    } else {
      state_ = next;
    }
  }
  int BootNext(int piece) const;
  std::optional<ResultCode> StartPartitions();

  const int slot_;
  DeviceSlot& dev_;
  const FlashInfo info_;
  FwEntryTable& table_;
  const BurnOption option_;
  NandBbt& bbt_;
  const ImageBuffers& img_;
  const uint16_t pageSize_;
  int64_t blockBytes_ = 0;     // B
  int64_t pagesPerBlock_ = 0;  // P
  int64_t blocksPerCopy_[kBootPieceCount] = {};
  int64_t accumulated_[kBootPieceCount] = {};

  int state_ = kStHwsetting;
  int copiesLeft_ = kCopies;
  ResultCode last_ = kResultDone;
  std::vector<CompareItem> compare_;
  int saved_ = kStEnd;

  // Partitions.
  size_t piece_ = 0;       // the piece to write next
  size_t firstPiece_ = 0;  // the first piece of the current partition
  size_t partition_ = 0;   // index into the partition data-size table
  int64_t page_ = 0;       // page of the next piece
  std::vector<uint8_t> headPage_;  // a head page padded to one page, when the piece is shorter
};

ResultCode NandInstaller::Send(uint8_t opcode, uint32_t page, const uint8_t* data, int64_t* size, uint16_t marker,
                               uint32_t extra, uint8_t routingB) {
  return PerformReadTest(dev_.DeviceHandle, opcode, VendorSubCode(opcode), page, data, size, info_.EccCode, pageSize_,
                         info_.BlockSizeK, info_.NandSizeM, static_cast<int32_t>(info_.TransRange), info_.FlashType,
                         marker, info_.OnceMaxTransRange, extra, static_cast<uint8_t>(info_.Secure), routingB,
                         &bbt_.remapCount, bbt_.table.get(), slot_);
}

ResultCode NandInstaller::Run() {
  if (!NandModelChosen(slot_, dev_)) return kResultBbtCreate;

  // Without a geometry there are no blocks, so no table either.
  blockBytes_ = static_cast<int32_t>(info_.BlockSizeK * 1024u);
  if (pageSize_ == 0 || blockBytes_ <= 0 || !AllocNandBbt(info_, bbt_)) {
    ReportResult(kResultBbtCreate, slot_, "nand create bbt");
    return kResultBbtCreate;
  }

  pagesPerBlock_ = blockBytes_ / pageSize_;
  // Blocks per copy of each piece, taken before any send consumes the counters.
  for (int k = 0; k < kBootPieceCount; ++k) {
    const int64_t quarter = static_cast<int32_t>(static_cast<uint32_t>(dev_.Remaining.boot[k])) / 4;
    blocksPerCopy_[k] = blockBytes_ > 0 ? quarter / blockBytes_ + (quarter % blockBytes_ != 0 ? 1 : 0) : 0;
  }

  state_ = kStHwsetting;
  if (dev_.Remaining.boot[kBootHwsetting] == 0) {
    PrintDeviceLog(slot_, "uboot hwsetting = 0 , begin write fw kernel \r\n");
    PrintLog("uboot hwsetting = 0 , begin write fw kernel \r\n");
    state_ = kStKernel;
  }
  copiesLeft_ = kCopies;

  for (;;) {
    std::optional<ResultCode> end;
    if (const BootStep* b = FindStep(kBootSteps, state_)) {
      end = BootCopy(*b);
    } else if (const EntryStep* e = FindStep(kEntrySteps, state_)) {
      end = Entry(*e);
    } else {
      switch (state_) {
        case kStFwTable:
        case kStFwTableGold:
        case kStProfile:
        case kStProfileGold: end = TwoCopies(); break;
        case kStPartition: end = Partition(); break;
        case kStHeadPage: end = HeadPage(); break;
        case kStCompare: end = Compare(); break;
        default: end = last_; break;  // the end
      }
    }
    if (end) return *end;
  }
}

int NandInstaller::BootNext(int piece) const {
  const int fallback = option_.onlyUpgradeBootloader ? kStEnd : kStKernel;
  const auto& rem = dev_.Remaining.boot;
  switch (piece) {
    case kBootHwsetting: return kStBootcode;
    case kBootCode: return rem[kBootFsbl] > 0 ? kStFsbl : fallback;
    case kBootFsbl: return rem[kBootTee] > 0 ? kStTee : fallback;
    case kBootTee: return rem[kBootBl31] > 0 ? kStBl31 : fallback;
    case kBootBl31: return rem[kBootRsaFw] > 0 ? kStRsaFw : fallback;
    case kBootRsaFw: return rem[kBootRsaTee] > 0 ? kStRsaTee : fallback;
    default: return fallback;
  }
}

std::optional<ResultCode> NandInstaller::BootCopy(const BootStep& b) {
  const int k = b.piece;
  const ImageBuffer& piece = img_.boot[k];

  // Pieces are packed one after the other: the copies of the earlier pieces, then this one's.
  int64_t block = kNandBootFirstBlock + accumulated_[k];
  for (int j = 0; j < k; ++j) block += accumulated_[j];
  const uint32_t startPage = static_cast<uint32_t>(blockBytes_ * block / pageSize_);
  PrintDeviceLog(slot_, b.slotAddress, slot_, static_cast<int>(startPage), static_cast<int>(block));
  PrintLog(b.mainAddress, slot_, static_cast<int>(startPage), static_cast<int>(block));

  // Each copy takes its share of what is left, so four copies of a quarter each go out, all
  // from the start of the piece.
  int64_t& remaining = dev_.Remaining.boot[k];
  const int64_t bytes = remaining / copiesLeft_;
  StoreCounter(remaining, remaining - bytes);
  int64_t left = bytes;
  // Every copy is one quarter of the recorded length.
  const int64_t length = static_cast<int32_t>(piece.length) / 4;
  const ResultCode rc = WriteItem(startPage, piece.data.data(), piece.data.size(), left, b.marker, length);
  PrintDeviceLog(slot_, b.written, copiesLeft_);
  ReportResult(rc, slot_, b.label);
  if (left != 0) return rc;

  int next = state_;
  if (copiesLeft_ > 0) {
    accumulated_[k] += blocksPerCopy_[k];
    if (--copiesLeft_ == 0) {
      copiesLeft_ = kCopies;
      next = BootNext(k);
    }
  }
  if (rc != kResultDone) {
    PrintDeviceLog(slot_, "%s", b.slotFail);
    PrintLog("%s", b.mainFail);
    return rc;
  }
  Then(next, {{startPage, length, piece.data.data(), b.compareName}});
  return std::nullopt;
}

std::optional<ResultCode> NandInstaller::Entry(const EntryStep& e) {
  FwEntry& entry = table_[e.entry];
  const std::string& name = entry.Name;
  const uint32_t page = static_cast<uint32_t>(static_cast<int64_t>(entry.Offset) / pageSize_);
  Announce(name, e.pageLine, page);

  int64_t& left = dev_.Remaining.entries[e.entry];
  const ResultCode rc = WriteItem(page, entry.Buffer.data(), entry.Buffer.size(), left, nand_marker::kData,
                                  static_cast<int64_t>(entry.Size));
  PrintDeviceLog(slot_, "%s \r\n", name.c_str());
  ReportResult(rc, slot_, e.label + name);
  if (rc != kResultDone) {
    PrintDeviceLog(slot_, "%s%s", name.c_str(), e.fail);
    return rc;
  }
  int next = e.next;
  if (state_ == kStGoldAkernel && option_.onlyUpgradeSecureFirmware) next = kStEnd;
  if (next == kStPartition) {
    if (auto end = StartPartitions()) {
      if (!option_.compareMode) return end;
      next = kStEnd;
    }
  }
  Then(next, {{page, static_cast<int64_t>(entry.Size), entry.Buffer.data(), name}});
  return std::nullopt;
}

std::optional<ResultCode> NandInstaller::TwoCopies() {
  const bool table = state_ == kStFwTable || state_ == kStFwTableGold;
  const bool gold = state_ == kStFwTableGold || state_ == kStProfileGold;
  FwEntry& entry = table_[table ? FW_FWTBL : FW_PROFILE];
  const std::string& name = entry.Name;
  int64_t& slotSize = dev_.Remaining.entries[table ? FW_FWTBL : FW_PROFILE];

  int64_t page = static_cast<int64_t>(entry.Offset) / pageSize_;
  if (state_ == kStFwTableGold) page += pagesPerBlock_;  // one block after the table
  if (state_ == kStProfileGold) page = kNandGoldProfileBlock * blockBytes_ / pageSize_;
  const uint32_t at = static_cast<uint32_t>(page);
  if (table) {
    Announce(name, " device[%d] - Page number : %d " NAND_STOP, at);
  } else {
    const std::string line = name + "device[%d] - Page number : %d " NAND_STOP;
    PrintDeviceLog(slot_, line.c_str(), slot_, static_cast<int>(at));
  }

  // Both copies are sent from the slot's size of the item; it falls to 0 after the second.
  int64_t left = slotSize;
  const uint16_t marker = table ? nand_marker::kData : nand_marker::kProfile;
  const ResultCode rc =
      WriteItem(at, entry.Buffer.data(), entry.Buffer.size(), left, marker, static_cast<int64_t>(entry.Size));
  int next = 0;
  switch (state_) {
    case kStFwTable:
      PrintDeviceLog(slot_, "%s \r\n", name.c_str());
      ReportResult(rc, slot_, "nand install :" + name);
      next = kStFwTableGold;
      break;
    case kStFwTableGold:
      PrintDeviceLog(slot_, "nand install :W_FW_GOLD_TABLE \r\n");
      ReportResult(rc, slot_, "nand install W_FW_GOLD_TABLE");
      next = kStConfig;
      break;
    case kStProfile:
      PrintDeviceLog(slot_, "%s\r\n", name.c_str());
      ReportResult(rc, slot_, "nand flash: full  install" + name);
      next = kStProfileGold;
      break;
    default:
      PrintDeviceLog(slot_, "W_FW_GOLD_PROFILE \r\n");
      ReportResult(rc, slot_, "nand flash: full install W_FW_GOLD_PROFILE");
      next = kStGoldKernel;
      break;
  }
  if (rc != kResultDone) {
    PrintDeviceLog(slot_, "%s%s", name.c_str(), kWriteFailed);
    return rc;
  }
  if (gold) StoreCounter(slotSize, 0);
  Then(next, {{at, static_cast<int64_t>(entry.Size), entry.Buffer.data(), name}});
  return std::nullopt;
}

// Sets up the walk over the partition pieces; the procedure's result when there is none.
std::optional<ResultCode> NandInstaller::StartPartitions() {
  piece_ = firstPiece_ = partition_ = 0;
  if (img_.partitionPieces.empty()) return kResultDone;
  page_ = static_cast<int64_t>(img_.partitionPieces[0].offset) / pageSize_;
  return std::nullopt;
}

std::optional<ResultCode> NandInstaller::Partition() {
  const std::vector<PartitionPiece>& pieces = img_.partitionPieces;
  const std::vector<int64_t>& sizes = img_.partitionFileSizes;
  if (piece_ >= pieces.size()) return last_;
  // Partitions without an image have no pieces.
  while (partition_ < sizes.size() && sizes[partition_] == 0) ++partition_;

  const PartitionPiece& p = pieces[piece_];
  const uint32_t page = static_cast<uint32_t>(page_);
  Announce(p.name, " device[%d] - Page number : %d " NAND_STOP, page);

  // A piece without a counter of its own is not sent at all.
  std::vector<int64_t>& counters = dev_.Remaining.partitions;
  int64_t missing = -1;
  int64_t& left = piece_ < counters.size() ? counters[piece_] : missing;
  const uint64_t available = p.pages.empty() ? p.heap.size() : p.pages.size();
  const ResultCode rc = WriteItem(page, p.data(), available, left, nand_marker::kData, static_cast<int64_t>(p.length));
  PrintDeviceLog(slot_, "[%s]\r\n", p.name.c_str());
  ReportResult(rc, slot_, kFullInstall + p.name);
  if (rc != kResultDone) {
    PrintDeviceLog(slot_, "%s%s", p.name.c_str(), kWriteFailed);
    return rc;
  }

  ++piece_;
  int next = kStHeadPage;
  if (partition_ < sizes.size() && piece_ < pieces.size() && pieces[piece_].name == p.name) {
    page_ += static_cast<int64_t>(p.length) / pageSize_;  // the next piece of the same partition
    next = kStPartition;
  }
  Then(next, {{page, static_cast<int64_t>(p.length), p.data(), p.name}});
  return std::nullopt;
}

std::optional<ResultCode> NandInstaller::HeadPage() {
  const std::vector<PartitionPiece>& pieces = img_.partitionPieces;
  const std::vector<int64_t>& sizes = img_.partitionFileSizes;
  const PartitionPiece& first = pieces[firstPiece_];
  const std::string& name = first.name;

  int64_t dataSize = 0;
  if (partition_ < sizes.size()) {
    dataSize = sizes[partition_];
  } else {
    for (size_t i = firstPiece_; i < piece_; ++i) dataSize += static_cast<int64_t>(pieces[i].length);
  }
  const int64_t offset = static_cast<int64_t>(first.offset);
  // The first page after the partition's data: a last page that the data fills only in part
  // still holds data, so the head page goes to the page after it.
  int64_t n = (dataSize + offset + pageSize_ - 1) / pageSize_;
  int64_t blocksLeft = (static_cast<int64_t>(first.layoutSize) - dataSize) / blockBytes_;
  Announce(name, " nand flash head file - device[%d] - Page number : %d " NAND_STOP, static_cast<uint32_t>(n));

  // The head page is the partition's first page.
  const uint64_t available = first.pages.empty() ? first.heap.size() : first.pages.size();
  const uint8_t* head = first.data();
  if (available < pageSize_) {
    headPage_.assign(pageSize_, 0xFF);
    if (head && available) std::memcpy(headPage_.data(), head, available);
    head = headPage_.data();
  }

  ResultCode rc = kResultDone;
  for (int attempts = 1;;) {
    int64_t left = pageSize_;
    rc = Send(OpByte(VendorOpcode::WriteSpecialPage), static_cast<uint32_t>(n), head, &left, nand_marker::kData,
              static_cast<uint32_t>(blocksLeft), 1);
    PrintDeviceLog(slot_, "%s \r\n", name.c_str());
    if (rc == kResultDone) {
      rc = Checked(rc, left);
      break;
    }
    if (rc < 0) {
      // The page's block was bad: the board reported the page, the block went to a
      // replacement, and the head page moves on by whole blocks.
      const int64_t step = -((n + rc) * pageSize_) / blockBytes_ + 1;
      blocksLeft -= step;
      n += step * blockBytes_ / pageSize_;
      attempts = 1;
      continue;
    }
    if (attempts >= kHeadPageSendLimit) break;
    ++attempts;
    PrintDeviceLog(slot_, "%s nand flash head file - send again [%d]\r\n", name.c_str(), attempts);
  }
  last_ = rc;
  ReportResult(rc, slot_, kFullInstall + name);
  if (rc != kResultDone) {
    PrintDeviceLog(slot_, "%s%s", name.c_str(), kWriteFailed);
    return rc;
  }

  int next = kEndAfterLastPartition;
  if (piece_ < pieces.size()) {
    firstPiece_ = piece_;
    ++partition_;
    page_ = static_cast<int64_t>(pieces[piece_].offset) / pageSize_;
    next = kStPartition;
  }
  if (!option_.compareMode && next == kEndAfterLastPartition) return kResultDone;

  // The head page stands at the first page after the data and at the first page of every
  // block left in the partition's area.
  std::vector<CompareItem> items;
  for (int64_t k = 0; k <= std::max<int64_t>(blocksLeft, 0); ++k)
    items.push_back({static_cast<uint32_t>(n + k * pagesPerBlock_), pageSize_, head, name});
  Then(next, std::move(items));
  return std::nullopt;
}

std::optional<ResultCode> NandInstaller::Compare() {
  for (const CompareItem& c : compare_) {
    PrintLog("nand start compare \r\n");
    PrintDeviceLog(slot_, "device[%d] - %s start compare \r\n ", slot_, c.name.c_str());
    const ResultCode rc = CompareDeviceData(dev_.DeviceHandle, c.page, c.length, slot_, c.buffer, bbt_.table.get());
    last_ = rc;
    ReportResult(rc, slot_, c.name + " data compare");
    if (rc != kResultDone) return rc;
  }
  compare_.clear();
  if (saved_ == kEndAfterLastPartition) return kResultDone;
  state_ = saved_;
  return std::nullopt;
}

}  // namespace

bool NandModelChosen(int slot, DeviceSlot& dev) {
  ui::Dialog& main = state().mainDlg;
  if (!main.Text(kNandModelList).empty()) return true;
  PrintDeviceLog(slot, "The nand flash model has not been selected yet\r\n");
  ui::MessageBox("The nand flash model has not been selected yet!", "WARNING", ui::MB_OK | ui::MB_ICONWARNING);
  CloseDevice(dev.DeviceHandle);
  dev.DeviceHandle = kInvalidHandle;
  SetSlotState(slot, kSlotConnected, 0);
  for (int id : {1068, 1067, 1064, 1145, kNandModelList}) main.SetEnabled(id, true);
  return false;
}

ResultCode NandFullInstall(int slot, DeviceSlot& dev, FlashInfo info, FwEntryTable& table, BurnOption option,
                           NandBbt& bbt) {
  return NandInstaller(slot, dev, info, table, option, bbt).Run();
}

}  // namespace station

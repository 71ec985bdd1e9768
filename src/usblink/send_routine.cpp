#include "usblink/send_routine.h"

#include <algorithm>
#include <cstring>

#include "foundation/aes128.h"
#include "foundation/crc32.h"
#include "foundation/log_boxes.h"
#include "platform/clock.h"
#include "usblink/flash_options.h"
#include "usblink/usb_device.h"

namespace station {

namespace {

constexpr uint8_t kNand = 0;
constexpr uint8_t kNor = 1;
constexpr uint8_t kEmmc = 2;
constexpr uint32_t kDdrRangeSize = 0x20000;
constexpr uint16_t kRangeMarker = 0x79;
constexpr uint16_t kResendMarker = 0xFF;
constexpr uint8_t kOpSpecialPage = OpByte(VendorOpcode::WriteSpecialPage);
constexpr uint8_t kOpWriteFlash = OpByte(VendorOpcode::WriteFlash);
constexpr uint8_t kOpWriteDdr = OpByte(VendorOpcode::WriteDdr);
// A board that keeps refusing one chunk is given up on like one that never answers.
constexpr int kChunkRepeatLimit = kStatusReadLimit;
constexpr char kDashLine[] = "------------------------------------------------\r\n";

// The option boxes this routine reads at every call.
struct Options {
  bool skipBlank;
  bool singleMode;
  bool enKtee;
};

Options ReadOptions() {
  const ui::Dialog& d = state().optionsDlg;
  return {d.Checked(option_id::kNfWriteSkip), d.Checked(option_id::kSingleMode), d.Checked(option_id::kEnKtee)};
}

bool AllBlank(const uint8_t* p, size_t n) {
  // Word at a time; NAND pages are kilobytes long.
  constexpr uint64_t kOnes = ~uint64_t{0};
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if (w != kOnes) return false;
    p += 8;
    n -= 8;
  }
  while (n--)
    if (*p++ != 0xFF) return false;
  return true;
}

// The chunk without its blank pages at the end.
uint32_t WithoutBlankTail(const uint8_t* data, uint32_t length, uint32_t pageSize) {
  if (!data || length == 0) return 0;
  if (pageSize == 0) pageSize = length;  // no page structure: the chunk is one page
  uint32_t end = length;
  while (end > 0) {
    uint32_t pageStart = ((end - 1) / pageSize) * pageSize;
    if (!AllBlank(data + pageStart, end - pageStart)) return end;
    end = pageStart;
  }
  return 0;
}

uint16_t RangeMarker(uint16_t marker, uint64_t index) {
  if (marker != kRangeMarker || index == 0) return marker;
  return static_cast<uint16_t>((index << 8) + kRangeMarker);
}

enum class CommandWrite { Ok, WrapperFailed, DataFailed };

// The wrapper, then the data phase it announces.
CommandWrite SendCommand(DevHandle device, const UsbCbw& cbw, const uint8_t* data, uint32_t length) {
  auto bytes = SerializeCbw(cbw);
  if (!UsbWrite(device, kCbwSize, bytes.data())) return CommandWrite::WrapperFailed;
  return UsbWrite(device, length, data) ? CommandWrite::Ok : CommandWrite::DataFailed;
}

// One data transfer of PerformReadTest: its ranges, chunks, remaps and accounting.
class DataTransfer {
 public:
  DataTransfer(const SendArgs& a, const Options& o, int32_t maxRemap)
      : a_(a),
        opt_(o),
        slot_(a.slot),
        total_(a.size && *a.size > 0 ? static_cast<uint64_t>(*a.size) : 0),
        size_(a.size ? *a.size : localSize_),
        remapCount_(a.remapCount ? *a.remapCount : localRemapCount_),
        maxRemap_(maxRemap),
        unit_(a.transferUnit > 0 ? static_cast<uint64_t>(a.transferUnit) : 0),
        ddrRun_(a.flashType == kNand && a.opcode == kOpWriteDdr && a.rangeSize == kDdrRangeSize) {}

  ResultCode Run();

 private:
  struct Range {
    uint64_t index;
    uint32_t address;  // the range's start address
    uint64_t offset;   // its first byte in the buffer
    uint64_t end;      // one past its last byte
    uint64_t firstChunk;
    uint16_t marker;
  };

  ResultCode SendRange(const Range& r);
  ResultCode Remap(const Range& r, uint64_t pieceEnd, const UsbCsw& csw);
  uint32_t AddressOf(const Range& r, uint64_t offset) const {
    return offset == r.offset ? r.address
                              : CalcNextAddr(r.address, a_.flashType, a_.pageSize, offset - r.offset);
  }
  // The caller's counter is read by the percentage display meanwhile.
  void Deliver(uint64_t bytes) { StoreCounter(size_, size_ - static_cast<int64_t>(bytes)); }

  const SendArgs& a_;
  const Options opt_;
  const int slot_;
  const uint64_t total_;
  int64_t localSize_ = 0;
  int64_t& size_;
  int32_t localRemapCount_ = 0;
  int32_t& remapCount_;
  const int32_t maxRemap_;
  const uint64_t unit_;
  const bool ddrRun_;

  // Per range.
  uint64_t pos_ = 0;        // next byte to send
  bool newRun_ = true;      // the next chunk opens a run at its own address
  bool remapDone_ = false;  // a remap just finished
  uint64_t coveredUpTo_ = 0;  // bytes already placed in replacement blocks
};

ResultCode DataTransfer::Run() {
  if (total_ > 0 && (unit_ == 0 || !a_.data)) {
    PrintDeviceLog(slot_, "data transmission lemgth = NULL\r\n");
    return kResultDataWrite;
  }
  const uint64_t rangeSize = a_.rangeSize;
  const uint64_t ranges = rangeSize ? (total_ + rangeSize - 1) / rangeSize : 1;
  PrintDeviceLog(slot_, "once max trans total cont : %d \r\n", static_cast<int>(ranges));

  uint32_t address = a_.startAddress;
  uint64_t firstChunk = 0;
  for (uint64_t r = 0; r < ranges; ++r) {
    PrintDeviceLog(slot_, "trans count: %d \r\n", static_cast<int>(r));
    PrintDeviceLog(slot_, "trans total cont : %d \r\n", static_cast<int>(ranges));
    if (r == 0) {
      PrintDeviceLog(slot_, "first start address : 0x%x\r\n", a_.startAddress);
    } else {
      // Computed from the previous range's own start, so a remap never shifts later ranges.
      address = ddrRun_ ? address + a_.rangeSize : CalcNextAddr(address, a_.flashType, a_.pageSize, rangeSize);
    }
    PrintDeviceLog(slot_, "write address : 0x%x \r\n", address);

    Range range;
    range.index = r;
    range.address = address;
    range.offset = r * rangeSize;
    range.end = rangeSize ? std::min(total_, range.offset + rangeSize) : total_;
    range.firstChunk = firstChunk;
    range.marker = RangeMarker(a_.partMarker, r);
    const uint64_t bytes = range.end - range.offset;
    const uint64_t chunks = unit_ ? (bytes + unit_ - 1) / unit_ : 0;
    PrintDeviceLog(slot_, "Now data remaining length : 0x%x \r\n", static_cast<unsigned>(bytes));
    PrintDeviceLog(slot_, "Now256KCont : %d \r\n", static_cast<int>(firstChunk));
    PrintDeviceLog(slot_, "Total256KCont : %d \r\n", static_cast<int>(firstChunk + chunks));

    ResultCode rc = SendRange(range);
    if (rc != kResultOk) return rc;
    firstChunk += chunks;
  }
  return kResultOk;
}

ResultCode DataTransfer::SendRange(const Range& r) {
  pos_ = r.offset;
  // A NAND write to DDR is one run over all its ranges; every other range opens its own.
  newRun_ = !ddrRun_ || r.index == 0;
  remapDone_ = false;
  if (coveredUpTo_ > pos_) {
    // A block re-sent to its replacement already holds the start of this range.
    uint64_t to = std::min(coveredUpTo_, r.end);
    Deliver(to - pos_);
    pos_ = to;
    newRun_ = true;
  }

  const bool trimBlank = a_.flashType == kNand && a_.opcode != kOpWriteDdr && !opt_.singleMode;
  uint32_t runAddress = r.address;
  bool repeat = false;  // the board did not take the last chunk: send it again
  int repeats = 0;

  while (pos_ < r.end) {
    const uint64_t j = (pos_ - r.offset) / unit_;
    const uint64_t pieceEnd = std::min(r.offset + (j + 1) * unit_, r.end);
    const uint32_t length = static_cast<uint32_t>(pieceEnd - pos_);

    int indicator;
    if (repeat) {
      indicator = kIndicatorRepeat;
    } else if (ddrRun_) {
      indicator = pos_ == 0 ? kIndicatorFirst : kIndicatorMiddle;
      if (pieceEnd == total_) indicator = kIndicatorLast;
    } else {
      if (newRun_) runAddress = AddressOf(r, pos_);
      indicator = newRun_ ? kIndicatorFirst : kIndicatorMiddle;
      if (pieceEnd == r.end) indicator = kIndicatorLast;
    }
    const uint32_t address = ddrRun_ ? r.address : runAddress;

    uint32_t sendLength = length;
    bool shortened = false;
    if (trimBlank) {
      sendLength = FindBlankData(a_.data + pos_, length, a_.pageSize, a_.blockSizeK);
      shortened = sendLength < length;
      // The board closes a run on indicator 3; the chunk after a shortened one opens a new run.
      if (shortened && !repeat) indicator = kIndicatorLast;
    }

    PrintDeviceLog(slot_, "bRempFinish : %d \r\n", remapDone_ ? 1 : 0);
    PrintDeviceLog(slot_, "dataOffsetSeekRange : 0x%x \r\n", static_cast<unsigned>(pos_));
    PrintDeviceLog(slot_, "onceTransSize : 0x%x \r\n", length);
    PrintDeviceLog(slot_, "iRemainSize : 0x%x \r\n", static_cast<unsigned>(r.end - pieceEnd));
    PrintDeviceLog(slot_, "dataToalSize : 0x%x \r\n", static_cast<unsigned>(size_ - length));
    remapDone_ = false;
    if (sendLength == 0) {
      PrintDeviceLog(slot_, "data transmission lemgth = NULL\r\n");
      return kResultDataWrite;
    }

    const uint8_t* bytes = a_.data + pos_;
    UsbCbw cbw;
    cbw.dataTransferLength = sendLength;
    cbw.flags = 0;
    cbw.indicator = IndicatorByte(indicator, a_.routingA, a_.routingB);
    cbw.cb = VendorCommandBlock{a_.opcode,    a_.subCode,    address,       a_.eccCode,
                                a_.flashType, a_.pageSize,   a_.blockSizeK, a_.flashSizeM,
                                r.marker,     a_.extra,      Crc32(bytes, sendLength)};
    PrintDeviceLog(slot_, "******************************\r\n");
    PrintDeviceLog(slot_, "******** CBW *** CBWCB *******\r\n");
    PrintDeviceLog(slot_, "CBW.dCBWDataTransferLength : 0x%x \r\n", sendLength);
    PrintDeviceLog(slot_, "CBW.iIndicator: %d \r\n", indicator);
    PrintDeviceLog(slot_, "CBW.dCbwcb.LogicalBlockAddress : 0x%02x \r\n", address);
    PrintDeviceLog(slot_, "******************************\r\n");

    const CommandWrite written = SendCommand(a_.device, cbw, bytes, sendLength);
    if (written == CommandWrite::WrapperFailed) {
      PrintDeviceLog(slot_, "PerformWriteTest: CBW failed!\r\n");
      return kResultCbwWrite;
    }
    if (written == CommandWrite::DataFailed) {
      PrintDeviceLog(slot_, "PerformWriteTest failed!\r\n");
      PrintDeviceLog(slot_, "CBW.dCBWDataTransferLength: %d\r\n", static_cast<int>(sendLength));
      PrintDeviceLog(slot_, "Seek offset range : %d\r\n", static_cast<int>(pos_));
      PrintDeviceLog(slot_, "Data transmission length : %d\r\n", static_cast<int>(sendLength));
      PrintDeviceLog(slot_, "CBW Size := %d!\r\n", kCbwSize);
      return kResultDataWrite;
    }
    UsbCsw csw;
    ResultCode rc = WaitForStatus(a_.device, StatusSender::SendData, slot_, csw);
    if (rc != kResultOk) return rc;

    if (csw.status == static_cast<uint8_t>(CswStatus::BadBlock)) {
      rc = Remap(r, pieceEnd, csw);
      if (rc != kResultOk) return rc;
      repeat = false;
      repeats = 0;
      continue;
    }
    // A board that failed the command has not taken the chunk.
    if (csw.status == static_cast<uint8_t>(CswStatus::Failed)) return kResultCswStatus;
    if (CswNotDelivered(csw.flags)) {
      repeat = true;
      if (++repeats > kChunkRepeatLimit) return kResultCswRetries;
      continue;
    }
    Deliver(length);
    pos_ = pieceEnd;
    repeat = false;
    repeats = 0;
    if (!ddrRun_) newRun_ = shortened;
  }
  return kResultOk;
}

ResultCode DataTransfer::Remap(const Range& r, uint64_t pieceEnd, const UsbCsw& csw) {
  PrintDeviceLog(slot_, "nand flash write failed , because bad block.\r\n");
  if (a_.flashType != kNand) return kResultNotNand;
  ++remapCount_;
  PrintDeviceLog(slot_, "The number of remapped counts has now been used : %d \r\n", remapCount_);
  if (remapCount_ > maxRemap_) return kResultRemapOverflow;
  const uint64_t blockBytes = uint64_t{a_.blockSizeK} * 1024;
  const uint32_t pagesPerBlock = a_.pageSize ? static_cast<uint32_t>(blockBytes / a_.pageSize) : 0;
  // Without a table the remap could not be found again; without a geometry there is no block.
  if (!a_.bbt || pagesPerBlock == 0) return kResultRemapOverflow;

  const uint32_t badPage = csw.value;
  uint64_t offset = 0;
  uint64_t resend = std::min<uint64_t>(total_, blockBytes);
  if (a_.opcode == kOpWriteFlash) {
    const uint64_t start = a_.startAddress;
    const uint64_t blockFirst = badPage - badPage % pagesPerBlock;
    const uint64_t blockEnd = blockFirst + pagesPerBlock;
    const uint64_t from = std::max(blockFirst, start);
    if (blockEnd <= start) return kResultRemapOverflow;  // a page this transfer never wrote
    offset = (from - start) * a_.pageSize;
    if (offset >= total_) return kResultRemapOverflow;
    resend = std::min(total_ - offset, (blockEnd - from) * a_.pageSize);
  }

  const uint32_t blocks = a_.blockSizeK ? (a_.flashSizeM * 1024u) / a_.blockSizeK : 0;
  const uint32_t replacement = blocks - static_cast<uint32_t>(remapCount_);  // from the end downwards
  const uint32_t replacementPage = replacement * pagesPerBlock;
  PrintDeviceLog(slot_,
                 "Remap block indx : %d \r\n\remap info :\r\n\tremap start page : %d \r\n\tremap data start "
                 "point : %d \r\n",
                 static_cast<int>(replacement), static_cast<int>(replacementPage), static_cast<int>(offset));
  NandBbtEntry& entry = a_.bbt[remapCount_ - 1];
  entry.marker = 0;
  entry.badBlock = static_cast<uint16_t>(badPage / pagesPerBlock);
  entry.replacement = static_cast<uint16_t>(replacement);

  int64_t left = static_cast<int64_t>(resend);
  SendArgs again = a_;
  again.opcode = kOpWriteFlash;
  again.subCode = VendorSubCode(kOpWriteFlash);
  again.startAddress = replacementPage;
  again.data = a_.data + offset;
  again.size = &left;
  again.flashType = kNand;
  again.partMarker = kResendMarker;
  again.extra = 0;
  again.routingB = 0;
  again.remapCount = &remapCount_;
  ResultCode rc = PerformReadTest(again);
  if (rc != kResultOk) return rc;

  if (a_.opcode == kOpSpecialPage) {
    PrintDeviceLog(slot_, "Special case : remapping done.\r\n");
    PrintDeviceLog(slot_, "------------- for debug - in remapping funtion.-------------\n\n");
    return static_cast<ResultCode>(0u - badPage);
  }
  PrintDeviceLog(slot_, "Remap done . \r\n");
  PrintDeviceLog(slot_, "------------- for debug - in remapping funtion.-------------\n\n");

  const uint64_t resume = offset + resend;
  coveredUpTo_ = std::max(coveredUpTo_, resume);
  if (resume < pieceEnd) {
    // The rest of the chunk goes to its own pages as a new run.
    const uint64_t to = std::max(pos_, resume);
    Deliver(to - pos_);
    pos_ = to;
    PrintDeviceLog(slot_, "Recalcuate  start page change offset : %d \r\n", static_cast<int>(AddressOf(r, pos_)));
  } else {
    // The re-sent block covered this chunk and maybe more: those bytes are delivered.
    const uint64_t to = std::min(resume, r.end);
    Deliver(to - pos_);
    pos_ = to;
    if (resume >= total_ && size_ != 0 && r.end != pos_) return kResultRemapSize;
    if (r.index > 0)
      PrintDeviceLog(slot_, "Recalcuate  start page change offset: %d \r\n", static_cast<int>(AddressOf(r, pos_)));
  }
  newRun_ = true;
  remapDone_ = true;
  return kResultOk;
}

ResultCode SendNoData(const SendArgs& a, const Options& opt) {
  const int slot = a.slot;
  const uint64_t ranges = 1;
  PrintDeviceLog(slot, "once max trans total cont : %d \r\n", static_cast<int>(ranges));
  PrintDeviceLog(slot, "trans count: %d \r\n", 0);
  PrintDeviceLog(slot, "trans total cont : %d \r\n", static_cast<int>(ranges));
  PrintDeviceLog(slot, "first start address : 0x%x\r\n", a.startAddress);
  PrintDeviceLog(slot, "write address : 0x%x \r\n", a.startAddress);

  UsbCbw cbw;
  cbw.dataTransferLength = static_cast<uint32_t>(kNoDataPayload.size());
  cbw.flags = 0;
  cbw.indicator = IndicatorByte(kIndicatorLast, a.routingA, a.routingB);
  cbw.cb = VendorCommandBlock{a.opcode,     a.subCode,  a.startAddress, a.eccCode,
                              a.flashType,  a.pageSize, a.blockSizeK,   a.flashSizeM,
                              a.partMarker, a.extra,    Crc32(kNoDataPayload.data(), kNoDataPayload.size())};
  switch (SendCommand(a.device, cbw, kNoDataPayload.data(), static_cast<uint32_t>(kNoDataPayload.size()))) {
    case CommandWrite::WrapperFailed: return kResultCbwWrite;
    case CommandWrite::DataFailed: return kResultDataWrite;
    case CommandWrite::Ok: break;
  }
  UsbCsw csw;
  ResultCode rc = WaitForStatus(a.device, StatusSender::SendNoData, slot, csw);
  if (rc != kResultOk) return rc;
  if (csw.status == static_cast<uint8_t>(CswStatus::BadBlock)) return kResultCswBadBlock;
  if (csw.status == static_cast<uint8_t>(CswStatus::Failed)) return kResultCswStatus;

  std::array<uint8_t, 17> key{};
  if (opt.enKtee) {
    PrintLog("get ktee key\r\n");
    PrintDeviceLog(slot, "get ktee key\r\n");
    PrintLog("%s", kDashLine);
    PrintDeviceLog(slot, "%s", kDashLine);
    Aes128EcbDecrypt(csw.key.data(), nullptr, key.data());
    PrintDeviceLog(slot, "\r\n Reserved : %02x \r", CswReservedBits(csw.flags));
    PrintDeviceLog(slot, "\r\nget ktee key done\r\n");
  }
  if (slot >= 0 && slot < kSlotCount) {
    state().SlotKteeKey[slot] = key;
    if (opt.enKtee) ++state().SlotKteeKeyCount[slot];
  }
  return kResultOk;
}

ResultCode Dispatch(const SendArgs& a, const Options& opt) {
  if (!IsWriteOpcode(a.opcode) && !IsNoDataOpcode(a.opcode)) return kResultOpcode;
  int32_t maxRemap = 0;
  if (a.flashType == kNand && (a.opcode == kOpWriteFlash || a.opcode == kOpSpecialPage)) {
    PrintDeviceLog(a.slot, "calculate nand bbt count \r\n");
    uint32_t budget = NandBbtEntryCount(a.flashSizeM, a.blockSizeK);
    if (budget == 0) return kResultRemapBudget;
    maxRemap = static_cast<int32_t>(budget) - 1;
    PrintDeviceLog(a.slot, "calculate nand bbt max count = %d\r\n", maxRemap);
  }
  if (IsNoDataOpcode(a.opcode)) return SendNoData(a, opt);
  return DataTransfer(a, opt, maxRemap).Run();
}

// ---- blank-skipping write ----

ResultCode SkipBlank(const SendArgs& a, const Options& opt) {
  const uint64_t total = a.size && *a.size > 0 ? static_cast<uint64_t>(*a.size) : 0;
  if (total == 0) {
    if (a.size) StoreCounter(*a.size, 0);
    return kResultOk;
  }
  // Blank pages only mean something on a NAND with a geometry; anything else is sent whole.
  if (a.flashType != kNand || a.pageSize == 0 || a.blockSizeK == 0) return Dispatch(a, opt);
  if (!a.data) return kResultDataWrite;

  int32_t localRemapCount = 0;
  int32_t& remapCount = a.remapCount ? *a.remapCount : localRemapCount;
  const uint64_t blockBytes = uint64_t{a.blockSizeK} * 1024;
  const uint64_t chunk = a.transferUnit > 0 ? std::min<uint64_t>(a.transferUnit, blockBytes) : blockBytes;
  const uint32_t pagesPerBlock = static_cast<uint32_t>(blockBytes / a.pageSize);
  const uint64_t blocks = (total + blockBytes - 1) / blockBytes;
  const int32_t maxAllowed = static_cast<int32_t>(NandBbtEntryCount(a.flashSizeM, a.blockSizeK)) - 1;
  const uint32_t flashBlocks = (a.flashSizeM * 1024u) / a.blockSizeK;
  int64_t& size = *a.size;

  for (uint64_t b = 0; b < blocks; ++b) {
    const uint64_t blockOffset = b * blockBytes;
    const uint64_t blockEnd = std::min(total, blockOffset + blockBytes);
    const uint32_t blockAddress = a.startAddress + static_cast<uint32_t>(b) * pagesPerBlock;
    const uint16_t marker = RangeMarker(a.partMarker, b);
    const uint64_t chunks = (blockEnd - blockOffset + chunk - 1) / chunk;
    auto lengthOf = [&](uint64_t j) { return static_cast<uint32_t>(std::min(chunk, blockEnd - blockOffset - j * chunk)); };
    auto leadOf = [&](uint64_t j) { return CountLeadingData(a.data + blockOffset + j * chunk, lengthOf(j), a.pageSize); };

    bool newRun = true;
    uint32_t runAddress = blockAddress;
    uint32_t lead = leadOf(0);
    bool remapped = false;
    for (uint64_t j = 0; j < chunks && !remapped; ++j) {
      const uint64_t offset = blockOffset + j * chunk;
      const uint32_t length = lengthOf(j);
      const uint32_t nextLead = j + 1 < chunks ? leadOf(j + 1) : 0;
      if (lead == 0) {  // a blank chunk is not sent at all
        StoreCounter(size, size - length);
        newRun = true;
        lead = nextLead;
        continue;
      }
      // A run ends at the block's last chunk, at a shortened chunk, and before a blank one.
      const bool endsRun = j + 1 == chunks || lead < length || nextLead == 0;
      // Every chunk of a run carries the run's first page.
      if (newRun) runAddress = blockAddress + static_cast<uint32_t>((offset - blockOffset) / a.pageSize);
      int indicator = endsRun ? kIndicatorLast : newRun ? kIndicatorFirst : kIndicatorMiddle;
      for (int repeats = 0;; ++repeats) {
        UsbCbw cbw;
        cbw.dataTransferLength = lead;
        cbw.indicator = IndicatorByte(indicator, a.routingA, a.routingB);
        cbw.cb = VendorCommandBlock{a.opcode,    a.subCode,   runAddress, a.eccCode,
                                    a.flashType, a.pageSize,  a.blockSizeK, a.flashSizeM,
                                    marker,      a.extra,     Crc32(a.data + offset, lead)};
        switch (SendCommand(a.device, cbw, a.data + offset, lead)) {
          case CommandWrite::WrapperFailed: return kResultCbwWrite;
          case CommandWrite::DataFailed: return kResultDataWrite;
          case CommandWrite::Ok: break;
        }
        UsbCsw csw;
        ResultCode rc = WaitForStatus(a.device, StatusSender::SkipBlankWrite, a.slot, csw);
        if (rc != kResultOk) return rc;
        if (csw.status == static_cast<uint8_t>(CswStatus::BadBlock)) {
          if (remapCount >= maxAllowed || !a.bbt) return kResultRemapOverflow;
          const uint32_t replacement = flashBlocks - static_cast<uint32_t>(remapCount) - 1;
          NandBbtEntry& e = a.bbt[remapCount];
          e.marker = 0;
          e.badBlock = static_cast<uint16_t>(csw.value / pagesPerBlock);
          e.replacement = static_cast<uint16_t>(replacement);
          ++remapCount;
          int64_t left = static_cast<int64_t>(blockEnd - blockOffset);
          SendArgs again = a;
          again.startAddress = replacement * pagesPerBlock;
          again.data = a.data + blockOffset;
          again.size = &left;
          rc = SkipBlank(again, opt);
          if (rc != kResultOk) return rc;
          if (a.subCode == VendorSubCode(kOpSpecialPage)) return static_cast<ResultCode>(0u - csw.value);
          StoreCounter(size, size - static_cast<int64_t>(blockEnd - offset));  // the rest of the block went with it
          remapped = true;
          break;
        }
        if (csw.status == static_cast<uint8_t>(CswStatus::Failed)) return kResultCswStatus;
        if (CswNotDelivered(csw.flags)) {
          if (repeats >= kChunkRepeatLimit) return kResultCswRetries;
          indicator = kIndicatorRepeat;
          continue;
        }
        StoreCounter(size, size - length);
        break;
      }
      newRun = endsRun;
      lead = nextLead;
    }
  }
  StoreCounter(size, 0);
  return kResultOk;
}

}  // namespace

uint32_t FindBlankData(const uint8_t* data, uint32_t length, uint32_t pageSize, uint32_t /*blockSizeK*/) {
  // Only the pages before the last are judged: a chunk of one page or less goes out as it is.
  if (data && pageSize != 0 && length <= pageSize) return length;
  return WithoutBlankTail(data, length, pageSize);
}

uint32_t CountLeadingData(const uint8_t* data, uint32_t length, uint32_t pageSize) {
  return WithoutBlankTail(data, length, pageSize);
}

uint32_t CalcNextAddr(uint32_t address, uint8_t flashType, uint32_t pageSize, uint64_t length) {
  switch (flashType) {
    case kNand:
      return pageSize ? address + static_cast<uint32_t>((length + pageSize - 1) / pageSize) : address;
    case kNor:
      return address + static_cast<uint32_t>(length);
    case kEmmc:
      return address + static_cast<uint32_t>((length + 511) / 512);
    default:
      return address;
  }
}

ResultCode PerformReadTest(const SendArgs& args) {
  if (plat::StopRequested()) return UnlessStopped(kResultStopped, args.slot);
  const Options opt = ReadOptions();
  const uint8_t op = args.opcode;
  if (opt.skipBlank && op != OpByte(VendorOpcode::WriteHwsetting) && op != kOpWriteDdr &&
      op != OpByte(VendorOpcode::DdrEnable))
    return WriteDeviceSkipBlank(args);
  return UnlessStopped(Dispatch(args, opt), args.slot);
}

ResultCode WriteDeviceSkipBlank(const SendArgs& args) {
  if (!IsWriteOpcode(args.opcode) && !IsNoDataOpcode(args.opcode)) return kResultOpcode;
  if (plat::StopRequested()) return UnlessStopped(kResultStopped, args.slot);
  return UnlessStopped(SkipBlank(args, ReadOptions()), args.slot);
}

ResultCode PerformReadTest(DevHandle device, uint8_t opcode, uint8_t subCode, uint32_t startAddress,
                           const uint8_t* data, int64_t* size, uint8_t eccCode, uint16_t pageSize,
                           uint32_t blockSizeK, uint32_t flashSizeM, int32_t transferUnit, uint8_t flashType,
                           uint16_t partMarker, uint32_t rangeSize, uint32_t extra, uint8_t routingA,
                           uint8_t routingB, int32_t* remapCount, NandBbtEntry* bbt, int32_t slot) {
  return PerformReadTest(SendArgs{device, opcode, subCode, startAddress, data, size, eccCode, pageSize, blockSizeK,
                                  flashSizeM, transferUnit, flashType, partMarker, rangeSize, extra, routingA,
                                  routingB, remapCount, bbt, slot});
}

ResultCode WriteDeviceSkipBlank(DevHandle device, uint8_t opcode, uint8_t subCode, uint32_t startAddress,
                                const uint8_t* data, int64_t* size, uint8_t eccCode, uint16_t pageSize,
                                uint32_t blockSizeK, uint32_t flashSizeM, int32_t transferUnit,
                                uint8_t flashType, uint16_t partMarker, uint32_t rangeSize, uint32_t extra,
                                uint8_t routingA, uint8_t routingB, int32_t* remapCount, NandBbtEntry* bbt,
                                int32_t slot) {
  return WriteDeviceSkipBlank(SendArgs{device, opcode, subCode, startAddress, data, size, eccCode, pageSize,
                                       blockSizeK, flashSizeM, transferUnit, flashType, partMarker, rangeSize,
                                       extra, routingA, routingB, remapCount, bbt, slot});
}

}  // namespace station

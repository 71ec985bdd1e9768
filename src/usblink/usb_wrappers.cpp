#include "usblink/usb_wrappers.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "foundation/log_boxes.h"
#include "platform/clock.h"
#include "usblink/usb_device.h"

namespace station {

uint8_t VendorSubCode(uint8_t opcode) {
  switch (static_cast<VendorOpcode>(opcode)) {
    case VendorOpcode::GenKey: return 3;
    case VendorOpcode::SystemReset: return 2;
    case VendorOpcode::WriteSpecialPage: return 4;
    case VendorOpcode::WriteFlash: return 1;
    case VendorOpcode::WriteHwsetting: return 0;
    case VendorOpcode::ReadFlash: return 0;
    case VendorOpcode::WriteDdr: return 5;
    case VendorOpcode::DdrEnable: return 6;
    case VendorOpcode::GenKsKey: return 7;
    case VendorOpcode::ReadSpare: return 0;
  }
  return 0;
}

bool IsNoDataOpcode(uint8_t opcode) {
  return opcode == OpByte(VendorOpcode::GenKey) || opcode == OpByte(VendorOpcode::SystemReset) ||
         opcode == OpByte(VendorOpcode::DdrEnable) || opcode == OpByte(VendorOpcode::GenKsKey);
}

bool IsWriteOpcode(uint8_t opcode) {
  return opcode == OpByte(VendorOpcode::WriteSpecialPage) || opcode == OpByte(VendorOpcode::WriteFlash) ||
         opcode == OpByte(VendorOpcode::WriteHwsetting) || opcode == OpByte(VendorOpcode::WriteDdr);
}

bool IsReadOpcode(uint8_t opcode) {
  return opcode == OpByte(VendorOpcode::ReadFlash) || opcode == OpByte(VendorOpcode::ReadSpare);
}

// ---- records ----

namespace {

// Writes the fields of a record in wire order, little-endian.
struct Writer {
  uint8_t* p;
  void field(uint8_t v) { *p++ = v; }
  void field(uint16_t v) {
    field(static_cast<uint8_t>(v));
    field(static_cast<uint8_t>(v >> 8));
  }
  void field(uint32_t v) {
    field(static_cast<uint16_t>(v));
    field(static_cast<uint16_t>(v >> 16));
  }
};

// Reads them back in the same order.
struct Reader {
  const uint8_t* p;
  void field(uint8_t& v) { v = *p++; }
  void field(uint16_t& v) {
    uint8_t lo, hi;
    field(lo);
    field(hi);
    v = static_cast<uint16_t>(lo | (hi << 8));
  }
  void field(uint32_t& v) {
    uint16_t lo, hi;
    field(lo);
    field(hi);
    v = lo | (static_cast<uint32_t>(hi) << 16);
  }
};

// The wrappers' fields in wire order. One list serves both directions: `Io` is a Writer (with
// a const record) or a Reader.
template <class Io, class Cbw>
void CbwFields(Io& io, Cbw& c) {
  io.field(c.signature);
  io.field(c.tag);
  io.field(c.dataTransferLength);
  io.field(c.flags);
  io.field(c.indicator);
  io.field(c.commandBlockLength);
  io.field(c.cb.opcode);
  io.field(c.cb.subCode);
  io.field(c.cb.address);
  io.field(c.cb.eccCode);
  io.field(c.cb.flashType);
  io.field(c.cb.pageSize);
  io.field(c.cb.blockSizeK);
  io.field(c.cb.flashSizeM);
  io.field(c.cb.partMarker);
  io.field(c.cb.extra);
  io.field(c.cb.payloadCrc);
}

template <class Io, class Csw>
void CswFields(Io& io, Csw& c) {
  io.field(c.signature);
  io.field(c.tag);
  io.field(c.value);
  io.field(c.flags);
  io.field(c.status);
  for (auto& b : c.key) io.field(b);
  for (auto& b : c.reserved) io.field(b);
}

}  // namespace

std::array<uint8_t, kCbwSize> SerializeCbw(const UsbCbw& c) {
  std::array<uint8_t, kCbwSize> out{};
  Writer w{out.data()};
  CbwFields(w, c);
  return out;
}

UsbCbw ParseCbw(const uint8_t* bytes) {
  UsbCbw c;
  Reader r{bytes};
  CbwFields(r, c);
  return c;
}

std::array<uint8_t, kCswSize> SerializeCsw(const UsbCsw& c) {
  std::array<uint8_t, kCswSize> out{};
  Writer w{out.data()};
  CswFields(w, c);
  return out;
}

UsbCsw ParseCsw(const uint8_t* bytes) {
  UsbCsw c;
  Reader r{bytes};
  CswFields(r, c);
  return c;
}

// ---- status wait ----

void StatusLog::operator()(const char* format, ...) const {
  char buffer[kLogBufferSize];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (slot < 0)
    PrintLog("%s", buffer);
  else
    PrintDeviceLog(slot, "%s", buffer);
}

namespace {

// Send routine, data path.
void SendDataFailedRead(const StatusLog& log, int64_t) { log("PerformReadTest: data failed , retry !!\r\n"); }
void SendDataTimedOut(const StatusLog& log, int64_t elapsed) {
  log("PerformReadTest : wait timeout: %ld \r\n", static_cast<long>(elapsed));
  log("PerformReadTest: read csw failed!\r\n");
}
void SendDataWrongWrapper(const StatusLog& log, const UsbCsw& c) {
  log("PerformReadTest failed enter retry !! \r\n");
  log("CSW.bCSWStatus [ 0x%x ]\r\n", c.status);
  log("CSW.dCSWSignature [ 0x%x ]\r\n", c.signature);
  log("CSW.dCSWTag [ 0x%x ]\r\n", c.tag);
}
void SendDataLimit(const StatusLog& log, int count, const UsbCsw& c) {
  log("PerformReadTest: retry count [%d] exit !! Signatrue :: %x  Tag :: %x \r\n", count, c.signature, c.tag);
}

// Send routine, no-data path.
void NoDataFailedRead(const StatusLog& log, int64_t) { log("ReadTest data failed , retry !!\r\n"); }
void NoDataWrongWrapper(const StatusLog& log, const UsbCsw& c) {
  log("ReadTest Signatrue Tag failed , retry !! Signatrue :: %x  Tag :: %x \r\n", c.signature, c.tag);
}
void NoDataLimit(const StatusLog& log, int count, const UsbCsw& c) {
  log("ReadTest retry %d exit !! Signatrue :: %x  Tag :: %x \r\n", count, c.signature, c.tag);
}

// The two readers.
void ReadFailedRead(const StatusLog& log, int64_t elapsed) {
  log("bRet: %d, seconds: %d \r\n", 0, static_cast<int>(elapsed));
}
void ReadTimedOut(const StatusLog& log, int64_t) { log("ERROR_CSW_READ_FAIL"); }
void FlashReadWrongWrapper(const StatusLog& log, const UsbCsw& c) {
  log("signature failed \r\n");
  log("CSW.dCSWSignature: 0x%x, CSW.dCSWTag: 0x%x \r\n", c.signature, c.tag);
}
void SpareReadWrongWrapper(const StatusLog& log, const UsbCsw& c) {
  log("signature fail \r\n");
  log("CSW.dCSWSignature: 0x%x, CSW.dCSWTag: 0x%x \r\n", c.signature, c.tag);
}
void ReadLimit(const StatusLog& log, int, const UsbCsw&) { log("ERROR_CSW_READ_THIRTY \r\n"); }
void ReadFinalStatus(const StatusLog& log, const UsbCsw& c) { log("CSW.bCSWStatus Fail: %d \r\n", c.status); }

const StatusWaitRow kRows[] = {
    // send routine, data path
    {kResultCswTimeout, kStatusRetryPauseMs, BusyRule::FreshWaitDisarmed, false, SendDataFailedRead,
     SendDataTimedOut, SendDataWrongWrapper, SendDataLimit, nullptr},
    // send routine, no-data path
    {kResultCswStatus, kStatusRetryPauseMs, BusyRule::FreshWait, true, NoDataFailedRead, nullptr,
     NoDataWrongWrapper, NoDataLimit, nullptr},
    // blank-skipping write
    {kResultCswTimeout, 0, BusyRule::SameWait, false, nullptr, nullptr, nullptr, nullptr, nullptr},
    // flash read to file
    {kResultCswTimeout, 0, BusyRule::SameWait, false, ReadFailedRead, ReadTimedOut, FlashReadWrongWrapper,
     ReadLimit, ReadFinalStatus},
    // spare read
    {kResultCswTimeout, 0, BusyRule::SameWait, false, ReadFailedRead, ReadTimedOut, SpareReadWrongWrapper,
     ReadLimit, ReadFinalStatus},
};

}  // namespace

const StatusWaitRow& StatusWaitRowOf(StatusSender sender) { return kRows[static_cast<int>(sender)]; }

namespace {

// A board that has gone answers no read again: every further read would fail at once. The wait
// ends now, with the code its rules reach first: the time-out when it is armed and the pauses
// of the reads left carry the wait past it, otherwise the read limit.
ResultCode GoneOutcome(const StatusWaitRow& row, const StatusLog& log, bool armed, int count, int64_t startSeconds,
                       const UsbCsw& csw) {
  const int64_t lastReadMs = plat::clock().NowMs() + int64_t{kStatusReadLimit - count} * row.pauseMs;
  const int64_t elapsed = lastReadMs / 1000 - startSeconds;
  if (armed && elapsed > kStatusTimeoutSeconds) {
    if (row.timedOut) row.timedOut(log, elapsed);
    return row.timeoutCode;
  }
  if (row.limit) row.limit(log, kStatusReadLimit, csw);
  return kResultCswRetries;
}

}  // namespace

ResultCode WaitForStatus(DevHandle device, StatusSender sender, int logSlot, UsbCsw& csw) {
  const StatusWaitRow& row = StatusWaitRowOf(sender);
  const StatusLog log{logSlot};
  plat::Clock& clk = plat::clock();
  int64_t start = clk.NowSeconds();
  int count = 0;
  bool armed = true;
  uint8_t buffer[kCswSize];
  for (;;) {
    if (plat::StopRequested()) return kResultStopped;
    std::memset(buffer, 0, sizeof buffer);
    if (row.presetBusy) buffer[13] = static_cast<uint8_t>(CswStatus::Busy);
    bool ok = UsbRead(device, kCswSize, buffer);
    UsbIo io = LastUsbIo();
    ++count;
    int64_t elapsed = clk.NowSeconds() - start;
    if (elapsed > kStatusTimeoutSeconds) log("diffTime: %ld \r\n", static_cast<long>(elapsed));
    csw = ParseCsw(buffer);

    if (!ok) {
      if (io == UsbIo::Stopped) return kResultStopped;
      if (armed && elapsed > kStatusTimeoutSeconds) {
        if (row.timedOut) row.timedOut(log, elapsed);
        return row.timeoutCode;
      }
      if (io == UsbIo::Gone) return GoneOutcome(row, log, armed, count, start, csw);
      if (row.failedRead) row.failedRead(log, elapsed);
      if (count >= kStatusReadLimit) {
        if (row.limit) row.limit(log, count, csw);
        return kResultCswRetries;
      }
      if (row.pauseMs > 0) clk.SleepMs(row.pauseMs);
      continue;
    }

    if (csw.signature != kCswSignature || csw.tag != kWrapperTag) {
      if (row.wrongWrapper) row.wrongWrapper(log, csw);
      if (count >= kStatusReadLimit) {
        if (row.limit) row.limit(log, count, csw);
        return kResultCswRetries;
      }
      continue;
    }

    bool busy = csw.status == static_cast<uint8_t>(CswStatus::Busy) || (row.presetBusy && csw.status >= 7);
    if (busy) {
      switch (row.busy) {
        case BusyRule::FreshWaitDisarmed:
          armed = false;
          [[fallthrough]];
        case BusyRule::FreshWait:
          count = 0;
          start = clk.NowSeconds();
          break;
        case BusyRule::SameWait:
          if (count >= kStatusReadLimit) {
            if (row.limit) row.limit(log, count, csw);
            return kResultCswRetries;
          }
          break;
      }
      continue;
    }

    if (csw.status != 0 && row.finalStatus) row.finalStatus(log, csw);
    return kResultOk;
  }
}

}  // namespace station

namespace station {

ResultCode UnlessStopped(ResultCode rc, int logSlot) {
  if (rc == kResultOk || !plat::StopRequested()) return rc;
  StatusLog{logSlot}("transfer stopped\r\n");
  return kResultStopped;
}

}  // namespace station

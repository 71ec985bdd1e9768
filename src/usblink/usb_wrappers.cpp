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

struct Writer {
  uint8_t* p;
  void u8(uint8_t v) { *p++ = v; }
  void u16(uint16_t v) {
    u8(static_cast<uint8_t>(v));
    u8(static_cast<uint8_t>(v >> 8));
  }
  void u32(uint32_t v) {
    u16(static_cast<uint16_t>(v));
    u16(static_cast<uint16_t>(v >> 16));
  }
};

struct Reader {
  const uint8_t* p;
  uint8_t u8() { return *p++; }
  uint16_t u16() {
    uint16_t lo = u8();
    return static_cast<uint16_t>(lo | (u8() << 8));
  }
  uint32_t u32() {
    uint32_t lo = u16();
    return lo | (static_cast<uint32_t>(u16()) << 16);
  }
};

}  // namespace

std::array<uint8_t, kCbwSize> SerializeCbw(const UsbCbw& c) {
  std::array<uint8_t, kCbwSize> out{};
  Writer w{out.data()};
  w.u32(c.signature);
  w.u32(c.tag);
  w.u32(c.dataTransferLength);
  w.u8(c.flags);
  w.u8(c.indicator);
  w.u8(c.commandBlockLength);
  w.u8(c.cb.opcode);
  w.u8(c.cb.subCode);
  w.u32(c.cb.address);
  w.u8(c.cb.eccCode);
  w.u8(c.cb.flashType);
  w.u16(c.cb.pageSize);
  w.u32(c.cb.blockSizeK);
  w.u32(c.cb.flashSizeM);
  w.u16(c.cb.partMarker);
  w.u32(c.cb.extra);
  w.u32(c.cb.payloadCrc);
  return out;
}

UsbCbw ParseCbw(const uint8_t* bytes) {
  UsbCbw c;
  Reader r{bytes};
  c.signature = r.u32();
  c.tag = r.u32();
  c.dataTransferLength = r.u32();
  c.flags = r.u8();
  c.indicator = r.u8();
  c.commandBlockLength = r.u8();
  c.cb.opcode = r.u8();
  c.cb.subCode = r.u8();
  c.cb.address = r.u32();
  c.cb.eccCode = r.u8();
  c.cb.flashType = r.u8();
  c.cb.pageSize = r.u16();
  c.cb.blockSizeK = r.u32();
  c.cb.flashSizeM = r.u32();
  c.cb.partMarker = r.u16();
  c.cb.extra = r.u32();
  c.cb.payloadCrc = r.u32();
  return c;
}

std::array<uint8_t, kCswSize> SerializeCsw(const UsbCsw& c) {
  std::array<uint8_t, kCswSize> out{};
  Writer w{out.data()};
  w.u32(c.signature);
  w.u32(c.tag);
  w.u32(c.value);
  w.u8(c.flags);
  w.u8(c.status);
  for (uint8_t b : c.key) w.u8(b);
  for (uint8_t b : c.reserved) w.u8(b);
  return out;
}

UsbCsw ParseCsw(const uint8_t* bytes) {
  UsbCsw c;
  Reader r{bytes};
  c.signature = r.u32();
  c.tag = r.u32();
  c.value = r.u32();
  c.flags = r.u8();
  c.status = r.u8();
  for (uint8_t& b : c.key) b = r.u8();
  for (uint8_t& b : c.reserved) b = r.u8();
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

ResultCode WaitForStatus(DevHandle device, StatusSender sender, int logSlot, UsbCsw& csw) {
  const StatusWaitRow& row = StatusWaitRowOf(sender);
  const StatusLog log{logSlot};
  plat::Clock& clk = plat::clock();
  int64_t start = clk.NowSeconds();
  int count = 0;
  bool armed = true;
  uint8_t buffer[kCswSize];
  for (;;) {
    std::memset(buffer, 0, sizeof buffer);
    if (row.presetBusy) buffer[13] = static_cast<uint8_t>(CswStatus::Busy);
    bool ok = UsbRead(device, kCswSize, buffer);
    UsbIo io = LastUsbIo();
    ++count;
    int64_t elapsed = clk.NowSeconds() - start;
    if (elapsed > kStatusTimeoutSeconds) log("diffTime: %ld \r\n", static_cast<long>(elapsed));
    csw = ParseCsw(buffer);

    if (!ok) {
      if ((armed && elapsed > kStatusTimeoutSeconds) || io == UsbIo::Gone) {
        if (row.timedOut) row.timedOut(log, elapsed);
        return row.timeoutCode;
      }
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

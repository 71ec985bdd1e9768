#include "boardsim/board_protocol.h"

#include <cstring>

namespace boardsim::wire {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

bool ParseCommandWrapper(const uint8_t* f, size_t length, CommandWrapper& w) {
  if (length != kCommandWrapperSize) return false;
  w.signature = Le32(f + 0);
  w.tag = Le32(f + 4);
  w.transferLength = Le32(f + 8);
  w.flags = f[12];
  w.indicatorByte = f[13];
  w.blockLength = f[14];
  const uint8_t* cb = f + 15;
  w.opcode = cb[0];
  w.subCode = cb[1];
  w.address = Le32(cb + 2);
  w.eccCode = cb[6];
  w.flashType = cb[7];
  w.pageSize = Le16(cb + 8);
  w.blockSizeK = Le32(cb + 10);
  w.flashSizeM = Le32(cb + 14);
  w.partMarker = Le16(cb + 18);
  w.extra = Le32(cb + 20);
  w.payloadCrc = Le32(cb + 24);
  return true;
}

void BuildStatusWrapper(const StatusWrapper& s, uint8_t out[kStatusWrapperSize]) {
  std::memset(out, 0, kStatusWrapperSize);
  Put32(out + 0, s.signature);
  Put32(out + 4, s.tag);
  Put32(out + 8, s.value);
  out[12] = s.flagByte;
  out[13] = s.status;
  std::memcpy(out + 14, s.key.data(), 16);
}

int ExpectedSubCode(uint8_t opcode) {
  switch (opcode) {
    case kGenKey: return 3;
    case kSystemReset: return 2;
    case kWriteSpecialPage: return 4;
    case kWriteFlash: return 1;
    case kWriteHwsetting: return 0;
    case kReadFlash: return 0;
    case kWriteDdr: return 5;
    case kDdrEnable: return 6;
    case kGenKsKey: return 7;
    case kReadSpare: return 0;
    default: return -1;
  }
}

}  // namespace boardsim::wire

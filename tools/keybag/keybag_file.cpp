#include "keybag/keybag_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "foundation/crc32.h"

namespace keybag {

namespace {

// Bytes 20 to 27 of the header: zero in every bag.
constexpr size_t kReservedAt = 20;
constexpr size_t kReservedSize = 8;

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool ReadAt(int fd, uint64_t offset, uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t r = ::pread(fd, p, n, static_cast<off_t>(offset));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
    offset += static_cast<uint64_t>(r);
  }
  return true;
}

bool WriteAt(int fd, uint64_t offset, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::pwrite(fd, p, n, static_cast<off_t>(offset));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
    offset += static_cast<uint64_t>(w);
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

uint64_t RecordSize(const Header& h) { return kMacSize + kSerialSize + uint64_t{h.keyBytes} + 4; }

uint64_t RecordOffset(const Header& h, uint32_t index) { return kHeaderSize + RecordSize(h) * index; }

std::vector<uint8_t> EncodeHeader(const Header& h) {
  std::vector<uint8_t> b(kHeaderSize, 0);
  std::memcpy(b.data(), kMagic, sizeof kMagic);
  PutLe32(&b[8], h.keyCount);
  PutLe32(&b[12], h.keyBytes);
  PutLe32(&b[16], h.handedOut);
  PutLe32(&b[28], station::Crc32(b.data(), 28));
  return b;
}

bool DecodeHeader(const uint8_t* bytes, size_t length, Header& h, std::string* fault) {
  const auto refuse = [fault](const char* what) {
    if (fault) *fault = what;
    return false;
  };
  if (length < kHeaderSize || std::memcmp(bytes, kMagic, sizeof kMagic) != 0) return refuse("no key bag header");
  if (GetLe32(bytes + 28) != station::Crc32(bytes, 28)) return refuse("the header's CRC does not match");
  if (std::any_of(bytes + kReservedAt, bytes + kReservedAt + kReservedSize, [](uint8_t b) { return b != 0; }))
    return refuse("the header's reserved bytes are not zero");
  Header got{GetLe32(bytes + 8), GetLe32(bytes + 12), GetLe32(bytes + 16)};
  if (got.keyCount == 0 || got.keyCount > kMaxKeys) return refuse("the number of keys is out of range");
  if (got.keyBytes == 0 || got.keyBytes > kMaxKeyBytes) return refuse("the bytes of a key are out of range");
  if (got.handedOut > got.keyCount) return refuse("the counter is above the number of keys");
  h = got;
  return true;
}

std::vector<uint8_t> EncodeRecord(const Header& h, const Record& r) {
  std::vector<uint8_t> b(RecordSize(h), 0);
  std::memcpy(b.data(), r.mac, kMacSize);
  std::memcpy(b.data() + kMacSize, r.serial.data(), std::min<size_t>(r.serial.size(), kSerialSize - 1));
  std::memcpy(b.data() + kMacSize + kSerialSize, r.key.data(), std::min<size_t>(r.key.size(), h.keyBytes));
  const size_t body = b.size() - 4;
  PutLe32(b.data() + body, station::Crc32(b.data(), body));
  return b;
}

bool DecodeRecord(const Header& h, const uint8_t* bytes, size_t length, Record& r) {
  if (length != RecordSize(h)) return false;
  const size_t body = length - 4;
  if (GetLe32(bytes + body) != station::Crc32(bytes, body)) return false;
  std::memcpy(r.mac, bytes, kMacSize);
  const char* serial = reinterpret_cast<const char*>(bytes + kMacSize);
  r.serial.assign(serial, strnlen(serial, kSerialSize - 1));
  r.key.assign(bytes + kMacSize + kSerialSize, bytes + body);
  return true;
}

std::string MacText(const uint8_t mac[kMacSize]) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (uint32_t i = 0; i < kMacSize; ++i) {
    s += kHex[mac[i] >> 4];
    s += kHex[mac[i] & 15];
  }
  return s;
}

bool ParseMac(const std::string& text, uint8_t mac[kMacSize]) {
  if (text.size() != 2 * kMacSize) return false;
  for (uint32_t i = 0; i < kMacSize; ++i) {
    const int hi = HexDigit(text[2 * i]), lo = HexDigit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    mac[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

bool ReadHeader(int fd, Header& h, std::string* fault) {
  uint8_t b[kHeaderSize];
  if (ReadAt(fd, 0, b, sizeof b)) return DecodeHeader(b, sizeof b, h, fault);
  if (fault) *fault = "the header cannot be read";
  return false;
}

bool ReadRecord(int fd, const Header& h, uint32_t index, Record& r) {
  if (index >= h.keyCount) return false;
  std::vector<uint8_t> b(RecordSize(h));
  return ReadAt(fd, RecordOffset(h, index), b.data(), b.size()) && DecodeRecord(h, b.data(), b.size(), r);
}

bool WriteHeader(int fd, const Header& h) {
  const std::vector<uint8_t> b = EncodeHeader(h);
  return WriteAt(fd, 0, b.data(), b.size()) && ::fsync(fd) == 0;
}

}  // namespace keybag

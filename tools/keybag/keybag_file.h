#pragma once
// The key bag: one file holding a batch of boards' secure keys, each with the board's MAC
// address and serial number, and the counter of keys handed out so far. The layout is written
// down in README.md beside this file. The station never reads a bag itself: keybag-gen hands
// out its next key and keybag-view reports its counters.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace keybag {

constexpr char kMagic[8] = {'K', 'E', 'Y', 'B', 'A', 'G', '0', '1'};
constexpr uint32_t kHeaderSize = 32;
constexpr uint32_t kMacSize = 6;
constexpr uint32_t kSerialSize = 36;  // NUL-padded text: at most 35 characters
constexpr uint32_t kMaxKeys = 1000000;
constexpr uint32_t kMaxKeyBytes = 4096;

struct Header {
  uint32_t keyCount = 0;  // keys in the bag
  uint32_t keyBytes = 0;  // bytes of each key
  uint32_t handedOut = 0; // keys handed out so far: the bag's counter
};

struct Record {
  uint8_t mac[kMacSize] = {};
  std::string serial;
  std::vector<uint8_t> key;
};

// Bytes of one record in the file, and where record `index` starts.
uint64_t RecordSize(const Header& h);
uint64_t RecordOffset(const Header& h, uint32_t index);

// The 32 header bytes, and the header they hold; false for a damaged or foreign header, with
// what is wrong with it in `*fault` when given (a header whose reserved bytes 20 to 27 are not
// all zero is damaged, whatever its CRC says).
std::vector<uint8_t> EncodeHeader(const Header& h);
bool DecodeHeader(const uint8_t* bytes, size_t length, Header& h, std::string* fault = nullptr);
std::vector<uint8_t> EncodeRecord(const Header& h, const Record& r);
bool DecodeRecord(const Header& h, const uint8_t* bytes, size_t length, Record& r);

// The MAC as twelve upper-case hexadecimal digits, and back (false unless exactly twelve).
std::string MacText(const uint8_t mac[kMacSize]);
bool ParseMac(const std::string& text, uint8_t mac[kMacSize]);

// Reads the header or record `index` of an open bag; false when it cannot be read or is damaged
// (what is wrong with the header in `*fault` when given).
bool ReadHeader(int fd, Header& h, std::string* fault = nullptr);
bool ReadRecord(int fd, const Header& h, uint32_t index, Record& r);
// Rewrites the header of an open bag and makes it durable; false when that fails.
bool WriteHeader(int fd, const Header& h);

}  // namespace keybag

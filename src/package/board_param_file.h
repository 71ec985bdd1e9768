#pragma once
// The board parameter file "sysparam": a 4096-byte file of name/value records, each with its
// own CRC-32, that some boards read their boot parameters (load addresses, MAC address,
// network settings) from. The records are kept in one process-wide list in insertion order;
// a parameter-file object only knows the path it saves to. The file is only ever written.
//
// Record layout at offset r (little-endian): "PSYS", CRC-32 of bytes r+8 to the record's end,
// attribute (u32, 0 from this station), name length n (u16), value length v (u16), the name
// zero-padded to a multiple of 4, the value zero-padded to a multiple of 4.
//
// The list is not guarded: its only user builds one board's file at a time under the
// factory-data mutex.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace station {

constexpr size_t kSysParamFileSize = 4096;
constexpr size_t kSysParamHeaderSize = 16;

// Result codes of the parameter-file operations.
constexpr int kSysParamOk = 0;
constexpr int kSysParamNotFound = -2;
constexpr int kSysParamNoSpace = -5;     // the records do not fit in the file, or no memory
constexpr int kSysParamOpenFailed = -44;

struct SysParamRecord {
  uint32_t attribute = 0;
  std::string name;
  uint32_t valueLength = 0;    // bytes of the value without its padding
  std::vector<uint8_t> value;  // the value zero-padded to a multiple of 4

  // Bytes the record takes in the file: header, padded name, padded value.
  size_t FileSize() const;
};

class SysParamFile {
 public:
  // Empties the path.
  void SysParamInit();
  // Frees every record, then forgets the path.
  void SysParamRelease();
  void SetPath(std::string path) { path_ = std::move(path); }
  const std::string& Path() const { return path_; }

  // Empties the list without touching the changed mark (once, before the first use).
  void SysParamClear();
  // Frees every record and clears the changed mark.
  void SysParamFreeAll();
  // A record not in the list, with copies of the name and of the value (zero-padded to a
  // multiple of 4); none when memory runs out.
  static std::unique_ptr<SysParamRecord> SysParamNewRecord(const char* name, size_t nameLength, const void* value,
                                                           size_t valueLength, uint32_t attribute);
  // The first record of exactly that name, or none.
  SysParamRecord* SysParamFind(const std::string& name);
  // Removes the record and sets the changed mark; kSysParamNotFound when there is none.
  int SysParamDelete(const std::string& name);
  // Replaces (delete, then append at the end) or appends the record with attribute 0.
  int SysParamSet(const std::string& name, const void* value, size_t valueLength);
  int SysParamSet(const std::string& name, const std::string& value) {
    return SysParamSet(name, value.data(), value.size());
  }
  // Frees the list and sets the eight defaults in their fixed order; the last set's result.
  int SysParamSetDefaults();
  // Writes the whole file when something changed since the last save.
  int SysParamSave();

  // The records in file order and the changed mark, for callers that look before saving.
  static std::vector<const SysParamRecord*> Records();
  static bool Changed();

 private:
  std::string path_;
};

// Continues a CRC-32 (IEEE 802.3) over more bytes: `previous` is 0 to start, else the result
// of the call before, so that chained calls equal one call over the joined bytes. A null
// `data` gives 0.
uint32_t Crc32Update(uint32_t previous, const void* data, size_t length);

}  // namespace station

#include "package/board_param_file.h"

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <list>
#include <new>

namespace station {

namespace {

// The reflected CRC-32 table of polynomial 0xEDB88320, built by the compiler.
constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

constexpr size_t RoundUp4(size_t n) { return (n + 3) & ~static_cast<size_t>(3); }

// The process-wide record list and its changed mark.
std::list<std::unique_ptr<SysParamRecord>> g_records;
bool g_changed = false;

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

struct Default {
  const char* name;
  bool address;
  unsigned long long number;
  const char* text;
};
constexpr Default kDefaults[] = {
    {"kernel_loadaddr", true, 0x03000000ull, nullptr}, {"fdt_loadaddr", true, 0x02100000ull, nullptr},
    {"rootfs_loadaddr", true, 0x02200000ull, nullptr}, {"audio_loadaddr", true, 0x0F900000ull, nullptr},
    {"ethaddr", false, 0, "00:10:20:30:40:50"},       {"gatewayip", false, 0, "192.168.100.254"},
    {"ipaddr", false, 0, "192.168.100.1"},            {"netmask", false, 0, "255.255.255.0"},
};

}  // namespace

size_t SysParamRecord::FileSize() const { return kSysParamHeaderSize + RoundUp4(name.size()) + RoundUp4(valueLength); }

uint32_t Crc32Update(uint32_t previous, const void* data, size_t length) {
  if (data == nullptr) return 0;
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t c = ~previous;
  while (length >= 8) {
    for (int i = 0; i < 8; ++i) c = kCrcTable[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    p += 8;
    length -= 8;
  }
  while (length-- > 0) c = kCrcTable[(c ^ *p++) & 0xFF] ^ (c >> 8);
  return ~c;
}

void SysParamFile::SysParamInit() { path_.clear(); }

void SysParamFile::SysParamRelease() {
  SysParamFreeAll();
  std::string().swap(path_);
}

void SysParamFile::SysParamClear() { g_records.clear(); }

void SysParamFile::SysParamFreeAll() {
  g_records.clear();
  g_changed = false;
}

std::unique_ptr<SysParamRecord> SysParamFile::SysParamNewRecord(const char* name, size_t nameLength,
                                                                const void* value, size_t valueLength,
                                                                uint32_t attribute) {
  try {
    auto record = std::make_unique<SysParamRecord>();
    record->attribute = attribute;
    record->name.assign(name ? name : "", name ? nameLength : 0);
    record->valueLength = static_cast<uint32_t>(valueLength);
    record->value.assign(RoundUp4(valueLength), 0);
    if (value && valueLength) std::memcpy(record->value.data(), value, valueLength);
    return record;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

SysParamRecord* SysParamFile::SysParamFind(const std::string& name) {
  for (auto& r : g_records)
    if (r->name == name) return r.get();
  return nullptr;
}

int SysParamFile::SysParamDelete(const std::string& name) {
  for (auto it = g_records.begin(); it != g_records.end(); ++it) {
    if ((*it)->name == name) {
      g_records.erase(it);
      g_changed = true;
      return kSysParamOk;
    }
  }
  return kSysParamNotFound;
}

int SysParamFile::SysParamSet(const std::string& name, const void* value, size_t valueLength) {
  if (SysParamFind(name)) {
    const int rc = SysParamDelete(name);
    if (rc != kSysParamOk) return rc;
  }
  std::unique_ptr<SysParamRecord> record = SysParamNewRecord(name.data(), name.size(), value, valueLength, 0);
  if (!record) return kSysParamNoSpace;
  try {
    g_records.push_back(std::move(record));
  } catch (const std::bad_alloc&) {
    return kSysParamNoSpace;
  }
  g_changed = true;
  return kSysParamOk;
}

int SysParamFile::SysParamSetDefaults() {
  g_records.clear();
  int rc = kSysParamOk;
  for (const Default& d : kDefaults) {
    char text[64];
    if (d.address)
      std::snprintf(text, sizeof text, "0x%08llx", d.number);
    else
      std::snprintf(text, sizeof text, "%s", d.text);
    rc = SysParamSet(d.name, text, std::strlen(text));
  }
  return rc;
}

int SysParamFile::SysParamSave() {
  if (!g_changed) return kSysParamOk;

  size_t total = 0;
  for (const auto& r : g_records) {
    total += r->FileSize();
    if (total > kSysParamFileSize) return kSysParamNoSpace;  // the changed mark stays set
  }

  std::vector<uint8_t> file;
  try {
    file.assign(kSysParamFileSize, 0);
  } catch (const std::bad_alloc&) {
    return kSysParamNoSpace;
  }

  static constexpr uint8_t kZeros[4] = {0, 0, 0, 0};
  size_t at = 0;
  for (const auto& r : g_records) {
    const size_t n = r->name.size();
    const size_t paddedName = RoundUp4(n);
    const size_t paddedValue = RoundUp4(r->valueLength);
    uint8_t* rec = file.data() + at;

    PutLe32(rec + 8, r->attribute);
    PutLe16(rec + 12, static_cast<uint16_t>(n));
    PutLe16(rec + 14, static_cast<uint16_t>(r->valueLength));
    std::memcpy(rec + 16, r->name.data(), n);
    if (paddedValue != 0) std::memcpy(rec + 16 + paddedName, r->value.data(), paddedValue);

    uint32_t crc = Crc32Update(0, rec + 8, 8);
    crc = Crc32Update(crc, r->name.data(), n);
    if (n % 4 != 0) crc = Crc32Update(crc, kZeros, 4 - n % 4);
    // An empty value adds no bytes: the CRC stays the one over the header and the name (a
    // null block would make it 0, and a board refuses the record).
    if (paddedValue != 0) crc = Crc32Update(crc, r->value.data(), paddedValue);

    std::memcpy(rec, "PSYS", 4);
    PutLe32(rec + 4, crc);
    at += kSysParamHeaderSize + paddedName + paddedValue;
  }

  int rc = kSysParamOk;
  FILE* f = std::fopen(path_.c_str(), "wb+");
  if (!f) {
    rc = kSysParamOpenFailed;
  } else {
    // A file that did not take all its bytes (a full disk) is no saved file either.
    bool written = std::fseek(f, 0, SEEK_SET) == 0;
    written = std::fwrite(file.data(), 1, file.size(), f) == file.size() && written;
    written = std::fflush(f) == 0 && written;
    written = std::fclose(f) == 0 && written;
    if (!written) rc = kSysParamOpenFailed;
  }
  g_changed = false;
  return rc;
}

std::vector<const SysParamRecord*> SysParamFile::Records() {
  std::vector<const SysParamRecord*> out;
  for (const auto& r : g_records) out.push_back(r.get());
  return out;
}

bool SysParamFile::Changed() { return g_changed; }

}  // namespace station

#include "factory/board_env_files.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "foundation/crc32.h"
#include "foundation/file_utils.h"
#include "foundation/work_paths.h"
#include "package/board_param_file.h"

namespace station {

namespace {

constexpr const char kEthaddr[] = "ethaddr=";
constexpr size_t kMacDigits = 12;

bool ReadWhole(const std::string& path, std::string& text) {
  FileBlock block;
  uint64_t length = 0;
  if (!FileExists(path) || !file_read(path, block, length)) return false;
  text.assign(reinterpret_cast<const char*>(block.data()), length);
  return true;
}

std::string Trimmed(const std::string& text) {
  const char* blanks = " \t\r\n\v\f";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The template's data with the value of its first "ethaddr=" replaced by `mac`.
std::string WithMac(const std::string& data, const std::string& mac) {
  const size_t at = data.find(kEthaddr);
  if (at == std::string::npos) return data;
  const size_t value = at + std::strlen(kEthaddr);
  size_t end = data.find('\0', value);
  if (end == std::string::npos) end = data.size();
  return data.substr(0, value) + mac + data.substr(end);
}

// The MAC file copied to the backup, no older backup left behind.
bool BackUpMacFile(const WorkPaths& p) {
  if (FileExists(p.TempToolBkEnvFile) && !DeleteFileRetry(p.TempToolBkEnvFile)) return false;
  return CopyFileRetry(p.TempToolEnvFile, p.TempToolBkEnvFile);
}

}  // namespace

std::string DefaultEnvTemplatePath() {
  return workPaths().AppDir + "/Tempfile" + "/" + std::to_string(6142) + "_default_env.txt";
}

bool MacTextFromFile(const std::string& path, std::string& mac) {
  std::string text;
  if (!ReadWhole(path, text)) return false;
  text = Trimmed(text);
  if (text.size() != kMacDigits) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  mac.clear();
  for (size_t i = 0; i < kMacDigits; i += 2) mac += (i ? ":" : "") + text.substr(i, 2);
  return true;
}

bool MakeDefaultEnvFile(const SlotTextTable& macTable, int index) {
  const WorkPaths& p = workPaths();
  std::string data, mac;
  if (!ReadWhole(DefaultEnvTemplatePath(), data) || data.size() > kEnvDataSize) return false;
  if (!MacTextFromFile(p.TempToolEnvFile, mac)) return false;
  data = WithMac(data, mac);
  if (data.size() > kEnvDataSize || !BackUpMacFile(p)) return false;

  std::vector<uint8_t> image(kEnvImageSize, 0);
  std::memcpy(image.data() + 4, data.data(), data.size());
  const uint32_t crc = Crc32(image.data() + 4, kEnvDataSize);
  for (int i = 0; i < 4; ++i) image[i] = static_cast<uint8_t>(crc >> (8 * i));
  if (!WriteBufToFile(p.TempToolEnvFile, image.data(), image.size())) return false;
  macTable.set(index, mac);
  return true;
}

bool SetSysParamEthaddr(const SlotTextTable& macTable, int index) {
  std::string mac;
  if (!MacTextFromFile(workPaths().TempToolEnvFile, mac)) return false;
  SysParamFile file;
  file.SysParamInit();
  file.SetPath(workPaths().TempToolSysParamFile);
  file.SysParamClear();
  file.SysParamSetDefaults();
  int rc = file.SysParamSet("ethaddr", mac);
  if (rc == kSysParamOk) rc = file.SysParamSave();
  file.SysParamRelease();
  if (rc != kSysParamOk) return false;
  macTable.set(index, mac);
  return true;
}

}  // namespace station

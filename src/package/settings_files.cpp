#include "package/settings_files.h"

#include <cstring>

#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "package/type_lists.h"
#include "platform/profile.h"

namespace station {

namespace {

using S = IniSetting;

constexpr int kOpenImageButton = 1067;
constexpr int kFlashTotalSizeBox = 1149;

ui::Dialog& DialogOf(const IniSetting& s) {
  return s.dialog == S::kMain ? state().mainDlg : state().optionsDlg;
}

void Apply(const IniSetting& s, const std::string& value) {
  ui::Dialog& d = DialogOf(s);
  if (s.kind == S::kText) {
    d.SetText(s.control, value);
  } else if (value == "1") {
    d.SetChecked(s.control, true);
  } else if (value == "0") {
    d.SetChecked(s.control, false);
  }
}

bool Is(const IniSetting& s, const char* key) { return std::strcmp(s.key, key) == 0; }

// Writes the control of `s` into the file; a value that cannot be saved is told in the main log.
void Save(const IniSetting& s, const std::string& path) {
  const ui::Dialog& d = DialogOf(s);
  const std::string value = s.kind == S::kBox ? (d.Checked(s.control) ? "1" : "0") : d.Text(s.control);
  if (!plat::WriteProfileString(s.section, s.key, value, path))
    PrintLog("save settings failed : %s [%s] %s\r\n", path.c_str(), s.section, s.key);
}

}  // namespace

std::string SystemIniPath() { return workPaths().AppDir + "/SYSTEM.ini"; }

std::string UsbMpToolIniPath() { return workPaths().ToolWorkDir + "/" + "USBMPTOOL.ini"; }

const std::vector<IniSetting>& SystemIniSettings() {
  static const std::vector<IniSetting> kSettings = {
      {"NAND FLASH TYPE", "NAME", "", S::kMain, 1048, S::kText, true},
      {"NAND FLASH TYPE", "BLOCK SIZE", "", S::kOptions, 1029, S::kText, true},
      {"NAND FLASH TYPE", "NAND SIZE", "", S::kOptions, 1030, S::kText, true},
      {"NAND FLASH TYPE", "PAGE SIZE", "", S::kOptions, 1022, S::kText, true},
      {"NAND FLASH TYPE", "ECC BIT", "", S::kOptions, 1021, S::kText, true},
      {"NAND FLASH TYPE", "FLASH TYPE", "", S::kOptions, 1025, S::kText, true},
      {"MULTI FLASH TYPE", "FLASH TOTAL SIZE", "", S::kOptions, 1149, S::kText, true},
      {"MULTI FLASH TYPE", "FLASH COMBO TYPE", "", S::kMain, 1064, S::kText, true},
      {"MULTI FLASH TYPE", "DDR TYPE", "", S::kMain, 1152, S::kText, true},
      {"INFORMATION", "ONE WRITE SIZE", "", S::kOptions, 1032, S::kText, true},
      {"INFORMATION", "WRITE RANGE", "", S::kOptions, 1024, S::kText, true},
      {"INFORMATION", "IMAGE PATH", "", S::kMain, 1065, S::kText, true},
      {"SYSTEM", "BURN FACTORY", "", S::kOptions, 1070, S::kBox, true},
      {"SYSTEM", "SINGLE MODE", "", S::kOptions, 1069, S::kBox, true},
      {"SYSTEM", "MAX USB CONNECTION", "", S::kOptions, 1143, S::kText, false},
      {"SYSTEM", "SAVE LOG", "", S::kOptions, 1131, S::kBox, false},
      {"SYSTEM", "ENCRYPTION KEY", "", S::kOptions, 1142, S::kBox, false},
      {"SYSTEM", "AUTO BURN", "0", S::kOptions, 1132, S::kBox, true},
      {"SYSTEM", "NF WRITER SKIP", "0", S::kOptions, 1133, S::kBox, true},
      {"SYSTEM", "COMPARE DATA", "0", S::kOptions, 1140, S::kBox, true},
      {"SYSTEM", "BURN SE STORAGE", "0", S::kOptions, 1148, S::kBox, true},
      {"SYSTEM", "ONLY UPGRADE LAYOUT FIRMWARE", "0", S::kOptions, 1151, S::kBox, true},
      {"SYSTEM", "ONLY BURN EFUSE", "0", S::kOptions, 999, S::kBox, true},
      {"SYSTEM", "ONLY UPGRADE SECURE FIRMWARE", "0", S::kOptions, 1156, S::kBox, true},
      {"SYSTEM", "NAS ENABLE", "0", S::kOptions, 1194, S::kBox, true},
      {"SYSTEM", "LK ENABLE", "0", S::kOptions, 1209, S::kBox, true},
  };
  return kSettings;
}

const std::vector<IniSetting>& UsbMpToolIniSettings() {
  static const std::vector<IniSetting> kSettings = {
      {"FACTORY", "KEY PATH", "", S::kMain, 1066, S::kText, false},
      {"FACTORY", "KEY CONT", "", S::kMain, 1110, S::kText, false},
      {"FACTORY", "KEY MAX", "", S::kMain, 1111, S::kText, false},
  };
  return kSettings;
}

void LoadIniSettings(int flag) {
  if (flag == 0) {
    const std::string path = UsbMpToolIniPath();
    for (const IniSetting& s : UsbMpToolIniSettings()) Apply(s, plat::GetProfileString(s.section, s.key, s.def, path));
    return;
  }
  if (flag != 1) return;
  const std::string path = SystemIniPath();
  StationState& st = state();
  std::string flashTotalSize;
  for (const IniSetting& s : SystemIniSettings()) {
    const std::string value = plat::GetProfileString(s.section, s.key, s.def, path);
    Apply(s, value);
    if (Is(s, "FLASH TOTAL SIZE")) flashTotalSize = value;
    if (Is(s, "FLASH COMBO TYPE")) {
      st.mainDlg.SetEnabled(kOpenImageButton, true);
      ApplyFlashTypeToControls(1);
      // The flash-type routine empties the flash size box, as it must when the operator picks
      // another type; the size just read belongs with the type read, so it goes back.
      if (st.optionsDlg.Text(kFlashTotalSizeBox).empty()) st.optionsDlg.SetText(kFlashTotalSizeBox, flashTotalSize);
    }
    if (Is(s, "DDR TYPE")) {
      if (!value.empty()) st.mainDlg.SetEnabled(kDdrTypeList, true);
      GetDdrFolderName(1);
    }
  }
}

void SaveIniSettings() {
  // The boxes first, then the texts, in the order a fresh file gets them.
  static const char* const kOrder[] = {
      "BURN FACTORY", "SINGLE MODE", "AUTO BURN", "NF WRITER SKIP", "COMPARE DATA", "BURN SE STORAGE",
      "ONLY UPGRADE LAYOUT FIRMWARE", "ONLY BURN EFUSE", "ONLY UPGRADE SECURE FIRMWARE", "NAS ENABLE", "LK ENABLE",
      "NAME", "BLOCK SIZE", "NAND SIZE", "PAGE SIZE", "ECC BIT", "FLASH TYPE", "FLASH COMBO TYPE",
      "FLASH TOTAL SIZE", "DDR TYPE", "ONE WRITE SIZE", "WRITE RANGE", "IMAGE PATH"};
  const std::string path = SystemIniPath();
  for (const char* key : kOrder)
    for (const IniSetting& s : SystemIniSettings())
      if (Is(s, key) && s.saved) Save(s, path);
}

}  // namespace station

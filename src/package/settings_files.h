#pragma once
// The operator settings: "SYSTEM.ini" in the station folder (flash, DDR, transfer and option
// settings, the last package path) and "USBMPTOOL.ini" in the tool folder (the key file and
// its counters). Loading copies a file into the controls of the main and options dialogs;
// between a load and a save the controls are the working copy that the rest of the station
// reads. Saving copies the controls back into "SYSTEM.ini".
#include <string>
#include <vector>

namespace station {

// AppDir + "/SYSTEM.ini" and ToolWorkDir + "/USBMPTOOL.ini".
std::string SystemIniPath();
std::string UsbMpToolIniPath();

// One key of a settings file and the control that shows it.
struct IniSetting {
  enum Dialog { kMain, kOptions };
  enum Kind { kText, kBox };
  const char* section;
  const char* key;
  const char* def;  // value when the key is absent
  Dialog dialog;
  int control;
  Kind kind;
  bool saved;  // written back by SaveIniSettings
};

// The keys of "SYSTEM.ini" and of "USBMPTOOL.ini", in the order they are read.
const std::vector<IniSetting>& SystemIniSettings();
const std::vector<IniSetting>& UsbMpToolIniSettings();

// flag 1: "SYSTEM.ini" into the controls (at start-up, once the options dialog exists);
// flag 0: the key path and counters of "USBMPTOOL.ini" (after they may have changed).
// A box changes only for a value of exactly "1" or "0"; a text control takes the value as it is.
void LoadIniSettings(int flag);

// The controls back into "SYSTEM.ini": the boxes as "1"/"0", the texts as they stand. The
// keys that only the operator edits in the file (MAX USB CONNECTION, SAVE LOG, ENCRYPTION
// KEY) are left as they are. A key that cannot be written (the file cannot be written, or its
// text holds a line break) gets the main-log line "save settings failed : <file> [<section>]
// <key>", and the other keys are still written.
void SaveIniSettings();

}  // namespace station

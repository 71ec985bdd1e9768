#include "factory/key_bag.h"

#include <cstdlib>
#include <fstream>
#include <optional>

#include "factory/external_tools.h"
#include "factory/factory_work_files.h"
#include "factory/key_and_efuse.h"
#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "package/settings_files.h"
#include "platform/profile.h"
#include "platform/ui.h"

namespace station {

namespace {

constexpr int kTries = 4;
constexpr const char* kSection = "FACTORY";

void ShowKeyIni(const std::string& path, const std::string& counter, const std::string& maximum) {
  ui::Dialog& main = state().mainDlg;
  main.SetText(kKeyPathEdit, path);
  main.SetText(kKeyCounterEdit, counter);
  main.SetText(kKeyMaximumEdit, maximum);
  const std::string ini = UsbMpToolIniPath();
  plat::WriteProfileString(kSection, "KEY PATH", path, ini);
  plat::WriteProfileString(kSection, "KEY CONT", counter, ini);
  plat::WriteProfileString(kSection, "KEY MAX", maximum, ini);
}

// The key fields and keys, written under the mutex; false when the wait for it was stopped.
bool SetKeyFields(const std::string& path, const std::string& counter, const std::string& maximum,
                  bool dropIndex = false) {
  plat::NamedMutexLock lock(state().MutexFactory);
  if (!lock.locked()) return false;
  ShowKeyIni(path, counter, maximum);
  if (dropIndex) DeleteFileRetry(KeyIndexFile());
  return true;
}

void Warn(const std::string& text) { ui::MessageBox(text, "WARNING", ui::MB_OK | ui::MB_ICONWARNING); }

enum class Try { Done, Again, Stopped };

// One reading of the bag's counters; on the last try a failure shows its warning.
Try ReadCounters(const std::string& path, int t) {
  const bool last = t == kTries - 1;
  if (!Decompress_Keybag_Count()) {
    if (plat::StopRequested()) return Try::Stopped;
    if (last) Warn("get key bag key idx fail!");
    return Try::Again;
  }
  std::string counter, maximum;
  if (!ReadTextFileLines(KeyIndexFile(), counter, maximum)) {
    if (last) Warn("show key bag key idx fail! , check nowidx.txt exist? ");
    return Try::Again;
  }
  if (counter == "ed_counter" && maximum == "ed_max") {
    PrintDeviceLog(0, "gen nowidx.txt fail!!! retry count : %d \r\n ", t);
    return Try::Again;
  }
  if (std::atoi(counter.c_str()) <= std::atoi(maximum.c_str()))
    return SetKeyFields(path, counter, maximum, true) ? Try::Done : Try::Stopped;
  if (last) Warn("has been unable to use! , please replace the next set of security keys!");
  return Try::Again;
}

ui::FileDialogSpec KeyBagDialog() {
  ui::FileDialogSpec spec;
  spec.title = "binary file";
  spec.initialName = "key binary";
  spec.defaultExt = "bin";
  spec.filter = "key binary (*.bin)|*.bin||";
  spec.mustExist = true;
  return spec;
}

// The generator's key moved in: a waiting one, or the next one of the bag. Empty on success.
std::string TakeNewKey(int slot, KeyStep step) {
  const WorkPaths& p = workPaths();
  if (FileExists(p.KeyTempSigEncFile))
    PrintDeviceLog(slot, "because keytemp file  exist single enc key so not gen new key \r\n");
  else if (!RunKeyBagGenerator(slot))
    return "CALL_PROCESS_GEN_SINGLE_KEY_FAIL";
  if (!FileExists(p.KeyTempSigEncFile)) return "GEN_SINGLE_KEY_FAIL";
  if (MoveKeyTempFiles(slot)) return {};
  if (step == KeyStep::Factory) {
    PrintDeviceLog(slot, "move raw secure key to pc temp failed\r\n");
    return "MOVE_SECURE_KEY_TO_PC_TEMP_FAIL";
  }
  PrintDeviceLog(slot, "move raw secure key to pc temp failr\n");
  return "MOVE_FILE_FAIL";
}

void KeepCounters(int slot) {
  const WorkPaths& p = workPaths();
  PrintDeviceLog(slot, "because pc temp file  exist single enc key so not gen new key \r\n");
  if (FileExists(p.TempToolIdxFile)) {
    PrintDeviceLog(slot, "copy pc temp file idx.txt to keytemp\r\n");
    CopyFileRetry(p.TempToolIdxFile, p.KeyTempIdxFile);
  } else {
    PrintDeviceLog(slot, "pc temp file idx.txt not found\r\n");
  }
}

// A key noted as spent (it went out to a board, and the station stopped before its clean-up)
// is deleted with the other work files, never used again; false when it stays.
bool DropSpentKey(int slot) {
  PrintDeviceLog(slot, "icon[%d] : the secure key reached a board before the station stopped , "
                       "it is not handed out again\r\n", slot);
  const bool dropped = DeleteTmpTarFiles(slot);
  LoadIniSettings(0);  // the key counters show the spent key
  return dropped;
}

}  // namespace

int gen_Key_header(std::stop_token stop) {
  plat::ScopedStopToken current(stop);
  const std::optional<std::string> chosen = ui::prompter().OpenFile(KeyBagDialog());
  if (chosen && SetKeyFields(*chosen, "", "")) {
    for (int t = 0; t < kTries; ++t) {
      const Try got = ReadCounters(*chosen, t);
      if (got == Try::Done || got == Try::Stopped) return 0;
    }
  }
  if (!plat::StopRequested()) SetKeyFields("", "", "");
  return 0;
}

bool Decompress_Keybag_Count() {
  ChildRun run;
  {
    plat::NamedMutexLock lock(state().MutexFactory);
    if (!lock.locked()) return false;
    const std::string index = KeyIndexFile();
    if (FileExists(index) && !DeleteFileRetry(index)) return false;
    run = RunKeyBagViewer();
  }
  if (run.end == ChildEnd::TimedOut)
    ui::MessageBox("Decompress_Keybag_Count : wait timeout !", "ERROR", ui::MB_OK | ui::MB_ICONWARNING);
  else if (run.end == ChildEnd::WaitFailed)
    ui::MessageBox("Decompress_Keybag_Count : wait failed !", "ERROR", ui::MB_OK | ui::MB_ICONWARNING);
  return run.Succeeded() && FileExists(KeyIndexFile());
}

bool ReadTextFileLines(const std::string& path, std::string& line1, std::string& line2) {
  std::ifstream in(path);
  if (!in) return false;
  std::string lines[3];
  for (std::string& l : lines) {
    if (!std::getline(in, l)) l.clear();
    if (!l.empty() && l.back() == '\r') l.pop_back();
  }
  line1 = lines[0];
  line2 = lines[1];
  return true;
}

bool WriteKeyIndexToIni() {
  const std::string ini = UsbMpToolIniPath();
  std::string counter, maximum;
  if (!FileExists(ini) || !ReadTextFileLines(workPaths().TempToolIdxFile, counter, maximum)) return false;
  const bool cont = plat::WriteProfileString(kSection, "KEY CONT", counter, ini);
  return plat::WriteProfileString(kSection, "KEY MAX", maximum, ini) && cont;
}

std::string PrepareSingleSecureKey(int slot, KeyStep step) {
  if (KeySpent() && !DropSpentKey(slot)) return "DROP_SPENT_KEY_FAIL";
  if (FileExists(workPaths().TempToolSigEncFile)) {
    KeepCounters(slot);
  } else if (std::string failed = TakeNewKey(slot, step); !failed.empty()) {
    return failed;
  }
  if (WriteKeyIndexToIni()) return {};
  PrintDeviceLog(slot, "read idx.txt data , write to ini  failed\r\n");
  return "READ_KEY_IDX_FAIL";
}

}  // namespace station

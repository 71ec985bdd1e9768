#include "package/image_loading.h"

#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "foundation/file_utils.h"
#include "foundation/image_buffers.h"
#include "foundation/log_boxes.h"
#include "foundation/log_files.h"
#include "foundation/progress_strip.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "package/install_image.h"
#include "package/layout_file.h"
#include "package/package_loading.h"
#include "package/settings_files.h"
#include "package/archive_check.h"
#include "package/type_lists.h"
#include "platform/clock.h"
#include "platform/profile.h"
#include "platform/ui.h"
#include "usblink/flash_options.h"

namespace station {

namespace {

constexpr const char* kLoadFailedText = "Error - Read install image data failed !\r\n";

// Reads the NOR image whole; false when it cannot be read or is too long for its 32-bit length.
bool ReadNorImage(const std::string& path) {
  ImageBuffer& nor = state().images.norImage;
  nor.Free();
  FileBlock block;
  uint64_t length = 0;
  if (!file_read(path, block, length) || length > UINT32_MAX) return false;
  nor.data = std::move(block.heap);
  nor.length = static_cast<uint32_t>(length);
  return true;
}

// The path in its box, selected whole with the anchor at its end and the caret, scrolled into
// view, at its start.
void ShowPath(StationState& s, const std::string& path) {
  s.mainDlg.SetText(kImagePathEdit, path);
  if (!path.empty()) s.mainDlg.SelectText(kImagePathEdit, path.size(), 0);
}

void ShowProgressStrip(StationState& s) {
  s.progress.Place(s.mainDlg.WindowRect());
  s.progress.Show(true);
}

// A load stopped half-way (the station closing) keeps nothing: no image, no package folder,
// and, when `tree` is given, no unpacked tree that a later reload would take for the package
// whose path SYSTEM.ini names.
void DropStoppedLoad(StationState& s, const std::string& tree = {}) {
  PrintLog("image load stopped: nothing of it is kept\r\n");
  if (!tree.empty()) {
    DeleteDirTree(tree, true);
    ::rmdir(tree.c_str());
  }
  s.PackageSubdir.clear();
  FreeImageBuffers();
}

void ResetProgress(StationState& s) {
  s.UnpackProgressRange = 1;
  s.UnpackProgressPos = 0;
  s.progress.Destroy();
}

}  // namespace

void ReportImageLoadFailure(const char* detail) {
  SetSlotState(0, kSlotFailed, 0);
  PrintDeviceLog(0, "\r\n==========================================\r\n");
  PrintDeviceLog(0, "===============debug log===================\r\n\r\n");
  if (!WriteLogFile(0, kLoadFailedText, std::string(detail) + "\r\n", DeviceLogText(0)))
    PrintLog("write error log failed!\r\n");
  SetDeviceLogText(0, "");
  state().slots[0].Busy = 0;
}

int ReloadImageThread(void*) {
  StationState& s = state();
  // The package is replaced only once no job sends from it any more.
  PackageLoad load(s.package);
  if (!load.begun()) {
    s.ReloadThreadRunning = false;
    return 0;
  }
  s.optionsDlg.SetChecked(option_id::kOnlyUpgradeBootloader, false);
  s.ImageLoading = 1;
  EnableMainControls(false);

  const int kind = GetFlashTypeIndex(1);
  const std::string path = plat::GetProfileString("INFORMATION", "IMAGE PATH", "", SystemIniPath());
  ShowPath(s, path);

  FreeImageBuffers();
  s.PackageSubdir.clear();

  if (path.empty()) {
    ui::MessageBox("The burning file does not exist.\r\nPlease select the burning file first! (install.img)",
                   "WARNING", ui::MB_OK);
  } else if (kind == kFlashNor) {
    if (!FileExists(path)) {
      ui::MessageBox(path + " not found! Please check again !\r\n", "WARNING");
    } else if (ReadNorImage(path)) {
      PrintLog("Loadinfo: nor flash load data successful!\r\n");
    } else {
      ReportImageLoadFailure(("Loadinfo: read data failed!\r\npath:" + path).c_str());
      FreeImageBuffers();
    }
  } else {
    const std::string folder = workPaths().AppDir + "/UnTarTmp";
    if (!FileExists(folder)) {
      ui::MessageBox("The burning file does not exist.\r\nPlease select the burning file first!", "WARNING");
    } else {
      s.progress.Create();
      ShowProgressStrip(s);
      s.PackageSubdir = GetPackageDir(folder);
      const char* detail = nullptr;
      bool stopped = false;
      if (s.PackageSubdir.empty()) {
        detail = "Loadinfo: Cannot get untartemp project filename (package 5 or omv or generic linux)!";
      } else if (ReadUntarTempFiles() != 1) {
        stopped = plat::StopRequested();
        if (!stopped) detail = "Loadinfo: read untartemp file failed!";
      }
      if (stopped) {
        DropStoppedLoad(s);  // the tree stays: it still is the package SYSTEM.ini names
      } else if (detail) {
        ReportImageLoadFailure(detail);
        FreeImageBuffers();
      }
    }
  }

  EnableMainControls(true);
  s.ImageLoading = 0;
  if (kind != kFlashNor) ResetProgress(s);
  // Last of all: a new load may start from here on.
  s.ReloadThreadRunning = false;
  return 0;
}

int OpenImageThread(void*) {
  StationState& s = state();
  PackageLoad load(s.package);
  if (!load.begun()) {
    s.OpenThreadRunning = false;
    return 0;
  }
  const int kind = GetFlashTypeIndex(1);
  const std::string description = kind == kFlashNor ? "binary files" : "install.img files";
  const std::string filter = description + (kind == kFlashNor ? " (*.bin)|*.bin|All files (*.*)|*.*||"
                                                              : " (*.img)|*.img|All files (*.*)|*.*||");

  s.progress.Create();
  FreeImageBuffers();

  ui::FileDialogSpec spec;
  spec.title = description;
  spec.initialName = description;
  spec.defaultExt = "tar";
  spec.filter = filter;
  spec.mustExist = true;
  const std::optional<std::string> chosen = ui::prompter().OpenFile(spec);

  bool failed = false;
  if (!chosen) {
    FreeImageBuffers();
    ShowPath(s, "");
  } else {
    const std::string& path = *chosen;
    s.ImageLoading = 1;
    EnableMainControls(false);
    PrintLog("target file path: %s \r\n", path.c_str());
    ShowPath(s, path);

    if (kind == kFlashNor) {
      if (ReadNorImage(path)) {
        SaveIniSettings();
      } else {
        ReportImageLoadFailure("read NOR flash binary file failed!");
        failed = true;
      }
    } else {
      ShowProgressStrip(s);
      const std::string folder = workPaths().AppDir + "/UnTarTmp";
      if (FileExists(folder)) {
        DeleteDirTree(folder, true, s.progress.BarDialog(), kProgressBarId, &s.UnpackProgressRange,
                      &s.UnpackProgressPos);
        ::rmdir(folder.c_str());
      }
      CreateDirTree(folder);
      const bool whole =
          UntarInstallImg(path, folder, s.progress.BarDialog(), s.UnpackProgressRange, s.UnpackProgressPos, 0);
      if (whole) s.PackageSubdir = GetPackageDir(folder);
      const std::string cut = whole ? FirstCutMember(path) : std::string();

      if (!whole) {
        DropStoppedLoad(s, folder);
        failed = true;
      } else if (!cut.empty()) {
        // Nothing of a cut archive may be loaded, now or by a later reload of the tree.
        PrintLog("install image ends inside member %s\r\n", cut.c_str());
        DeleteDirTree(folder, true);
        ::rmdir(folder.c_str());
        s.PackageSubdir.clear();
        ReportImageLoadFailure("read UntarTemp file failed!!");
        SaveIniSettings();
        failed = true;
      } else if (s.PackageSubdir.empty()) {
        const std::string detail = "Cannot get untartemp project filename (package 5 or omv or generic linux)!";
        ReportImageLoadFailure(detail.c_str());
        ui::MessageBox(detail + "!!!", "ERROR", ui::MB_OK | ui::MB_ICONWARNING);
        failed = true;
      } else if (ReadUntarTempFiles() == 1) {
        SaveIniSettings();
      } else if (plat::StopRequested()) {
        // A tree that SYSTEM.ini does not name yet: a later reload must not take it.
        DropStoppedLoad(s, folder);
        failed = true;
      } else {
        ReportImageLoadFailure("read UntarTemp file failed!!");
        SaveIniSettings();
        failed = true;
      }
    }
  }
  if (failed) {
    FreeImageBuffers();
    ShowPath(s, "");
  }

  ResetProgress(s);
  EnableMainControls(true);
  s.ImageLoading = 0;
  s.OpenThreadRunning = false;
  return 0;
}

namespace {

bool StartLoader(std::atomic<bool>& running, std::jthread& handle, int (*body)(void*), const char* name) {
  if (running.load()) return false;
  if (handle.joinable()) handle.join();  // a finished thread of this kind
  running = true;
  try {
    handle = std::jthread([body](std::stop_token stop) {
      plat::ScopedStopToken current(stop);
      body(nullptr);
    });
  } catch (const std::system_error& e) {
    PrintLog("create %s thread failed! (%s)\r\n", name, e.what());
    running = false;
    return false;
  }
  return true;
}

}  // namespace

bool StartOpenImageThread() {
  StationState& s = state();
  return StartLoader(s.OpenThreadRunning, s.OpenThreadHandle, OpenImageThread, "OpenImageThread");
}

bool StartReloadImageThread() {
  StationState& s = state();
  return StartLoader(s.ReloadThreadRunning, s.ReloadThreadHandle, ReloadImageThread, "ReloadImageThread");
}

}  // namespace station

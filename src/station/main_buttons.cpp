#include "station/main_buttons.h"

#include <string>
#include <system_error>
#include <thread>

#include "factory/key_bag.h"
#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "package/image_loading.h"
#include "package/nand_support_list.h"
#include "package/settings_files.h"
#include "package/type_lists.h"
#include "platform/clock.h"
#include "platform/profile.h"
#include "platform/ui.h"

namespace station {

namespace {

constexpr int kOpenImageButton = 1067;
constexpr int kFunctionButton = 1141;
constexpr int kReloadButton = 1145;
constexpr int kKeyOpenButton = 1068;

// The warnings of a click that needs the types chosen first; true when none applies.
bool TypesChosen() {
  const int flash = GetFlashTypeIndex(1);
  if (flash < 0) {
    ui::MessageBox("Please select flash type first!", "WARNING");
    return false;
  }
  if (flash >= kFlashEmmc && GetDdrTypeIndex(1) < 0) {
    ui::MessageBox("Please select ddr type first!", "WARNING");
    return false;
  }
  return true;
}

}  // namespace

void OnSelchangeFlashType() { ApplyFlashTypeToControls(0); }

void OnSelchangeDdrType() { GetDdrFolderName(0); }

void OnSelchangeNandList() {
  ui::Dialog& main = state().mainDlg;
  if (!SetupNandFlashSpec(main.Selected(kNandModelList), ""))
    ui::MessageBox("setup nand flash spec failed!, please check the nand support list spec.", "WARNING", ui::MB_OK);
  main.SetEnabled(kOpenImageButton, true);
}

void OnBnClickedFunction() {
  ui::Dialog& options = state().optionsDlg;
  options.Show(!options.Shown());
}

void OnBnClickedOpenImage() {
  StationState& s = state();
  if (!TypesChosen()) return;
  // While an image is being opened, another click does nothing.
  if (!s.OpenThreadRunning.load()) StartOpenImageThread();
}

// A key thread that still runs is asked to stop and waited for (its waits and boxes end at
// the request), then a new one asks for the key bag. A thread the system cannot give is no
// reason to end the station: the main log says so and the button can be pressed again.
void OnBnClickedOpenKey() {
  std::jthread& key = state().KeyHeaderThreadHandle;
  key.request_stop();
  if (key.joinable()) key.join();
  try {
    key = std::jthread([](std::stop_token stop) {
      plat::ScopedStopToken current(stop);
      gen_Key_header(stop);
    });
  } catch (const std::system_error& e) {
    PrintLog("create gen_Key_header thread failed! (%s)\r\n", e.what());
  }
}

void OnBnClickedReloadImg() {
  StationState& s = state();
  s.optionsDlg.SetText(kMainLogControlId, "");
  if (!TypesChosen()) return;
  std::string path = plat::GetProfileString("INFORMATION", "IMAGE PATH", "", SystemIniPath());
  if (path.size() >= static_cast<size_t>(kPathMax)) path.resize(kPathMax - 1);
  s.mainDlg.SetText(kImagePathEdit, path);
  s.mainDlg.SelectText(kImagePathEdit, path.size(), 0);  // all of it, the anchor at its end
  if (!CheckInstallImgPrepared()) return;
  SaveIniSettings();
  if (!s.ReloadThreadRunning.load()) StartReloadImageThread();
}

void BindMainButtons() {
  ui::Dialog& main = state().mainDlg;
  main.OnSelChange(kFlashTypeList, OnSelchangeFlashType);
  main.OnSelChange(kDdrTypeList, OnSelchangeDdrType);
  main.OnSelChange(kNandModelList, OnSelchangeNandList);
  main.OnClick(kFunctionButton, OnBnClickedFunction);
  main.OnClick(kOpenImageButton, OnBnClickedOpenImage);
  main.OnClick(kReloadButton, OnBnClickedReloadImg);
  main.OnClick(kKeyOpenButton, OnBnClickedOpenKey);
}

}  // namespace station

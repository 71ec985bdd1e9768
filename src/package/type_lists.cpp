#include "package/type_lists.h"

#include "foundation/dialog_templates.h"
#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "package/nand_support_list.h"
#include "platform/ui.h"

namespace station {

namespace {

constexpr int kEraseBoxFirst = 1196;  // the twelve per-slot "erase" boxes, always hidden
constexpr int kEraseBoxLast = 1207;

template <size_t N>
int IndexOf(const std::array<const char*, N>& names, const std::string& text) {
  for (size_t i = 0; i < N; ++i)
    if (text == names[i]) return static_cast<int>(i);
  return -1;
}

// The list's edit text, or the text of its selected entry (empty when nothing is selected).
std::string ListText(const ui::Dialog& d, int id, int fromText) {
  if (fromText) return d.Text(id);
  const int sel = d.Selected(id);
  const std::vector<std::string> items = d.Items(id);
  if (sel < 0 || sel >= static_cast<int>(items.size())) return {};
  return items[sel];
}

// Selecting nothing in a list also empties the text it shows.
void SelectNothing(ui::Dialog& d, int id) {
  d.SetSelected(id, -1);
  d.SetText(id, "");
}

void HideEraseBoxes(ui::Dialog& main) {
  for (int id = kEraseBoxFirst; id <= kEraseBoxLast; ++id) {
    main.SetVisible(id, false);
    main.SetChecked(id, false);
  }
}

// What NOR and the eMMC types share: no NAND model, no DDR folder, default transfer sizes and
// no NAND geometry.
void ApplyNonNandCommon(StationState& s) {
  ui::Dialog& main = s.mainDlg;
  ui::Dialog& opt = s.optionsDlg;
  s.DdrFolderName.clear();
  main.SetVisible(1154, false);
  main.SetText(kDdrTypeList, "");
  main.SetVisible(kNandModelList, false);
  main.SetEnabled(kNandModelList, false);
  SelectNothing(main, kNandModelList);
  main.SetEnabled(1067, true);
  opt.SetText(1024, "256");
  opt.SetText(1032, "2");
  for (int id : {1029, 1030, 1020, 1021, 1022}) opt.SetText(id, "");
  HideEraseBoxes(main);
}

}  // namespace

int GetFlashTypeIndex(int fromText) {
  return IndexOf(kFlashTypeNames, ListText(state().mainDlg, kFlashTypeList, fromText));
}

int GetDdrTypeIndex(int fromText) {
  return IndexOf(kDdrTypeNames, ListText(state().mainDlg, kDdrTypeList, fromText));
}

std::string GetDdr4GbTypeName() {
  const int ddr = GetDdrTypeIndex(1);
  if (ddr >= 0 && ddr <= 3) return "2DDR4_4Gb_1600_B";
  if (ddr >= 4 && ddr <= 7) return "2DDR3_4Gb_1600_B";
  return {};
}

void GetDdrFolderName(int fromText) {
  const int ddr = GetDdrTypeIndex(fromText);
  StationState& s = state();
  s.DdrFolderName = ddr >= 0 ? kDdrTypeNames[ddr] : "";
  PrintLog("DDRFolderDirectoryName:%s\r\n", s.DdrFolderName.c_str());
}

bool FillTypeCombos() {
  StationState& s = state();
  ui::Dialog& main = s.mainDlg;
  const std::string model = main.Text(kNandModelList);  // set from the settings, if at all
  if (!model.empty()) {
    main.SetText(kNandModelList, model);
    main.SetEnabled(kNandModelList, true);
  } else {
    main.SetEnabled(kNandModelList, false);
  }
  main.SetEnabled(1067, true);

  if (!LoadNandSupportList()) return false;

  for (int i = 0; i < kListedFlashTypes; ++i) main.AddItem(kFlashTypeList, kFlashTypeNames[i]);
  const std::string saved = s.optionsDlg.Text(1025);
  if (saved == "0")
    main.SetText(kFlashTypeList, kFlashTypeNames[kFlashNand]);
  else if (saved == "1")
    main.SetText(kFlashTypeList, kFlashTypeNames[kFlashNor]);
  else if (saved == "2")
    main.SetText(kFlashTypeList, kFlashTypeNames[kFlashEmmc]);
  ApplyFlashTypeToControls(1);

  for (const char* name : kDdrTypeNames) main.AddItem(kDdrTypeList, name);
  main.SetEnabled(kDdrTypeList, true);
  SelectNothing(main, kDdrTypeList);
  return true;
}

void ApplyFlashTypeToControls(int fromText) {
  StationState& s = state();
  ui::Dialog& main = s.mainDlg;
  ui::Dialog& opt = s.optionsDlg;
  switch (GetFlashTypeIndex(fromText)) {
    case kFlashNand:
      opt.SetText(1025, "0");
      main.SetVisible(1154, true);
      main.SetVisible(kNandModelList, true);
      main.SetEnabled(kNandModelList, true);
      if (main.Text(kNandModelList).empty()) main.SetEnabled(1067, false);  // until a model is chosen
      opt.SetText(1149, "");
      s.DdrFolderName.clear();
      HideEraseBoxes(main);
      break;
    case kFlashNor:
      opt.SetText(1025, "1");
      opt.SetText(1149, "");
      ApplyNonNandCommon(s);
      break;
    case kFlashEmmc:
      main.SetVisible(1153, true);
      main.SetVisible(kDdrTypeList, true);
      opt.SetText(1149, "");
      main.SetEnabled(kDdrTypeList, true);
      opt.SetText(1025, "2");
      ApplyNonNandCommon(s);
      break;
    default:
      break;
  }
  main.SetText(kImagePathEdit, "");
}

bool CheckInstallImgPrepared() {
  if (state().mainDlg.Text(kImagePathEdit).empty()) {
    ui::MessageBox("please check install.img already prepared!", "LOST", ui::MB_OK | ui::MB_ICONWARNING);
    return false;
  }
  return true;
}

void EnableMainControls(bool enable) {
  ui::Dialog& main = state().mainDlg;
  for (int id : {1068, 1067, kFlashTypeList, 1145}) main.SetEnabled(id, enable);
  const int type = GetFlashTypeIndex(1);
  if (type >= kFlashEmmc) main.SetEnabled(kDdrTypeList, enable);
  if (type == kFlashNand) {
    main.SetEnabled(kNandModelList, enable);
    main.SetEnabled(kDdrTypeList, enable);
  }
}

void ToggleSimpleLayout() {
  StationState& s = state();
  ui::Dialog& opt = s.optionsDlg;
  if (opt.Checked(1070)) {
    opt.SetVisible(1070, true);
    opt.SetVisible(1069, true);
    return;
  }
  opt.SetVisible(1070, false);
  opt.SetVisible(1069, false);
  for (int id : {1068, 1066, 1110, 1111, 1113, 1112, 1160, 1161}) s.mainDlg.SetVisible(id, false);
}

void ArrangeOptionsDialog(bool show) {
  StationState& s = state();
  ui::Dialog& opt = s.optionsDlg;
  ui::Rect w = opt.WindowRect();
  w.w = 960;
  w.h = 580;
  opt.SetWindowRect(w);

  opt.SetVisible(1184, show);
  opt.SetRect(1184, {5, 5, 465, 250});
  opt.SetRect(kFunctionGroupId, {470, 5, 220, 530});

  struct Place {
    int id;
    ui::Rect r;
  };
  static const Place kPlaces[] = {
      {1209, {485, 25, 150, 30}},  {1194, {485, 55, 150, 30}},  {1159, {485, 155, 195, 30}},
      {1151, {485, 185, 195, 30}}, {1156, {485, 215, 195, 30}}, {kMainLogControlId, {695, 5, 240, 455}},
      {1183, {695, 480, 90, 55}},  {1182, {835, 480, 90, 55}},
  };
  for (const Place& p : kPlaces) opt.SetRect(p.id, p.r);

  s.mainDlg.SetVisible(1141, !show);

  static const int kSwitches[] = {1004, 1033, 1002, 1000, 1003, 998,  1018, 1134, 1140, 1142, 1136, 1137,
                                  1049, 1132, 1133, 1150, 1149, 1148, 1034, 1026, 999,  1147, 1131, 1116};
  for (int id : kSwitches) opt.SetVisible(id, show);

  for (int id : opt.Ids())
    if ((id >= 1118 && id <= 1150) || (id >= 1020 && id <= 1139)) opt.SetVisible(id, false);

  for (int id = kEraseBoxFirst; id <= kEraseBoxLast; ++id) s.mainDlg.SetVisible(id, false);
}

void EnableFlashInfoFields(int type) {
  // Columns in this order; 'o' enables, 'x' disables, '-' leaves the edit as it is.
  static const int kFields[10] = {1020, 1021, 1022, 1023, 1025, 1024, 1029, 1030, 1031, 1032};
  const char* row = nullptr;
  switch (type) {
    case -1:
    case 4:
    case 5: row = "xxxxxxxxxx"; break;
    case 1: row = "oooooooo-o"; break;
    case 2: row = "oooxoooooo"; break;
    case 3: row = "oooooooooo"; break;
    case 6: row = "oxxxxoxxxo"; break;
    default: return;  // 0 and every other type change nothing
  }
  ui::Dialog& opt = state().optionsDlg;
  for (int i = 0; i < 10; ++i)
    if (row[i] != '-') opt.SetEnabled(kFields[i], row[i] == 'o');
}

}  // namespace station

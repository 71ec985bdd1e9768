#include "foundation/dialog_templates.h"

#include <cstdio>

#include "foundation/station_state.h"
#include "platform/ui.h"

namespace station {

using ui::Kind;

void BuildMainDialog(ui::Dialog& d) {
  for (int i = 0; i < kSlotCount; ++i) {
    char number[4];
    snprintf(number, sizeof number, "%02d", i + 1);
    d.Add(1006 + i, Kind::PictureButton);
    d.Add(1036 + i, Kind::Label);
    d.Add(1050 + i, Kind::Edit);
    d.Add(1071 + i, Kind::Edit);
    d.Add(1098 + i, Kind::Label, number);
    d.Add(1196 + i, Kind::CheckBox, "erase", false);
    d.Add(DeviceLogControlId(i), Kind::Edit, "", false);
  }
  d.Add(1064, Kind::List);
  d.Add(1155, Kind::Label, "Flash type");
  d.Add(1152, Kind::List);
  d.Add(1153, Kind::Label, "DDR type");
  d.Add(1048, Kind::List);
  d.Add(1154, Kind::Label, "Nand flash list");
  d.Add(1065, Kind::Edit);
  d.Add(1181, Kind::Label, "install.img path : ");
  d.Add(1066, Kind::Edit);
  d.Add(1161, Kind::Label, "key path : ");
  d.Add(1067, Kind::Button, "open");
  d.Add(1068, Kind::Button, "open");
  d.Add(1110, Kind::Edit);
  d.Add(1111, Kind::Edit);
  d.Add(1112, Kind::Label, "number :");
  d.Add(1113, Kind::Label, "/");
  d.Add(1141, Kind::Button, "function");
  d.Add(1145, Kind::Button, "reload img");
  d.Add(1160, Kind::Group, "Key");
  for (int id = 1164; id <= 1167; ++id) d.Add(id, Kind::Label);
}

void BuildOptionsDialog(ui::Dialog& d) {
  struct Item {
    int id;
    Kind kind;
    const char* text;
  };
  static const Item kItems[] = {
      // geometry edits (their labels are captions of the edits here)
      {1035, Kind::Edit, ""}, {1020, Kind::Edit, ""}, {1021, Kind::Edit, ""},
      {1022, Kind::Edit, ""}, {1023, Kind::Edit, ""}, {1025, Kind::Edit, ""},
      {1024, Kind::Edit, ""}, {1028, Kind::Edit, ""}, {1029, Kind::Edit, ""},
      {1030, Kind::Edit, ""}, {1031, Kind::Edit, ""}, {1139, Kind::Edit, ""},
      {1032, Kind::Edit, ""},
      // debug check boxes
      {1069, Kind::CheckBox, "single mode"}, {1033, Kind::CheckBox, "Secure"},
      {1034, Kind::CheckBox, "Go/Jump"}, {1002, Kind::CheckBox, "Kn key"},
      {1018, Kind::CheckBox, "Ks key"}, {1000, Kind::CheckBox, "System reset"},
      {1004, Kind::CheckBox, "User data "}, {1003, Kind::CheckBox, "Special page"},
      {998, Kind::CheckBox, "HW Setting"}, {1026, Kind::CheckBox, "Go ddr address"},
      // function check boxes
      {1070, Kind::CheckBox, "burn factory"}, {1148, Kind::CheckBox, "burn se_storage"},
      {1133, Kind::CheckBox, "Nf write skip"}, {1134, Kind::CheckBox, "DDR enable"},
      {1140, Kind::CheckBox, "compare mode"}, {1142, Kind::CheckBox, "en ktee (se storage)"},
      {1136, Kind::CheckBox, "read mode"}, {1137, Kind::CheckBox, "read spare"},
      {1131, Kind::CheckBox, "save log"}, {1049, Kind::CheckBox, "Retry ( for test)"},
      {1147, Kind::CheckBox, "5817_go_ddr"}, {1132, Kind::CheckBox, "auto burn"},
      {1151, Kind::CheckBox, "only upgrade layout firmware"},
      {1156, Kind::CheckBox, "only upgrade secure firmware"},
      {1159, Kind::CheckBox, "only upgrade bootloader"}, {999, Kind::CheckBox, "only burn efuse"},
      {1209, Kind::CheckBox, "LK enable"}, {1194, Kind::CheckBox, "NAS enable"},
      // others
      {kMainLogControlId, Kind::Edit, ""}, {1183, Kind::Button, "OK"},
      {1182, Kind::Button, "clean log"}, {1184, Kind::ListView, ""},
      {1149, Kind::Edit, ""}, {1143, Kind::Edit, ""},
  };
  for (const Item& it : kItems) d.Add(it.id, it.kind, it.text);
  d.Add(kFlashTypeGroupId, Kind::Group, "Input flash type");
  d.Add(kDebugGroupId, Kind::Group, "debug check box");
  d.Add(kFunctionGroupId, Kind::Group, "funcion check box");
  // Two unnamed statics that the reduced layout shows and hides with the switches.
  d.Add(1116, Kind::Label);
  d.Add(1150, Kind::Label);
}

void BuildProgressDialog(ui::Dialog& d) {
  // 594 x 6 dialog units with a bar of 593 x 6; sizes here in pixels at the dialog font.
  d.SetWindowRect(ui::Rect{0, 0, 891, 10});
  d.Add(1144, Kind::ProgressBar);
  d.SetRect(1144, ui::Rect{0, 0, 890, 10});
}

void BuildSplashDialog(ui::Dialog& d) {
  // 166 x 123 dialog units; the first frame gives the window its real size and shape.
  d.SetWindowRect(ui::Rect{0, 0, 249, 200});
}

}  // namespace station

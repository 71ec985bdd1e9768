#include "foundation/dialog_templates.h"

#include <cstdio>

#include "foundation/station_state.h"
#include "platform/ui.h"

namespace station {

using ui::Kind;
using ui::Rect;

namespace {

struct Item {
  int id;
  Kind kind;
  const char* text;
  Rect rect;
  bool visible = true;
};

void AddAll(ui::Dialog& d, const Item* items, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    d.Add(items[i].id, items[i].kind, items[i].text, items[i].visible);
    d.SetRect(items[i].id, items[i].rect);
  }
}

// The main dialog: twelve slot tiles in two rows of six, each with its number and percentage
// on top, the picture button in the middle and the MAC and SN edits below; under the tiles
// the type lists, the install image path and the key controls.
constexpr int kTileWidth = 210;
constexpr int kTileHeight = 228;
constexpr int kTilesPerRow = 6;

}  // namespace

void BuildMainDialog(ui::Dialog& d) {
  d.SetWindowRect(Rect{0, 0, kMainDialogWidth, kMainDialogHeight});
  for (int i = 0; i < kSlotCount; ++i) {
    char number[4];
    snprintf(number, sizeof number, "%02d", i + 1);
    const int x = 10 + (i % kTilesPerRow) * kTileWidth;
    const int y = 10 + (i / kTilesPerRow) * kTileHeight;
    const Item tile[] = {
        {1098 + i, Kind::Label, number, {x + 6, y + 6, 44, 30}},
        {1036 + i, Kind::Label, "", {x + 56, y + 6, 90, 30}},
        {1196 + i, Kind::CheckBox, "erase", {x + 150, y + 6, 56, 30}, false},
        {1006 + i, Kind::PictureButton, "", {x + 52, y + 42, 100, 100}},
        {1050 + i, Kind::Edit, "", {x + 5, y + 150, 196, 30}},
        {1071 + i, Kind::Edit, "", {x + 5, y + 186, 196, 30}},
        // The slot's log keeps the job's lines; it is never shown.
        {DeviceLogControlId(i), Kind::Edit, "", {100 * i + 10, 10, 90, 90}, false},
    };
    AddAll(d, tile, std::size(tile));
  }
  static const Item kLower[] = {
      {1155, Kind::Label, "Flash type", {10, 474, 100, 26}},
      {1064, Kind::List, "", {110, 470, 150, 34}},
      {1153, Kind::Label, "DDR type", {280, 474, 90, 26}},
      {1152, Kind::List, "", {370, 470, 170, 34}},
      {1154, Kind::Label, "Nand flash list", {560, 474, 130, 26}},
      {1048, Kind::List, "", {690, 470, 330, 34}},
      {1141, Kind::Button, "function", {1150, 468, 120, 38}},
      {1181, Kind::Label, "install.img path : ", {10, 524, 150, 26}},
      {1065, Kind::Edit, "", {160, 520, 720, 34}},
      {1067, Kind::Button, "open", {890, 518, 100, 38}},
      {1145, Kind::Button, "reload img", {1000, 518, 130, 38}},
      {1160, Kind::Group, "Key", {5, 566, 1130, 144}},
      {1161, Kind::Label, "key path : ", {20, 594, 140, 26}},
      {1066, Kind::Edit, "", {160, 590, 720, 34}},
      {1068, Kind::Button, "open", {890, 588, 100, 38}},
      {1112, Kind::Label, "number :", {20, 650, 140, 26}},
      {1110, Kind::Edit, "", {160, 646, 120, 34}},
      {1113, Kind::Label, "/", {286, 646, 24, 34}},
      {1111, Kind::Edit, "", {312, 646, 120, 34}},
      {1164, Kind::Label, "", {450, 650, 160, 26}},
      {1165, Kind::Label, "", {620, 650, 160, 26}},
      {1166, Kind::Label, "", {790, 650, 160, 26}},
      {1167, Kind::Label, "", {960, 650, 160, 26}},
  };
  AddAll(d, kLower, std::size(kLower));
}

// The options dialog, left to right: the geometry edits with their captions, the single-mode
// boxes, the function boxes, the main log with "OK" and "clean log" under it, the list view,
// and the flash size and connection limit. The function boxes, the log and its buttons sit
// where the reduced form of the dialog keeps them.
void BuildOptionsDialog(ui::Dialog& d) {
  d.SetWindowRect(Rect{80, 60, 1420, 590});

  static const struct {
    int id;
    const char* caption;
  } kFlashEdits[] = {
      {1035, "Spare Count:"},  {1020, "Start address:"},        {1021, "Ecc  Bit:"},      {1022, "Page Size:"},
      {1023, "Write special length:"}, {1025, "Flash Type:"},   {1024, "Transmission Size (K):"},
      {1028, "Data Size (B):"}, {1029, "Block Size (K):"},      {1030, "Nand Size (M):"}, {1031, "Spare:"},
      {1139, "Bad block:"},    {1032, "One write size (M):"},
  };
  d.Add(kFlashTypeGroupId, Kind::Group, "Input flash type");
  d.SetRect(kFlashTypeGroupId, Rect{5, 5, 250, 530});
  for (int n = 0; n < static_cast<int>(std::size(kFlashEdits)); ++n) {
    const int y = 26 + n * 38;
    d.Add(FlashEditCaptionId(n), Kind::Label, kFlashEdits[n].caption);
    d.SetRect(FlashEditCaptionId(n), Rect{14, y, 150, 28});
    d.Add(kFlashEdits[n].id, Kind::Edit);
    d.SetRect(kFlashEdits[n].id, Rect{166, y, 80, 28});
  }

  static const struct {
    int id;
    const char* caption;
  } kDebugBoxes[] = {
      {1069, "single mode"}, {1033, "Secure"},      {1034, "Go/Jump"},    {1002, "Kn key"},
      {1018, "Ks key"},      {1000, "System reset"}, {1004, "User data "}, {1003, "Special page"},
      {998, "HW Setting"},   {1026, "Go ddr address"},
  };
  d.Add(kDebugGroupId, Kind::Group, "debug check box");
  d.SetRect(kDebugGroupId, Rect{260, 5, 205, 530});
  for (int n = 0; n < static_cast<int>(std::size(kDebugBoxes)); ++n) {
    d.Add(kDebugBoxes[n].id, Kind::CheckBox, kDebugBoxes[n].caption);
    d.SetRect(kDebugBoxes[n].id, Rect{272, 26 + n * 40, 185, 30});
  }

  static const struct {
    int id;
    const char* caption;
  } kFunctionBoxes[] = {
      {1209, "LK enable"},
      {1194, "NAS enable"},
      {1070, "burn factory"},
      {1148, "burn se_storage"},
      {1159, "only upgrade bootloader"},
      {1151, "only upgrade layout firmware"},
      {1156, "only upgrade secure firmware"},
      {999, "only burn efuse"},
      {1132, "auto burn"},
      {1133, "Nf write skip"},
      {1134, "DDR enable"},
      {1140, "compare mode"},
      {1142, "en ktee (se storage)"},
      {1136, "read mode"},
      {1137, "read spare"},
      {1131, "save log"},
      {1049, "Retry ( for test)"},
      {1147, "5817_go_ddr"},
  };
  d.Add(kFunctionGroupId, Kind::Group, "funcion check box");
  d.SetRect(kFunctionGroupId, Rect{470, 5, 220, 575});
  for (int n = 0; n < static_cast<int>(std::size(kFunctionBoxes)); ++n) {
    const int y = 25 + n * 30 + (n >= 4 ? 10 : 0);  // the upgrade boxes a little apart
    d.Add(kFunctionBoxes[n].id, Kind::CheckBox, kFunctionBoxes[n].caption);
    d.SetRect(kFunctionBoxes[n].id, Rect{485, y, 195, 30});
  }

  static const Item kOthers[] = {
      {kMainLogControlId, Kind::Edit, "", {695, 5, 240, 455}},
      {1183, Kind::Button, "OK", {695, 480, 90, 55}},
      {1182, Kind::Button, "clean log", {835, 480, 90, 55}},
      {1184, Kind::ListView, "", {945, 5, 300, 530}},
      {kFlashSizeCaptionId, Kind::Label, "flash size :", {1255, 26, 150, 26}},
      {1149, Kind::Edit, "", {1255, 56, 150, 28}},
      {kMaxUsbCaptionId, Kind::Label, "max usb connection :", {1255, 100, 150, 26}},
      {1143, Kind::Edit, "", {1255, 130, 150, 28}},
      // Two unnamed statics that the reduced layout shows and hides with the switches.
      {1116, Kind::Label, "", {1255, 180, 150, 20}},
      {1150, Kind::Label, "", {1255, 205, 150, 20}},
  };
  AddAll(d, kOthers, std::size(kOthers));
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

#include "package/nand_support_list.h"

#include <array>
#include <utility>

#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "package/excel_reader.h"
#include "package/type_lists.h"

namespace station {

namespace {

// Starts the reader and selects the list's first worksheet; false once the reader has said
// what went wrong.
bool OpenList(cls_excel& excel) {
  if (!excel.InitExcel(-1)) return false;
  if (!excel.OpenExcelFile(NandSupportListPath())) return false;
  std::string sheet = excel.GetSheetName(1);
  return excel.LoadSheet(sheet, false);
}

void CloseList(cls_excel& excel) {
  excel.CloseExcelFile(false);
  excel.ReleaseExcel();
}

// Geometry edit for a model column (2 to 5).
int FieldForColumn(int column) {
  switch (column) {
    case 2: return kNandPageSizeEdit;
    case 3: return kNandBlockSizeEdit;
    case 4: return kNandSizeEdit;
    case 5: return kNandEccEdit;
    default: return 0;
  }
}

}  // namespace

std::string NandSupportListPath() {
  return workPaths().AppDir + "/" + "/Tempfile" + "/nand_flash_support_list.xlsx";
}

bool LoadNandSupportList() {
  cls_excel excel;
  if (!OpenList(excel)) {
    CloseList(excel);
    return false;
  }
  ui::Dialog& main = state().mainDlg;
  const int rows = excel.GetRowCount();
  for (int row = 2; row <= rows; ++row) main.AddItem(kNandModelList, excel.GetCellString(row, 1));
  CloseList(excel);
  return true;
}

bool SetupNandFlashSpec(int index, const std::string& name) {
  const bool byIndex = index >= 0;
  const bool byName = !name.empty();
  if (byIndex == byName) return false;  // exactly one key

  cls_excel excel;
  if (!OpenList(excel)) {
    CloseList(excel);
    return false;
  }
  ui::Dialog& main = state().mainDlg;
  ui::Dialog& options = state().optionsDlg;
  const int rows = excel.GetRowCount();
  const int columns = excel.GetColumnCount();
  if (columns > kNandListMaxColumns) {
    CloseList(excel);
    return false;
  }

  int row = 0;
  if (byName) {
    for (int r = 2; r <= rows; ++r) {
      if (excel.GetCellString(r, 1) == name) {
        row = r;
        break;
      }
    }
    if (row == 0) {
      main.SetText(kNandModelList, "");
      CloseList(excel);
      return false;
    }
  } else {
    // A position past the last model names no model: the fields keep what they hold rather
    // than taking the empty cells below the list.
    if (index > rows - 2) {
      CloseList(excel);
      return false;
    }
    row = index + 2;
  }

  for (int column = 2; column <= columns; ++column) {
    std::string text = excel.GetCellString(row, column);
    if (column == 5) text = EccBitToCode(text);
    options.SetText(FieldForColumn(column), std::move(text));
    if (byName) main.SetText(kNandModelList, name);
  }
  CloseList(excel);
  return true;
}

std::string EccBitToCode(const std::string& name) {
  static const std::array<std::pair<const char*, const char*>, 7> kCodes = {{
      {"6BIT", "0"},
      {"12BIT", "1"},
      {"24BIT", "a"},
      {"40BIT", "2"},
      {"43BIT", "4"},
      {"65BIT", "6"},
      {"72BIT", "8"},
  }};
  for (const auto& [n, code] : kCodes)
    if (name == n) return code;
  return {};
}

}  // namespace station

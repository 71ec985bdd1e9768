#pragma once
// Reading a workbook the way the station always has: start the spreadsheet service, open the
// workbook as a copy, pick a sheet, read counts and cell texts, close, quit. Messages go to the
// device log of the remembered slot (slot 0 unless InitExcel names another).
//
// Each object holds its own reference to the service it started, and every workbook it opens
// is a private in-memory copy, so two workbook uses on different threads cannot pull the
// ground from under each other.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "platform/spreadsheet.h"

namespace station {

class cls_excel {
 public:
  cls_excel();
  virtual ~cls_excel();
  cls_excel(const cls_excel&) = delete;
  cls_excel& operator=(const cls_excel&) = delete;

  // Starts the spreadsheet service; `slot` (unless -1) becomes the log slot.
  bool InitExcel(int slot);
  bool OpenExcelFile(const std::string& path);
  // Picks the worksheet named `sheetName`; with `preload` its used range is read at once.
  bool LoadSheet(const std::string& sheetName, bool preload);
  void PreloadSheet();
  // Name of the worksheet at `index` (from 1); empty when there is none.
  std::string GetSheetName(int index);
  // Rows and columns of the current worksheet's used range; 0 without a worksheet.
  int GetRowCount();
  int GetColumnCount();
  // The text of cell (row, column), both counted from 1: a number as a whole number
  // ("%0.0f"), a date as "%Y-%m-%d", a text as it stands; anything else is empty.
  std::string GetCellString(int row, int column);
  void CloseExcelFile(bool skipClose);
  // Quits the service this object started (nothing when it started none).
  void ReleaseExcel();

 private:
  std::string fileName_;                               // empty when no workbook is open
  std::shared_ptr<const plat::Workbook> workbook_;
  std::shared_ptr<plat::SpreadsheetApp> workbooks_;    // the service that opened the workbook
  std::shared_ptr<const plat::Worksheet> worksheet_;
  std::shared_ptr<const plat::Workbook> worksheets_;
  std::shared_ptr<const plat::Worksheet> cells_;       // the cells GetCellString reads
  bool preloaded_ = false;
  plat::RangeValues preloadedValues_;
  std::shared_ptr<plat::SpreadsheetApp> app_;          // the service this object started
};

// The text of a cell value as GetCellString gives it.
std::string VariantToCellString(const plat::Variant& value);

// Text property getters: a worksheet's name and the service's version; empty for none.
std::string GetNameProperty(const plat::Worksheet* sheet);
std::string GetVersionProperty(const plat::SpreadsheetApp* application);

// The log slot and the service that workbook uses share (tests look at them).
int ExcelLogSlot();
bool ExcelApplicationRunning();

// The paths of the customization workbook. Nothing reads the workbook yet.
class cls_customize {
 public:
  cls_customize();
  explicit cls_customize(const std::string& appDir);
  virtual ~cls_customize() = default;

  const std::string& WorkbookPath() const { return workbookPath_; }
  const std::string& FolderPath() const { return folderPath_; }

 private:
  std::string workbookPath_;  // AppDir + "/customized" + "/customized" + ".xlsx"
  std::unordered_map<uint32_t, uint32_t> map_;
  std::string folderPath_;    // AppDir + "/customized"
  uint32_t value0_ = 0;
  uint32_t value1_ = 0;
};

}  // namespace station

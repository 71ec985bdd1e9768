#include "package/excel_reader.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "foundation/log_boxes.h"
#include "foundation/work_paths.h"
#include "platform/ui.h"

namespace station {

namespace {

// Shared by every workbook use: the slot whose log receives the messages, and the service
// most recently started.
std::atomic<int> g_logSlot{0};
std::mutex g_appMutex;
std::shared_ptr<plat::SpreadsheetApp> g_app;

std::shared_ptr<plat::SpreadsheetApp> SharedApp() {
  std::lock_guard<std::mutex> lock(g_appMutex);
  return g_app;
}

const char kCreateFailed[] =
    "creat excel appction failed!, please check that Microsoft Excel is installed?";

std::string Format(const char* format, double value) {
  int n = std::snprintf(nullptr, 0, format, value);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), format, value);
  out.resize(static_cast<size_t>(n));
  return out;
}

}  // namespace

cls_excel::cls_excel() { g_logSlot = 0; }

cls_excel::~cls_excel() {
  CloseExcelFile(false);
  if (app_) ReleaseExcel();
  preloadedValues_ = {};
}

bool cls_excel::InitExcel(int slot) {
  if (slot != -1) g_logSlot = slot;
  std::shared_ptr<plat::SpreadsheetApp> app = plat::SpreadsheetApp::Create();
  if (!app) {
    PrintDeviceLog(g_logSlot, "%s\r\n", kCreateFailed);
    ui::MessageBox(kCreateFailed, "WARNING", ui::MB_OK);
    return false;
  }
  std::string version = GetVersionProperty(app.get());
  version = version.substr(0, version.find('.'));
  PrintDeviceLog(g_logSlot, "excel version:%s\r\n", version.c_str());
  app->SetDisplayAlerts(false);
  app_ = app;
  std::lock_guard<std::mutex> lock(g_appMutex);
  g_app = std::move(app);
  return true;
}

bool cls_excel::OpenExcelFile(const std::string& path) {
  CloseExcelFile(false);
  workbooks_ = app_ ? app_ : SharedApp();
  if (workbooks_) workbook_ = workbooks_->AddWorkbook(path);
  if (!workbook_) {
    PrintDeviceLog(g_logSlot, "excel open file failed\r\n");
    return false;
  }
  worksheets_ = workbook_;
  fileName_ = path;
  return true;
}

bool cls_excel::LoadSheet(const std::string& sheetName, bool preload) {
  cells_.reset();
  std::shared_ptr<const plat::Worksheet> sheet = worksheets_ ? worksheets_->SheetNamed(sheetName) : nullptr;
  if (!sheet) {
    PrintDeviceLog(g_logSlot, "excel loadSheet page failed,using sheet name.\r\n");
    return false;
  }
  worksheet_ = sheet;
  cells_ = std::move(sheet);
  preloaded_ = false;
  if (preload) PreloadSheet();
  return true;
}

void cls_excel::PreloadSheet() {
  if (!worksheet_) return;
  plat::RangeValues values = worksheet_->UsedValues();
  // A range of one cell comes back as that cell's value, not as an array; a range too large
  // to hold comes back as nothing. Either way the cells are then read one by one.
  if (values.values.size() < 2) return;
  preloadedValues_ = std::move(values);
  preloaded_ = true;
}

std::string cls_excel::GetSheetName(int index) {
  if (!worksheets_) return {};
  return GetNameProperty(worksheets_->SheetAt(index).get());
}

int cls_excel::GetRowCount() { return worksheet_ ? worksheet_->Used().rows : 0; }

int cls_excel::GetColumnCount() { return worksheet_ ? worksheet_->Used().columns : 0; }

std::string cls_excel::GetCellString(int row, int column) {
  if (preloaded_) return VariantToCellString(preloadedValues_.At(row, column));
  if (!cells_) return {};
  return VariantToCellString(cells_->Cell(row, column));
}

void cls_excel::CloseExcelFile(bool skipClose) {
  if (!fileName_.empty()) {
    // Our workbooks are copies in memory: closing one without saving is letting it go, which
    // the releases below do in every case.
    (void)skipClose;
    fileName_.clear();
  }
  worksheets_.reset();
  worksheet_.reset();
  cells_.reset();
  workbook_.reset();
  workbooks_.reset();
  // Values read ahead belong to the workbook just closed.
  preloaded_ = false;
  preloadedValues_ = {};
}

void cls_excel::ReleaseExcel() {
  // Only the service this object started is quit: another thread's workbook use keeps its own.
  if (!app_) return;
  app_->Quit();
  std::lock_guard<std::mutex> lock(g_appMutex);
  if (g_app == app_) g_app.reset();
  app_.reset();
}

std::string VariantToCellString(const plat::Variant& value) {
  switch (value.vt) {
    case plat::VT_R8:
      return Format("%0.0f", value.number);
    case plat::VT_DATE: {
      plat::CalendarDate d;
      if (!plat::VariantTimeToDate(value.number, d)) return {};
      std::tm tm{};
      tm.tm_year = d.year - 1900;
      tm.tm_mon = d.month - 1;
      tm.tm_mday = d.day;
      tm.tm_hour = d.hour;
      tm.tm_min = d.minute;
      tm.tm_sec = d.second;
      char buffer[64];
      size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d", &tm);
      return std::string(buffer, n);
    }
    case plat::VT_BSTR:
      return value.text;  // the station's narrow code page is UTF-8, as the text is
    case plat::VT_INT: {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "%d", value.integer);
      return buffer;
    }
    default:
      return {};
  }
}

std::string GetNameProperty(const plat::Worksheet* sheet) { return sheet ? sheet->Name() : std::string{}; }

std::string GetVersionProperty(const plat::SpreadsheetApp* application) {
  return application ? application->Version() : std::string{};
}

int ExcelLogSlot() { return g_logSlot.load(); }

bool ExcelApplicationRunning() { return SharedApp() != nullptr; }

cls_customize::cls_customize() : cls_customize(workPaths().AppDir) {}

cls_customize::cls_customize(const std::string& appDir)
    : workbookPath_(appDir + "/customized" + "/customized" + ".xlsx"), folderPath_(appDir + "/customized") {
  map_.rehash(17);
}

}  // namespace station

#pragma once
// Our own reader for .xlsx workbooks, in place of a spreadsheet application driven through
// automation. It answers the few object-model questions the station asks: open a workbook as a
// copy, pick a worksheet by name or by position, the sheet's name, its used range, and a cell's
// value as a variant.
//
// A workbook is read whole into memory when it is opened: the file is neither locked nor
// written, and a damaged file (not a zip, a missing part, broken XML, a reference to a string
// that is not there) fails the open with a reason instead of failing later at some cell.
// An opened workbook is immutable and shares nothing with other workbooks, so any number of
// them may be in use on any threads at once.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

// The variant kinds a cell value can have, numbered as the automation variants are.
enum VarType : uint16_t {
  VT_EMPTY = 0,
  VT_I4 = 3,
  VT_R8 = 5,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_INT = 22,
};

struct Variant {
  VarType vt = VT_EMPTY;
  double number = 0;   // VT_R8; VT_DATE as days since 1899-12-30 (the time is the fraction);
                       // VT_BOOL 1 or 0
  int32_t integer = 0;  // VT_I4, VT_INT
  std::string text;     // VT_BSTR (UTF-8); VT_ERROR the error's text, such as "#N/A"

  static Variant Empty() { return {}; }
  static Variant Number(double v) { return {VT_R8, v, 0, {}}; }
  static Variant Date(double v) { return {VT_DATE, v, 0, {}}; }
  static Variant Text(std::string s) { return {VT_BSTR, 0, 0, std::move(s)}; }
  static Variant Bool(bool b) { return {VT_BOOL, b ? 1.0 : 0.0, 0, {}}; }
  static Variant Error(std::string s) { return {VT_ERROR, 0, 0, std::move(s)}; }
  bool operator==(const Variant&) const = default;
};

// A date variant as a calendar day. False when the value lies outside the years 100 to 9999,
// which no date variant can hold.
struct CalendarDate {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0;
};
bool VariantTimeToDate(double value, CalendarDate& out);

// The used range of a sheet: the smallest rectangle that holds every cell the sheet stores
// (a value or a format of its own). A sheet with no cells has the range A1, one cell, as the
// spreadsheet application reports it. Rows and columns count from 1.
struct UsedRange {
  int firstRow = 1, firstColumn = 1;
  int rows = 1, columns = 1;
};

// The values of a block of cells, row by row.
struct RangeValues {
  int firstRow = 1, firstColumn = 1;
  int rows = 0, columns = 0;
  std::vector<Variant> values;  // rows * columns entries
  // The value at sheet position (row, column); empty outside the block.
  const Variant& At(int row, int column) const;
};

class Worksheet {
 public:
  const std::string& Name() const { return name_; }
  const UsedRange& Used() const { return used_; }
  // The value of the cell at (row, column), counted from 1; empty for a cell that holds
  // nothing or lies outside the sheet.
  const Variant& Cell(int row, int column) const;
  // Every value of the used range.
  RangeValues UsedValues() const;

 private:
  friend class WorkbookLoader;
  std::string name_;
  UsedRange used_;
  struct Entry {
    int row, column;
    Variant value;
  };
  std::vector<Entry> cells_;  // sorted by row, then column
};

class Workbook {
 public:
  // Opens the workbook at `path` as a copy. Null on failure, with the reason in `error`.
  static std::shared_ptr<const Workbook> Open(const std::string& path, std::string* error = nullptr);
  // The same from the bytes of a workbook file; `label` names it in the reason.
  static std::shared_ptr<const Workbook> FromBytes(std::string_view bytes, const std::string& label,
                                                   std::string* error = nullptr);

  // Worksheets in the workbook's own order (chart sheets are not worksheets).
  int SheetCount() const { return static_cast<int>(sheets_.size()); }
  // By position, counting from 1; null when there is no such sheet.
  std::shared_ptr<const Worksheet> SheetAt(int index) const;
  // By name, without regard to the case of ASCII letters; null when there is no such sheet.
  std::shared_ptr<const Worksheet> SheetNamed(std::string_view name) const;

 private:
  friend class WorkbookLoader;
  std::vector<std::shared_ptr<const Worksheet>> sheets_;
};

// The spreadsheet service as a whole: what an automation client creates before it opens
// anything. Workbooks opened through it stay usable after it quits.
class SpreadsheetApp {
 public:
  // Null when the service is switched off (below).
  static std::shared_ptr<SpreadsheetApp> Create();

  std::string Version() const;  // "major.minor"
  void SetDisplayAlerts(bool on) { displayAlerts_.store(on); }
  bool DisplayAlerts() const { return displayAlerts_.load(); }
  // Opens a workbook as a new workbook based on the file (the file is only read).
  std::shared_ptr<const Workbook> AddWorkbook(const std::string& path, std::string* error = nullptr) const;
  void Quit() { quit_.store(true); }
  bool HasQuit() const { return quit_.load(); }

 private:
  std::atomic<bool> displayAlerts_{true};
  std::atomic<bool> quit_{false};
};

// Switches the service off for the lifetime of the object, as on a machine that has no
// spreadsheet support: SpreadsheetApp::Create then gives null.
class ScopedSpreadsheetUnavailable {
 public:
  ScopedSpreadsheetUnavailable();
  ~ScopedSpreadsheetUnavailable();
  ScopedSpreadsheetUnavailable(const ScopedSpreadsheetUnavailable&) = delete;
  ScopedSpreadsheetUnavailable& operator=(const ScopedSpreadsheetUnavailable&) = delete;
};

// Whether a cell number format (its code, such as "yyyy-mm-dd" or "0.00") shows a date or a
// time; and the same for a format number of the built-in table.
bool IsDateFormatCode(std::string_view code);
bool IsBuiltinDateFormat(int numFmtId);

}  // namespace plat

#include "platform/spreadsheet.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using plat::Variant;

std::string Fixture(const std::string& rel) { return std::string(STATION_SOURCE_DIR) + "/tests/fixtures/" + rel; }

const std::string kNandList = Fixture("nand-support-list/nand_flash_support_list.xlsx");
const std::string kValues = Fixture("workbook-values/values.xlsx");
const std::string kInline = Fixture("workbook-inline/inline_strings.xlsx");

std::shared_ptr<const plat::Workbook> OpenOrFail(const std::string& path) {
  std::string error;
  auto book = plat::Workbook::Open(path, &error);
  EXPECT_TRUE(book) << error;
  return book;
}

// Writes a zip archive with the given parts, for workbooks that no spreadsheet application
// would write: damaged ones, and ones that use corners of the format.
void WriteZip(const fs::path& path, const std::map<std::string, std::string>& parts) {
  int err = 0;
  zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  ASSERT_TRUE(z) << "zip_open " << err;
  for (const auto& [name, content] : parts) {
    zip_source_t* src = zip_source_buffer(z, content.data(), content.size(), 0);
    ASSERT_TRUE(src);
    ASSERT_GE(zip_file_add(z, name.c_str(), src, ZIP_FL_OVERWRITE), 0) << zip_strerror(z);
  }
  ASSERT_EQ(zip_close(z), 0);
}

const char kNs[] = R"(xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" )"
                   R"(xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships")";

// The parts of a one-sheet workbook, with the sheet's cells given as the XML inside <sheetData>.
std::map<std::string, std::string> OneSheetParts(const std::string& sheetData, const std::string& workbookPr = "",
                                                 const std::string& styles = "") {
  std::map<std::string, std::string> parts;
  parts["xl/workbook.xml"] = std::string("<workbook ") + kNs + ">" + workbookPr +
                             R"(<sheets><sheet name="S" sheetId="1" r:id="rId1"/></sheets></workbook>)";
  std::string rels =
      R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
      R"(<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="worksheets/sheet1.xml"/>)";
  if (!styles.empty()) {
    rels += R"(<Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles" Target="styles.xml"/>)";
    parts["xl/styles.xml"] = std::string("<styleSheet ") + kNs + ">" + styles + "</styleSheet>";
  }
  parts["xl/_rels/workbook.xml.rels"] = rels + "</Relationships>";
  parts["xl/worksheets/sheet1.xml"] = std::string("<worksheet ") + kNs + "><sheetData>" + sheetData +
                                      "</sheetData></worksheet>";
  return parts;
}

std::string DateOf(const Variant& v) {
  plat::CalendarDate d;
  if (v.vt != plat::VT_DATE || !plat::VariantTimeToDate(v.number, d)) return "not a date";
  char buf[32];
  snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", d.year, d.month, d.day, d.hour, d.minute, d.second);
  return buf;
}

TEST(SpreadsheetFixtures, NandListReadsAsTheSheetHoldsIt) {
  auto book = OpenOrFail(kNandList);
  ASSERT_TRUE(book);
  ASSERT_EQ(book->SheetCount(), 1);
  auto sheet = book->SheetAt(1);
  ASSERT_TRUE(sheet);
  EXPECT_EQ(sheet->Name(), "nand_flash_support_list");
  EXPECT_EQ(sheet->Used().rows, 14);
  EXPECT_EQ(sheet->Used().columns, 5);
  EXPECT_EQ(sheet->Cell(1, 1), Variant::Text("name"));
  EXPECT_EQ(sheet->Cell(2, 1), Variant::Text("MX30LF1G18AC"));
  EXPECT_EQ(sheet->Cell(2, 2), Variant::Number(800));
  EXPECT_EQ(sheet->Cell(14, 4), Variant::Number(2000));
  EXPECT_EQ(sheet->Cell(14, 5), Variant::Text("65BIT"));
  EXPECT_EQ(sheet->Cell(15, 1), Variant::Empty());
  EXPECT_EQ(sheet->Cell(2, 6), Variant::Empty());
  EXPECT_FALSE(book->SheetAt(0));
  EXPECT_FALSE(book->SheetAt(2));
}

TEST(SpreadsheetFixtures, ValueKindsFromASpreadsheetApplication) {
  auto book = OpenOrFail(kValues);
  ASSERT_TRUE(book);
  auto sheet = book->SheetNamed("values");
  ASSERT_TRUE(sheet);
  EXPECT_EQ(sheet->Cell(2, 2), Variant::Number(2048));
  EXPECT_EQ(sheet->Cell(3, 2), Variant::Number(2.7));
  EXPECT_EQ(DateOf(sheet->Cell(4, 2)), "2024-03-15 00:00:00");  // custom format yyyy-mm-dd
  EXPECT_EQ(DateOf(sheet->Cell(5, 2)), "1899-12-30 08:30:00");  // a time of day is a date too
  EXPECT_EQ(sheet->Cell(6, 2), Variant::Text("6BIT"));
  EXPECT_EQ(sheet->Cell(7, 2), Variant::Empty());
  EXPECT_EQ(sheet->Cell(8, 2), Variant::Text("00ff"));
  EXPECT_EQ(sheet->Used().rows, 8);
  EXPECT_EQ(sheet->Used().columns, 2);
}

TEST(SpreadsheetFixtures, HandWrittenWorkbookWithInlineStrings) {
  auto book = OpenOrFail(kInline);
  ASSERT_TRUE(book);
  ASSERT_EQ(book->SheetCount(), 2);
  // The workbook lists Models first although its part comes second in the archive.
  EXPECT_EQ(book->SheetAt(1)->Name(), "Models");
  EXPECT_EQ(book->SheetAt(2)->Name(), "Notes");
  EXPECT_EQ(book->SheetNamed("notes"), book->SheetAt(2));
  EXPECT_FALSE(book->SheetNamed("Note"));

  auto models = book->SheetAt(1);
  EXPECT_EQ(models->Cell(2, 1), Variant::Text("INLINE-A"));
  EXPECT_EQ(models->Cell(2, 2), Variant::Number(800));
  EXPECT_EQ(DateOf(models->Cell(2, 3)), "2024-03-15 00:00:00");  // built-in format 14
  // Row 3 names neither itself nor its cells: they follow on from row 2, column 1.
  EXPECT_EQ(models->Cell(3, 1), Variant::Text("INLINE-B"));
  EXPECT_EQ(models->Cell(3, 2), Variant::Number(1000));  // "0.00" is no date

  auto notes = book->SheetAt(2);
  EXPECT_EQ(notes->Cell(2, 2), Variant::Text("rich text"));  // runs joined, phonetic guide left out
  EXPECT_EQ(notes->Cell(2, 3), Variant::Text("line\rbreak"));
  EXPECT_EQ(notes->Cell(2, 4), Variant::Bool(true));
  EXPECT_EQ(notes->Cell(2, 5), Variant::Error("#N/A"));
  EXPECT_EQ(notes->Cell(2, 6), Variant::Text("joined"));
  EXPECT_EQ(notes->Cell(2, 7), Variant::Number(12));  // "[Red]#,##0" days"" is no date
  // The used range runs from B2 to the formatted, empty H4.
  const plat::UsedRange& used = notes->Used();
  EXPECT_EQ(used.firstRow, 2);
  EXPECT_EQ(used.firstColumn, 2);
  EXPECT_EQ(used.rows, 3);
  EXPECT_EQ(used.columns, 7);
}

TEST(SpreadsheetFixtures, UsedValuesKeepSheetPositions) {
  auto book = OpenOrFail(kInline);
  ASSERT_TRUE(book);
  plat::RangeValues block = book->SheetAt(2)->UsedValues();
  EXPECT_EQ(block.rows, 3);
  EXPECT_EQ(block.columns, 7);
  EXPECT_EQ(block.values.size(), 21u);
  EXPECT_EQ(block.At(2, 2), Variant::Text("rich text"));
  EXPECT_EQ(block.At(2, 7), Variant::Number(12));
  EXPECT_EQ(block.At(1, 1), Variant::Empty());
  EXPECT_EQ(block.At(4, 8), Variant::Empty());
  EXPECT_EQ(block.At(5, 9), Variant::Empty());
}

TEST(SpreadsheetOpen, TheFileIsOnlyCopied) {
  testenv::ScratchDir dir;
  const fs::path copy = dir / "list.xlsx";
  fs::copy_file(kNandList, copy);
  const std::string before = testenv::ReadFile(copy);
  const auto mtime = fs::last_write_time(copy);

  auto book = OpenOrFail(copy.string());
  ASSERT_TRUE(book);
  EXPECT_EQ(testenv::ReadFile(copy), before);
  EXPECT_EQ(fs::last_write_time(copy), mtime);
  // Nothing holds the file: it can be replaced while the workbook is in use.
  testenv::WriteFile(copy, "replaced");
  EXPECT_EQ(book->SheetAt(1)->Cell(2, 1), Variant::Text("MX30LF1G18AC"));
}

void Truncate(const fs::path& f) {
  std::string bytes = testenv::ReadFile(kNandList);
  testenv::WriteFile(f, bytes.substr(0, bytes.size() / 2));
}

void CorruptSheetData(const fs::path& f) {
  // Garble the compressed bytes of the worksheet part; the archive's directory stays intact.
  std::string bytes = testenv::ReadFile(kNandList);
  const std::string name = "xl/worksheets/sheet1.xml";
  size_t at = bytes.find(name);
  ASSERT_NE(at, std::string::npos);
  for (size_t i = at + name.size() + 40; i < at + name.size() + 80 && i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
  testenv::WriteFile(f, bytes);
}

TEST(SpreadsheetOpen, DamagedWorkbooksFailWithAReason) {
  const std::string goodRow = R"(<row r="1"><c r="A1"><v>1</v></c></row>)";
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> make;
  } cases[] = {
      {"missing file", [](const fs::path&) {}},
      {"not a zip", [](const fs::path& f) { testenv::WriteFile(f, "name,page size\nX,800\n"); }},
      {"empty file", [](const fs::path& f) { testenv::WriteFile(f, ""); }},
      {"truncated archive", Truncate},
      {"damaged part data", CorruptSheetData},
      {"zip without a workbook", [](const fs::path& f) { WriteZip(f, {{"readme.txt", "hello"}}); }},
      {"broken worksheet XML",
       [&](const fs::path& f) {
         auto parts = OneSheetParts(goodRow);
         parts["xl/worksheets/sheet1.xml"] = "<worksheet><sheetData><row>";
         WriteZip(f, parts);
       }},
      {"worksheet part missing",
       [&](const fs::path& f) {
         auto parts = OneSheetParts(goodRow);
         parts.erase("xl/worksheets/sheet1.xml");
         WriteZip(f, parts);
       }},
      {"sheet without relationship",
       [&](const fs::path& f) {
         auto parts = OneSheetParts(goodRow);
         parts["xl/_rels/workbook.xml.rels"] =
             R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"/>)";
         WriteZip(f, parts);
       }},
      {"shared string that is not there",
       [](const fs::path& f) { WriteZip(f, OneSheetParts(R"(<row r="1"><c r="A1" t="s"><v>0</v></c></row>)")); }},
      {"number that is no number",
       [](const fs::path& f) { WriteZip(f, OneSheetParts(R"(<row r="1"><c r="A1"><v>8OO</v></c></row>)")); }},
      {"cell reference off the sheet",
       [](const fs::path& f) { WriteZip(f, OneSheetParts(R"(<row r="1"><c r="XFE1"><v>1</v></c></row>)")); }},
      {"target climbing out of the package",
       [&](const fs::path& f) {
         auto parts = OneSheetParts(goodRow);
         std::string& rels = parts["xl/_rels/workbook.xml.rels"];
         rels.replace(rels.find("worksheets/sheet1.xml"), 21, "../../sheet1.xml");
         WriteZip(f, parts);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testenv::ScratchDir dir;
    const fs::path file = dir / "book.xlsx";
    c.make(file);
    std::string error;
    EXPECT_FALSE(plat::Workbook::Open(file.string(), &error));
    EXPECT_FALSE(error.empty());
  }
  // A folder is no workbook either.
  testenv::ScratchDir dir;
  std::string error;
  EXPECT_FALSE(plat::Workbook::Open(dir.str(), &error));
  EXPECT_NE(error.find("no such workbook"), std::string::npos) << error;
}

TEST(SpreadsheetOpen, FormatCornersThatApplicationsWrite) {
  testenv::ScratchDir dir;
  const fs::path file = dir / "book.xlsx";
  const std::string styles =
      R"(<numFmts><numFmt numFmtId="164" formatCode="0.00E+00"/></numFmts>)"
      R"(<cellXfs><xf numFmtId="0"/><xf numFmtId="14"/><xf numFmtId="164"/></cellXfs>)";
  const std::string cells =
      R"(<row r="1"><c r="A1" s="1"><v>0</v></c><c r="B1" t="d"><v>2024-03-15T12:00:00</v></c>)"
      R"(<c r="C1" s="2"><v>1.5e3</v></c><c r="D1" s="7"><v>5</v></c><c r="E1" t="str"><v></v></c></row>)"
      R"(<row r="3"><c r="A3"><v>1</v></c><c r="A3"><v>2</v></c></row>)";
  WriteZip(file, OneSheetParts(cells, R"(<workbookPr date1904="1"/>)", styles));
  auto book = OpenOrFail(file.string());
  ASSERT_TRUE(book);
  auto s = book->SheetAt(1);
  EXPECT_EQ(DateOf(s->Cell(1, 1)), "1904-01-01 00:00:00");  // day 0 of a 1904 workbook
  EXPECT_EQ(DateOf(s->Cell(1, 2)), "2024-03-15 12:00:00");  // a date written as text
  EXPECT_EQ(s->Cell(1, 3), Variant::Number(1500));          // scientific is no date
  EXPECT_EQ(s->Cell(1, 4), Variant::Number(5));             // unknown style: plain number
  EXPECT_EQ(s->Cell(1, 5), Variant::Text(""));
  EXPECT_EQ(s->Cell(3, 1), Variant::Number(2));             // a cell written twice: the last one
}

TEST(SpreadsheetOpen, EarlyDatesOfThe1900System) {
  // The 1900 system counts a 29 February 1900; days before it are one off the date variant.
  testenv::ScratchDir dir;
  const fs::path file = dir / "book.xlsx";
  WriteZip(file, OneSheetParts(R"(<row r="1"><c r="A1" s="1"><v>1</v></c><c r="B1" s="1"><v>59</v></c>)"
                               R"(<c r="C1" s="1"><v>61</v></c></row>)",
                               "", R"(<cellXfs><xf numFmtId="0"/><xf numFmtId="14"/></cellXfs>)"));
  auto book = OpenOrFail(file.string());
  ASSERT_TRUE(book);
  auto s = book->SheetAt(1);
  EXPECT_EQ(DateOf(s->Cell(1, 1)), "1900-01-01 00:00:00");
  EXPECT_EQ(DateOf(s->Cell(1, 2)), "1900-02-28 00:00:00");
  EXPECT_EQ(DateOf(s->Cell(1, 3)), "1900-03-01 00:00:00");
}

TEST(SpreadsheetOpen, AHugeUsedRangeIsNotHandedOutWhole) {
  testenv::ScratchDir dir;
  const fs::path file = dir / "book.xlsx";
  WriteZip(file, OneSheetParts(R"(<row r="1"><c r="A1"><v>1</v></c></row>)"
                               R"(<row r="1048576"><c r="XFD1048576"><v>2</v></c></row>)"));
  auto book = OpenOrFail(file.string());
  ASSERT_TRUE(book);
  auto s = book->SheetAt(1);
  EXPECT_EQ(s->Used().rows, 1048576);
  EXPECT_EQ(s->Used().columns, 16384);
  EXPECT_TRUE(s->UsedValues().values.empty());
  EXPECT_EQ(s->Cell(1048576, 16384), Variant::Number(2));
}

TEST(SpreadsheetOpen, EmptySheetHasTheRangeA1) {
  testenv::ScratchDir dir;
  const fs::path file = dir / "book.xlsx";
  WriteZip(file, OneSheetParts(""));
  auto book = OpenOrFail(file.string());
  ASSERT_TRUE(book);
  const plat::UsedRange& used = book->SheetAt(1)->Used();
  EXPECT_EQ(used.rows, 1);
  EXPECT_EQ(used.columns, 1);
  EXPECT_EQ(book->SheetAt(1)->Cell(1, 1), Variant::Empty());
}

TEST(SpreadsheetFormats, DateFormatCodes) {
  struct Case {
    const char* code;
    bool date;
  } cases[] = {
      {"yyyy\\-mm\\-dd", true},      {"mm/dd/yy", true},
      {"hh:mm:ss\\ AM/PM", true},    {"[h]:mm", true},
      {"[$-404]e/m/d", true},        {"[Red]d-mmm", true},
      {"General", false},            {"0.00", false},
      {"0.00E+00", false},           {"#,##0;[Red]-#,##0", false},
      {"[Red]#,##0\" days\"", false}, {"\"Week \"0", false},
      {"\\d0", false},               {"@", false},
      {"_(* #,##0_)", false},        {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(plat::IsDateFormatCode(c.code), c.date) << c.code;

  for (int id : {14, 17, 22, 45, 47, 27, 36, 50, 58}) EXPECT_TRUE(plat::IsBuiltinDateFormat(id)) << id;
  for (int id : {0, 1, 2, 9, 13, 23, 37, 44, 48, 49, 59, 164}) EXPECT_FALSE(plat::IsBuiltinDateFormat(id)) << id;
}

TEST(SpreadsheetFormats, VariantTimes) {
  struct Case {
    double value;
    const char* text;  // nullptr: no date
  } cases[] = {
      {0, "1899-12-30 00:00:00"},          {1, "1899-12-31 00:00:00"},
      {45366, "2024-03-15 00:00:00"},      {45366.5, "2024-03-15 12:00:00"},
      {-1.25, "1899-12-29 06:00:00"},      {0.999999999, "1899-12-31 00:00:00"},
      {-657434, "0100-01-01 00:00:00"},    {2958465, "9999-12-31 00:00:00"},
      {-657435, nullptr},                  {2958466, nullptr},
      {NAN, nullptr},                      {1e300, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(DateOf(Variant::Date(c.value)), c.text ? c.text : "not a date");
  }
}

TEST(SpreadsheetApp, ServiceLifecycle) {
  auto app = plat::SpreadsheetApp::Create();
  ASSERT_TRUE(app);
  EXPECT_FALSE(app->Version().empty());
  auto book = app->AddWorkbook(kNandList);
  ASSERT_TRUE(book);
  app->Quit();
  EXPECT_FALSE(app->AddWorkbook(kNandList));
  // What was opened stays readable after the service quits.
  EXPECT_EQ(book->SheetAt(1)->Cell(3, 1), Variant::Text("W29N01HVSINA"));
  {
    plat::ScopedSpreadsheetUnavailable off;
    EXPECT_FALSE(plat::SpreadsheetApp::Create());
  }
  EXPECT_TRUE(plat::SpreadsheetApp::Create());
}

}  // namespace

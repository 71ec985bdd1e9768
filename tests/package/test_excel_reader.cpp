#include "package/excel_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/log_boxes.h"
#include "support/test_env.h"

namespace {

using station::cls_excel;

std::string Fixture(const std::string& rel) { return std::string(STATION_SOURCE_DIR) + "/tests/fixtures/" + rel; }

const std::string kNandList = Fixture("nand-support-list/nand_flash_support_list.xlsx");
const std::string kValues = Fixture("workbook-values/values.xlsx");
const std::string kInline = Fixture("workbook-inline/inline_strings.xlsx");

class ExcelReader : public ::testing::Test {
 protected:
  testenv::StationFixture env;

  // The usual opening sequence up to a loaded sheet.
  void Open(cls_excel& x, const std::string& path, const std::string& sheet, bool preload = false) {
    ASSERT_TRUE(x.InitExcel(-1));
    ASSERT_TRUE(x.OpenExcelFile(path));
    ASSERT_TRUE(x.LoadSheet(sheet, preload));
  }
};

TEST_F(ExcelReader, CellTextsByKind) {
  cls_excel x;
  Open(x, kValues, "values");
  struct Case {
    int row, column;
    const char* text;
  } cases[] = {
      {1, 1, "kind"},        {2, 2, "2048"}, {3, 2, "3"},     // 2.7 as a whole number
      {4, 2, "2024-03-15"},  {5, 2, "1899-12-30"},            // a time of day is a day-0 date
      {6, 2, "6BIT"},        {7, 2, ""},     {8, 2, "00ff"},
      {9, 1, ""},            {1, 3, ""},                      // outside the used range
  };
  for (const Case& c : cases) EXPECT_EQ(x.GetCellString(c.row, c.column), c.text) << c.row << "," << c.column;
  EXPECT_EQ(x.GetRowCount(), 8);
  EXPECT_EQ(x.GetColumnCount(), 2);
}

TEST_F(ExcelReader, OtherVariantKindsGiveTheirTextOrNothing) {
  using plat::Variant;
  struct Case {
    Variant v;
    const char* text;
  } cases[] = {
      {Variant::Number(-0.4), "-0"},
      {Variant::Number(2.5), "2"},  // rounds to even, as "%0.0f" does
      {Variant::Number(1e20), "100000000000000000000"},
      {Variant::Date(2958466), ""},  // past the last day a date can hold
      {Variant::Bool(true), ""},
      {Variant::Error("#N/A"), ""},
      {{plat::VT_INT, 0, -17, {}}, "-17"},
      {{plat::VT_I4, 0, 5, {}}, ""},
      {Variant::Empty(), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(station::VariantToCellString(c.v), c.text) << c.text;
}

TEST_F(ExcelReader, SheetsByPositionAndName) {
  cls_excel x;
  ASSERT_TRUE(x.InitExcel(-1));
  ASSERT_TRUE(x.OpenExcelFile(kInline));
  EXPECT_EQ(x.GetSheetName(1), "Models");
  EXPECT_EQ(x.GetSheetName(2), "Notes");
  EXPECT_EQ(x.GetSheetName(3), "");
  EXPECT_EQ(x.GetSheetName(0), "");
  ASSERT_TRUE(x.LoadSheet("Notes", false));
  EXPECT_EQ(x.GetCellString(2, 2), "rich text");
  ASSERT_TRUE(x.LoadSheet("models", false));
  EXPECT_EQ(x.GetCellString(3, 1), "INLINE-B");
  EXPECT_EQ(x.GetCellString(2, 3), "2024-03-15");
}

TEST_F(ExcelReader, MissingSheetIsReported) {
  cls_excel x;
  ASSERT_TRUE(x.InitExcel(-1));
  ASSERT_TRUE(x.OpenExcelFile(kNandList));
  station::SetDeviceLogText(0, "");
  EXPECT_FALSE(x.LoadSheet("Sheet1", false));
  EXPECT_EQ(station::DeviceLogText(0), "excel loadSheet page failed,using sheet name.\r\n");
  EXPECT_EQ(x.GetCellString(2, 1), "");
  // A sheet name asked of a workbook that was never opened is empty, and loading it fails too.
  cls_excel y;
  EXPECT_EQ(y.GetSheetName(1), "");
  EXPECT_FALSE(y.LoadSheet("", false));
}

TEST_F(ExcelReader, PreloadedValuesReadLikeTheCells) {
  // Notes's used range starts at B2: the values read ahead must still be found by their
  // sheet position, not by their place in the block.
  cls_excel direct, ahead;
  Open(direct, kInline, "Notes");
  Open(ahead, kInline, "Notes", true);
  for (int row = 1; row <= 5; ++row)
    for (int col = 1; col <= 9; ++col)
      EXPECT_EQ(ahead.GetCellString(row, col), direct.GetCellString(row, col)) << row << "," << col;
  EXPECT_EQ(ahead.GetCellString(2, 7), "12");
}

TEST_F(ExcelReader, LogLinesAndFailures) {
  cls_excel x;
  ASSERT_TRUE(x.InitExcel(-1));
  EXPECT_EQ(station::DeviceLogText(0), "excel version:1\r\n");  // the version up to its first full stop
  EXPECT_TRUE(env.host->Prompts().empty());

  EXPECT_FALSE(x.OpenExcelFile(env.dir.str() + "/absent.xlsx"));
  testenv::WriteFile(env.dir / "text.xlsx", "name,page size\n");
  EXPECT_FALSE(x.OpenExcelFile((env.dir / "text.xlsx").string()));
  EXPECT_EQ(station::DeviceLogText(0),
            "excel version:1\r\nexcel open file failed\r\nexcel open file failed\r\n");
  EXPECT_EQ(x.GetRowCount(), 0);
  EXPECT_TRUE(env.host->Prompts().empty());
}

TEST_F(ExcelReader, WithoutTheServiceTheOperatorIsWarned) {
  plat::ScopedSpreadsheetUnavailable off;
  cls_excel x;
  EXPECT_FALSE(x.InitExcel(4));
  const char* text = "creat excel appction failed!, please check that Microsoft Excel is installed?";
  EXPECT_EQ(station::DeviceLogText(4), std::string(text) + "\r\n");
  auto prompts = env.host->Prompts();
  ASSERT_EQ(prompts.size(), 1u);
  EXPECT_EQ(prompts[0].text, text);
  EXPECT_EQ(prompts[0].caption, "WARNING");
  EXPECT_EQ(prompts[0].flags, ui::MB_OK);
  // Nothing can be opened either.
  EXPECT_FALSE(x.OpenExcelFile(kNandList));
  EXPECT_EQ(station::DeviceLogText(4), std::string(text) + "\r\nexcel open file failed\r\n");
}

TEST_F(ExcelReader, LogSlotIsRememberedUntilTheNextObject) {
  cls_excel a;
  ASSERT_TRUE(a.InitExcel(3));
  EXPECT_EQ(station::ExcelLogSlot(), 3);
  ASSERT_TRUE(a.InitExcel(-1));
  EXPECT_EQ(station::DeviceLogText(3), "excel version:1\r\nexcel version:1\r\n");
  cls_excel b;  // every new object starts over at slot 0
  EXPECT_EQ(station::ExcelLogSlot(), 0);
  EXPECT_FALSE(b.LoadSheet("x", false));
  EXPECT_EQ(station::DeviceLogText(0), "excel loadSheet page failed,using sheet name.\r\n");
}

TEST_F(ExcelReader, CloseAndReleaseLeaveNothingBehind) {
  cls_excel x;
  Open(x, kNandList, "nand_flash_support_list", true);
  EXPECT_TRUE(station::ExcelApplicationRunning());
  EXPECT_EQ(x.GetCellString(2, 1), "MX30LF1G18AC");
  x.CloseExcelFile(false);
  EXPECT_EQ(x.GetRowCount(), 0);
  EXPECT_EQ(x.GetCellString(2, 1), "");  // neither the cells nor the values read ahead
  EXPECT_EQ(x.GetSheetName(1), "");
  x.ReleaseExcel();
  EXPECT_FALSE(station::ExcelApplicationRunning());
  // The same object can start over.
  Open(x, kValues, "values");
  EXPECT_EQ(x.GetCellString(2, 2), "2048");
}

TEST_F(ExcelReader, OneUseQuittingLeavesAnotherUseWorking) {
  cls_excel a, b;
  ASSERT_TRUE(a.InitExcel(-1));
  ASSERT_TRUE(b.InitExcel(-1));
  a.ReleaseExcel();
  cls_excel never;  // a use whose start failed releases nothing of anyone else's
  never.ReleaseExcel();
  EXPECT_TRUE(station::ExcelApplicationRunning());
  ASSERT_TRUE(b.OpenExcelFile(kNandList));
  ASSERT_TRUE(b.LoadSheet(b.GetSheetName(1), false));
  EXPECT_EQ(b.GetCellString(14, 1), "MT29F64G08CBABA");
}

TEST(ExcelCustomize, PathsUnderTheStationFolder) {
  station::cls_customize c("/srv/station");
  EXPECT_EQ(c.WorkbookPath(), "/srv/station/customized/customized.xlsx");
  EXPECT_EQ(c.FolderPath(), "/srv/station/customized");
}

}  // namespace

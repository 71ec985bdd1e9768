#include "package/nand_support_list.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/log_boxes.h"
#include "package/type_lists.h"
#include "platform/spreadsheet.h"
#include "support/app_dir.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using station::SetupNandFlashSpec;

std::string Fixture(const std::string& rel) { return std::string(STATION_SOURCE_DIR) + "/tests/fixtures/" + rel; }

const std::string kNandList = Fixture("nand-support-list/nand_flash_support_list.xlsx");

// The station folder is the test's scratch folder; the list is put in its Tempfile folder.
class NandSupportList : public ::testing::Test {
 protected:
  testenv::StationFixture env;
  testenv::ScopedAppDir appDir{env.dir.str()};

  void Install(const std::string& workbook) {
    fs::create_directories(env.dir / "Tempfile");
    fs::copy_file(workbook, env.dir / "Tempfile" / "nand_flash_support_list.xlsx",
                  fs::copy_options::overwrite_existing);
  }

  ui::Dialog& Main() { return env.station->mainDlg; }
  ui::Dialog& Options() { return env.station->optionsDlg; }

  struct Geometry {
    std::string page, block, size, ecc;
    bool operator==(const Geometry&) const = default;
  };
  Geometry Fields() {
    return {Options().Text(station::kNandPageSizeEdit), Options().Text(station::kNandBlockSizeEdit),
            Options().Text(station::kNandSizeEdit), Options().Text(station::kNandEccEdit)};
  }
  void SetFields(const Geometry& g) {
    Options().SetText(station::kNandPageSizeEdit, g.page);
    Options().SetText(station::kNandBlockSizeEdit, g.block);
    Options().SetText(station::kNandSizeEdit, g.size);
    Options().SetText(station::kNandEccEdit, g.ecc);
  }
  const Geometry kBefore{"p", "b", "s", "e"};
};

TEST_F(NandSupportList, PathUnderTheStationFolder) {
  EXPECT_EQ(station::NandSupportListPath(), env.dir.str() + "//Tempfile/nand_flash_support_list.xlsx");
}

TEST_F(NandSupportList, LoadFillsTheModelListInWorkbookOrder) {
  Install(kNandList);
  Main().AddItem(station::kNandModelList, "already there");  // the list is not emptied first
  ASSERT_TRUE(station::LoadNandSupportList());
  const std::vector<std::string> expected = {
      "already there",   "MX30LF1G18AC",     "W29N01HVSINA",     "F59L1G81MB",     "GD9FU1G8F2A",
      "TC58NVG1S3HTA00", "MT29F2G08ABAEAWP", "S34ML04G200TFI00", "TC58NVG2S0HTA00", "MT29F4G08ABAFAWP",
      "K9GBG08U0B",      "H27UCG8T2ETR",     "TC58TEG6DDKTA00",  "MT29F64G08CBABA"};
  EXPECT_EQ(Main().Items(station::kNandModelList), expected);
  EXPECT_EQ(station::DeviceLogText(0), "excel version:1\r\n");
  EXPECT_TRUE(env.host->Prompts().empty());
}

TEST_F(NandSupportList, LookupsFillTheGeometry) {
  Install(kNandList);
  struct Case {
    int index;
    const char* name;
    Geometry geometry;
  } cases[] = {
      {0, "", {"800", "80", "80", "0"}},  // the first model is row 2
      {3, "", {"800", "80", "80", "1"}},
      {12, "", {"4000", "1000", "2000", "6"}},  // the last model
      {-1, "TC58NVG2S0HTA00", {"1000", "100", "200", "a"}},
      {-1, "K9GBG08U0B", {"2000", "400", "1000", "2"}},
      {-1, "H27UCG8T2ETR", {"4000", "1000", "2000", "4"}},
      {-1, "TC58TEG6DDKTA00", {"4000", "1000", "2000", "8"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.index) + " " + c.name);
    SetFields(kBefore);
    Main().SetText(station::kNandModelList, "typed");
    EXPECT_TRUE(SetupNandFlashSpec(c.index, c.name));
    EXPECT_EQ(Fields(), c.geometry);
    // A lookup by name shows the name in the model list; one by position leaves the text.
    EXPECT_EQ(Main().Text(station::kNandModelList), *c.name ? c.name : "typed");
  }
}

TEST_F(NandSupportList, LookupsThatFindNoModel) {
  Install(kNandList);
  struct Case {
    int index;
    const char* name;
    bool opensWorkbook;
    const char* listText;  // the model list's text afterwards
  } cases[] = {
      {-1, "", false, "typed"},                     // no key
      {0, "MX30LF1G18AC", false, "typed"},          // two keys
      {-1, "tc58nvg2s0hta00", true, ""},            // names match exactly, case included
      {-1, "TC58NVG2S0HTA00 ", true, ""},
      {-1, "NOT-A-MODEL", true, ""},
      {13, "", true, "typed"},                      // one past the last model
      {1000000, "", true, "typed"},
      {2147483647, "", true, "typed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.index) + " " + c.name);
    SetFields(kBefore);
    Main().SetText(station::kNandModelList, "typed");
    station::SetDeviceLogText(0, "");
    EXPECT_FALSE(SetupNandFlashSpec(c.index, c.name));
    EXPECT_EQ(Fields(), kBefore);
    EXPECT_EQ(Main().Text(station::kNandModelList), c.listText);
    EXPECT_EQ(station::DeviceLogText(0), c.opensWorkbook ? "excel version:1\r\n" : "");
  }
}

TEST_F(NandSupportList, SixColumnsStopEveryLookup) {
  Install(Fixture("nand-six-columns/six_columns.xlsx"));
  for (auto [index, name] : {std::pair<int, std::string>{0, ""}, {-1, "MX30LF1G18AC"}, {-1, "NOT-A-MODEL"}}) {
    SCOPED_TRACE(name);
    SetFields(kBefore);
    Main().SetText(station::kNandModelList, "typed");
    EXPECT_FALSE(SetupNandFlashSpec(index, name));
    EXPECT_EQ(Fields(), kBefore);
    EXPECT_EQ(Main().Text(station::kNandModelList), "typed");
  }
  // The model list itself still loads from such a workbook.
  ASSERT_TRUE(station::LoadNandSupportList());
  EXPECT_EQ(Main().Items(station::kNandModelList).size(), 2u);
}

TEST_F(NandSupportList, ShortRowsAndNarrowSheets) {
  // In a five-column list a model with two cells gets its page size; its empty cells empty the
  // other fields (an empty ECC name has no code).
  Install(Fixture("nand-short-row/short_row.xlsx"));
  SetFields(kBefore);
  EXPECT_TRUE(SetupNandFlashSpec(-1, "TWOCELL-1G"));
  EXPECT_EQ(Fields(), (Geometry{"1000", "", "", ""}));
  EXPECT_TRUE(SetupNandFlashSpec(2, ""));
  EXPECT_EQ(Fields(), (Geometry{"2000", "400", "1000", "2"}));

  // A sheet of two columns only has page sizes to give: the other fields keep their values.
  Install(Fixture("nand-two-columns/two_columns.xlsx"));
  SetFields(kBefore);
  EXPECT_TRUE(SetupNandFlashSpec(1, ""));
  EXPECT_EQ(Fields(), (Geometry{"1000", "b", "s", "e"}));
}

TEST_F(NandSupportList, UnreadableWorkbooksLeaveTheListEmpty) {
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> make;  // writes the list file, or not
  } cases[] = {
      {"missing", [](const fs::path&) {}},
      {"not a zip", [](const fs::path& f) { testenv::WriteFile(f, "name,page size\nMX30LF1G18AC,800\n"); }},
      {"truncated",
       [](const fs::path& f) {
         std::string bytes = testenv::ReadFile(kNandList);
         testenv::WriteFile(f, bytes.substr(0, bytes.size() - 100));
       }},
      {"a folder", [](const fs::path& f) { fs::create_directories(f); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(env.dir / "Tempfile");
    fs::create_directories(env.dir / "Tempfile");
    c.make(env.dir / "Tempfile" / "nand_flash_support_list.xlsx");
    Main().ClearItems(station::kNandModelList);
    station::SetDeviceLogText(0, "");
    SetFields(kBefore);

    EXPECT_FALSE(station::LoadNandSupportList());
    EXPECT_TRUE(Main().Items(station::kNandModelList).empty());
    EXPECT_FALSE(SetupNandFlashSpec(0, ""));
    EXPECT_FALSE(SetupNandFlashSpec(-1, "MX30LF1G18AC"));
    EXPECT_EQ(Fields(), kBefore);
    EXPECT_EQ(station::DeviceLogText(0),
              "excel version:1\r\nexcel open file failed\r\n"
              "excel version:1\r\nexcel open file failed\r\n"
              "excel version:1\r\nexcel open file failed\r\n");
  }
  EXPECT_TRUE(env.host->Prompts().empty());
}

TEST_F(NandSupportList, WithoutTheSpreadsheetServiceTheOperatorIsWarned) {
  Install(kNandList);
  plat::ScopedSpreadsheetUnavailable off;
  SetFields(kBefore);
  EXPECT_FALSE(station::LoadNandSupportList());
  EXPECT_FALSE(SetupNandFlashSpec(0, ""));
  EXPECT_TRUE(Main().Items(station::kNandModelList).empty());
  EXPECT_EQ(Fields(), kBefore);
  auto prompts = env.host->Prompts();
  ASSERT_EQ(prompts.size(), 2u);
  for (const auto& p : prompts) {
    EXPECT_EQ(p.text, "creat excel appction failed!, please check that Microsoft Excel is installed?");
    EXPECT_EQ(p.caption, "WARNING");
  }
}

TEST_F(NandSupportList, LookupsOnTwoThreadsDoNotDisturbEachOther) {
  // The lookup by name runs on the image-loading thread while the operator may pick a model.
  Install(kNandList);
  constexpr int kRounds = 40;
  int failures = 0;
  std::thread loader([&] {
    for (int i = 0; i < kRounds; ++i)
      if (!SetupNandFlashSpec(-1, "MT29F4G08ABAFAWP")) ++failures;
  });
  int mainFailures = 0;
  for (int i = 0; i < kRounds; ++i)
    if (!SetupNandFlashSpec(i % 13, "")) ++mainFailures;
  loader.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(mainFailures, 0);
  EXPECT_EQ(station::DeviceLogText(0).find("failed"), std::string::npos);
}

TEST(NandEccCodes, NamesToCodes) {
  struct Case {
    const char* name;
    const char* code;
  } cases[] = {
      {"6BIT", "0"},  {"12BIT", "1"}, {"24BIT", "a"}, {"40BIT", "2"}, {"43BIT", "4"},
      {"65BIT", "6"}, {"72BIT", "8"}, {"6bit", ""},   {"8BIT", ""},   {"", ""},
      {"6BIT ", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(station::EccBitToCode(c.name), c.code) << c.name;
}

}  // namespace

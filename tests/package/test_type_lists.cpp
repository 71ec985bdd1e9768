#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "foundation/dialog_templates.h"
#include "foundation/log_boxes.h"
#include "foundation/work_paths.h"
#include "package/type_lists.h"
#include "support/test_env.h"

namespace {

using namespace station;
namespace fs = std::filesystem;

class TypeLists : public ::testing::Test {
 protected:
  TypeLists() { SetAppDir(fx.dir.str()); }
  ~TypeLists() override { SetAppDir(""); }

  void InstallSupportList() {
    const fs::path to = fx.dir / "Tempfile" / "nand_flash_support_list.xlsx";
    fs::create_directories(to.parent_path());
    fs::copy_file(fs::path(STATION_SOURCE_DIR) / "tests/fixtures/nand-support-list/nand_flash_support_list.xlsx", to);
  }
  void ChooseFlashType(const std::string& text) { main().SetText(kFlashTypeList, text); }

  ui::Dialog& main() { return fx.station->mainDlg; }
  ui::Dialog& opt() { return fx.station->optionsDlg; }
  testenv::StationFixture fx;
};

// ---- names and numbers ----

struct NameCase {
  const char* text;
  int flash, ddr;
};

class TypeNames : public TypeLists, public ::testing::WithParamInterface<NameCase> {};

TEST_P(TypeNames, MatchExactly) {
  main().SetText(kFlashTypeList, GetParam().text);
  main().SetText(kDdrTypeList, GetParam().text);
  EXPECT_EQ(GetFlashTypeIndex(1), GetParam().flash);
  EXPECT_EQ(GetDdrTypeIndex(1), GetParam().ddr);
}

INSTANTIATE_TEST_SUITE_P(Texts, TypeNames,
                         ::testing::Values(NameCase{"NAND", 0, -1}, NameCase{"EMMC", 2, -1},
                                           NameCase{"EMMC_16G", 4, -1}, NameCase{"EMMC_32G", 5, -1},
                                           NameCase{"nand", -1, -1}, NameCase{"NAND ", -1, -1},
                                           NameCase{"", -1, -1}, NameCase{"2DDR4_1GB", -1, 0},
                                           NameCase{"4DDR3_2GB", -1, 7}, NameCase{"4ddr3_2gb", -1, -1}));

TEST_F(TypeLists, SelectionAndTypedTextAreReadApart) {
  for (const char* n : {"NAND", "NOR", "EMMC"}) main().AddItem(kFlashTypeList, n);
  EXPECT_EQ(GetFlashTypeIndex(0), -1) << "nothing selected";
  main().SetSelected(kFlashTypeList, 1);
  main().SetText(kFlashTypeList, "EMMC_8G");  // typed over the selection
  EXPECT_EQ(GetFlashTypeIndex(0), 1);
  EXPECT_EQ(GetFlashTypeIndex(1), 3);
}

TEST_F(TypeLists, DdrChipAndFolderNamesFollowTheDdrType) {
  struct Case {
    const char* ddr;
    const char* chip;
    const char* folder;
  };
  for (const Case& c : {Case{"2DDR4_1GB", "2DDR4_4Gb_1600_B", "2DDR4_1GB"}, Case{"4DDR4_2GB", "2DDR4_4Gb_1600_B", "4DDR4_2GB"},
                        Case{"2DDR3_1GB", "2DDR3_4Gb_1600_B", "2DDR3_1GB"}, Case{"4DDR3_2GB", "2DDR3_4Gb_1600_B", "4DDR3_2GB"},
                        Case{"DDR5", "", ""}}) {
    main().SetText(kDdrTypeList, c.ddr);
    fx.station->DdrFolderName = "previous";
    EXPECT_EQ(GetDdr4GbTypeName(), c.chip) << c.ddr;
    GetDdrFolderName(1);
    EXPECT_EQ(fx.station->DdrFolderName, c.folder) << c.ddr;
    EXPECT_EQ(MainLogText(), std::string("DDRFolderDirectoryName:") + c.folder + "\r\n");
    opt().SetText(kMainLogControlId, "");
  }
}

// ---- filling the lists ----

TEST_F(TypeLists, FillFailsWithoutTheSupportList) {
  EXPECT_FALSE(FillTypeCombos());
  EXPECT_TRUE(main().Items(kFlashTypeList).empty());
  EXPECT_TRUE(main().Items(kDdrTypeList).empty());
  EXPECT_FALSE(main().Enabled(kNandModelList)) << "no saved model";
  EXPECT_TRUE(main().Enabled(1067));
}

TEST_F(TypeLists, FillOffersThreeFlashTypesEightDdrTypesAndTheModels) {
  InstallSupportList();
  main().SetEnabled(kDdrTypeList, false);
  ASSERT_TRUE(FillTypeCombos());
  EXPECT_EQ(main().Items(kFlashTypeList), (std::vector<std::string>{"NAND", "NOR", "EMMC"}));
  EXPECT_EQ(main().Items(kDdrTypeList), (std::vector<std::string>{"2DDR4_1GB", "2DDR4_2GB", "4DDR4_1GB", "4DDR4_2GB",
                                                                  "2DDR3_1GB", "2DDR3_2GB", "4DDR3_1GB", "4DDR3_2GB"}));
  EXPECT_TRUE(main().Enabled(kDdrTypeList));
  EXPECT_EQ(main().Selected(kDdrTypeList), -1);
  const std::vector<std::string> models = main().Items(kNandModelList);
  ASSERT_FALSE(models.empty());
  EXPECT_EQ(models[0], "MX30LF1G18AC");
}

TEST_F(TypeLists, FillTakesTheSavedFlashType) {
  InstallSupportList();
  struct Case {
    const char* saved;
    const char* shown;
  };
  for (const Case& c : {Case{"0", "NAND"}, Case{"1", "NOR"}, Case{"2", "EMMC"}, Case{"3", ""}, Case{"", ""}}) {
    ScopedStation again;  // each start-up has a state of its own
    again->optionsDlg.SetText(1025, c.saved);
    ASSERT_TRUE(FillTypeCombos()) << c.saved;
    EXPECT_EQ(again->mainDlg.Text(kFlashTypeList), c.shown) << c.saved;
  }
}

TEST_F(TypeLists, FillKeepsASavedNandModel) {
  InstallSupportList();
  opt().SetText(1025, "0");
  main().SetText(kNandModelList, "W29N01HVSINA");
  main().SetEnabled(kNandModelList, false);
  ASSERT_TRUE(FillTypeCombos());
  EXPECT_EQ(main().Text(kNandModelList), "W29N01HVSINA");
  EXPECT_TRUE(main().Enabled(kNandModelList));
  EXPECT_TRUE(main().Enabled(1067)) << "a model is chosen, so an image may be opened";
}

TEST_F(TypeLists, FillLeavesNoDdrTypeChosen) {
  // The settings put the saved DDR type into the list before it is filled; start-up empties
  // the DDR folder name, so the list must not go on showing a type as chosen.
  InstallSupportList();
  opt().SetText(1025, "0");
  main().SetText(kDdrTypeList, "2DDR4_2GB");
  fx.station->DdrFolderName = "2DDR4_2GB";
  ASSERT_TRUE(FillTypeCombos());
  EXPECT_EQ(fx.station->DdrFolderName, "");
  EXPECT_EQ(main().Text(kDdrTypeList), "");
  EXPECT_EQ(GetDdrTypeIndex(1), -1);
}

// ---- adapting to the flash type ----

TEST_F(TypeLists, NorTakesDefaultSizesAndDropsTheNandControls) {
  main().SetText(kImagePathEdit, "/images/install.img");
  main().SetText(kNandModelList, "W29N01HVSINA");
  main().SetText(kDdrTypeList, "2DDR4_1GB");
  for (int id : {1029, 1030, 1020, 1021, 1022, 1149}) opt().SetText(id, "80");
  main().SetVisible(1196, true);
  main().SetChecked(1196, true);
  main().SetEnabled(1067, false);
  fx.station->DdrFolderName = "2DDR4_1GB";

  ChooseFlashType("NOR");
  ApplyFlashTypeToControls(1);

  EXPECT_EQ(main().Text(kImagePathEdit), "");
  EXPECT_EQ(opt().Text(1025), "1");
  EXPECT_EQ(opt().Text(1024), "256");
  EXPECT_EQ(opt().Text(1032), "2");
  for (int id : {1029, 1030, 1020, 1021, 1022, 1149}) EXPECT_EQ(opt().Text(id), "") << id;
  EXPECT_FALSE(main().Visible(kNandModelList));
  EXPECT_FALSE(main().Enabled(kNandModelList));
  EXPECT_EQ(main().Text(kNandModelList), "");
  EXPECT_FALSE(main().Visible(1154));
  EXPECT_EQ(main().Text(kDdrTypeList), "");
  EXPECT_TRUE(main().Enabled(1067));
  EXPECT_EQ(fx.station->DdrFolderName, "");
  EXPECT_FALSE(main().Visible(1196));
  EXPECT_FALSE(main().Checked(1196));
}

TEST_F(TypeLists, EmmcShowsTheDdrList) {
  main().SetVisible(1153, false);
  main().SetVisible(kDdrTypeList, false);
  main().SetEnabled(kDdrTypeList, false);
  ChooseFlashType("EMMC");
  ApplyFlashTypeToControls(1);
  EXPECT_TRUE(main().Visible(1153));
  EXPECT_TRUE(main().Visible(kDdrTypeList));
  EXPECT_TRUE(main().Enabled(kDdrTypeList));
  EXPECT_EQ(opt().Text(1025), "2");
  EXPECT_EQ(opt().Text(1024), "256");
  EXPECT_FALSE(main().Visible(kNandModelList));
}

TEST_F(TypeLists, NandKeepsTheModelGeometryAndWaitsForAModel) {
  for (int id : {1029, 1030, 1020, 1021, 1022}) opt().SetText(id, "80");
  opt().SetText(1024, "512");
  ChooseFlashType("NAND");
  ApplyFlashTypeToControls(1);
  EXPECT_EQ(opt().Text(1025), "0");
  for (int id : {1029, 1030, 1020, 1021, 1022}) EXPECT_EQ(opt().Text(id), "80") << id;
  EXPECT_EQ(opt().Text(1024), "512");
  EXPECT_TRUE(main().Visible(kNandModelList));
  EXPECT_TRUE(main().Enabled(kNandModelList));
  EXPECT_FALSE(main().Enabled(1067)) << "no model chosen yet";

  // A model chosen before NOR is not one chosen for NAND afterwards.
  main().SetText(kNandModelList, "W29N01HVSINA");
  main().SetEnabled(1067, true);
  ChooseFlashType("NOR");
  ApplyFlashTypeToControls(1);
  ChooseFlashType("NAND");
  ApplyFlashTypeToControls(1);
  EXPECT_FALSE(main().Enabled(1067));
}

TEST_F(TypeLists, UnlistedTypeOnlyEmptiesTheImagePath) {
  opt().SetText(1025, "2");
  opt().SetText(1024, "512");
  main().SetText(kImagePathEdit, "/images/install.img");
  ChooseFlashType("EMMC_16G");
  ApplyFlashTypeToControls(1);
  EXPECT_EQ(main().Text(kImagePathEdit), "");
  EXPECT_EQ(opt().Text(1025), "2");
  EXPECT_EQ(opt().Text(1024), "512");
}

TEST_F(TypeLists, SelectionChangeReadsTheSelectedEntry) {
  for (const char* n : {"NAND", "NOR", "EMMC"}) main().AddItem(kFlashTypeList, n);
  main().SetSelected(kFlashTypeList, 1);
  main().SetText(kFlashTypeList, "NAND");  // the edit text does not count here
  ApplyFlashTypeToControls(0);
  EXPECT_EQ(opt().Text(1025), "1");
}

// ---- helpers ----

TEST_F(TypeLists, ImagePathMustBeSetBeforeLoading) {
  EXPECT_FALSE(CheckInstallImgPrepared());
  ASSERT_EQ(fx.host->Prompts().size(), 1u);
  EXPECT_EQ(fx.host->Prompts()[0].text, "please check install.img already prepared!");
  EXPECT_EQ(fx.host->Prompts()[0].caption, "LOST");
  EXPECT_EQ(fx.host->Prompts()[0].flags & 0xF0, ui::MB_ICONWARNING);

  main().SetText(kImagePathEdit, "/images/install.img");
  EXPECT_TRUE(CheckInstallImgPrepared());
  EXPECT_EQ(fx.host->Prompts().size(), 1u);
}

TEST_F(TypeLists, EnableMainControlsCoversTheListsOfTheChosenType) {
  struct Case {
    const char* type;
    std::set<int> disabled;
  };
  const std::set<int> base = {1068, 1067, 1064, 1145};
  auto with = [&](std::set<int> extra) {
    extra.insert(base.begin(), base.end());
    return extra;
  };
  const std::vector<int> all = {1068, 1067, 1064, 1145, 1152, 1048};
  for (const Case& c : {Case{"NAND", with({1048, 1152})}, Case{"NOR", base}, Case{"EMMC", with({1152})},
                        Case{"EMMC_32G", with({1152})}, Case{"", base}}) {
    for (int id : all) main().SetEnabled(id, true);
    ChooseFlashType(c.type);
    EnableMainControls(false);
    for (int id : all) EXPECT_EQ(!main().Enabled(id), c.disabled.count(id) == 1) << c.type << " " << id;
    EnableMainControls(true);
    for (int id : c.disabled) EXPECT_TRUE(main().Enabled(id)) << c.type << " " << id;
  }
}

TEST_F(TypeLists, SimpleLayoutHidesTheFactoryControlsWithoutBurnFactory) {
  const std::vector<int> keyControls = {1068, 1066, 1110, 1111, 1113, 1112, 1160, 1161};
  opt().SetChecked(1070, true);
  opt().SetVisible(1069, false);
  ToggleSimpleLayout();
  EXPECT_TRUE(opt().Visible(1070));
  EXPECT_TRUE(opt().Visible(1069));
  for (int id : keyControls) EXPECT_TRUE(main().Visible(id)) << id;

  opt().SetChecked(1070, false);
  ToggleSimpleLayout();
  EXPECT_FALSE(opt().Visible(1070));
  EXPECT_FALSE(opt().Visible(1069));
  for (int id : keyControls) EXPECT_FALSE(main().Visible(id)) << id;
}

TEST_F(TypeLists, ReducedOptionsDialog) {
  opt().SetWindowRect({30, 40, 1200, 700});
  for (bool show : {false, true}) {
    for (int id : opt().Ids()) opt().SetVisible(id, true);
    main().SetVisible(1141, true);
    ArrangeOptionsDialog(show);

    EXPECT_EQ(opt().WindowRect(), (ui::Rect{30, 40, 960, 580}));
    EXPECT_EQ(opt().Visible(1184), show);
    EXPECT_EQ(opt().GetRect(1184), (ui::Rect{5, 5, 465, 250}));
    EXPECT_EQ(opt().GetRect(kFunctionGroupId), (ui::Rect{470, 5, 220, 530}));
    EXPECT_EQ(opt().GetRect(1194), (ui::Rect{485, 55, 150, 30}));
    EXPECT_EQ(opt().GetRect(1156), (ui::Rect{485, 215, 195, 30}));
    EXPECT_EQ(opt().GetRect(kMainLogControlId), (ui::Rect{695, 5, 240, 455}));
    EXPECT_EQ(opt().GetRect(1182), (ui::Rect{835, 480, 90, 55}));
    EXPECT_EQ(main().Visible(1141), !show);
    // The single-mode switches follow `show`.
    for (int id : {1004, 1002, 1000, 1003, 998, 1018, 999}) EXPECT_EQ(opt().Visible(id), show) << id;
    // Geometry, transfer and most burn switches are always hidden in this form.
    for (int id : {1020, 1025, 1032, 1033, 1034, 1069, 1070, 1116, 1131, 1133, 1140, 1143, 1147, 1148, 1149, 1150})
      EXPECT_FALSE(opt().Visible(id)) << id;
    // The upgrade switches, the log and its buttons stay.
    for (int id : {1209, 1194, 1159, 1151, 1156, kMainLogControlId, 1183, 1182}) EXPECT_TRUE(opt().Visible(id)) << id;
    for (int id = 1196; id <= 1207; ++id) EXPECT_FALSE(main().Visible(id)) << id;
  }
}

TEST_F(TypeLists, FlashInfoFieldsForEachSingleModeType) {
  const int fields[10] = {1020, 1021, 1022, 1023, 1025, 1024, 1029, 1030, 1031, 1032};
  struct Case {
    int type;
    const char* row;  // 'o' enabled, 'x' disabled, '-' as it was
  };
  for (const Case& c : {Case{-1, "xxxxxxxxxx"}, Case{0, "----------"}, Case{1, "oooooooo-o"}, Case{2, "oooxoooooo"},
                        Case{3, "oooooooooo"}, Case{4, "xxxxxxxxxx"}, Case{5, "xxxxxxxxxx"}, Case{6, "oxxxxoxxxo"},
                        Case{7, "----------"}}) {
    for (bool before : {false, true}) {
      for (int id : fields) opt().SetEnabled(id, before);
      EnableFlashInfoFields(c.type);
      for (int i = 0; i < 10; ++i) {
        const bool expected = c.row[i] == '-' ? before : c.row[i] == 'o';
        EXPECT_EQ(opt().Enabled(fields[i]), expected) << "type " << c.type << " edit " << fields[i];
      }
    }
  }
}

}  // namespace

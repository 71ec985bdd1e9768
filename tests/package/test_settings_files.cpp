// The two settings files and the controls they fill.
#include "package/settings_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "platform/profile.h"
#include "support/app_dir.h"
#include "support/test_env.h"

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void Ini(const std::string& text) { testenv::WriteFile(env.dir / "SYSTEM.ini", text); }
  std::string Ini() const { return testenv::ReadFile(env.dir / "SYSTEM.ini"); }
  ui::Dialog& Main() { return env.station->mainDlg; }
  ui::Dialog& Opt() { return env.station->optionsDlg; }

  testenv::StationFixture env;
  testenv::ScopedAppDir appDir{env.dir.str()};
};

TEST_F(SettingsTest, LoadFillsTheControls) {
  Ini("; written by hand\r\n"
      "[nand flash type]\r\n"
      "NAME = MX30LF1G18AC\r\n"
      "BLOCK SIZE=80\r\nNAND SIZE=400\r\nPAGE SIZE=800\r\nECC BIT=0\r\nFLASH TYPE=0\r\n"
      "[MULTI FLASH TYPE]\r\n"
      "FLASH TOTAL SIZE=8\r\nFLASH COMBO TYPE=NAND\r\nDDR TYPE=2DDR4_2GB\r\n"
      "[INFORMATION]\r\n"
      "ONE WRITE SIZE=20000\r\nWRITE RANGE=100000\r\nIMAGE PATH=/images/install.img\r\n"
      "[SYSTEM]\r\n"
      "MAX USB CONNECTION=12\r\nSAVE LOG=1\r\nENCRYPTION KEY=1\r\nAUTO BURN=1\r\nCOMPARE DATA=1\r\nLK ENABLE=1\r\n");
  Main().SetEnabled(1067, false);
  Main().SetEnabled(1152, false);
  station::LoadIniSettings(1);

  struct Text {
    ui::Dialog* d;
    int id;
    const char* want;
  } texts[] = {
      {&Main(), 1048, "MX30LF1G18AC"}, {&Opt(), 1029, "80"},        {&Opt(), 1030, "400"},
      {&Opt(), 1022, "800"},           {&Opt(), 1021, "0"},         {&Opt(), 1025, "0"},
      {&Main(), 1064, "NAND"},         {&Main(), 1152, "2DDR4_2GB"}, {&Opt(), 1032, "20000"},
      {&Opt(), 1024, "100000"},        {&Main(), 1065, "/images/install.img"},
      {&Opt(), 1143, "12"},
      {&Opt(), 1149, "8"},  // the size read belongs with the type read; it survives the type's setup
  };
  for (const Text& t : texts) EXPECT_EQ(t.d->Text(t.id), t.want) << t.id;
  for (int id : {1131, 1142, 1132, 1140, 1209}) EXPECT_TRUE(Opt().Checked(id)) << id;
  for (int id : {1070, 1069, 1133, 1148, 1151, 999, 1156, 1194}) EXPECT_FALSE(Opt().Checked(id)) << id;
  EXPECT_TRUE(Main().Enabled(1067));
  EXPECT_TRUE(Main().Enabled(1152));
  EXPECT_EQ(env.station->DdrFolderName, "2DDR4_2GB");
}

TEST_F(SettingsTest, BoxesChangeOnlyForOneOrZero) {
  // Without a [SYSTEM] section the boxes whose default is "0" are cleared; the others keep
  // what the dialog had.
  Ini("[SYSTEM ONE]\r\nSINGLE MODE=1\r\n");
  for (int id : {1070, 1069, 1131, 1142, 1132, 1133, 1140, 1148, 1151, 999, 1156, 1194, 1209}) Opt().SetChecked(id, true);
  station::LoadIniSettings(1);
  for (int id : {1070, 1069, 1131, 1142}) EXPECT_TRUE(Opt().Checked(id)) << id;
  for (int id : {1132, 1133, 1140, 1148, 1151, 999, 1156, 1194, 1209}) EXPECT_FALSE(Opt().Checked(id)) << id;

  struct Case {
    const char* value;
    bool before, after;
  } cases[] = {{"yes", false, false}, {"yes", true, true}, {"1", false, true}, {"0", true, false},
               {" 1 ", false, true}, {"", true, true}, {"10", false, false}};
  for (const Case& c : cases) {
    Ini(std::string("[SYSTEM]\nSINGLE MODE=") + c.value + "\n");
    Opt().SetChecked(1069, c.before);
    station::LoadIniSettings(1);
    EXPECT_EQ(Opt().Checked(1069), c.after) << "'" << c.value << "'";
  }
}

TEST_F(SettingsTest, EmptyDdrTypeStillSetsTheDdrFolder) {
  Ini("[MULTI FLASH TYPE]\nFLASH COMBO TYPE=NAND\nDDR TYPE=\n");
  Main().SetEnabled(1152, false);
  env.station->DdrFolderName = "old";
  station::LoadIniSettings(1);
  EXPECT_FALSE(Main().Enabled(1152));
  EXPECT_EQ(env.station->DdrFolderName, "");
  EXPECT_NE(station::MainLogText().find("DDRFolderDirectoryName:"), std::string::npos);
}

TEST_F(SettingsTest, SaveWritesTheControlsAndKeepsTheRest) {
  Ini("; station settings\r\n"
      "[SYSTEM]\r\n"
      "MAX USB CONNECTION = 8\r\n"
      "SAVE LOG=1\r\n"
      "ENCRYPTION KEY=1\r\n"
      "AUTO BURN=0\r\n"
      "\r\n"
      "[INFORMATION]\r\n"
      "IMAGE PATH=/old.img\r\n");
  Opt().SetChecked(1131, false);  // never saved: the file keeps SAVE LOG=1
  Opt().SetChecked(1142, false);
  Opt().SetText(1143, "2");
  Opt().SetChecked(1132, true);
  Main().SetText(1065, "/new/install.img");
  Opt().SetText(1149, "16");
  station::SaveIniSettings();

  std::string ini = Ini();
  EXPECT_EQ(ini.rfind("; station settings\r\n[SYSTEM]\r\nMAX USB CONNECTION = 8\r\nSAVE LOG=1\r\nENCRYPTION KEY=1\r\n"
                      "AUTO BURN=1\r\n",
                      0),
            0u)
      << ini;
  EXPECT_NE(ini.find("IMAGE PATH=/new/install.img\r\n"), std::string::npos);
  EXPECT_EQ(ini.find("/old.img"), std::string::npos);

  // What was saved loads back into the same controls.
  Opt().SetChecked(1132, false);
  Main().SetText(1065, "");
  Opt().SetText(1149, "");
  station::LoadIniSettings(1);
  EXPECT_TRUE(Opt().Checked(1132));
  EXPECT_EQ(Main().Text(1065), "/new/install.img");
  EXPECT_EQ(Opt().Text(1149), "16");
  EXPECT_EQ(Opt().Text(1143), "8");
}

TEST_F(SettingsTest, FreshFileTakesTheSaveOrder) {
  Opt().SetChecked(1070, true);
  Main().SetText(1064, "NAND");
  station::SaveIniSettings();
  EXPECT_EQ(Ini(),
            "[SYSTEM]\r\nBURN FACTORY=1\r\nSINGLE MODE=0\r\nAUTO BURN=0\r\nNF WRITER SKIP=0\r\nCOMPARE DATA=0\r\n"
            "BURN SE STORAGE=0\r\nONLY UPGRADE LAYOUT FIRMWARE=0\r\nONLY BURN EFUSE=0\r\n"
            "ONLY UPGRADE SECURE FIRMWARE=0\r\nNAS ENABLE=0\r\nLK ENABLE=0\r\n"
            "[NAND FLASH TYPE]\r\nNAME=\r\nBLOCK SIZE=\r\nNAND SIZE=\r\nPAGE SIZE=\r\nECC BIT=\r\nFLASH TYPE=\r\n"
            "[MULTI FLASH TYPE]\r\nFLASH COMBO TYPE=NAND\r\nFLASH TOTAL SIZE=\r\nDDR TYPE=\r\n"
            "[INFORMATION]\r\nONE WRITE SIZE=\r\nWRITE RANGE=\r\nIMAGE PATH=\r\n");
}

TEST_F(SettingsTest, SaveTellsEachKeyItCouldNotWrite) {
  const std::string path = station::SystemIniPath();
  auto failed = [&](const station::IniSetting& s) {
    return "save settings failed : " + path + " [" + s.section + "] " + s.key + "\r\n";
  };
  // A text with a line break cannot be kept: only its key is lost, the keys after it are written.
  Main().SetText(1048, "MX30\r\nLF1G");
  Opt().SetText(1149, "16");
  station::SaveIniSettings();
  std::string log = station::MainLogText();
  for (const station::IniSetting& s : station::SystemIniSettings())
    EXPECT_EQ(testenv::CountOf(log, failed(s)), std::strcmp(s.key, "NAME") == 0 ? 1 : 0) << s.key;
  EXPECT_EQ(plat::GetProfileString("NAND FLASH TYPE", "NAME", "missing", path), "missing");
  EXPECT_EQ(plat::GetProfileString("MULTI FLASH TYPE", "FLASH TOTAL SIZE", "", path), "16");

  // A settings file that cannot be written at all (its name is taken by a folder, which stops
  // root too): every saved key is told once.
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  Opt().SetText(station::kMainLogControlId, "");
  Main().SetText(1048, "MX30LF1G");
  station::SaveIniSettings();
  log = station::MainLogText();
  for (const station::IniSetting& s : station::SystemIniSettings())
    EXPECT_EQ(testenv::CountOf(log, failed(s)), s.saved ? 1 : 0) << s.key;
}

TEST_F(SettingsTest, KeyFileSettings) {
  EXPECT_EQ(station::UsbMpToolIniPath(), env.dir.str() + "/for_usb_mp_tool/USBMPTOOL.ini");
  Main().SetText(1066, "stale");
  station::LoadIniSettings(0);  // no file yet: the defaults, all empty
  EXPECT_EQ(Main().Text(1066), "");

  testenv::WriteFile(env.dir / "for_usb_mp_tool" / "USBMPTOOL.ini",
                     "[FACTORY]\r\nKEY PATH=/keys/bag.bin\r\nKEY CONT=17\r\nKEY MAX=100\r\n");
  station::LoadIniSettings(0);
  EXPECT_EQ(Main().Text(1066), "/keys/bag.bin");
  EXPECT_EQ(Main().Text(1110), "17");
  EXPECT_EQ(Main().Text(1111), "100");
  EXPECT_EQ(Main().Text(1048), "");  // nothing of SYSTEM.ini is read with flag 0
}

}  // namespace

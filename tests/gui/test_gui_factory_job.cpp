// The station program's window driving the job a factory runs, as an operator does it: a
// station folder set for factory data ("burn factory"), eMMC and a DDR type chosen, the package opened, the key bag chosen with the key "open" button, a slot
// clicked. The board ends with its factory data, the slot with the board's MAC and serial
// number and the key counter one up. The bag lies in a folder with a Chinese name, so that the
// key group's path shows Chinese text; a screenshot of the main window goes under the build
// folder.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>

#include <array>
#include <filesystem>
#include <memory>
#include <string>

#include "app/station_app.h"
#include "boardsim/board_sim.h"
#include "factory/key_and_efuse.h"
#include "foundation/log_boxes.h"
#include "foundation/result_messages.h"
#include "foundation/slot_display.h"
#include "foundation/work_paths.h"
#include "gui/gui_support.h"
#include "gui/pictures.h"
#include "mkpackage/mkpackage.h"
#include "package/settings_files.h"
#include "package/type_lists.h"
#include "platform/profile.h"
#include "station/device_binding.h"
#include "station/slot_jobs.h"
#include "support/area_check.h"
#include "support/factory_env.h"
#include "support/test_env.h"
#include "support/usb_sim.h"

namespace station {
namespace {

namespace fs = std::filesystem;
using guitest::WaitFor;

constexpr int kBagKeys = 5;
// The two factory copies, 2 MiB each, where they lie without the storage area. (With "burn
// se_storage" copy 0 would move onto sector 0x3100, where the installation puts the firmware
// table.)
constexpr uint64_t kFactoryCopySector[] = {0x1100, 0x2100};
constexpr uint64_t kCopyBytes = 0x200000;
constexpr uint64_t kFwTableSector = 0x3100;

class FactoryJobWindow : public ::testing::Test {
 protected:
  FactoryJobWindow()
      : runtime("STATION_RUNTIME_DIR", (dir / "run").string()),
        devices("USB_DEVICE_ROOT", (dir / "devices").string()),
        temp("TEMP", (dir / "temp").string()),
        home((dir / "home").string()) {
    fs::create_directories(dir / "temp");
    mkpackage::InstallStationFiles(home);
    Setting("SYSTEM", "BURN FACTORY", "1");
    Setting("SYSTEM", "MAX USB CONNECTION", "12");
  }
  ~FactoryJobWindow() override {
    if (app) app->Finish();
    if (board) board->Unplug();
  }

  void Setting(const char* section, const char* key, const char* value) {
    plat::WriteProfileString(section, key, value, home + "/SYSTEM.ini");
  }

  gui::DialogView& main() { return *app->mainWindow(); }
  template <class W = QWidget>
  W* M(int id) {
    return qobject_cast<W*>(main().control(id));
  }
  std::string Text(int id) { return M<QLineEdit>(id)->text().toStdString(); }

  bool SlotShows(int slot, int picture) {
    const QImage want = gui::StationPicture(picture).convertToFormat(QImage::Format_RGB32);
    const QImage shown = guitest::Grab(M(SlotButtonId(slot))).convertToFormat(QImage::Format_RGB32);
    return shown.copy(0, 0, want.width(), want.height()) == want;
  }

  // Clicks `w` once the window shows it enabled (a load switches the buttons off while it runs).
  void Click(QWidget* w) {
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(WaitFor([w] { return w->isVisible() && w->isEnabled(); })) << w->objectName().toStdString();
    QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center());
  }
  // Opens the list and clicks its entry `text`.
  void Choose(int list, const QString& text) { guitest::Choose(M<QComboBox>(list), text); }
  static QFileDialog* FileDialog() { return guitest::FileDialog(); }
  // Clicks `button` and types `path` into the file dialog that comes up.
  void OpenWith(int button, const std::string& path) {
    Click(M(button));
    ASSERT_TRUE(WaitFor([] { return FileDialog() != nullptr; }));
    auto* name = FileDialog()->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setFocus();
    name->clear();
    // Each character as the keyboard sends it, the Chinese ones with their text alone.
    for (const QChar ch : QString::fromStdString(path)) {
      QTest::sendKeyEvent(QTest::Press, name, Qt::Key_unknown, QString(ch), Qt::NoModifier);
      QTest::sendKeyEvent(QTest::Release, name, Qt::Key_unknown, QString(ch), Qt::NoModifier);
    }
    QTest::keyClick(name, Qt::Key_Return);
    ASSERT_TRUE(WaitFor([] { return FileDialog() == nullptr; }));
  }

  testenv::ScratchDir dir;
  testenv::ScopedEnv runtime, devices, temp;
  plat::ScopedFastClock clock;
  std::string home;
  std::unique_ptr<boardsim::Board> board;
  std::unique_ptr<StationApp> app;
};

TEST_F(FactoryJobWindow, AnEmmcBoardGetsItsFactoryDataFromTheWindow) {
  mkpackage::PackageOptions po;
  po.outDir = (dir / "package").string();
  po.emmc = true;
  const mkpackage::PackageInfo pkg = mkpackage::BuildPackage(po);
  const std::string toolDir = home + "/for_usb_mp_tool";
  const std::string bag = (dir / "金鑰" / "第一批.bin").string();
  fs::create_directories(dir / "金鑰");
  ASSERT_TRUE(testenv::MakeKeyBagAt(toolDir, bag, kBagKeys));
  const std::string mac = testenv::BagRecordAt(toolDir, bag, 0, "mac", dir / "record");
  const std::string sn = testenv::BagRecordAt(toolDir, bag, 0, "sn", dir / "record");
  ASSERT_EQ(mac.size(), 12u);

  boardsim::BoardConfig cfg;
  cfg.flash = boardsim::FlashKind::Emmc;
  cfg.emmcBytes = 128ull << 20;
  cfg.key = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF1, 0x02};
  board = std::make_unique<boardsim::Board>(cfg);
  ASSERT_FALSE(board->Plug(testenv::BoardClassFolder(), "simboard-1").empty());

  app = std::make_unique<StationApp>(StationOptions{home});
  ASSERT_TRUE(app->Start());
  guitest::Settle();
  int slot = -1;
  ASSERT_TRUE(WaitFor([&] {
    for (int i = 0; i < kSlotCount; ++i)
      if (SlotDevicePath(i) == board->path()) slot = i;
    return slot >= 0 && SlotShows(slot, kPictureConnected);
  }));
  for (int id : {1160, 1161, 1066, 1068, 1112, 1110, 1113, 1111}) EXPECT_TRUE(M(id)->isVisible()) << id;

  // The operator's steps: the types, the package, the key bag.
  Choose(kFlashTypeList, "EMMC");
  Choose(kDdrTypeList, "2DDR4_1GB");
  ASSERT_NO_FATAL_FAILURE(OpenWith(1067, pkg.imagePath));
  ASSERT_TRUE(WaitFor([&] { return !state().OpenThreadRunning.load() && state().ImageLoading.load() == 0; }));
  ASSERT_TRUE(WaitFor([&] { return Text(kImagePathEdit) == pkg.imagePath; })) << MainLogText();
  ASSERT_NO_FATAL_FAILURE(OpenWith(1068, bag));
  ASSERT_TRUE(WaitFor([&] { return Text(kKeyCounterEdit) == "0"; })) << Text(kKeyPathEdit);
  EXPECT_EQ(Text(kKeyPathEdit), bag);
  EXPECT_EQ(Text(kKeyMaximumEdit), std::to_string(kBagKeys));

  const uint64_t starts = SlotJobStarts(slot);
  Click(M(SlotButtonId(slot)));
  ASSERT_TRUE(WaitFor([&] { return SlotJobStarts(slot) == starts + 1 && !SlotJobRunning(slot); }, 120000));
  ASSERT_EQ(state().SlotResult[slot].load(), kResultDone) << DeviceLogText(slot);

  // The slot is done: the board's picture again, its button on, the MAC and serial number of
  // the bag's first key beside it, and one key more counted on the window and in the tools'
  // settings.
  EXPECT_TRUE(WaitFor([&] { return SlotShows(slot, kPictureConnected); }));
  EXPECT_TRUE(M(SlotButtonId(slot))->isEnabled());
  std::string withColons;
  for (size_t i = 0; i < mac.size(); i += 2) withColons += (i ? ":" : "") + mac.substr(i, 2);
  EXPECT_TRUE(WaitFor([&] { return Text(SlotMacId(slot)) == withColons && Text(SlotSnId(slot)) == sn; }))
      << Text(SlotMacId(slot)) << " " << Text(SlotSnId(slot));
  EXPECT_TRUE(WaitFor([&] { return Text(kKeyCounterEdit) == "1"; })) << Text(kKeyCounterEdit);
  EXPECT_EQ(Text(kKeyMaximumEdit), std::to_string(kBagKeys));
  EXPECT_EQ(plat::GetProfileString("FACTORY", "KEY CONT", "?", UsbMpToolIniPath()), "1");

  // What the board holds: both factory copies with that MAC and serial number.
  for (int copy = 0; copy < 2; ++copy) {
    SCOPED_TRACE(copy);
    const std::string archive = testenv::StampedArchive(testenv::EmmcArea(*board, kFactoryCopySector[copy], kCopyBytes));
    ASSERT_FALSE(archive.empty()) << "no stamped factory copy";
    const fs::path into = dir / ("copy" + std::to_string(copy));
    const std::string env = testenv::ArchiveMember(archive, into, "tmp/factory/env.txt");
    EXPECT_NE(env.find("ethaddr=" + withColons), std::string::npos);
    EXPECT_EQ(testenv::ReadFile(into / "tmp/factory/sn.txt"), sn);
  }
  // ... and the installation's firmware table as the package has it: nothing was written over it.
  for (const mkpackage::PlacedData& e : pkg.entries)
    if (e.key == "FW_FWTBL")
      EXPECT_TRUE(testenv::EmmcArea(*board, kFwTableSector, e.size) == testenv::ReadFile(e.path)) << "table overwritten";
  guitest::SaveScreenshot(&main(), "main-window-factory");
}

}  // namespace
}  // namespace station

// The station program's windows driven as an operator drives them, through the application
// object that main() runs: start with boards plugged in, choose the types, open an image,
// click a slot and see its job end, unplug and plug back with auto burn, a board that vanishes
// mid-send, a click with no flash type, and closing while a job runs. Screenshots of the main
// window and the options dialog go under the build folder.
#include <gtest/gtest.h>

#include <signal.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/station_app.h"
#include "boardsim/board_sim.h"
#include "foundation/log_boxes.h"
#include "foundation/result_messages.h"
#include "foundation/slot_display.h"
#include "gui/gui_support.h"
#include "gui/picture_button.h"
#include "gui/pictures.h"
#include "mkpackage/mkpackage.h"
#include "package/type_lists.h"
#include "platform/named_mutex.h"
#include "platform/profile.h"
#include "programming/ddr_transfer.h"
#include "station/device_binding.h"
#include "station/slot_jobs.h"
#include "support/test_env.h"
#include "support/usb_sim.h"

namespace station {
namespace {

namespace fs = std::filesystem;
using guitest::WaitFor;

constexpr uint32_t kRamletSize = 0x100000;  // sent in four parts

class StationWindow : public ::testing::Test {
 protected:
  StationWindow()
      : runtime("STATION_RUNTIME_DIR", (dir / "run").string()),
        devices("USB_DEVICE_ROOT", (dir / "devices").string()),
        temp("TEMP", (dir / "temp").string()),
        home((dir / "home").string()) {
    fs::create_directories(dir / "temp");
    mkpackage::InstallStationFiles(home);
    Setting("SYSTEM", "MAX USB CONNECTION", "12");
    ramlet = mkpackage::SyntheticData(3, "ramlet.bin", kRamletSize);
    ramletPath = (dir / "ramlet.bin").string();
    testenv::WriteFile(ramletPath, std::string(ramlet.begin(), ramlet.end()));
  }
  ~StationWindow() override {
    if (app) app->Finish();
    for (auto& b : boards) b->Unplug();
  }

  void Setting(const char* section, const char* key, const char* value) {
    plat::WriteProfileString(section, key, value, home + "/SYSTEM.ini");
  }

  boardsim::Board& PlugBoard(const std::string& name, boardsim::BoardConfig cfg = Nor()) {
    boards.push_back(std::make_unique<boardsim::Board>(cfg));
    EXPECT_FALSE(boards.back()->Plug(testenv::BoardClassFolder(), name).empty());
    return *boards.back();
  }
  static boardsim::BoardConfig Nor() {
    boardsim::BoardConfig cfg;
    cfg.flash = boardsim::FlashKind::Nor;
    return cfg;
  }

  bool StartStation() {
    app = std::make_unique<StationApp>(StationOptions{home});
    const bool started = app->Start();
    guitest::Settle();
    return started;
  }

  gui::DialogView& main() { return *app->mainWindow(); }
  gui::DialogView& options() { return *app->optionsWindow(); }
  template <class W = QWidget>
  W* M(int id) {
    return qobject_cast<W*>(main().control(id));
  }
  template <class W = QWidget>
  W* O(int id) {
    return qobject_cast<W*>(options().control(id));
  }
  static int SlotOf(const boardsim::Board& b) {
    for (int slot = 0; slot < kSlotCount; ++slot)
      if (SlotDevicePath(slot) == b.path()) return slot;
    return -1;
  }

  // What the slot's button shows, as drawn on the screen.
  QImage SlotImage(int slot) {
    auto* button = M<gui::PictureButton>(SlotButtonId(slot));
    const QImage shot = guitest::Grab(button);
    return shot.copy(0, 0, std::min(shot.width(), 105), 100).convertToFormat(QImage::Format_RGB32);
  }
  bool SlotShows(int slot, int picture) {
    const QImage want = gui::StationPicture(picture).convertToFormat(QImage::Format_RGB32);
    return guitest::Grab(M(SlotButtonId(slot))).convertToFormat(QImage::Format_RGB32).copy(0, 0, want.width(), want.height()) ==
           want;
  }
  bool WaitForSlot(int slot, int picture, int timeoutMs = 60000) {
    return WaitFor([&] { return SlotShows(slot, picture); }, timeoutMs);
  }

  void Click(QWidget* w) {
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(w->isVisible() && w->isEnabled()) << w->objectName().toStdString();
    QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center());
  }
  // Chooses the list's entry as the operator does: opens it and clicks the entry.
  void Choose(int list, const QString& text) { guitest::Choose(M<QComboBox>(list), text); }
  // "open", then the file typed into the file dialog that comes up.
  void OpenImage(const std::string& path) {
    Click(M(1067));
    ASSERT_TRUE(WaitFor([] { return FileDialog() != nullptr; }));
    auto* name = FileDialog()->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setFocus();
    name->clear();
    QTest::keyClicks(name, QString::fromStdString(path));
    QTest::keyClick(name, Qt::Key_Return);
    ASSERT_TRUE(WaitFor([&] { return !state().OpenThreadRunning.load() && state().ImageLoading.load() == 0; }));
    ASSERT_TRUE(WaitFor([&] { return M<QLineEdit>(kImagePathEdit)->text().toStdString() == path; }));
    // The path is shown selected whole, from its start.
    EXPECT_EQ(M<QLineEdit>(kImagePathEdit)->selectedText().toStdString(), path);
    EXPECT_EQ(M<QLineEdit>(kImagePathEdit)->cursorPosition(), 0);
  }
  static QFileDialog* FileDialog() { return guitest::FileDialog(); }
  // A NOR station as the operator readies it: NOR, a DDR type, the image opened.
  void ReadyNor() {
    Choose(kFlashTypeList, "NOR");
    Choose(kDdrTypeList, "2DDR4_1GB");
    OpenImage(ramletPath);
    ASSERT_EQ(state().images.norImage.length, kRamletSize) << MainLogText();
  }

  testenv::ScratchDir dir;
  testenv::ScopedEnv runtime, devices, temp;
  plat::ScopedFastClock clock;
  std::string home;
  std::vector<uint8_t> ramlet;
  std::string ramletPath;
  std::vector<std::unique_ptr<boardsim::Board>> boards;
  std::unique_ptr<StationApp> app;
};

TEST_F(StationWindow, StartsMaximisedWithTheBoardsPresentBound) {
  boardsim::Board& a = PlugBoard("simboard-1");
  boardsim::Board& b = PlugBoard("simboard-2");
  ASSERT_TRUE(StartStation());
  EXPECT_TRUE(WaitFor([&] { return main().isMaximized() && main().frameGeometry().size() == QSize(1920, 1080); }));
  EXPECT_EQ(main().windowTitle().toStdString(), kVersionBanner);
  EXPECT_EQ(main().RunningTimers(), (std::set<int>{kPercentTimer, kSplashTimer}));

  const int slotA = SlotOf(a), slotB = SlotOf(b);
  ASSERT_GE(slotA, 0);
  ASSERT_GE(slotB, 0);
  for (int slot = 0; slot < kSlotCount; ++slot) {
    SCOPED_TRACE(slot);
    const bool bound = slot == slotA || slot == slotB;
    EXPECT_TRUE(WaitForSlot(slot, bound ? kPictureConnected : kPictureIdle, 10000));
    EXPECT_EQ(M(SlotButtonId(slot))->isEnabled(), bound);
    EXPECT_EQ(M<QLineEdit>(SlotMacId(slot))->text(), bound ? "FF:FF:FF:FF:FF:FF" : "");
    EXPECT_EQ(M<QLineEdit>(SlotSnId(slot))->text(), "-");
    EXPECT_EQ(M<QLabel>(SlotNumberId(slot))->text().toInt(), slot + 1);
  }
  // The controls were scaled to the maximised window; the slot pictures keep their size.
  EXPECT_EQ(M(SlotButtonId(11))->size(), QSize(100, 100));
  EXPECT_GT(M(SlotButtonId(11))->x(), 1600);
  EXPECT_GT(M(1141)->x(), 1700) << "the function button at the far right";
  auto* flash = M<QComboBox>(kFlashTypeList);
  EXPECT_EQ(flash->count(), 3);
  // A drop-down list: the operator picks one of the three types the station adapts its
  // controls and its jobs to, and types none.
  EXPECT_FALSE(flash->isEditable());
  EXPECT_EQ(M<QComboBox>(kDdrTypeList)->count(), 8);
  for (int id : {1068, 1066, 1110, 1111, 1160}) EXPECT_FALSE(M(id)->isVisible()) << id << ": no factory work";
  QStringList menu;
  for (const QAction* action : main().actions()) menu << action->text();
  EXPECT_EQ(menu, QStringList{QString::fromUtf8("關於 vortmill(&A)...")});
  EXPECT_TRUE(WaitFor([&] { return SlotShows(slotA, kPictureConnected); }));
  guitest::SaveScreenshot(&main(), "main-window-start");
}

// The window of a second station on the same machine stays open and does nothing.
TEST_F(StationWindow, ASecondInstanceIsInert) {
  plat::NamedMutex other;
  ASSERT_EQ(other.Create(kMutexGoDdrName), plat::NamedMutex::Created::Ok);
  PlugBoard("simboard-1");
  EXPECT_FALSE(StartStation());
  EXPECT_TRUE(WaitFor([&] { return main().isVisible(); }));
  EXPECT_TRUE(main().RunningTimers().empty());
  EXPECT_FALSE(app->logic()->binder().Running());
  EXPECT_FALSE(app->logic()->binder().Watching());
  EXPECT_EQ(SlotDevicePath(0), "");
  PlugBoard("simboard-2");
  guitest::Settle();
  EXPECT_EQ(SlotDevicePath(0), "") << "no binding";
  main().close();
  EXPECT_TRUE(app->closing());
  app->Finish();
  EXPECT_EQ(app->mainWindow(), nullptr);
}

TEST_F(StationWindow, AClickWithNoFlashTypeWarns) {
  boardsim::Board& board = PlugBoard("simboard-1");
  ASSERT_TRUE(StartStation());
  const int slot = SlotOf(board);
  ASSERT_GE(slot, 0);
  ASSERT_TRUE(WaitForSlot(slot, kPictureConnected));
  const uint64_t starts = SlotJobStarts(slot);
  const guitest::BoxSeen seen = guitest::AnswerBoxDuring([&] { Click(M(SlotButtonId(slot))); }, QMessageBox::Ok);
  EXPECT_EQ(seen.caption, "WARNING");
  EXPECT_EQ(seen.text, "Please select flash type first!");
  EXPECT_EQ(seen.icon, QMessageBox::Warning);
  EXPECT_EQ(SlotJobStarts(slot), starts);
  EXPECT_TRUE(SlotShows(slot, kPictureConnected));

  const guitest::BoxSeen open = guitest::AnswerBoxDuring([&] { Click(M(1067)); }, QMessageBox::Ok);
  EXPECT_EQ(open.text, "Please select flash type first!");
  EXPECT_EQ(FileDialog(), nullptr);
}

TEST_F(StationWindow, ANorBoardIsProgrammedToDone) {
  boardsim::Board& board = PlugBoard("simboard-1");
  ASSERT_TRUE(StartStation());
  const int slot = SlotOf(board);
  ASSERT_GE(slot, 0);
  ReadyNor();
  ASSERT_TRUE(WaitForSlot(slot, kPictureConnected));
  const uint64_t starts = SlotJobStarts(slot);
  Click(M(SlotButtonId(slot)));
  EXPECT_TRUE(WaitFor([&] { return SlotJobStarts(slot) == starts + 1 && !SlotJobRunning(slot); }, 120000));
  EXPECT_EQ(state().SlotResult[slot].load(), kResultDone) << DeviceLogText(slot);
  EXPECT_TRUE(WaitForSlot(slot, kPictureConnected));
  EXPECT_TRUE(M(SlotButtonId(slot))->isEnabled());
  EXPECT_EQ(board.Ddr(kRamletDdrAddress, kRamletSize), ramlet);

  // The options dialog, from the "function" button, shows the main log.
  Click(M(1141));
  ASSERT_TRUE(WaitFor([&] { return options().isVisible(); }));
  EXPECT_EQ(options().size(), QSize(960, 580));
  auto* log = O<QPlainTextEdit>(kMainLogControlId);
  EXPECT_TRUE(WaitFor([&] { return log->toPlainText().contains("target file path: " + QString::fromStdString(ramletPath)); }));
  EXPECT_TRUE(log->isReadOnly());
  for (int id : {1209, 1194, 1159, 1151, 1156, 1183, 1182}) EXPECT_TRUE(O(id)->isVisible()) << id;
  for (int id : {1020, 1143, 1132, 1184}) EXPECT_FALSE(O(id)->isVisible()) << id;
  guitest::SaveScreenshot(&options(), "options-dialog");
  Click(O(1183));
  EXPECT_TRUE(WaitFor([&] { return !options().isVisible(); }));
}

TEST_F(StationWindow, UnpluggedAndPluggedBackWithAutoBurn) {
  Setting("SYSTEM", "AUTO BURN", "1");
  boardsim::Board& board = PlugBoard("simboard-1");
  ASSERT_TRUE(StartStation());
  EXPECT_TRUE(state().optionsDlg.Checked(kAutoBurnCheck));
  const int slot = SlotOf(board);
  ASSERT_GE(slot, 0);
  ReadyNor();
  const uint64_t starts = SlotJobStarts(slot);

  board.Unplug();
  EXPECT_TRUE(WaitForSlot(slot, kPictureIdle));
  EXPECT_FALSE(M(SlotButtonId(slot))->isEnabled());
  ASSERT_FALSE(board.Plug(testenv::BoardClassFolder(), "simboard-1").empty());
  EXPECT_TRUE(WaitFor([&] { return SlotJobStarts(slot) == starts + 1; })) << "auto burn starts the job";
  EXPECT_TRUE(WaitFor([&] { return !SlotJobRunning(slot); }, 120000));
  EXPECT_EQ(SlotOf(board), slot) << "the board comes back to its slot";
  EXPECT_EQ(state().SlotResult[slot].load(), kResultDone) << DeviceLogText(slot);
  EXPECT_TRUE(WaitForSlot(slot, kPictureConnected));
  EXPECT_EQ(board.Ddr(kRamletDdrAddress, kRamletSize), ramlet);
}

// A job that fails leaves its failure square, red with its number, and the square stays
// readable on the disabled button.
TEST_F(StationWindow, AFailedJobShowsItsFailureSquare) {
  boardsim::Board& good = PlugBoard("simboard-1");
  boardsim::Board& board = PlugBoard("simboard-2");
  ASSERT_TRUE(StartStation());
  const int slot = SlotOf(board), goodSlot = SlotOf(good);
  ASSERT_GE(slot, 0);
  ReadyNor();
  {
    std::lock_guard g(board.lock());
    board.faults().failStatusExchange = 2;  // the board refuses a part of the ramlet
  }
  const uint64_t starts = SlotJobStarts(slot);
  Click(M(SlotButtonId(goodSlot)));
  Click(M(SlotButtonId(slot)));
  EXPECT_TRUE(WaitFor([&] { return SlotJobStarts(slot) == starts + 1 && !SlotJobRunning(slot) && !SlotJobRunning(goodSlot); }, 120000));
  const int code = state().SlotResult[slot].load();
  ASSERT_GE(code, 0);
  ASSERT_LE(code, 24) << DeviceLogText(slot);
  EXPECT_TRUE(WaitForSlot(slot, kPictureFailedBase + code));
  EXPECT_FALSE(M(SlotButtonId(slot))->isEnabled());
  const QImage shown = SlotImage(slot);
  EXPECT_EQ(QColor(shown.pixel(8, 8)), QColor(0xD3, 0x2F, 0x2F)) << "red";
  EXPECT_EQ(QColor(shown.pixel(91, 91)), QColor(0xD3, 0x2F, 0x2F));
  int white = 0;
  for (int y = 20; y < 80; ++y)
    for (int x = 20; x < 80; ++x) white += qGray(shown.pixel(x, y)) > 230;
  EXPECT_GT(white, 150) << "with its number";
  EXPECT_TRUE(WaitForSlot(goodSlot, kPictureConnected));
  EXPECT_EQ(state().SlotResult[goodSlot].load(), kResultDone);
  guitest::SaveScreenshot(&main(), "main-window");
}

// Every picture a slot's button takes, in order, from whichever thread sets it.
class PictureLog {
 public:
  PictureLog(ui::Dialog& d, int id) : d_(d), id_(id) {
    token_ = d.Subscribe([this](int changed) {
      if (changed != id_) return;
      const int picture = d_.Picture(id_);
      std::lock_guard g(m_);
      if (seen_.empty() || seen_.back() != picture) seen_.push_back(picture);
    });
  }
  ~PictureLog() { d_.Unsubscribe(token_); }
  std::vector<int> seen() const {
    std::lock_guard g(m_);
    return seen_;
  }

 private:
  ui::Dialog& d_;
  const int id_;
  int token_ = 0;
  mutable std::mutex m_;
  std::vector<int> seen_;
};

// A board gone in the middle of its job: the job ends with its failure, shown on the slot,
// and the slot is then free, its board removed.
TEST_F(StationWindow, ABoardThatVanishesMidSendShowsItsFailureThenLeaves) {
  boardsim::Board& board = PlugBoard("simboard-1");
  ASSERT_TRUE(StartStation());
  const int slot = SlotOf(board);
  ASSERT_GE(slot, 0);
  ReadyNor();
  {
    std::lock_guard g(board.lock());
    board.faults().vanishAfterExchanges = 2;  // in the middle of the ramlet
  }
  PictureLog pictures(state().mainDlg, SlotButtonId(slot));
  const uint64_t starts = SlotJobStarts(slot);
  Click(M(SlotButtonId(slot)));
  EXPECT_TRUE(WaitFor([&] { return SlotJobStarts(slot) == starts + 1 && !SlotJobRunning(slot); }, 120000));
  EXPECT_TRUE(WaitFor([&] { return SlotDevicePath(slot).empty(); })) << "the removal frees the slot";
  const int code = state().SlotResult[slot].load();
  EXPECT_TRUE(code >= 0 && code <= 24) << code;
  const std::vector<int> seen = pictures.seen();
  EXPECT_NE(std::find(seen.begin(), seen.end(), kPictureFailedBase + code), seen.end())
      << "the failure square was shown";
  EXPECT_TRUE(WaitForSlot(slot, seen.back()));
  EXPECT_FALSE(M(SlotButtonId(slot))->isEnabled());
}

// Closing the window while a job waits for its board ends the station within seconds: every
// thread is joined and the named mutexes are free again.
TEST_F(StationWindow, ClosingDuringAJobQuitsWithEveryThreadJoined) {
  boardsim::Board& board = PlugBoard("simboard-1");
  ASSERT_TRUE(StartStation());
  const int slot = SlotOf(board);
  ASSERT_GE(slot, 0);
  ReadyNor();
  {
    std::lock_guard g(board.lock());
    board.faults().busyForMs = int64_t{1} << 50;  // busy for ever from its next exchange on
  }
  Click(M(SlotButtonId(slot)));
  EXPECT_TRUE(WaitFor([&] { return SlotJobRunning(slot) && !board.exchanges().empty(); }));

  // A worker's message box open meanwhile is answered by the shut-down, not by the operator.
  std::atomic<int> answer{-1};
  std::thread asker([&] { answer = ui::MessageBox("waiting for the operator", "WARNING"); });
  ASSERT_NE(guitest::WaitForBoxes(1), nullptr);

  QElapsedTimer clock;
  clock.start();
  main().close();
  EXPECT_TRUE(app->closing());
  app->Finish();
  asker.join();
  EXPECT_LT(clock.elapsed(), 20000) << "the station ends within seconds";
  EXPECT_EQ(answer.load(), ui::IDCANCEL);
  for (const char* name : {kMutexFactoryName, kMutexGoDdrName, kMutexEnumName}) {
    plat::NamedMutex again;
    EXPECT_EQ(again.Create(name), plat::NamedMutex::Created::Ok) << name << " was let go";
  }
  EXPECT_TRUE(guitest::OpenBoxes().empty());
}

// SIGTERM (and SIGINT) take the same way out as the window's close box.
TEST_F(StationWindow, SigtermClosesTheWindow) {
  ASSERT_TRUE(StartStation());
  app->CatchSignals();
  int closedWith = -1;
  QObject::connect(app.get(), &StationApp::closed, [&](int code) { closedWith = code; });
  ::raise(SIGTERM);
  EXPECT_TRUE(WaitFor([&] { return app->closing(); }));
  EXPECT_EQ(closedWith, 0);
  EXPECT_FALSE(main().isVisible());
  app->Finish();
  struct sigaction now = {};
  sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL) << "the handlers go with the station";
}

// A start-up that gives up asks the front end to quit.
TEST_F(StationWindow, AStartUpThatGivesUpEndsTheStation) {
  Setting("SYSTEM", "MAX USB CONNECTION", "1");
  PlugBoard("simboard-1");
  PlugBoard("simboard-2");
  int shown = 0;
  const guitest::BoxSeen seen = guitest::AnswerBoxDuring(
      [&] {
        StartStation();
        shown = 1;
      },
      QMessageBox::Ok);
  ASSERT_EQ(shown, 1);
  EXPECT_EQ(seen.caption, "ERROR");
  EXPECT_EQ(seen.text, "please check usb device connection count! exceeded the number!");
  EXPECT_TRUE(WaitFor([&] { return app->closing(); }));
  EXPECT_EQ(app->exitCode(), 0);
  EXPECT_TRUE(main().RunningTimers().empty());
}

}  // namespace
}  // namespace station

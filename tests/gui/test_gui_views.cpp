// The Qt views of the control models, driven as the station's code and an operator would:
// a change of the model shows in its widget whoever makes it, the operator's clicks, choices
// and typing reach the model, timers run, windows take their show states and places, the main
// log stays append-only at megabytes, and the busy windows draw their models.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextDocument>
#include <QTextLayout>
#include <QThread>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/log_boxes.h"
#include "foundation/progress_strip.h"
#include "foundation/slot_display.h"
#include "foundation/splash_window.h"
#include "gui/dialog_view.h"
#include "gui/gui_support.h"
#include "gui/picture_button.h"
#include "gui/pictures.h"
#include "gui/window_views.h"
#include "support/test_env.h"

namespace {

using guitest::WaitFor;
using ui::Kind;

// A dialog with one control of every kind, and its window.
class Views : public ::testing::Test {
 public:
  enum : int { kEdit = 10, kCheck, kButton, kList, kLabel, kPicture, kBar, kGroup, kListView, kLog };

  Views() {
    d.SetWindowRect({40, 50, 640, 400});
    d.Add(kGroup, Kind::Group, "frame");
    d.SetRect(kGroup, {5, 5, 600, 380});
    d.Add(kEdit, Kind::Edit);
    d.SetRect(kEdit, {20, 30, 200, 30});
    d.Add(kCheck, Kind::CheckBox, "auto burn");
    d.SetRect(kCheck, {20, 70, 200, 30});
    d.Add(kButton, Kind::Button, "open");
    d.SetRect(kButton, {20, 110, 100, 34});
    d.Add(kList, Kind::List);
    d.SetRect(kList, {20, 150, 160, 200});
    d.Add(kLabel, Kind::Label, "Flash type");
    d.SetRect(kLabel, {240, 30, 120, 30});
    d.Add(kPicture, Kind::PictureButton);
    d.SetRect(kPicture, {240, 70, 100, 100});
    d.Add(kBar, Kind::ProgressBar);
    d.SetRect(kBar, {240, 180, 300, 12});
    d.Add(kListView, Kind::ListView);
    d.SetRect(kListView, {240, 200, 150, 80});
    d.Add(kLog, Kind::Edit);
    d.SetRect(kLog, {400, 30, 190, 160});
    gui::DialogView::Setup setup;
    setup.multiLine = {kLog};
    view = std::make_unique<gui::DialogView>(d, setup);
    d.Show(true);
    Apply();
  }

  void Apply() {
    view->ApplyPending();
    guitest::Settle();
  }
  template <class W>
  W* widget(int id) {
    return qobject_cast<W*>(view->control(id));
  }
  QPlainTextEdit* log() { return widget<QPlainTextEdit>(kLog); }

  ui::Dialog d{500, "views"};
  std::unique_ptr<gui::DialogView> view;
};

TEST_F(Views, ModelChangesShowInTheirWidgets) {
  struct Case {
    const char* name;
    std::function<void(ui::Dialog&)> change;
    std::function<bool(Views&)> shown;
  };
  const Case cases[] = {
      {"edit text", [](ui::Dialog& m) { m.SetText(kEdit, "D:/img/install.img"); },
       [](Views& v) { return v.widget<QLineEdit>(kEdit)->text() == "D:/img/install.img"; }},
      {"read-only edit", [](ui::Dialog& m) { m.SetReadOnly(kEdit, true); },
       [](Views& v) { return v.widget<QLineEdit>(kEdit)->isReadOnly(); }},
      {"edit limit", [](ui::Dialog& m) { m.SetTextLimit(kEdit, 17); },
       [](Views& v) { return v.widget<QLineEdit>(kEdit)->maxLength() == 17; }},
      {"check box", [](ui::Dialog& m) { m.SetChecked(kCheck, true); },
       [](Views& v) { return v.widget<QCheckBox>(kCheck)->isChecked(); }},
      {"caption", [](ui::Dialog& m) { m.SetText(kButton, "reload img"); },
       [](Views& v) { return v.widget<QPushButton>(kButton)->text() == "reload img"; }},
      {"label", [](ui::Dialog& m) { m.SetText(kLabel, "87"); },
       [](Views& v) { return v.widget<QLabel>(kLabel)->text() == "87"; }},
      {"group title", [](ui::Dialog& m) { m.SetText(kGroup, "Key"); },
       [](Views& v) { return v.widget<QGroupBox>(kGroup)->title() == "Key"; }},
      {"disabled", [](ui::Dialog& m) { m.SetEnabled(kButton, false); },
       [](Views& v) { return !v.view->control(kButton)->isEnabled(); }},
      {"hidden", [](ui::Dialog& m) { m.SetVisible(kLabel, false); },
       [](Views& v) { return !v.view->control(kLabel)->isVisible(); }},
      {"moved", [](ui::Dialog& m) { m.SetRect(kButton, {300, 300, 120, 40}); },
       [](Views& v) { return v.view->control(kButton)->geometry() == QRect(300, 300, 120, 40); }},
      {"list entries and choice",
       [](ui::Dialog& m) {
         for (const char* t : {"NAND", "NOR", "EMMC"}) m.AddItem(kList, t);
         m.SetSelected(kList, 1);
       },
       [](Views& v) {
         auto* l = v.widget<QComboBox>(kList);
         return l->count() == 3 && l->currentIndex() == 1 && l->currentText() == "NOR";
       }},
      {"list text of an entry, nothing selected", [](ui::Dialog& m) { m.SetSelected(kList, -1), m.SetText(kList, "EMMC"); },
       [](Views& v) { return v.widget<QComboBox>(kList)->currentText() == "EMMC"; }},
      {"list text of no entry", [](ui::Dialog& m) { m.SetText(kList, "MX30LF1G18AC"); },
       [](Views& v) {
         auto* l = v.widget<QComboBox>(kList);
         return l->currentIndex() == -1 && l->placeholderText() == "MX30LF1G18AC";
       }},
      {"list emptied", [](ui::Dialog& m) { m.ClearItems(kList), m.SetText(kList, ""); },
       [](Views& v) { return v.widget<QComboBox>(kList)->count() == 0; }},
      {"progress", [](ui::Dialog& m) { m.SetRange(kBar, 0, 4000), m.SetPos(kBar, 1000); },
       [](Views& v) {
         auto* b = v.widget<QProgressBar>(kBar);
         return b->maximum() == 4000 && b->value() == 1000;
       }},
      {"progress past its range", [](ui::Dialog& m) { m.SetPos(kBar, 9000); },
       [](Views& v) { return v.widget<QProgressBar>(kBar)->value() == 4000; }},
      {"list view", [](ui::Dialog& m) { m.AddItem(kListView, "row"); },
       [](Views& v) { return v.widget<QListWidget>(kListView)->count() == 1; }},
      {"large font", [](ui::Dialog& m) { m.SetFont(kLabel, station::kLargeFont); },
       [](Views& v) {
         const QFont f = v.view->control(kLabel)->font();
         return f.bold() && f.pixelSize() == 19;
       }},
      {"small font", [](ui::Dialog& m) { m.SetFont(kEdit, station::kSmallFont); },
       [](Views& v) { return v.view->control(kEdit)->font().pixelSize() == 16; }},
      {"a control added later", [](ui::Dialog& m) { m.Add(99, Kind::Label, "late"), m.SetRect(99, {10, 360, 80, 20}); },
       [](Views& v) { return v.widget<QLabel>(99) && v.widget<QLabel>(99)->text() == "late"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.change(d);
    EXPECT_TRUE(WaitFor([&] { return c.shown(*this); }));
  }
}

// A worker changes the model only; the window's thread changes the widgets when its loop runs.
TEST_F(Views, AWorkersChangesReachTheWidgetsOnTheWindowsThread) {
  std::atomic<bool> changed{false};
  std::thread worker([&] {
    for (int i = 0; i <= 100; ++i) {
      d.SetText(kLabel, std::to_string(i));
      d.SetPos(kBar, i);
    }
    d.SetPicture(kPicture, station::kPictureRunning);
    changed = true;
  });
  worker.join();
  ASSERT_TRUE(changed);
  EXPECT_EQ(widget<QLabel>(kLabel)->text(), "Flash type") << "no widget changed outside the window's loop";
  EXPECT_TRUE(WaitFor([&] { return widget<QLabel>(kLabel)->text() == "100"; }));
  EXPECT_EQ(widget<QProgressBar>(kBar)->value(), 100);
  EXPECT_EQ(widget<gui::PictureButton>(kPicture)->picture().toImage(),
            gui::StationPicture(station::kPictureRunning).convertToFormat(QImage::Format_RGB32));
}

TEST_F(Views, OperatorsActionsReachTheModel) {
  int clicks = 0, checks = 0, picks = 0, pictures = 0;
  d.OnClick(kButton, [&] { ++clicks; });
  d.OnClick(kCheck, [&] { ++checks; });
  d.OnClick(kPicture, [&] { ++pictures; });
  d.OnSelChange(kList, [&] { ++picks; });
  for (const char* t : {"NAND", "NOR", "EMMC"}) d.AddItem(kList, t);
  d.SetPicture(kPicture, station::kPictureConnected);
  Apply();

  QTest::mouseClick(widget<QPushButton>(kButton), Qt::LeftButton);
  EXPECT_EQ(clicks, 1);
  QCheckBox* box = widget<QCheckBox>(kCheck);
  const QPoint onTheBox(8, box->height() / 2);
  QTest::mouseClick(box, Qt::LeftButton, {}, onTheBox);
  EXPECT_EQ(checks, 1);
  EXPECT_TRUE(d.Checked(kCheck));
  QTest::mouseClick(box, Qt::LeftButton, {}, onTheBox);
  EXPECT_FALSE(d.Checked(kCheck));
  EXPECT_FALSE(box->isChecked());
  QTest::mouseClick(view->control(kPicture), Qt::LeftButton, {}, QPoint(50, 50));
  EXPECT_EQ(pictures, 1);

  QComboBox* list = widget<QComboBox>(kList);
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Down);
  EXPECT_EQ(picks, 1);
  EXPECT_EQ(d.Selected(kList), 0);
  EXPECT_EQ(d.Text(kList), "NAND");
  QTest::keyClick(list, Qt::Key_Down);
  EXPECT_EQ(d.Text(kList), "NOR");

  QLineEdit* edit = widget<QLineEdit>(kEdit);
  edit->setFocus();
  QTest::keyClicks(edit, "SN0042");
  EXPECT_EQ(d.Text(kEdit), "SN0042");

  // Disabled in the model, nothing reaches a handler.
  d.SetEnabled(kButton, false);
  d.SetEnabled(kPicture, false);
  Apply();
  QTest::mouseClick(widget<QPushButton>(kButton), Qt::LeftButton);
  QTest::mouseClick(view->control(kPicture), Qt::LeftButton, {}, QPoint(50, 50));
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(pictures, 1);
  // A check box the model refuses to change shows the model's state again.
  d.SetEnabled(kCheck, false);
  widget<QCheckBox>(kCheck)->setEnabled(true);  // as if the window had not caught up yet
  widget<QCheckBox>(kCheck)->click();
  EXPECT_FALSE(widget<QCheckBox>(kCheck)->isChecked());
  EXPECT_FALSE(d.Checked(kCheck));
}

// A selection the station sets shows once; the operator's own selecting is not undone by later
// changes of the control, only by the station's next selection.
TEST_F(Views, AnEditShowsTheSelectionTheStationSets) {
  const std::string path = "/home/燒錄/packages/2026/install.img";
  d.SetText(kEdit, path);
  d.SelectText(kEdit, path.size(), 0);
  Apply();
  QLineEdit* edit = widget<QLineEdit>(kEdit);
  EXPECT_EQ(edit->selectedText(), QString::fromStdString(path));
  EXPECT_EQ(edit->cursorPosition(), 0) << "the caret at the selection's active end";

  edit->deselect();
  edit->setCursorPosition(5);
  d.SetEnabled(kEdit, true);
  d.SetReadOnly(kEdit, false);
  Apply();
  EXPECT_FALSE(edit->hasSelectedText());
  EXPECT_EQ(edit->cursorPosition(), 5);

  d.SelectText(kEdit, 6, path.size());
  Apply();
  EXPECT_EQ(edit->selectedText(), QString::fromStdString(path.substr(6)));
  EXPECT_EQ(edit->cursorPosition(), QString::fromStdString(path).size());
}

// A slot's failure square must stay readable while its button cannot be pressed.
TEST_F(Views, APictureButtonKeepsItsPictureWhenDisabled) {
  const int square = station::kPictureFailedBase + 7;
  d.SetPicture(kPicture, square);
  Apply();
  QWidget* button = view->control(kPicture);
  const QImage enabled = guitest::Grab(button);
  d.SetEnabled(kPicture, false);
  Apply();
  ASSERT_FALSE(button->isEnabled());
  const QImage disabled = guitest::Grab(button);
  EXPECT_EQ(disabled, enabled);
  EXPECT_EQ(disabled.convertToFormat(QImage::Format_RGB32), gui::StationPicture(square).convertToFormat(QImage::Format_RGB32));
  EXPECT_EQ(QColor(disabled.pixel(10, 10)), QColor(0xD3, 0x2F, 0x2F));
}

// A connected slot shows its selected picture while the operator holds the button down.
TEST_F(Views, APressedButtonShowsItsSelectedPicture) {
  gui::DialogView::Setup setup;
  setup.pressedPicture = [](int) { return station::kPictureConnectedSelected; };
  ui::Dialog slots(501, "slots");
  slots.Add(1, Kind::PictureButton);
  slots.SetRect(1, {0, 0, 100, 100});
  slots.SetPicture(1, station::kPictureConnected);
  slots.SetWindowRect({0, 0, 120, 120});
  gui::DialogView v(slots, setup);
  slots.Show(true);
  v.ApplyPending();
  auto* button = qobject_cast<gui::PictureButton*>(v.control(1));
  const QImage up = guitest::Grab(button);
  button->setDown(true);
  const QImage down = guitest::Grab(button);
  button->setDown(false);
  EXPECT_EQ(up, gui::StationPicture(station::kPictureConnected).convertToFormat(up.format()));
  EXPECT_EQ(down, gui::StationPicture(station::kPictureConnectedSelected).convertToFormat(down.format()));
}

// The log shows only what was added each time, however much there is; what it shows is the
// model's text with its lines ended the widget's way.
TEST_F(Views, TheLogGrowsAtItsEndOnlyAtMegabytes) {
  d.SetReadOnly(kLog, true);
  Apply();
  QTextDocument* doc = log()->document();
  int replaced = 0, changes = 0;
  QObject::connect(doc, &QTextDocument::contentsChange, [&](int position, int removed, int added) {
    ++changes;
    if (removed != 0 || position + added != doc->characterCount() - 1) ++replaced;
  });

  std::string line(96, 'x');
  line += "\r\n";
  constexpr int kLines = 45000;  // a little over 4 MiB
  std::atomic<bool> written{false};
  std::thread worker([&] {
    for (int i = 0; i < kLines; ++i) {
      d.AppendText(kLog, std::to_string(i % 10));
      d.AppendText(kLog, line);  // a line may come in parts
    }
    written = true;
  });
  EXPECT_TRUE(WaitFor([&] { return written && doc->blockCount() >= kLines + 1; }, 120000));
  worker.join();
  Apply();
  EXPECT_GT(changes, 0);
  EXPECT_EQ(replaced, 0) << "the log's earlier text was never touched";
  std::string expected = d.Text(kLog);
  std::erase(expected, '\r');
  EXPECT_GT(expected.size(), 4u << 20);
  EXPECT_EQ(log()->toPlainText().toStdString(), expected);
  EXPECT_EQ(log()->verticalScrollBar()->value(), log()->verticalScrollBar()->maximum()) << "the end stays in view";

  // Emptied ("clean log") it starts afresh.
  d.SetText(kLog, "");
  d.AppendText(kLog, "clear.\r\n");
  EXPECT_TRUE(WaitFor([&] { return log()->toPlainText() == "clear.\n"; }));
}

// A character whose bytes come in two appends shows once, whole.
TEST_F(Views, TheLogJoinsACharacterSplitBetweenAppends) {
  const std::string word = "\xE9\x97\x9C\xE6\x96\xBC";  // two ideographs, three bytes each
  d.AppendText(kLog, "a" + word.substr(0, 4));
  Apply();
  d.AppendText(kLog, word.substr(4) + "\r\n");
  Apply();
  EXPECT_EQ(log()->toPlainText(), QString::fromUtf8(("a" + word + "\n").c_str()));
}

// A hidden log is not drawn while hidden; shown, it holds everything.
TEST_F(Views, AHiddenLogCatchesUpWhenShown) {
  d.SetVisible(kLog, false);
  for (int i = 0; i < 100; ++i) d.AppendText(kLog, "line\r\n");
  Apply();
  EXPECT_TRUE(log()->toPlainText().isEmpty());
  d.SetVisible(kLog, true);
  Apply();
  EXPECT_EQ(log()->document()->blockCount(), 101);
}

TEST_F(Views, TimersRunOnTheWindowsThread) {
  std::atomic<int> fired{0};
  std::atomic<bool> elsewhere{false};
  QThread* window = QThread::currentThread();
  // Set from a worker, as a job or the binder might.
  std::thread([&] {
    d.SetTimer(7, 5, [&] {
      if (QThread::currentThread() != window) elsewhere = true;
      ++fired;
    });
  }).join();
  EXPECT_TRUE(WaitFor([&] { return fired >= 3; }));
  EXPECT_FALSE(elsewhere);
  EXPECT_EQ(view->RunningTimers(), std::set<int>{7});
  d.SetTimer(7, 40, [&] { ++fired; });
  Apply();
  EXPECT_EQ(view->RunningTimers(), std::set<int>{7});
  d.KillTimer(7);
  Apply();
  EXPECT_TRUE(view->RunningTimers().empty());
}

TEST_F(Views, TheWindowTakesTheModelsTitleStateAndPlace) {
  d.SetTitle("tamor usb mp tool");
  d.SetWindowRect({100, 80, 700, 420});
  Apply();
  EXPECT_EQ(view->windowTitle(), "tamor usb mp tool");
  EXPECT_EQ(view->geometry(), QRect(100, 80, 700, 420));

  std::vector<std::tuple<int, int, int>> sizes;
  d.OnSize([&](int type, int cx, int cy) { sizes.emplace_back(type, cx, cy); });
  d.SetShowState(ui::ShowState::Maximized);
  EXPECT_TRUE(WaitFor([&] { return view->isMaximized() && view->width() > 700; }));
  EXPECT_TRUE(WaitFor([&] { return !sizes.empty() && std::get<0>(sizes.back()) == 2; }));
  EXPECT_EQ(std::get<1>(sizes.back()), view->width());
  EXPECT_EQ(d.WindowRect().w, view->width()) << "the window's place goes back to the model";

  d.SetShowState(ui::ShowState::Hidden);
  EXPECT_TRUE(WaitFor([&] { return !view->isVisible(); }));
  d.SetShowState(ui::ShowState::Normal);
  EXPECT_TRUE(WaitFor([&] { return view->isVisible() && !view->isMaximized(); }));

  // The operator minimises the window: the model hears of it, and a later change of the
  // dialog does not undo it.
  sizes.clear();
  view->showMinimized();
  EXPECT_TRUE(WaitFor([&] { return d.GetShowState() == ui::ShowState::Minimized; }));
  EXPECT_TRUE(WaitFor([&] { return !sizes.empty() && std::get<0>(sizes.back()) == 1; }));
  d.SetTitle("changed while minimised");
  Apply();
  EXPECT_TRUE(view->isMinimized());
}

TEST_F(Views, ClosingHidesTheDialogOrIsReported) {
  view->close();
  Apply();
  EXPECT_FALSE(d.Shown()) << "a dialog that hides when closed";

  ui::Dialog main(502, "main");
  main.SetWindowRect({0, 0, 300, 200});
  gui::DialogView::Setup setup;
  setup.close = gui::DialogView::CloseAction::Report;
  gui::DialogView mainView(main, setup);
  main.Show(true);
  mainView.ApplyPending();
  int requests = 0;
  QObject::connect(&mainView, &gui::DialogView::closeRequested, [&] { ++requests; });
  mainView.close();
  EXPECT_EQ(requests, 1);
  EXPECT_TRUE(mainView.isVisible()) << "the owner decides";
  EXPECT_TRUE(main.Shown());
}

TEST_F(Views, TheWindowMenuSendsSystemCommands) {
  std::vector<unsigned> commands;
  d.OnSysCommand([&](unsigned id) { commands.push_back(id); });
  view->AddSystemCommand(16, "About", QKeySequence(Qt::Key_F1));
  view->activateWindow();
  QTest::keyClick(view.get(), Qt::Key_F1);
  EXPECT_EQ(commands, std::vector<unsigned>{16});
}

// A worker that changes a model while its view goes, and after, finds nothing to call.
TEST_F(Views, AModelOutlivesItsView) {
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    for (int i = 0; !stop; ++i) d.SetText(kLabel, std::to_string(i));
  });
  guitest::WaitFor([&] { return widget<QLabel>(kLabel)->text() != "Flash type"; });
  view.reset();
  for (int i = 0; i < 20; ++i) guitest::Settle();
  stop = true;
  worker.join();
  d.SetText(kLabel, "after");
  guitest::Settle();
  SUCCEED();
}

// The station's Chinese texts are drawn with glyphs of the font the setup installs.
TEST(Fonts, ChineseTextsUseTheInstalledFont) {
  const QString text = QString::fromUtf8("關於 燒錄");
  for (const QFont& font : {gui::DialogFont(), gui::ControlFont(station::kLargeFont), gui::ControlFont(station::kSmallFont)}) {
    QTextLayout layout(text, font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    QStringList families;
    for (const QGlyphRun& run : layout.glyphRuns())
      if (run.glyphIndexes().size() > 0) families << run.rawFont().familyName();
    ASSERT_FALSE(families.isEmpty());
    EXPECT_TRUE(families.join(",").contains("WenQuanYi")) << families.join(",").toStdString();
    for (const QGlyphRun& run : layout.glyphRuns())
      for (quint32 glyph : run.glyphIndexes()) EXPECT_NE(glyph, 0u) << "no missing-glyph boxes";
  }
}

// Every picture the station names exists at its size; the failure squares are red with their
// numbers in white, each one its own.
TEST(Pictures, EveryNamedPictureIsDrawn) {
  struct Case {
    int id;
    QSize size;
  };
  const Case cases[] = {{station::kPictureConnected, {100, 100}},
                        {station::kPictureConnectedSelected, {100, 100}},
                        {station::kPictureIdle, {100, 100}},
                        {station::kPictureRunning, {100, 100}},
                        {station::kPictureSingleDone, {105, 100}},
                        {station::kSplashFrameA, {200, 200}},
                        {station::kSplashFrameB, {200, 200}},
                        {gui::kIconPicture, {256, 256}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    const QImage img = gui::StationPicture(c.id);
    ASSERT_FALSE(img.isNull());
    EXPECT_EQ(img.size(), c.size);
    std::set<QRgb> colours;
    for (int y = 0; y < img.height(); y += 3)
      for (int x = 0; x < img.width(); x += 3) colours.insert(img.pixel(x, y));
    EXPECT_GT(colours.size(), 3u) << "a picture, not a plain field";
  }
  EXPECT_NE(gui::StationPicture(station::kPictureConnected), gui::StationPicture(station::kPictureConnectedSelected));
  EXPECT_TRUE(gui::StationPicture(station::kPictureFailedBase + 25).isNull());
  EXPECT_TRUE(gui::StationPicture(0).isNull());
  // A sheet of them all, to look at.
  QImage sheet(8 * 110, 5 * 110, QImage::Format_RGB32);
  sheet.fill(Qt::white);
  {
    QPainter p(&sheet);
    std::vector<int> ids = {station::kPictureConnected, station::kPictureConnectedSelected, station::kPictureIdle,
                            station::kPictureRunning, station::kPictureSingleDone, gui::kIconPicture};
    for (int code = 0; code <= 24; ++code) ids.push_back(station::kPictureFailedBase + code);
    for (size_t i = 0; i < ids.size(); ++i) {
      const QImage img = gui::StationPicture(ids[i]);
      p.drawImage(QRect(static_cast<int>(i % 8) * 110 + 5, static_cast<int>(i / 8) * 110 + 5, std::min(img.width(), 105), 100), img);
    }
  }
  guitest::SaveScreenshot(sheet, "pictures");
  // The splash frames are the splash window's own bitmaps.
  const station::BitmapPtr frame = station::LoadStationBitmap(station::kSplashFrameB);
  EXPECT_EQ(gui::StationPicture(station::kSplashFrameB).pixel(100, 40) & 0xFFFFFF, frame->Pixel(100, 40));
}

TEST(Pictures, FailureSquaresAreRedWithTheirNumber) {
  std::vector<QImage> inks;
  for (int code = 0; code <= 24; ++code) {
    SCOPED_TRACE(code);
    const QImage img = gui::StationPicture(station::kPictureFailedBase + code).convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(img.size(), QSize(100, 100));
    for (QPoint p : {QPoint(8, 8), QPoint(91, 8), QPoint(8, 91), QPoint(91, 91), QPoint(50, 8), QPoint(8, 50)})
      EXPECT_EQ(QColor(img.pixel(p)), QColor(0xD3, 0x2F, 0x2F)) << p.x() << "," << p.y();
    // The number: white ink in the middle of the square, none at its edges.
    QImage ink(100, 100, QImage::Format_Mono);
    ink.fill(0);
    int white = 0, left = 100, right = 0;
    for (int y = 0; y < 100; ++y)
      for (int x = 0; x < 100; ++x)
        if (qGray(img.pixel(x, y)) > 230) {
          ++white;
          ink.setPixel(x, y, 1);
          left = std::min(left, x);
          right = std::max(right, x);
          EXPECT_TRUE(x > 10 && x < 90 && y > 10 && y < 90) << x << "," << y;
        }
    EXPECT_GT(white, 150);
    EXPECT_NEAR((left + right) / 2.0, 50, 4) << "centred";
    if (code >= 10) {
      EXPECT_GT(right - left, 50) << "two digits";
    }
    for (const QImage& other : inks) EXPECT_NE(ink, other) << "each number its own";
    inks.push_back(ink);
  }
}

// The splash window is shaped like its frame and shows the model's frame.
TEST(BusyWindows, TheSplashShowsItsFrameInItsShape) {
  testenv::StationFixture fx;
  station::StationState& s = *fx.station;
  s.mainDlg.SetWindowRect({0, 0, 1600, 900});
  gui::SplashView view(s.splashDlg, s.splash);
  s.splash.Create();
  s.splash.ShowSplash();
  EXPECT_TRUE(WaitFor([&] { return view.isVisible() && !view.frame().isNull(); }));
  EXPECT_EQ(view.geometry(), QRect(700, 350, 200, 200)) << "centred over the main window";
  const QImage frame = gui::ToImage(*s.splash.FrameBitmap());
  EXPECT_EQ(view.frame(), frame);
  EXPECT_FALSE(view.shape().contains(QPoint(2, 2))) << "the key colour's corner is cut away";
  EXPECT_TRUE(view.shape().contains(QPoint(100, 100)));
  EXPECT_EQ(view.mask(), view.shape());
  const QImage shown = guitest::Grab(&view);
  EXPECT_EQ(shown.pixel(100, 40) & 0xFFFFFF, frame.pixel(100, 40) & 0xFFFFFF);

  // Each redraw of the model shows the other frame.
  const int before = s.splash.FrameBitmapId();
  s.splash.Redraw();
  EXPECT_TRUE(WaitFor([&] { return view.frame() == gui::ToImage(*s.splash.FrameBitmap()); }));
  EXPECT_NE(s.splash.FrameBitmapId(), before);

  // Saved with its shape: outside it, nothing.
  QImage shaped(shown.size(), QImage::Format_ARGB32);
  shaped.fill(Qt::transparent);
  {
    QPainter p(&shaped);
    p.setClipRegion(view.shape());
    p.drawImage(0, 0, guitest::Grab(&view));
  }
  guitest::SaveScreenshot(shaped, "splash");
  s.splash.HideSplash();
  EXPECT_TRUE(WaitFor([&] { return !view.isVisible(); }));
}

TEST(BusyWindows, TheProgressStripShowsTheBar) {
  testenv::StationFixture fx;
  station::StationState& s = *fx.station;
  gui::ProgressStripView view(s.progressDlg);
  s.progress.Create();
  s.progress.Place({0, 0, 1600, 900});
  s.progress.SetRange(250);
  s.progress.SetPos(125);
  s.progress.Show(true);
  EXPECT_TRUE(WaitFor([&] { return view.isVisible(); }));
  const QRect place(160, 450, station::kProgressStripWidth, station::kProgressStripHeight);
  EXPECT_TRUE(WaitFor([&] { return view.geometry() == place; }));
  auto* bar = qobject_cast<QProgressBar*>(view.control(station::kProgressBarId));
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->maximum(), 250);
  EXPECT_EQ(bar->value(), 125);
  EXPECT_TRUE(view.rect().contains(bar->geometry())) << "the bar lies within its strip";
  EXPECT_TRUE(view.windowFlags() & Qt::WindowStaysOnTopHint);
  s.progress.Destroy();
  EXPECT_TRUE(WaitFor([&] { return !view.isVisible(); }));
}

}  // namespace

// The Qt prompter: boxes and file dialogs asked by workers wait for the operator while the
// window goes on working, several at once; a stop or the shut-down ends a wait; asked on the
// window's thread, a box runs there at once.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gui/gui_support.h"
#include "gui/qt_prompter.h"
#include "platform/clock.h"
#include "support/test_env.h"

namespace {

using guitest::WaitFor;

TEST(NameFilters, FilterTextsBecomeQtFilters) {
  struct Case {
    const char* text;
    QStringList filters;
  };
  const Case cases[] = {
      {"binary file (*.bin)|*.bin|All files (*.*)|*.*||", {"binary file (*.bin)", "All files (*)"}},
      {"install image (*.img)|*.img||", {"install image (*.img)"}},
      {"workbook|*.xlsx;*.xls|", {"workbook (*.xlsx *.xls)"}},
      {"tar archive (*.tar)|*.tar||more|*.x|", {"tar archive (*.tar)"}},
      {"key bag|  *.bin ; *.BIN |", {"key bag (*.bin *.BIN)"}},
      {"anything|", {"anything (*)"}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(gui::NameFilters(c.text), c.filters) << c.text;
}

std::vector<QFileDialog*> OpenFileDialogs() {
  std::vector<QFileDialog*> out;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* f = qobject_cast<QFileDialog*>(w); f && f->isVisible()) out.push_back(f);
  return out;
}

TEST(Prompter, AWorkersBoxWaitsForTheOperatorWhileTheWindowWorks) {
  gui::QtPrompter prompter;
  std::atomic<int> answer{-1};
  std::thread worker([&] { answer = prompter.MessageBox("Please select flash type first!", "WARNING", ui::MB_OK | ui::MB_ICONWARNING); });
  QMessageBox* box = guitest::WaitForBoxes(1);
  ASSERT_NE(box, nullptr);
  const guitest::BoxSeen seen = guitest::Seen(box);
  EXPECT_EQ(seen.caption, "WARNING");
  EXPECT_EQ(seen.text, "Please select flash type first!");
  EXPECT_EQ(seen.icon, QMessageBox::Warning);
  EXPECT_FALSE(box->isModal()) << "the main window stays usable";

  // The window's loop keeps running while the worker waits.
  int ticks = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
  timer.start(5);
  EXPECT_TRUE(WaitFor([&] { return ticks >= 5; }));
  EXPECT_EQ(answer.load(), -1);
  EXPECT_EQ(prompter.Waiting(), 1);

  guitest::Answer(box, QMessageBox::Ok);
  worker.join();
  EXPECT_EQ(answer.load(), ui::IDOK);
  EXPECT_TRUE(WaitFor([] { return guitest::OpenBoxes().empty(); }));
}

TEST(Prompter, SeveralBoxesAtOnceEachGetTheirOwnAnswer) {
  struct Case {
    const char* text;
    const char* caption;
    unsigned flags;
    QMessageBox::StandardButton press;  // NoButton: closed with Escape
    int answer;
    QMessageBox::Icon icon;
  };
  const Case cases[] = {
      {"please remount usb device!", "WARNING", ui::MB_OK | ui::MB_ICONWARNING, QMessageBox::Ok, ui::IDOK, QMessageBox::Warning},
      {"please check usb device connection count! exceeded the number!", "ERROR", ui::MB_OK | ui::MB_ICONERROR,
       QMessageBox::Ok, ui::IDOK, QMessageBox::Critical},
      {"please check install.img already prepared!", "LOST", ui::MB_OK | ui::MB_ICONWARNING, QMessageBox::NoButton,
       ui::IDOK, QMessageBox::Warning},
      {"replace the key bag?", "WARNING", ui::MB_YESNO | ui::MB_ICONQUESTION, QMessageBox::No, ui::IDNO,
       QMessageBox::Question},
      {"keep the old one?", "WARNING", ui::MB_YESNO | ui::MB_ICONQUESTION, QMessageBox::Yes, ui::IDYES,
       QMessageBox::Question},
      {"go on with the next board?", "WARNING", ui::MB_OKCANCEL | ui::MB_ICONINFORMATION, QMessageBox::Cancel,
       ui::IDCANCEL, QMessageBox::Information},
      {"escape on ok or cancel", "WARNING", ui::MB_OKCANCEL, QMessageBox::NoButton, ui::IDCANCEL, QMessageBox::NoIcon},
  };
  const size_t n = std::size(cases);
  gui::QtPrompter prompter;
  std::vector<std::atomic<int>> answers(n);
  std::vector<std::thread> workers;
  for (size_t i = 0; i < n; ++i) {
    answers[i] = -1;
    workers.emplace_back([&, i] { answers[i] = prompter.MessageBox(cases[i].text, cases[i].caption, cases[i].flags); });
  }
  ASSERT_NE(guitest::WaitForBoxes(n), nullptr);
  std::map<std::string, QMessageBox*> byText;
  for (QMessageBox* b : guitest::OpenBoxes()) byText[b->text().toStdString()] = b;
  ASSERT_EQ(byText.size(), n);
  for (size_t k = n; k-- > 0;) {  // answered newest first
    const Case& c = cases[k];
    SCOPED_TRACE(c.text);
    QMessageBox* box = byText.at(c.text);
    EXPECT_EQ(guitest::Seen(box).caption, c.caption);
    EXPECT_EQ(box->icon(), c.icon);
    if (c.press == QMessageBox::NoButton)
      QTest::keyClick(box, Qt::Key_Escape);
    else
      guitest::Answer(box, c.press);
    EXPECT_TRUE(WaitFor([&] { return answers[k] != -1; }));
    for (size_t j = 0; j < k; ++j) EXPECT_EQ(answers[j], -1) << "the others still wait";
  }
  for (auto& w : workers) w.join();
  for (size_t i = 0; i < n; ++i) EXPECT_EQ(answers[i], cases[i].answer) << cases[i].text;
}

// A job that must give way is never left waiting for the operator.
TEST(Prompter, AStopEndsTheWaitUnanswered) {
  gui::QtPrompter prompter;
  std::atomic<int> box{-1};
  std::atomic<bool> fileDone{false};
  std::optional<std::string> file = "unset";
  std::jthread boxAsker([&](std::stop_token st) {
    plat::ScopedStopToken current(st);
    box = prompter.MessageBox("Create write deivce failed!,please reboot tool.", "WARNING", ui::MB_OK | ui::MB_ICONWARNING);
  });
  std::jthread fileAsker([&](std::stop_token st) {
    plat::ScopedStopToken current(st);
    file = prompter.OpenFile({"open", "", "", "binary file (*.bin)|*.bin||", true});
    fileDone = true;
  });
  EXPECT_TRUE(WaitFor([&] { return guitest::OpenBoxes().size() == 1 && OpenFileDialogs().size() == 1; }));
  boxAsker.request_stop();
  fileAsker.request_stop();
  EXPECT_TRUE(WaitFor([&] { return box != -1 && fileDone; }));
  EXPECT_EQ(box.load(), ui::IDCANCEL);
  EXPECT_EQ(file, std::nullopt);
  EXPECT_TRUE(WaitFor([&] { return guitest::OpenBoxes().empty() && OpenFileDialogs().empty(); })) << "they leave the screen";
}

// Shut-down answers every box, open or coming, without the operator.
TEST(Prompter, ClosingAnswersEveryBox) {
  gui::QtPrompter prompter;
  std::vector<std::atomic<int>> answers(3);
  std::vector<std::thread> workers;
  for (auto& a : answers) {
    a = -1;
    workers.emplace_back([&] { a = prompter.MessageBox("waiting", "WARNING", ui::MB_YESNO); });
  }
  EXPECT_TRUE(WaitFor([&] { return prompter.Waiting() == 3; }));
  prompter.Close();
  for (auto& w : workers) w.join();
  for (auto& a : answers) EXPECT_EQ(a, ui::IDCANCEL);
  EXPECT_EQ(prompter.MessageBox("after", "WARNING", ui::MB_OK), ui::IDCANCEL);
  std::thread late([&] { EXPECT_EQ(prompter.OpenFile({}), std::nullopt); });
  late.join();
  EXPECT_TRUE(WaitFor([] { return guitest::OpenBoxes().empty(); }));
}

TEST(Prompter, OnTheWindowsThreadTheBoxRunsAtOnce) {
  gui::QtPrompter prompter;
  int answer = -1;
  const guitest::BoxSeen seen = guitest::AnswerBoxDuring(
      [&] { answer = prompter.MessageBox("About\r\nsecond line", "About", ui::MB_YESNO | ui::MB_ICONINFORMATION); },
      QMessageBox::Yes);
  EXPECT_EQ(answer, ui::IDYES);
  EXPECT_EQ(seen.caption, "About");
  EXPECT_EQ(seen.text, "About\nsecond line");
  EXPECT_EQ(seen.icon, QMessageBox::Information);
}

TEST(Prompter, AWorkersFileDialogGivesTheChosenFile) {
  testenv::ScratchDir dir;
  testenv::WriteFile(dir / "install.bin", "x");
  testenv::WriteFile(dir / "notes.txt", "x");
  gui::QtPrompter prompter;
  const ui::FileDialogSpec spec{"open key bag", dir.str(), "bin", "binary file (*.bin)|*.bin|All files (*.*)|*.*||", true};
  for (bool choose : {true, false}) {
    SCOPED_TRACE(choose ? "chosen" : "cancelled");
    std::atomic<bool> done{false};
    std::optional<std::string> chosen;
    std::thread worker([&] {
      chosen = prompter.OpenFile(spec);
      done = true;
    });
    EXPECT_TRUE(WaitFor([] { return OpenFileDialogs().size() == 1; }));
    QFileDialog* dialog = OpenFileDialogs().front();
    EXPECT_EQ(dialog->windowTitle(), "open key bag");
    EXPECT_EQ(dialog->nameFilters(), (QStringList{"binary file (*.bin)", "All files (*)"}));
    EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(dialog->directory().absolutePath().toStdString(), dir.str());
    if (choose) {
      // The operator types the name and presses Enter.
      auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
      ASSERT_NE(name, nullptr);
      name->setFocus();
      name->clear();
      QTest::keyClicks(name, "install.bin");
      QTest::keyClick(name, Qt::Key_Return);
    } else {
      dialog->reject();
    }
    EXPECT_TRUE(WaitFor([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(chosen, choose ? std::optional<std::string>((dir / "install.bin").string()) : std::nullopt);
  }
}

}  // namespace

#include "gui/gui_support.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace guitest {

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > timeoutMs) return done();
    // The loop runs a short while between looks, handling whatever arrives meanwhile.
    QEventLoop loop;
    QTimer::singleShot(5, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

void Settle() {
  for (int i = 0; i < 5; ++i) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
}

std::vector<QMessageBox*> OpenBoxes() {
  std::vector<QMessageBox*> boxes;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) boxes.push_back(box);
  return boxes;
}

QMessageBox* WaitForBoxes(size_t n, int timeoutMs) {
  if (!WaitFor([&] { return OpenBoxes().size() >= n; }, timeoutMs)) return nullptr;
  return OpenBoxes().back();
}

void Answer(QMessageBox* box, QMessageBox::StandardButton button) {
  QAbstractButton* b = box->button(button);
  if (b) b->click();
}

BoxSeen Seen(const QMessageBox* box) {
  return {box->windowTitle().toStdString(), box->text().toStdString(), box->icon()};
}

BoxSeen AnswerBoxDuring(const std::function<void()>& action, QMessageBox::StandardButton button) {
  auto seen = std::make_shared<BoxSeen>();
  auto poll = std::make_shared<QTimer>();
  poll->setInterval(10);
  QObject::connect(poll.get(), &QTimer::timeout, [seen, poll, button] {
    const std::vector<QMessageBox*> boxes = OpenBoxes();
    if (boxes.empty()) return;
    *seen = Seen(boxes.back());
    poll->stop();
    Answer(boxes.back(), button);
  });
  poll->start();
  action();
  poll->stop();
  return *seen;
}

QImage Grab(QWidget* w) { return w->grab().toImage(); }

std::string SaveScreenshot(const QImage& image, const std::string& name) {
  const std::filesystem::path dir = std::filesystem::path(STATION_BINARY_DIR) / "screenshots";
  std::filesystem::create_directories(dir);
  const std::string path = (dir / (name + ".png")).string();
  image.save(QString::fromStdString(path), "PNG");
  return path;
}

std::string SaveScreenshot(QWidget* w, const std::string& name) { return SaveScreenshot(Grab(w), name); }

void Choose(QComboBox* box, const QString& text) {
  ASSERT_NE(box, nullptr);
  const int index = box->findText(text);
  ASSERT_GE(index, 0) << text.toStdString();
  box->showPopup();
  QAbstractItemView* view = box->view();
  ASSERT_TRUE(WaitFor([&] { return view->isVisible(); }));
  const QModelIndex item = view->model()->index(index, 0);
  view->scrollTo(item);
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(item).center());
  ASSERT_TRUE(WaitFor([&] { return !view->isVisible(); }));
  Settle();
}

QFileDialog* FileDialog() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* f = qobject_cast<QFileDialog*>(w); f && f->isVisible()) return f;
  return nullptr;
}

}  // namespace guitest

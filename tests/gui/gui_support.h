#pragma once
// What the window suites share: waiting for a condition while the window's loop runs, finding
// and answering the boxes on the screen, and saving screenshots under the build folder.
#include <QComboBox>
#include <QFileDialog>
#include <QImage>
#include <QMessageBox>
#include <QString>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

namespace guitest {

// Runs the window's loop until `done` holds or `timeoutMs` of real time have passed; whether it
// holds. A bound for a condition, never a wait of its own.
bool WaitFor(const std::function<bool()>& done, int timeoutMs = 20000);

// Runs the window's loop for what is queued now (the views' updates) and a little more.
void Settle();

// The message boxes and file dialogs on the screen now, oldest first.
std::vector<QMessageBox*> OpenBoxes();
// Waits for `n` boxes to be open; the newest, or nullptr.
QMessageBox* WaitForBoxes(size_t n = 1, int timeoutMs = 20000);
// Clicks the box's button for `button`.
void Answer(QMessageBox* box, QMessageBox::StandardButton button);

// What a box shows, as the suites compare it.
struct BoxSeen {
  std::string caption, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
};
BoxSeen Seen(const QMessageBox* box);

// Answers the next box that opens with `button` while `action` runs (on the window's thread,
// where a box runs its own loop); what it showed.
BoxSeen AnswerBoxDuring(const std::function<void()>& action, QMessageBox::StandardButton button);

// Chooses the list's entry `text` as the operator does: opens the list and clicks the entry.
void Choose(QComboBox* box, const QString& text);
// The file dialog on the screen now, or nullptr.
QFileDialog* FileDialog();

// The window as drawn, and the same saved as build/screenshots/<name>.png; the path.
QImage Grab(QWidget* w);
std::string SaveScreenshot(QWidget* w, const std::string& name);
std::string SaveScreenshot(const QImage& image, const std::string& name);

}  // namespace guitest

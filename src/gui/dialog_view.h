#pragma once
// A window that renders one control model (ui::Dialog): a widget per control at the control's
// rectangle, kept in step with the model, and the operator's clicks, list choices, typing,
// resizing and window moves fed back to it.
//
// The model may change on any thread. Its listener only notes which controls changed and
// queues one update to the window's thread, which reads the model and applies the changes; so
// a worker never touches a widget and never waits for the window. The listener keeps working
// safely after the view has gone (it then does nothing).
#include <QMargins>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/ui.h"

class QLineEdit;

namespace gui {

class ChangeRelay;
class LogEdit;

// The fonts of the station's controls: the dialog font for ControlState::font 0, otherwise a
// bold sans-serif font of Arial's widths whose cell height is the font number (22 large, 19
// small). Every family list ends with the font that has the station's Chinese glyphs.
QFont DialogFont();
QFont ControlFont(int font);

class DialogView : public QWidget {
  Q_OBJECT

 public:
  enum class CloseAction {
    Hide,    // closing the window hides the dialog (its model reads hidden)
    Report,  // closing is reported with closeRequested(); the window stays until told
  };

  struct Setup {
    // Edits shown as multi-line texts that grow at their end (logs); others are one line.
    std::set<int> multiLine;
    CloseAction close = CloseAction::Hide;
    // The picture a picture button shows while pressed (0: its own, pushed in a little).
    std::function<int(int id)> pressedPicture;
    // Room around the client area when the model's window rectangle is the outer one.
    QMargins frame;
  };

  DialogView(ui::Dialog& dialog, Setup setup, QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::Window);
  ~DialogView() override;

  ui::Dialog& dialog() const { return dialog_; }
  // The widget that shows control `id`; nullptr when the model has none.
  QWidget* control(int id) const;
  // Applies every change the model has announced so far, at once (the queued update does the
  // same a moment later).
  void ApplyPending();
  // An entry of the window's menu (right-click on the window, or `shortcut`), reported to the
  // model as the system command `command`.
  void AddSystemCommand(unsigned command, const QString& text, const QKeySequence& shortcut = {});
  // The model timers that run now, by id.
  std::set<int> RunningTimers() const;

 Q_SIGNALS:
  void closeRequested();

 protected:
  // The dialog's own fields: title, window place, show state and timers. Views that draw
  // more of the window's state add theirs.
  virtual void ApplyWindow();
  void closeEvent(QCloseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  friend class ChangeRelay;
  void Flush();
  void CreateControl(const ui::ControlState& c);
  void ApplyControl(int id);
  void ApplyLog(int id, LogEdit* log, bool visible);
  void ApplySelection(QLineEdit* edit, const ui::ControlState& c, const std::string& text);
  void ApplyTimers();
  void ReportPlace();
  void ReportSize();
  int SizeType() const;

  ui::Dialog& dialog_;
  Setup setup_;
  std::shared_ptr<ChangeRelay> relay_;
  int token_ = 0;
  std::map<int, QPointer<QWidget>> widgets_;
  std::map<int, QTimer*> timers_;
  std::map<unsigned, QString> commands_;
  // What the window last took from the model or told it, so that a change is applied once and
  // an operator's change is not undone by an older model value.
  std::string title_;
  ui::ShowState show_ = ui::ShowState::Hidden;
  ui::Rect place_;
  bool placed_ = false;
  bool applying_ = false;
};

}  // namespace gui

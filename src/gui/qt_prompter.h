#pragma once
// The prompter of the Qt front end: message boxes and open-file dialogs for the station's code
// on any thread. Asked on the window's thread, the box runs there at once, as a modal box.
// Asked on another thread, the box is put on the screen by the window's thread and the asking
// thread alone waits for the answer; the window goes on working, and several boxes may be open
// at once. The wait also ends, with IDCANCEL or no file, when the asking thread's wait token is
// asked to stop (a stop, or a job's board gone), or when the prompter is closed at shut-down.
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QDialog>
#include <QWidget>

#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "platform/ui.h"

namespace gui {

// The file dialog filters of a filter text made of description and pattern pairs, each part
// ended by '|' ("binary file (*.bin)|*.bin|All files (*.*)|*.*||"). A pattern list is separated
// by ';'; "*.*" means every file.
QStringList NameFilters(const std::string& filter);

class QtPrompter : public QObject, public ui::Prompter {
  Q_OBJECT

 public:
  // `owner`: the window the boxes belong to (may be none).
  explicit QtPrompter(QWidget* owner = nullptr);
  ~QtPrompter() override;

  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
  std::optional<std::string> OpenFile(const ui::FileDialogSpec& spec) override;

  void SetOwner(QWidget* owner) { owner_ = owner; }
  // From now on every box is answered at once as cancelled, and the boxes that are open are
  // answered so and closed (shut-down must not wait for the operator).
  void Close();
  bool Closed() const;
  // Threads other than the window's that wait for an answer now.
  int Waiting() const;

  struct Request;

 private:
  void Present(const std::shared_ptr<Request>& request);
  void Dismiss(const std::shared_ptr<Request>& request);
  template <class Answer>
  Answer Ask(std::shared_ptr<Request> request, Answer cancelled);

  QPointer<QWidget> owner_;
  mutable std::mutex m_;
  bool closed_ = false;
  std::set<std::shared_ptr<Request>> waiting_;
  int shownBoxes_ = 0;                   // the window's thread only
  std::vector<QPointer<QDialog>> modal_;  // boxes run on the window's thread, innermost last
};

}  // namespace gui

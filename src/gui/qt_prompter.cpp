#include "gui/qt_prompter.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>

#include <condition_variable>
#include <stop_token>

#include "platform/clock.h"

namespace gui {

namespace {

QString FromUtf8(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// The station's texts end their lines with "\r\n".
QString BoxText(const std::string& s) {
  QString t = FromUtf8(s);
  t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  return t;
}

bool OnWindowThread() { return QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread(); }

QMessageBox::Icon IconOf(unsigned flags) {
  switch (flags & 0xF0) {
    case ui::MB_ICONERROR: return QMessageBox::Critical;
    case ui::MB_ICONQUESTION: return QMessageBox::Question;
    case ui::MB_ICONWARNING: return QMessageBox::Warning;
    case ui::MB_ICONINFORMATION: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

QMessageBox::StandardButtons ButtonsOf(unsigned flags) {
  switch (flags & 0xF) {
    case ui::MB_OKCANCEL: return QMessageBox::Ok | QMessageBox::Cancel;
    case ui::MB_YESNO: return QMessageBox::Yes | QMessageBox::No;
    default: return QMessageBox::Ok;
  }
}

int AnswerOf(QMessageBox* box) {
  switch (box->standardButton(box->clickedButton())) {
    case QMessageBox::Ok: return ui::IDOK;
    case QMessageBox::Yes: return ui::IDYES;
    case QMessageBox::No: return ui::IDNO;
    default: return ui::IDCANCEL;
  }
}

// A box with OK alone that the operator closes has been answered OK.
int ClosedAnswer(unsigned flags) {
  switch (flags & 0xF) {
    case ui::MB_OKCANCEL: return ui::IDCANCEL;
    case ui::MB_YESNO: return ui::IDNO;
    default: return ui::IDOK;
  }
}

QMessageBox* MakeBox(const std::string& text, const std::string& caption, unsigned flags, QWidget* owner) {
  auto* box = new QMessageBox(IconOf(flags), FromUtf8(caption), BoxText(text), ButtonsOf(flags), owner);
  box->setTextFormat(Qt::PlainText);
  return box;
}

QFileDialog* MakeFileDialog(const ui::FileDialogSpec& spec, QWidget* owner) {
  auto* dialog = new QFileDialog(owner, FromUtf8(spec.title));
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setFileMode(spec.mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  const QStringList filters = NameFilters(spec.filter);
  if (!filters.isEmpty()) dialog->setNameFilters(filters);
  if (!spec.defaultExt.empty()) dialog->setDefaultSuffix(FromUtf8(spec.defaultExt));
  if (!spec.initialName.empty()) {
    const QFileInfo initial(FromUtf8(spec.initialName));
    if (initial.isDir()) {
      dialog->setDirectory(initial.absoluteFilePath());
    } else {
      if (initial.dir().exists()) dialog->setDirectory(initial.absolutePath());
      dialog->selectFile(initial.fileName());
    }
  }
  return dialog;
}

std::optional<std::string> ChosenFile(QFileDialog* dialog) {
  const QStringList files = dialog->selectedFiles();
  if (files.isEmpty()) return std::nullopt;
  return QFile::encodeName(files.first()).toStdString();
}

}  // namespace

QStringList NameFilters(const std::string& filter) {
  const QStringList parts = FromUtf8(filter).split(QLatin1Char('|'));
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString description = parts[i].trimmed();
    if (description.isEmpty()) break;  // "||" ends the list
    QStringList patterns;
    for (QString p : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
      p = p.trimmed();
      if (p == QLatin1String("*.*")) p = QStringLiteral("*");
      if (!p.isEmpty() && !patterns.contains(p)) patterns << p;
    }
    if (patterns.isEmpty()) patterns << QStringLiteral("*");
    // Qt takes the patterns from the description's last parentheses, so the description's own
    // ones (which may say "*.*") give way to the converted list.
    if (description.endsWith(QLatin1Char(')'))) {
      const qsizetype open = description.lastIndexOf(QLatin1Char('('));
      if (open >= 0) description = description.left(open).trimmed();
    }
    out << description + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
  }
  return out;
}

// One box or file dialog asked by a thread other than the window's.
struct QtPrompter::Request {
  enum Kind { Box, File } kind = Box;
  std::string text, caption;
  unsigned flags = 0;
  ui::FileDialogSpec spec;

  std::mutex m;
  std::condition_variable_any cv;
  bool done = false;
  int answer = ui::IDCANCEL;
  std::optional<std::string> file;
  QPointer<QDialog> dialog;  // the window's thread only

  void Finish(int a, std::optional<std::string> f) {
    {
      std::lock_guard g(m);
      if (done) return;
      done = true;
      answer = a;
      file = std::move(f);
    }
    cv.notify_all();
  }
};

QtPrompter::QtPrompter(QWidget* owner) : owner_(owner) {}

QtPrompter::~QtPrompter() { Close(); }

void QtPrompter::Close() {
  std::set<std::shared_ptr<Request>> waiting;
  {
    std::lock_guard g(m_);
    closed_ = true;
    waiting = waiting_;
  }
  for (const auto& r : waiting) {
    r->Finish(ui::IDCANCEL, std::nullopt);
    if (OnWindowThread()) Dismiss(r);
  }
  if (OnWindowThread())
    for (const QPointer<QDialog>& d : modal_)
      if (d) d->reject();
}

bool QtPrompter::Closed() const {
  std::lock_guard g(m_);
  return closed_;
}

int QtPrompter::Waiting() const {
  std::lock_guard g(m_);
  return static_cast<int>(waiting_.size());
}

int QtPrompter::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  if (Closed()) return ui::IDCANCEL;
  if (OnWindowThread()) {
    std::unique_ptr<QMessageBox> box(MakeBox(text, caption, flags, owner_));
    modal_.push_back(box.get());
    box->exec();
    modal_.pop_back();
    if (Closed()) return ui::IDCANCEL;
    return box->clickedButton() ? AnswerOf(box.get()) : ClosedAnswer(flags);
  }
  auto r = std::make_shared<Request>();
  r->kind = Request::Box;
  r->text = text;
  r->caption = caption;
  r->flags = flags;
  return Ask(r, int{ui::IDCANCEL});
}

std::optional<std::string> QtPrompter::OpenFile(const ui::FileDialogSpec& spec) {
  if (Closed()) return std::nullopt;
  if (OnWindowThread()) {
    std::unique_ptr<QFileDialog> dialog(MakeFileDialog(spec, owner_));
    modal_.push_back(dialog.get());
    const int result = dialog->exec();
    modal_.pop_back();
    if (result != QDialog::Accepted || Closed()) return std::nullopt;
    return ChosenFile(dialog.get());
  }
  auto r = std::make_shared<Request>();
  r->kind = Request::File;
  r->spec = spec;
  return Ask(r, std::optional<std::string>{});
}

template <class Answer>
Answer QtPrompter::Ask(std::shared_ptr<Request> r, Answer cancelled) {
  {
    std::lock_guard g(m_);
    if (closed_) return cancelled;
    waiting_.insert(r);
  }
  QMetaObject::invokeMethod(this, [this, r] { Present(r); }, Qt::QueuedConnection);
  const std::stop_token stop = plat::CurrentWaitToken();
  {
    std::unique_lock lock(r->m);
    r->cv.wait(lock, stop, [&] { return r->done; });
  }
  r->Finish(ui::IDCANCEL, std::nullopt);  // a stop ends the wait unanswered
  {
    std::lock_guard g(m_);
    waiting_.erase(r);
  }
  // A box still on the screen goes (when the operator answered it, it has gone already).
  QMetaObject::invokeMethod(this, [this, r] { Dismiss(r); }, Qt::QueuedConnection);
  std::lock_guard g(r->m);
  if constexpr (std::is_same_v<Answer, int>)
    return r->answer;
  else
    return r->file;
}

void QtPrompter::Present(const std::shared_ptr<Request>& r) {
  {
    std::lock_guard g(r->m);
    if (r->done) return;  // cancelled before it could be shown
  }
  QDialog* dialog = nullptr;
  if (r->kind == Request::Box) {
    QMessageBox* box = MakeBox(r->text, r->caption, r->flags, owner_);
    const unsigned flags = r->flags;
    std::weak_ptr<Request> weak = r;
    connect(box, &QDialog::finished, box, [box, flags, weak](int) {
      if (auto req = weak.lock()) req->Finish(box->clickedButton() ? AnswerOf(box) : ClosedAnswer(flags), std::nullopt);
    });
    dialog = box;
  } else {
    QFileDialog* files = MakeFileDialog(r->spec, owner_);
    std::weak_ptr<Request> weak = r;
    connect(files, &QDialog::finished, files, [files, weak](int result) {
      if (auto req = weak.lock())
        req->Finish(ui::IDOK, result == QDialog::Accepted ? ChosenFile(files) : std::nullopt);
    });
    dialog = files;
  }
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowModality(Qt::NonModal);
  std::weak_ptr<Request> weak = r;
  connect(dialog, &QObject::destroyed, this, [this, weak] {
    --shownBoxes_;
    if (auto req = weak.lock()) req->Finish(ui::IDCANCEL, std::nullopt);  // gone with its owner
  });
  r->dialog = dialog;
  dialog->show();
  // Boxes open at the same time are laid a little apart, so that each can be seen.
  if (shownBoxes_ > 0) dialog->move(dialog->pos() + QPoint(28, 28) * shownBoxes_);
  ++shownBoxes_;
}

void QtPrompter::Dismiss(const std::shared_ptr<Request>& r) {
  if (QDialog* dialog = r->dialog.data()) {
    r->dialog = nullptr;
    dialog->reject();
  }
}

}  // namespace gui

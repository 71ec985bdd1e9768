#include "gui/dialog_view.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QWindowStateChangeEvent>

#include <algorithm>
#include <cmath>
#include <mutex>

#include "gui/pictures.h"
#include "gui/picture_button.h"

namespace gui {

// The model's listener: notes the changed ids and queues one update to the view's thread.
// The view detaches it when it goes; a worker that calls it afterwards finds no view.
class ChangeRelay {
 public:
  explicit ChangeRelay(DialogView* view) : view_(view) {}

  void Changed(int id) {
    std::lock_guard g(m_);
    if (!view_) return;
    dirty_.insert(id);
    if (scheduled_) return;
    scheduled_ = true;
    DialogView* view = view_;
    QMetaObject::invokeMethod(view, [view] { view->Flush(); }, Qt::QueuedConnection);
  }

  std::set<int> Take() {
    std::lock_guard g(m_);
    scheduled_ = false;
    std::set<int> ids;
    ids.swap(dirty_);
    return ids;
  }

  void Detach() {
    std::lock_guard g(m_);
    view_ = nullptr;
  }

 private:
  std::mutex m_;
  DialogView* view_;
  std::set<int> dirty_;
  bool scheduled_ = false;
};

// A log: a multi-line edit that shows the model's text as it grows, adding only the new part.
class LogEdit : public QPlainTextEdit {
 public:
  explicit LogEdit(QWidget* parent) : QPlainTextEdit(parent) {
    setUndoRedoEnabled(false);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
  }
  uint64_t revision = 0;  // the model text's revision shown
  size_t shown = 0;       // bytes of the model text shown
  bool applying = false;
};

namespace {

// The dialogs were laid out for a small dialog font of Arial's widths.
constexpr int kDialogFontPixels = 12;
const char* const kFontProperty = "stationFont";
const char* const kSelectionProperty = "stationSelection";

QString FromUtf8(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

QStringList ToStrings(const std::vector<std::string>& items) {
  QStringList out;
  out.reserve(static_cast<qsizetype>(items.size()));
  for (const std::string& s : items) out << FromUtf8(s);
  return out;
}

// The station's texts end their lines with "\r\n"; the widgets with "\n".
QString LogText(std::string_view bytes) {
  std::string s;
  s.reserve(bytes.size());
  for (char ch : bytes)
    if (ch != '\r') s.push_back(ch);
  return FromUtf8(s);
}

// The length of `text` without a UTF-8 sequence cut short at its end (the rest of it comes with
// the next part of a growing text).
size_t WholeCharacters(std::string_view text) {
  const size_t n = text.size();
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    const unsigned char c = static_cast<unsigned char>(text[n - back]);
    if ((c & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return need > back ? n - back : n;
  }
  return n;
}

QPixmap PixmapFor(int picture) {
  static std::map<int, QPixmap> cache;  // the window's thread only
  if (picture == 0) return {};
  auto it = cache.find(picture);
  if (it == cache.end()) it = cache.emplace(picture, QPixmap::fromImage(StationPicture(picture))).first;
  return it->second;
}

ui::ShowState ShowStateOf(Qt::WindowStates s, bool visible) {
  if (!visible) return ui::ShowState::Hidden;
  if (s & Qt::WindowMinimized) return ui::ShowState::Minimized;
  if (s & (Qt::WindowMaximized | Qt::WindowFullScreen)) return ui::ShowState::Maximized;
  return ui::ShowState::Normal;
}

}  // namespace

QFont DialogFont() {
  QFont f;
  f.setFamilies({"Liberation Sans", "Arial", "DejaVu Sans", "WenQuanYi Micro Hei"});
  f.setPixelSize(kDialogFontPixels);
  return f;
}

QFont ControlFont(int font) {
  if (font <= 0) return DialogFont();
  QFont f;
  f.setFamilies({"Arial", "Liberation Sans", "DejaVu Sans", "WenQuanYi Micro Hei"});  // Liberation: Arial's widths
  f.setBold(true);
  // The number is the cell height, ascent and descent together; Qt sizes the em.
  f.setPixelSize(std::max(6, static_cast<int>(std::lround(font * 0.86))));
  return f;
}

DialogView::DialogView(ui::Dialog& dialog, Setup setup, QWidget* parent, Qt::WindowFlags flags)
    : QWidget(parent, flags), dialog_(dialog), setup_(std::move(setup)), relay_(std::make_shared<ChangeRelay>(this)) {
  setFont(DialogFont());
  // Listen first, then read: a change made meanwhile is applied once more, never lost.
  std::weak_ptr<ChangeRelay> relay = relay_;
  token_ = dialog_.Subscribe([relay](int id) {
    if (auto r = relay.lock()) r->Changed(id);
  });
  for (int id : dialog_.Ids())
    if (auto c = dialog_.SnapshotWithoutText(id)) CreateControl(*c);
  for (int id : dialog_.Ids()) ApplyControl(id);
  ApplyWindow();
}

DialogView::~DialogView() {
  dialog_.Unsubscribe(token_);
  relay_->Detach();
  // The timers' handlers belong to the model's owner; they stop with the window.
  for (auto& [id, t] : timers_) t->stop();
}

QWidget* DialogView::control(int id) const {
  auto it = widgets_.find(id);
  return it == widgets_.end() ? nullptr : it->second.data();
}

void DialogView::ApplyPending() { Flush(); }

void DialogView::Flush() {
  std::set<int> ids = relay_->Take();
  const bool window = ids.erase(0) > 0;
  for (int id : ids) ApplyControl(id);
  if (window) ApplyWindow();
}

void DialogView::AddSystemCommand(unsigned command, const QString& text, const QKeySequence& shortcut) {
  commands_[command] = text;
  if (!shortcut.isEmpty()) {
    auto* action = new QAction(text, this);
    action->setShortcut(shortcut);
    action->setShortcutContext(Qt::WindowShortcut);
    connect(action, &QAction::triggered, this, [this, command] { dialog_.SysCommand(command); });
    addAction(action);
  }
}

std::set<int> DialogView::RunningTimers() const {
  std::set<int> ids;
  for (auto& [id, t] : timers_)
    if (t->isActive()) ids.insert(id);
  return ids;
}

void DialogView::CreateControl(const ui::ControlState& c) {
  const int id = c.id;
  QWidget* w = nullptr;
  switch (c.kind) {
    case ui::Kind::Edit:
      if (setup_.multiLine.count(id)) {
        auto* log = new LogEdit(this);
        connect(log, &QPlainTextEdit::textChanged, this, [this, id, log] {
          if (log->applying || log->isReadOnly()) return;
          std::string text = log->toPlainText().toStdString();
          std::string crlf;
          for (char ch : text) {
            if (ch == '\n') crlf.push_back('\r');
            crlf.push_back(ch);
          }
          dialog_.SetText(id, crlf);
          const ui::TextTail t = dialog_.TextSince(id, 0, 0);
          log->revision = t.revision;
          log->shown = t.size;
        });
        w = log;
      } else {
        auto* edit = new QLineEdit(this);
        connect(edit, &QLineEdit::textEdited, this, [this, id](const QString& text) { dialog_.SetText(id, text.toStdString()); });
        w = edit;
      }
      break;
    case ui::Kind::CheckBox: {
      auto* box = new QCheckBox(this);
      connect(box, &QCheckBox::clicked, this, [this, id] {
        dialog_.Click(id);
        ApplyControl(id);
      });
      w = box;
      break;
    }
    case ui::Kind::Button: {
      auto* button = new QPushButton(this);
      button->setAutoDefault(false);
      connect(button, &QPushButton::clicked, this, [this, id] { dialog_.Click(id); });
      w = button;
      break;
    }
    case ui::Kind::List: {
      auto* list = new QComboBox(this);
      list->setEditable(false);
      connect(list, &QComboBox::activated, this, [this, id](int index) {
        dialog_.SelectByUser(id, index);
        ApplyControl(id);
      });
      w = list;
      break;
    }
    case ui::Kind::Label: {
      auto* label = new QLabel(this);
      label->setTextFormat(Qt::PlainText);
      label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
      w = label;
      break;
    }
    case ui::Kind::PictureButton: {
      auto* button = new PictureButton(this);
      connect(button, &PictureButton::clicked, this, [this, id] { dialog_.Click(id); });
      w = button;
      break;
    }
    case ui::Kind::ProgressBar: {
      auto* bar = new QProgressBar(this);
      bar->setTextVisible(false);
      w = bar;
      break;
    }
    case ui::Kind::Group:
      w = new QGroupBox(this);
      break;
    case ui::Kind::ListView:
      w = new QListWidget(this);
      break;
  }
  w->setObjectName(QString::number(id));
  widgets_[id] = w;
  if (c.kind == ui::Kind::Group) w->lower();  // frames lie under what they frame
}

void DialogView::ApplyControl(int id) {
  const std::optional<ui::ControlState> snapshot = dialog_.SnapshotWithoutText(id);
  if (!snapshot) return;
  const ui::ControlState& c = *snapshot;
  QWidget* w = control(id);
  if (!w) {
    CreateControl(c);
    w = control(id);
  }
  // Only a log reads its text in parts; every other control's text is short.
  auto text = [&] { return FromUtf8(dialog_.Text(id)); };

  switch (c.kind) {
    case ui::Kind::Edit:
      if (auto* log = dynamic_cast<LogEdit*>(w)) {
        log->setReadOnly(c.readOnly);
        ApplyLog(id, log, c.visible);
      } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        const std::string bytes = dialog_.Text(id);
        const QString t = FromUtf8(bytes);
        if (edit->text() != t) edit->setText(t);
        ApplySelection(edit, c, bytes);
        edit->setReadOnly(c.readOnly);
        const int limit = c.textLimit == 0 || c.textLimit > 32767 ? 32767 : static_cast<int>(c.textLimit);
        if (edit->maxLength() != limit) edit->setMaxLength(limit);
      }
      break;
    case ui::Kind::CheckBox: {
      auto* box = static_cast<QCheckBox*>(w);
      const QString t = text();
      if (box->text() != t) box->setText(t);
      if (box->isChecked() != c.checked) {
        QSignalBlocker block(box);
        box->setChecked(c.checked);
      }
      break;
    }
    case ui::Kind::Button: {
      auto* button = static_cast<QPushButton*>(w);
      const QString t = text();
      if (button->text() != t) button->setText(t);
      break;
    }
    case ui::Kind::List: {
      auto* list = static_cast<QComboBox*>(w);
      QSignalBlocker block(list);
      const QStringList items = ToStrings(c.items);
      QStringList shown;
      for (int i = 0; i < list->count(); ++i) shown << list->itemText(i);
      if (shown != items) {
        list->clear();
        list->addItems(items);
      }
      // The list shows its text: the selected entry, an entry of the same text, or the text
      // alone when no entry has it.
      const QString t = text();
      int index = c.selected;
      if (index < 0 || index >= items.size() || items[index] != t) index = static_cast<int>(items.indexOf(t));
      if (t.isEmpty()) index = -1;
      list->setPlaceholderText(index < 0 ? t : QString());
      if (list->currentIndex() != index) list->setCurrentIndex(index);
      break;
    }
    case ui::Kind::Label: {
      auto* label = static_cast<QLabel*>(w);
      const QString t = text();
      if (label->text() != t) label->setText(t);
      break;
    }
    case ui::Kind::PictureButton: {
      auto* button = static_cast<PictureButton*>(w);
      const int pressed = setup_.pressedPicture ? setup_.pressedPicture(id) : 0;
      button->SetPictures(PixmapFor(c.picture), pressed && pressed != c.picture ? PixmapFor(pressed) : QPixmap());
      break;
    }
    case ui::Kind::ProgressBar: {
      auto* bar = static_cast<QProgressBar*>(w);
      const int lo = c.rangeMin, hi = std::max(c.rangeMin, c.rangeMax);
      if (bar->minimum() != lo || bar->maximum() != hi) bar->setRange(lo, hi);
      const int pos = std::clamp(c.pos, lo, hi);
      if (bar->value() != pos) bar->setValue(pos);
      break;
    }
    case ui::Kind::Group: {
      auto* group = static_cast<QGroupBox*>(w);
      const QString t = text();
      if (group->title() != t) group->setTitle(t);
      break;
    }
    case ui::Kind::ListView: {
      auto* view = static_cast<QListWidget*>(w);
      const QStringList items = ToStrings(c.items);
      QStringList shown;
      for (int i = 0; i < view->count(); ++i) shown << view->item(i)->text();
      if (shown != items) {
        view->clear();
        view->addItems(items);
      }
      view->setCurrentRow(c.selected);
      break;
    }
  }

  if (w->property(kFontProperty).toInt() != c.font || !w->property(kFontProperty).isValid()) {
    w->setProperty(kFontProperty, c.font);
    w->setFont(c.font ? ControlFont(c.font) : QFont());
  }
  QRect r(c.rect.x + setup_.frame.left(), c.rect.y + setup_.frame.top(), c.rect.w, c.rect.h);
  if (c.kind == ui::Kind::List) {
    // A list's rectangle reaches down over its drop-down entries; the field keeps its height.
    r.setHeight(std::min(r.height(), w->sizeHint().height() + 8));
  }
  if (w->geometry() != r) w->setGeometry(r);
  if (w->isEnabled() != c.enabled) w->setEnabled(c.enabled);
  if (w->isVisibleTo(this) != c.visible) w->setVisible(c.visible);
}

// A selection the station set is applied once; the operator's own selecting is left alone
// until the station sets another.
void DialogView::ApplySelection(QLineEdit* edit, const ui::ControlState& c, const std::string& text) {
  const QVariant applied = edit->property(kSelectionProperty);
  if (c.selectionRevision == 0 || (applied.isValid() && applied.toULongLong() == c.selectionRevision)) return;
  edit->setProperty(kSelectionProperty, QVariant::fromValue<qulonglong>(c.selectionRevision));
  auto chars = [&](size_t bytes) { return static_cast<int>(FromUtf8(text.substr(0, std::min(bytes, text.size()))).size()); };
  const int anchor = chars(c.selectionAnchor), caret = chars(c.selectionCaret);
  // The caret ends at the selection's active end, and the edit scrolls it into view.
  edit->setSelection(anchor, caret - anchor);
}

void DialogView::ApplyLog(int id, LogEdit* log, bool visible) {
  if (!visible) return;  // a hidden log catches up from where it stopped when it is shown
  const ui::TextTail t = dialog_.TextSince(id, log->revision, log->shown);
  log->applying = true;
  QScrollBar* bar = log->verticalScrollBar();
  const bool atEnd = bar->value() == bar->maximum();
  if (t.whole) {
    const size_t whole = WholeCharacters(t.text);
    log->setPlainText(LogText(std::string_view(t.text).substr(0, whole)));
    log->revision = t.revision;
    log->shown = whole;
  } else if (!t.text.empty()) {
    const size_t whole = WholeCharacters(t.text);
    if (whole > 0) {
      QTextCursor cursor(log->document());
      cursor.movePosition(QTextCursor::End);
      cursor.insertText(LogText(std::string_view(t.text).substr(0, whole)));
    }
    log->shown += whole;
  }
  if (atEnd) bar->setValue(bar->maximum());
  log->applying = false;
}

void DialogView::ApplyWindow() {
  const std::string title = dialog_.Title();
  if (title != title_) {
    title_ = title;
    setWindowTitle(FromUtf8(title));
  }
  const ui::Rect r = dialog_.WindowRect();
  if ((!placed_ || !(r == place_)) && r.w > 0 && r.h > 0) {
    place_ = r;
    placed_ = true;
    if (!(windowState() & (Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen)))
      setGeometry(r.x, r.y, r.w, r.h);
  }
  const ui::ShowState state = dialog_.GetShowState();
  if (state != show_) {
    show_ = state;
    switch (state) {
      case ui::ShowState::Hidden: hide(); break;
      case ui::ShowState::Normal: showNormal(); break;
      case ui::ShowState::Minimized: showMinimized(); break;
      case ui::ShowState::Maximized: showMaximized(); break;
    }
  }
  ApplyTimers();
}

void DialogView::ApplyTimers() {
  std::set<int> set;
  for (const ui::Dialog::Timer& t : dialog_.Timers()) {
    set.insert(t.id);
    QTimer*& timer = timers_[t.id];
    if (!timer) {
      timer = new QTimer(this);
      const int id = t.id;
      connect(timer, &QTimer::timeout, this, [this, id] { dialog_.FireTimer(id); });
    }
    const int period = std::max(1, t.periodMs);
    if (!timer->isActive() || timer->interval() != period) timer->start(period);
  }
  for (auto it = timers_.begin(); it != timers_.end();) {
    if (set.count(it->first)) {
      ++it;
      continue;
    }
    it->second->stop();
    it->second->deleteLater();
    it = timers_.erase(it);
  }
}

void DialogView::closeEvent(QCloseEvent* event) {
  if (setup_.close == CloseAction::Report) {
    event->ignore();
    Q_EMIT closeRequested();
    return;
  }
  event->accept();
  show_ = ui::ShowState::Hidden;
  dialog_.Show(false);
}

int DialogView::SizeType() const {
  if (windowState() & Qt::WindowMinimized) return 1;
  if (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)) return 2;
  return 0;
}

void DialogView::ReportPlace() {
  if (!isWindow() || (windowState() & Qt::WindowMinimized)) return;
  const QRect g = geometry();
  const ui::Rect r{g.x(), g.y(), g.width(), g.height()};
  if (placed_ && r == place_) return;
  place_ = r;
  placed_ = true;
  dialog_.SetWindowRect(r);
}

void DialogView::ReportSize() {
  if (!isWindow() || show_ == ui::ShowState::Hidden) return;
  dialog_.Resized(SizeType(), width(), height());
}

void DialogView::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  ReportPlace();
}

void DialogView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  ReportPlace();
  ReportSize();
}

void DialogView::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || !isWindow()) return;
  const ui::ShowState now = ShowStateOf(windowState(), isVisible() || show_ != ui::ShowState::Hidden);
  if (now != show_ && show_ != ui::ShowState::Hidden) {
    show_ = now;
    dialog_.SetShowState(now);
  }
  const auto* change = static_cast<QWindowStateChangeEvent*>(event);
  // Minimising and restoring from it change no size, so they are told here.
  if ((windowState() ^ change->oldState()) & Qt::WindowMinimized) ReportSize();
}

void DialogView::contextMenuEvent(QContextMenuEvent* event) {
  if (commands_.empty()) {
    QWidget::contextMenuEvent(event);
    return;
  }
  QMenu menu(this);
  for (auto& [command, text] : commands_) {
    const unsigned id = command;
    menu.addAction(text, this, [this, id] { dialog_.SysCommand(id); });
  }
  menu.exec(event->globalPos());
}

}  // namespace gui

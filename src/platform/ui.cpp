#include "platform/ui.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>

namespace ui {

Dialog::Dialog(int id, std::string title) : id_(id), title_(std::move(title)) {}

template <class F>
void Dialog::Change(int id, F&& f) {
  {
    std::lock_guard lock(m_);
    auto it = controls_.find(id);
    if (it == controls_.end()) return;
    f(it->second);
  }
  Notify(id);
}

template <class R, class F>
R Dialog::Read(int id, R fallback, F&& f) const {
  std::lock_guard lock(m_);
  auto it = controls_.find(id);
  if (it == controls_.end()) return fallback;
  return f(it->second);
}

void Dialog::Notify(int id) {
  std::vector<Listener> copy;
  {
    std::lock_guard lock(m_);
    for (auto& [token, l] : listeners_) copy.push_back(l);
  }
  for (auto& l : copy) l(id);
}

void Dialog::Add(int id, Kind kind, std::string text, bool visible) {
  {
    std::lock_guard lock(m_);
    ControlState c;
    c.id = id;
    c.kind = kind;
    c.text = std::move(text);
    c.visible = visible;
    controls_[id] = std::move(c);
  }
  Notify(id);
}

bool Dialog::Has(int id) const {
  std::lock_guard lock(m_);
  return controls_.count(id) != 0;
}

std::vector<int> Dialog::Ids() const {
  std::lock_guard lock(m_);
  std::vector<int> ids;
  for (auto& [id, c] : controls_) ids.push_back(id);
  return ids;
}

std::optional<ControlState> Dialog::Snapshot(int id) const {
  return Read(id, std::optional<ControlState>{}, [](const ControlState& c) { return std::optional(c); });
}

std::optional<ControlState> Dialog::SnapshotWithoutText(int id) const {
  return Read(id, std::optional<ControlState>{}, [](const ControlState& c) {
    ControlState copy;
    copy.id = c.id;
    copy.kind = c.kind;
    copy.checked = c.checked;
    copy.enabled = c.enabled;
    copy.visible = c.visible;
    copy.items = c.items;
    copy.selected = c.selected;
    copy.picture = c.picture;
    copy.rangeMin = c.rangeMin;
    copy.rangeMax = c.rangeMax;
    copy.pos = c.pos;
    copy.rect = c.rect;
    copy.font = c.font;
    copy.textLimit = c.textLimit;
    copy.readOnly = c.readOnly;
    copy.textRevision = c.textRevision;
    copy.selectionAnchor = c.selectionAnchor;
    copy.selectionCaret = c.selectionCaret;
    copy.selectionRevision = c.selectionRevision;
    return std::optional(std::move(copy));
  });
}

TextTail Dialog::TextSince(int id, uint64_t revision, size_t from) const {
  return Read(id, TextTail{}, [&](const ControlState& c) {
    TextTail t;
    t.revision = c.textRevision;
    t.size = c.text.size();
    if (c.textRevision == revision && from <= c.text.size()) {
      t.text = c.text.substr(from);
    } else {
      t.whole = true;
      t.text = c.text;
    }
    return t;
  });
}

std::string Dialog::Text(int id) const {
  return Read(id, std::string{}, [](const ControlState& c) { return c.text; });
}

void Dialog::SetText(int id, std::string text) {
  Change(id, [&](ControlState& c) {
    c.text = std::move(text);
    if (c.textLimit && c.text.size() > c.textLimit) c.text.resize(c.textLimit);
    ++c.textRevision;
    c.selectionAnchor = c.selectionCaret = 0;
  });
}

void Dialog::SelectText(int id, size_t anchor, size_t caret) {
  Change(id, [&](ControlState& c) {
    c.selectionAnchor = std::min(anchor, c.text.size());
    c.selectionCaret = std::min(caret, c.text.size());
    ++c.selectionRevision;
  });
}

void Dialog::AppendText(int id, std::string_view text) {
  Change(id, [&](ControlState& c) {
    if (c.textLimit && c.text.size() + text.size() > c.textLimit) {
      size_t room = c.textLimit > c.text.size() ? c.textLimit - c.text.size() : 0;
      c.text.append(text.substr(0, room));
    } else {
      c.text.append(text);
    }
  });
}

bool Dialog::Checked(int id) const {
  return Read(id, false, [](const ControlState& c) { return c.checked; });
}
void Dialog::SetChecked(int id, bool on) {
  Change(id, [&](ControlState& c) { c.checked = on; });
}
bool Dialog::Enabled(int id) const {
  return Read(id, false, [](const ControlState& c) { return c.enabled; });
}
void Dialog::SetEnabled(int id, bool on) {
  Change(id, [&](ControlState& c) { c.enabled = on; });
}
bool Dialog::Visible(int id) const {
  return Read(id, false, [](const ControlState& c) { return c.visible; });
}
void Dialog::SetVisible(int id, bool on) {
  Change(id, [&](ControlState& c) { c.visible = on; });
}

std::vector<std::string> Dialog::Items(int id) const {
  return Read(id, std::vector<std::string>{}, [](const ControlState& c) { return c.items; });
}
void Dialog::AddItem(int id, std::string item) {
  Change(id, [&](ControlState& c) { c.items.push_back(std::move(item)); });
}
void Dialog::ClearItems(int id) {
  Change(id, [&](ControlState& c) {
    c.items.clear();
    c.selected = -1;
  });
}
int Dialog::Selected(int id) const {
  return Read(id, -1, [](const ControlState& c) { return c.selected; });
}
void Dialog::SetSelected(int id, int index) {
  Change(id, [&](ControlState& c) {
    if (index < 0 || index >= static_cast<int>(c.items.size())) {
      c.selected = -1;
      return;
    }
    c.selected = index;
    c.text = c.items[index];
    ++c.textRevision;
  });
}
int Dialog::SelectString(int id, std::string_view text) {
  int found = -1;
  Change(id, [&](ControlState& c) {
    for (size_t i = 0; i < c.items.size(); ++i) {
      if (c.items[i] == text) {
        found = static_cast<int>(i);
        c.selected = found;
        c.text = c.items[i];
        ++c.textRevision;
        return;
      }
    }
  });
  return found;
}

int Dialog::Picture(int id) const {
  return Read(id, 0, [](const ControlState& c) { return c.picture; });
}
void Dialog::SetPicture(int id, int picture) {
  Change(id, [&](ControlState& c) { c.picture = picture; });
}

void Dialog::SetRange(int id, int lo, int hi) {
  Change(id, [&](ControlState& c) {
    c.rangeMin = lo;
    c.rangeMax = hi;
  });
}
void Dialog::SetPos(int id, int pos) {
  Change(id, [&](ControlState& c) { c.pos = pos; });
}
int Dialog::Pos(int id) const {
  return Read(id, 0, [](const ControlState& c) { return c.pos; });
}

void Dialog::SetRect(int id, Rect r) {
  Change(id, [&](ControlState& c) { c.rect = r; });
}
Rect Dialog::GetRect(int id) const {
  return Read(id, Rect{}, [](const ControlState& c) { return c.rect; });
}
void Dialog::SetFont(int id, int font) {
  Change(id, [&](ControlState& c) { c.font = font; });
}
void Dialog::SetTextLimit(int id, size_t limit) {
  Change(id, [&](ControlState& c) { c.textLimit = limit; });
}
void Dialog::SetReadOnly(int id, bool on) {
  Change(id, [&](ControlState& c) { c.readOnly = on; });
}

// The dialog's own fields (title, shown, window place) are read and set under its lock; a
// change is announced as a change of the dialog (id 0).
namespace {
template <class T>
T ReadLocked(std::mutex& m, const T& field) {
  std::lock_guard lock(m);
  return field;
}
template <class T>
void SetLocked(std::mutex& m, T& field, T value) {
  std::lock_guard lock(m);
  field = std::move(value);
}
}  // namespace

std::string Dialog::Title() const { return ReadLocked(m_, title_); }
void Dialog::SetTitle(std::string title) {
  SetLocked(m_, title_, std::move(title));
  Notify(0);
}
bool Dialog::Shown() const { return ReadLocked(m_, show_) != ShowState::Hidden; }
void Dialog::Show(bool on) { SetShowState(on ? ShowState::Normal : ShowState::Hidden); }
ShowState Dialog::GetShowState() const { return ReadLocked(m_, show_); }
void Dialog::SetShowState(ShowState state) {
  SetLocked(m_, show_, state);
  Notify(0);
}
Rect Dialog::WindowRect() const { return ReadLocked(m_, windowRect_); }
void Dialog::SetWindowRect(Rect r) {
  SetLocked(m_, windowRect_, r);
  Notify(0);
}

int Dialog::Subscribe(Listener listener) {
  std::lock_guard lock(m_);
  int token = nextToken_++;
  listeners_[token] = std::move(listener);
  return token;
}
void Dialog::Unsubscribe(int token) {
  std::lock_guard lock(m_);
  listeners_.erase(token);
}

void Dialog::OnClick(int id, Handler handler) {
  std::lock_guard lock(m_);
  handlers_[id] = std::move(handler);
}

bool Dialog::Click(int id) {
  Handler h;
  {
    std::lock_guard lock(m_);
    auto c = controls_.find(id);
    if (c != controls_.end() && !c->second.enabled) return false;
    if (c != controls_.end() && c->second.kind == Kind::CheckBox) c->second.checked = !c->second.checked;
    auto it = handlers_.find(id);
    if (it != handlers_.end()) h = it->second;
  }
  Notify(id);
  if (!h) return false;
  h();
  return true;
}

void Dialog::OnSelChange(int id, Handler handler) {
  std::lock_guard lock(m_);
  selChange_[id] = std::move(handler);
}

bool Dialog::SelectByUser(int id, int index) {
  SetSelected(id, index);
  Handler h;
  {
    std::lock_guard lock(m_);
    auto it = selChange_.find(id);
    if (it != selChange_.end()) h = it->second;
  }
  if (!h) return false;
  h();
  return true;
}

void Dialog::OnSize(SizeHandler handler) {
  std::lock_guard lock(m_);
  sizeHandler_ = std::move(handler);
}

void Dialog::Resized(int type, int cx, int cy) {
  SizeHandler h;
  {
    std::lock_guard lock(m_);
    h = sizeHandler_;
  }
  if (h) h(type, cx, cy);
}

void Dialog::OnSysCommand(CommandHandler handler) {
  std::lock_guard lock(m_);
  commandHandler_ = std::move(handler);
}

void Dialog::SysCommand(unsigned id) {
  CommandHandler h;
  {
    std::lock_guard lock(m_);
    h = commandHandler_;
  }
  if (h) h(id);
}

void Dialog::SetTimer(int timerId, int periodMs, Handler handler) {
  {
    std::lock_guard lock(m_);
    timers_[timerId] = {periodMs, std::move(handler)};
  }
  Notify(0);
}

void Dialog::KillTimer(int timerId) {
  {
    std::lock_guard lock(m_);
    if (!timers_.erase(timerId)) return;
  }
  Notify(0);
}

std::vector<Dialog::Timer> Dialog::Timers() const {
  std::lock_guard lock(m_);
  std::vector<Timer> out;
  for (auto& [id, t] : timers_) out.push_back({id, t.first});
  return out;
}

bool Dialog::FireTimer(int timerId) {
  Handler h;
  {
    std::lock_guard lock(m_);
    auto it = timers_.find(timerId);
    if (it == timers_.end()) return false;
    h = it->second.second;
  }
  if (h) h();
  return true;
}

// ---- quit request ----

namespace {
std::mutex g_quitLock;
bool g_quit = false;
int g_quitCode = 0;
QuitListener g_quitListener;
}  // namespace

void RequestQuit(int code) {
  QuitListener l;
  {
    std::lock_guard lock(g_quitLock);
    g_quit = true;
    g_quitCode = code;
    l = g_quitListener;
  }
  if (l) l(code);
}

bool QuitRequested(int* code) {
  std::lock_guard lock(g_quitLock);
  if (code) *code = g_quitCode;
  return g_quit;
}

void SetQuitListener(QuitListener listener) {
  std::lock_guard lock(g_quitLock);
  g_quitListener = std::move(listener);
}

void ResetQuit() {
  std::lock_guard lock(g_quitLock);
  g_quit = false;
  g_quitCode = 0;
}

// ---- prompter ----

namespace {
HeadlessHost g_default;
std::atomic<Prompter*> g_prompter{&g_default};
}  // namespace

Prompter& prompter() { return *g_prompter.load(); }
void SetPrompter(Prompter* p) { g_prompter.store(p ? p : &g_default); }

int MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  return prompter().MessageBox(text, caption, flags);
}

int HeadlessHost::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  std::lock_guard lock(m_);
  prompts_.push_back({text, caption, flags});
  if (!answers_.empty()) {
    int a = answers_.front();
    answers_.erase(answers_.begin());
    return a;
  }
  if ((flags & 0xF) == MB_YESNO) return IDYES;
  return IDOK;
}

std::optional<std::string> HeadlessHost::OpenFile(const FileDialogSpec& spec) {
  std::lock_guard lock(m_);
  fileDialogs_.push_back(spec);
  if (files_.empty()) return std::nullopt;
  auto f = files_.front();
  files_.erase(files_.begin());
  return f;
}

void HeadlessHost::QueueAnswer(int answer) {
  std::lock_guard lock(m_);
  answers_.push_back(answer);
}
void HeadlessHost::QueueFile(std::optional<std::string> path) {
  std::lock_guard lock(m_);
  files_.push_back(std::move(path));
}
std::vector<HeadlessHost::Prompt> HeadlessHost::Prompts() const {
  std::lock_guard lock(m_);
  return prompts_;
}
std::vector<FileDialogSpec> HeadlessHost::FileDialogs() const {
  std::lock_guard lock(m_);
  return fileDialogs_;
}
void HeadlessHost::Clear() {
  std::lock_guard lock(m_);
  answers_.clear();
  files_.clear();
  prompts_.clear();
  fileDialogs_.clear();
}

}  // namespace ui

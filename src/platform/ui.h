#pragma once
// The station's windows as control models. Station logic reads and writes only these models;
// the Qt front end renders them and feeds clicks back, and tests use the headless host.
// Every call is thread-safe: job threads write controls while the GUI thread reads them.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

enum class Kind { Edit, CheckBox, Button, List, Label, PictureButton, ProgressBar, Group, ListView };

struct Rect {
  int x = 0, y = 0, w = 0, h = 0;
  bool operator==(const Rect&) const = default;
};

struct ControlState {
  int id = 0;
  Kind kind = Kind::Edit;
  std::string text;     // caption, edit text, or a list's edit text
  bool checked = false;
  bool enabled = true;
  bool visible = true;
  std::vector<std::string> items;  // list entries
  int selected = -1;               // list selection, -1 for none
  int picture = 0;                 // picture id (bitmap resource number), 0 for none
  int rangeMin = 0, rangeMax = 100, pos = 0;  // progress bar
  Rect rect;
  int font = 0;        // 0 default, otherwise a font id of the dialog's owner
  size_t textLimit = 0;  // 0: no limit
  bool readOnly = false;  // an edit the operator cannot type into
  // Counts the times the text was replaced (set, or taken from a list entry); growing it at
  // its end (AppendText) keeps the count, so a view can show only what was added.
  uint64_t textRevision = 0;
  // An edit's selection as the station last set it (SelectText), in bytes of the text: the
  // anchor and the caret (the selection's active end, which the edit scrolls into view).
  // `selectionRevision` counts the times it was set, so that a view applies each setting once;
  // a new text drops the selection (anchor and caret 0) without counting.
  size_t selectionAnchor = 0;
  size_t selectionCaret = 0;
  uint64_t selectionRevision = 0;
};

// An edit's text as a view that shows it growing reads it (Dialog::TextSince).
struct TextTail {
  uint64_t revision = 0;  // the text's revision now
  size_t size = 0;        // the whole text's length
  bool whole = false;     // `text` is the whole text (the revision differs from the one asked)
  std::string text;       // the text from the asked offset on, or the whole text
};

// How a dialog window is shown.
enum class ShowState { Hidden, Normal, Minimized, Maximized };

// One dialog: its controls by id, plus the dialog's own title, visibility and size.
// Operations on an id the dialog does not have do nothing and read as empty, the way a
// dialog call on a missing control does.
class Dialog {
 public:
  Dialog(int id, std::string title);
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  int id() const { return id_; }

  void Add(int id, Kind kind, std::string text = {}, bool visible = true);
  bool Has(int id) const;
  std::vector<int> Ids() const;
  std::optional<ControlState> Snapshot(int id) const;
  // The control's state with its text left empty, for a view that reads a long text with
  // TextSince.
  std::optional<ControlState> SnapshotWithoutText(int id) const;

  std::string Text(int id) const;
  void SetText(int id, std::string text);
  void AppendText(int id, std::string_view text);  // an edit's text grows at its end
  // The text from byte `from` on when its revision is still `revision` (and `from` lies within
  // it), else the whole text.
  TextTail TextSince(int id, uint64_t revision, size_t from) const;

  // Selects an edit's text from `anchor` to `caret` (byte offsets, each at most the text's
  // length), puts the caret at `caret` and scrolls it into view: an edit's select-and-scroll
  // messages. SelectText(id, length, 0) selects the whole text with the anchor at its end.
  void SelectText(int id, size_t anchor, size_t caret);

  bool Checked(int id) const;
  void SetChecked(int id, bool on);
  bool Enabled(int id) const;
  void SetEnabled(int id, bool on);
  bool Visible(int id) const;
  void SetVisible(int id, bool on);

  std::vector<std::string> Items(int id) const;
  void AddItem(int id, std::string item);
  void ClearItems(int id);
  int Selected(int id) const;
  // Selects entry `index` (its text becomes the list's text); -1 selects nothing.
  void SetSelected(int id, int index);
  // Selects the first entry equal to `text`; returns its index or -1 (selection unchanged).
  int SelectString(int id, std::string_view text);

  int Picture(int id) const;
  void SetPicture(int id, int picture);

  void SetRange(int id, int lo, int hi);
  void SetPos(int id, int pos);
  int Pos(int id) const;

  void SetRect(int id, Rect r);
  Rect GetRect(int id) const;
  void SetFont(int id, int font);
  void SetTextLimit(int id, size_t limit);
  void SetReadOnly(int id, bool on);

  // The dialog window itself.
  std::string Title() const;
  void SetTitle(std::string title);
  bool Shown() const;
  void Show(bool on);  // Normal or Hidden
  ShowState GetShowState() const;
  void SetShowState(ShowState state);
  Rect WindowRect() const;
  void SetWindowRect(Rect r);

  // Change notification for a front end: called with the id of the changed control, or 0
  // for the dialog itself, on the thread that made the change, without the model's lock.
  using Listener = std::function<void(int id)>;
  int Subscribe(Listener listener);
  void Unsubscribe(int token);

  // Click handlers, by control id; the front end (or a test) calls Click.
  using Handler = std::function<void()>;
  void OnClick(int id, Handler handler);
  bool Click(int id);  // false when the control has no handler or is disabled

  // A list's selection-change handler: the front end (or a test) calls SelectByUser when the
  // operator picks entry `index`, which selects it and then runs the handler.
  void OnSelChange(int id, Handler handler);
  bool SelectByUser(int id, int index);

  // The window's size changes and its system menu, reported by the front end: `type` 0
  // restored, 1 minimised, 2 maximised, with the new client size; a system command by its id.
  using SizeHandler = std::function<void(int type, int cx, int cy)>;
  void OnSize(SizeHandler handler);
  void Resized(int type, int cx, int cy);
  using CommandHandler = std::function<void(unsigned id)>;
  void OnSysCommand(CommandHandler handler);
  void SysCommand(unsigned id);

  // Timers of the dialog: while set, the front end runs the handler every `periodMs` on its
  // own thread (a headless host fires them itself with FireTimer). Setting an id again
  // replaces its timer.
  struct Timer {
    int id = 0;
    int periodMs = 0;
  };
  void SetTimer(int timerId, int periodMs, Handler handler);
  void KillTimer(int timerId);
  std::vector<Timer> Timers() const;
  bool FireTimer(int timerId);  // false when no such timer is set

 private:
  template <class F>
  void Change(int id, F&& f);
  template <class R, class F>
  R Read(int id, R fallback, F&& f) const;
  void Notify(int id);

  const int id_;
  mutable std::mutex m_;
  std::map<int, ControlState> controls_;
  std::string title_;
  ShowState show_ = ShowState::Hidden;
  Rect windowRect_;
  std::map<int, Listener> listeners_;
  int nextToken_ = 1;
  std::map<int, Handler> handlers_;
  std::map<int, Handler> selChange_;
  std::map<int, std::pair<int, Handler>> timers_;
  SizeHandler sizeHandler_;
  CommandHandler commandHandler_;
};

// Message-box flags and answers, with the values the station's code uses.
enum : unsigned {
  MB_OK = 0x0,
  MB_OKCANCEL = 0x1,
  MB_YESNO = 0x4,
  MB_ICONERROR = 0x10,
  MB_ICONQUESTION = 0x20,
  MB_ICONWARNING = 0x30,
  MB_ICONINFORMATION = 0x40,
};
enum : int { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7 };

struct FileDialogSpec {
  std::string title;
  std::string initialName;
  std::string defaultExt;
  std::string filter;
  bool mustExist = true;
};

// Message boxes and file dialogs. A call blocks its caller, and only it, until answered, or
// until the caller's wait token (plat::CurrentWaitToken) is asked to stop: a job that must give
// way, or whose board has gone, is never left waiting for an answer (the box then gives
// IDCANCEL, or no file).
class Prompter {
 public:
  virtual ~Prompter() = default;
  virtual int MessageBox(const std::string& text, const std::string& caption, unsigned flags) = 0;
  // The chosen path, or nothing when the operator cancels.
  virtual std::optional<std::string> OpenFile(const FileDialogSpec& spec) = 0;
};

Prompter& prompter();
void SetPrompter(Prompter* p);  // nullptr restores the headless default (answers OK, cancels files)

// The station asks to end (after a start-up that gives up, say): the front end quits its loop
// with `code`; a headless host only records it.
void RequestQuit(int code);
bool QuitRequested(int* code = nullptr);
using QuitListener = std::function<void(int code)>;
void SetQuitListener(QuitListener listener);  // an empty one removes it
void ResetQuit();

// Convenience for the station's warning boxes.
int MessageBox(const std::string& text, const std::string& caption,
               unsigned flags = MB_OK | MB_ICONWARNING);

// The headless host: answers prompts from a script and records every prompt.
class HeadlessHost : public Prompter {
 public:
  struct Prompt {
    std::string text, caption;
    unsigned flags = 0;
  };
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
  std::optional<std::string> OpenFile(const FileDialogSpec& spec) override;

  void QueueAnswer(int answer);                         // next message boxes, in order
  void QueueFile(std::optional<std::string> path);      // next file dialogs, in order
  std::vector<Prompt> Prompts() const;                  // every message box so far
  std::vector<FileDialogSpec> FileDialogs() const;
  void Clear();

 private:
  mutable std::mutex m_;
  std::vector<int> answers_;
  std::vector<std::optional<std::string>> files_;
  std::vector<Prompt> prompts_;
  std::vector<FileDialogSpec> fileDialogs_;
};

// Installs a HeadlessHost as the prompter for the lifetime of the object.
class ScopedHeadlessHost {
 public:
  ScopedHeadlessHost() { SetPrompter(&host_); }
  ~ScopedHeadlessHost() { SetPrompter(nullptr); }
  HeadlessHost& operator*() { return host_; }
  HeadlessHost* operator->() { return &host_; }

 private:
  HeadlessHost host_;
};

}  // namespace ui

#include "app/station_app.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QKeySequence>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "foundation/slot_display.h"
#include "foundation/work_paths.h"
#include "gui/pictures.h"
#include "platform/ui.h"

namespace station {

namespace {

// The self-pipe that carries SIGINT and SIGTERM to the window's thread.
int g_signalPipe[2] = {-1, -1};
struct sigaction g_oldInt, g_oldTerm;

extern "C" void OnStopSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
  errno = saved;
}

gui::DialogView::Setup MainSetup() {
  gui::DialogView::Setup s;
  for (int i = 0; i < kSlotCount; ++i) s.multiLine.insert(DeviceLogControlId(i));
  s.close = gui::DialogView::CloseAction::Report;
  // A connected slot's button shows its selected picture while it is held down.
  s.pressedPicture = [](int id) {
    const int slot = id - SlotButtonId(0);
    if (slot < 0 || slot >= kSlotCount) return 0;
    return state().slotButtons[slot].selected.load();
  };
  return s;
}

gui::DialogView::Setup OptionsSetup() {
  gui::DialogView::Setup s;
  s.multiLine.insert(kMainLogControlId);
  s.close = gui::DialogView::CloseAction::Hide;
  return s;
}

}  // namespace

std::optional<StationOptions> ParseStationArgs(const QStringList& args, std::string& error) {
  StationOptions o;
  for (qsizetype i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    if (a == QLatin1String("--home") && i + 1 < args.size()) {
      o.home = args[++i].toStdString();
    } else if (a.startsWith(QLatin1String("--home="))) {
      o.home = a.mid(7).toStdString();
    } else {
      error = "station: unknown argument " + a.toStdString() + "\n";
      return std::nullopt;
    }
    if (o.home.empty()) {
      error = "station: --home needs a folder\n";
      return std::nullopt;
    }
  }
  return o;
}

StationApp::StationApp(StationOptions options) : settings_(std::move(options)) {}

StationApp::~StationApp() { Finish(); }

bool StationApp::Start() {
  ui::ResetQuit();
  if (!settings_.home.empty()) {
    std::error_code ec;
    const std::filesystem::path home = std::filesystem::absolute(settings_.home, ec);
    SetAppDir(ec ? settings_.home : home.lexically_normal().string());
  } else {
    SetAppDir("");
  }
  station_.emplace();
  StationState& s = **station_;

  main_ = std::make_unique<gui::DialogView>(s.mainDlg, MainSetup());
  main_->setWindowIcon(gui::StationIcon());
  main_->AddSystemCommand(kAboutCommand, QString::fromUtf8(kAboutMenuText), QKeySequence(Qt::Key_F1));
  connect(main_.get(), &gui::DialogView::closeRequested, this, [this] { Close(0); });
  optionsView_ = std::make_unique<gui::DialogView>(s.optionsDlg, OptionsSetup(), main_.get(), Qt::Window);
  optionsView_->setWindowIcon(gui::StationIcon());
  splash_ = std::make_unique<gui::SplashView>(s.splashDlg, s.splash);
  progress_ = std::make_unique<gui::ProgressStripView>(s.progressDlg, main_.get());

  prompter_ = std::make_unique<gui::QtPrompter>(main_.get());
  ui::SetPrompter(prompter_.get());
  ui::SetQuitListener([this](int code) { Close(code); });

  logic_ = std::make_unique<MainDialog>();
  started_ = logic_->OnInitDialog();
  // The dialog is shown once its start-up is over, as a modal dialog is; the start-up may
  // have shown it already (maximised).
  if (s.mainDlg.GetShowState() == ui::ShowState::Hidden && !closing_) s.mainDlg.SetShowState(ui::ShowState::Normal);
  main_->ApplyPending();
  return started_;
}

int StationApp::Exec() {
  if (!Start())
    std::fprintf(stderr,
                 "station: another station runs on this machine; this window does nothing until it is closed\n");
  if (!closing_) {
    inLoop_ = true;
    QApplication::exec();
    inLoop_ = false;
  }
  Finish();
  return exitCode_;
}

void StationApp::Close(int code) {
  QMetaObject::invokeMethod(this, [this, code] { CloseOnWindowThread(code); },
                            QThread::currentThread() == thread() ? Qt::DirectConnection : Qt::QueuedConnection);
}

void StationApp::CloseOnWindowThread(int code) {
  if (closing_) return;
  closing_ = true;
  exitCode_ = code;
  if (prompter_) prompter_->Close();
  for (QWidget* w : {static_cast<QWidget*>(splash_.get()), static_cast<QWidget*>(progress_.get()),
                     static_cast<QWidget*>(optionsView_.get()), static_cast<QWidget*>(main_.get())})
    if (w) w->hide();
  Q_EMIT closed(code);
  if (inLoop_) QApplication::exit(code);
}

void StationApp::Finish() {
  if (finished_) return;
  finished_ = true;
  if (prompter_) prompter_->Close();
  // Every thread ends while the windows and the state they change are still there.
  if (logic_) logic_->OnDestroy();
  ui::SetQuitListener({});
  if (prompter_) ui::SetPrompter(nullptr);
  logic_.reset();
  progress_.reset();
  splash_.reset();
  optionsView_.reset();
  main_.reset();
  prompter_.reset();
  station_.reset();
  ReleaseSignals();
}

void StationApp::CatchSignals() {
  if (catching_ || g_signalPipe[0] >= 0) return;
  if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  catching_ = true;
  auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
  connect(notifier, &QSocketNotifier::activated, this, [this] {
    char buffer[16];
    while (::read(g_signalPipe[0], buffer, sizeof buffer) > 0) {
    }
    // The same way out as the window's close box.
    if (main_ && !closing_)
      main_->close();
    else
      Close(0);
  });
  struct sigaction sa = {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, &g_oldInt);
  sigaction(SIGTERM, &sa, &g_oldTerm);
}

void StationApp::ReleaseSignals() {
  if (!catching_) return;
  catching_ = false;
  sigaction(SIGINT, &g_oldInt, nullptr);
  sigaction(SIGTERM, &g_oldTerm, nullptr);
  for (int& fd : g_signalPipe) {
    ::close(fd);
    fd = -1;
  }
}

void StationApp::PrepareApplication() {
  QApplication::setApplicationName(QStringLiteral("station"));
  QApplication::setFont(gui::DialogFont());
  QApplication::setWindowIcon(gui::StationIcon());
}

int StationApp::Run(int argc, char** argv) {
  QApplication qapp(argc, argv);
  PrepareApplication();
  std::string error;
  const std::optional<StationOptions> options = ParseStationArgs(QApplication::arguments(), error);
  if (!options) {
    std::fputs(error.c_str(), stderr);
    std::fputs(kStationUsage, stderr);
    return 2;
  }
  StationApp app(*options);
  app.CatchSignals();
  return app.Exec();
}

}  // namespace station

#pragma once
// The station program: the application object that main() runs and the window tests drive.
// It sets the station folder, makes the station's state, builds the windows that render its
// dialogs, installs the prompter, runs the main dialog's start-up, runs the window loop and,
// when the station ends, its shut-down. Closing the main window, SIGINT, SIGTERM and a quit
// asked by the station's code all take the same way out.
#include <QObject>
#include <QStringList>

#include <memory>
#include <optional>
#include <string>

#include "station/main_dialog.h"
#include "foundation/station_state.h"
#include "gui/dialog_view.h"
#include "gui/qt_prompter.h"
#include "gui/window_views.h"

namespace station {

struct StationOptions {
  std::string home;  // the station folder; empty: the executable's folder
};

// `station [--home DIR]`, the program's name first and Qt's own options taken out already.
// Nothing, with `error` set, for arguments it does not know.
std::optional<StationOptions> ParseStationArgs(const QStringList& args, std::string& error);
inline constexpr const char* kStationUsage = "usage: station [--home DIR]\n";

class StationApp : public QObject {
  Q_OBJECT

 public:
  explicit StationApp(StationOptions options = {});
  ~StationApp() override;
  StationApp(const StationApp&) = delete;
  StationApp& operator=(const StationApp&) = delete;

  // Everything up to the loop: station folder, state, windows, prompter, the main dialog's
  // start-up, and the main window shown. What the start-up answered: false when another
  // station runs on this machine (the window then stays, inert, until it is closed).
  bool Start();
  // Start, the window loop until the station ends, then Finish; the exit code.
  int Exec();
  // The way out, as when the operator closes the main window: every open or coming message
  // box is answered as cancelled, the windows go and the loop ends with `code`. Any thread.
  void Close(int code = 0);
  bool closing() const { return closing_; }
  int exitCode() const { return exitCode_; }
  // The main dialog's shut-down (every thread stopped and joined), then the windows, the
  // prompter and the state go. Safe to call twice.
  void Finish();

  // SIGINT and SIGTERM close the station as Close does (the signal is read on the window's
  // thread); until Finish. One application object at a time catches them.
  void CatchSignals();

  bool started() const { return started_; }
  gui::DialogView* mainWindow() const { return main_.get(); }
  gui::DialogView* optionsWindow() const { return optionsView_.get(); }
  gui::SplashView* splashWindow() const { return splash_.get(); }
  gui::ProgressStripView* progressWindow() const { return progress_.get(); }
  gui::QtPrompter* prompter() const { return prompter_.get(); }
  MainDialog* logic() const { return logic_.get(); }

  // The program: QApplication, arguments, signals, Exec.
  static int Run(int argc, char** argv);
  // What the program sets on its application object: name, fonts, icon.
  static void PrepareApplication();

 Q_SIGNALS:
  void closed(int code);

 private:
  void CloseOnWindowThread(int code);
  void ReleaseSignals();

  StationOptions settings_;
  std::optional<ScopedStation> station_;
  std::unique_ptr<gui::QtPrompter> prompter_;
  std::unique_ptr<gui::DialogView> main_;
  std::unique_ptr<gui::DialogView> optionsView_;
  std::unique_ptr<gui::SplashView> splash_;
  std::unique_ptr<gui::ProgressStripView> progress_;
  std::unique_ptr<MainDialog> logic_;
  bool started_ = false;
  bool closing_ = false;
  bool finished_ = false;
  bool inLoop_ = false;
  int exitCode_ = 0;
  bool catching_ = false;
};

}  // namespace station

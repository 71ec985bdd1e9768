#pragma once
// The main dialog's life cycle: start-up in a fixed order (settings, named mutexes, slots,
// device binding, timers, splash, title, type lists, work folder, first layout), the two
// timers (slot percentages every second, the splash every 300 ms), rescaling the controls when
// the window's size changes, the About box, and shut-down. Pure control-model logic: the Qt
// front end renders the dialogs and reports size changes and system commands.
#include <atomic>

#include "foundation/station_state.h"
#include "station/device_binding.h"

namespace station {

// The window title; " (NAS enable)" follows when that box is checked.
inline constexpr const char* kVersionBanner = "tamor usb mp tool 0.3.1 ver:204218[customer: trunk]";
inline constexpr const char* kNasTitleSuffix = "(NAS enable)";
inline constexpr int kPercentTimer = 1;
inline constexpr int kSplashTimer = 2;
inline constexpr unsigned kAboutCommand = 16;
// The station's exit code when its runtime folder or a named mutex refuses start-up.
inline constexpr int kStartRefusedExitCode = 1;
// The About item the front end adds to the window's menu (command kAboutCommand).
inline constexpr const char* kAboutMenuText = "關於 vortmill(&A)...";
// The drop-down extent a resize gives each type list: this many pixels per entry of the flash
// type list.
inline constexpr int kListEntryHeight = 40;

class MainDialog {
 public:
  MainDialog() = default;
  ~MainDialog() { OnDestroy(); }
  MainDialog(const MainDialog&) = delete;
  MainDialog& operator=(const MainDialog&) = delete;

  // Start-up. False when another station instance holds one of the named mutexes: nothing
  // after the mutexes is set up then. A named mutex that cannot be made (its runtime folder is
  // not the station's own) is said in the main log and a box, then start-up shuts down, asks
  // the front end to quit with kStartRefusedExitCode and gives true; so does a start-up that
  // gives up later (more boards than allowed, no NAND support list), with exit code 0.
  bool OnInitDialog();
  // Shut-down: every thread is asked to stop and joined (binder, jobs, loaders, key thread),
  // then the timers go, then what they used is freed. Safe to run twice and on a station whose
  // start-up gave up or never ran.
  void OnDestroy();

  void OnTimer(int id);
  // `type` 0 restored, 1 minimised, 2 maximised; the client size.
  void OnSize(int type, int cx, int cy);
  void OnSysCommand(unsigned id);

  bool started() const { return started_.load(); }
  DeviceBinder& binder() { return binder_; }

 private:
  enum class MutexStart { Ok, Taken, Refused };
  MutexStart CreateMutexes();
  void SetUpSlots();
  void StartTimers();
  void SetTitle();
  void TakeFirstLayout();
  void SetListHeights();
  void ResizeChild(int id, int cx, int cy);
  void GiveUp(int exitCode = 0);

  DeviceBinder binder_;
  std::atomic<bool> started_{false};
  std::atomic<bool> destroyed_{false};
};

// The title for the options dialog's "NAS enable" box.
std::string StationTitle();

}  // namespace station

// The main dialog's life cycle against the headless host: start-up with boards present, a
// second instance, start-ups that give up, the timers, rescaling, the About box, and a
// shut-down that joins every thread; then the main dialog's buttons and lists and the options
// dialog's own buttons.
#include "station/main_dialog.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "boardsim/board_sim.h"
#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "package/image_loading.h"
#include "package/settings_files.h"
#include "package/type_lists.h"
#include "platform/profile.h"
#include "platform/ui.h"
#include "station/main_buttons.h"
#include "station/options_dialog.h"
#include "station/slot_jobs.h"
#include "support/package_env.h"
#include "support/usb_sim.h"
#include "usblink/usb_device.h"

namespace station {
namespace {

namespace fs = std::filesystem;


class MainDialogTest : public ::testing::Test, public testenv::PackageFixture {
 public:
  MainDialogTest() : deviceRoot("USB_DEVICE_ROOT", (dir / "devices").string()) {
    CloseNamedMutexes(s());  // the dialog creates its own
    ui::ResetQuit();
    plat::WriteProfileString("SYSTEM", "MAX USB CONNECTION", "12", SystemIniPath());
  }
  ~MainDialogTest() override {
    dialog.OnDestroy();
    for (auto& b : boards) b->Unplug();
    ui::ResetQuit();
  }

  boardsim::Board& PlugBoard(const std::string& name) {
    boards.push_back(std::make_unique<boardsim::Board>(boardsim::BoardConfig{}));
    EXPECT_FALSE(boards.back()->Plug(testenv::BoardClassFolder(), name).empty());
    return *boards.back();
  }
  std::vector<std::string> PromptTexts() {
    std::vector<std::string> t;
    for (const auto& p : host->Prompts()) t.push_back(p.text);
    return t;
  }
  static bool HasTimer(int id) {
    for (const auto& t : s().mainDlg.Timers())
      if (t.id == id) return true;
    return false;
  }

  testenv::ScopedEnv deviceRoot;
  std::vector<std::unique_ptr<boardsim::Board>> boards;
  MainDialog dialog;
};

TEST_F(MainDialogTest, StartUpBindsTheBoardsPresentAndRunsItsTimers) {
  PlugBoard("simboard-1");
  PlugBoard("simboard-2");
  ASSERT_TRUE(dialog.OnInitDialog());
  ui::Dialog& d = s().mainDlg;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    SCOPED_TRACE(slot);
    const bool bound = slot < 2;
    EXPECT_EQ(d.Picture(SlotButtonId(slot)), bound ? kPictureConnected : kPictureIdle);
    EXPECT_EQ(d.Enabled(SlotButtonId(slot)), bound);
    EXPECT_EQ(d.Text(SlotSnId(slot)), "-");
  }
  EXPECT_EQ(SlotDevicePath(0), boards[0]->path());
  EXPECT_TRUE(HasTimer(kPercentTimer));
  EXPECT_TRUE(HasTimer(kSplashTimer));
  EXPECT_EQ(d.Title(), kVersionBanner);
  EXPECT_EQ(d.GetShowState(), ui::ShowState::Maximized);
  EXPECT_FALSE(s().optionsDlg.Shown());
  EXPECT_TRUE(s().MutexFactory.open());
  EXPECT_TRUE(fs::is_directory(GetTempDir() + "/mvx_tool"));
  EXPECT_FALSE(ui::QuitRequested());
}

// Another station holds one of the names: start-up stops right there, with nothing running.
TEST_F(MainDialogTest, SecondInstanceStopsAtTheNamedMutexes) {
  plat::NamedMutex other;
  ASSERT_EQ(other.Create(kMutexGoDdrName), plat::NamedMutex::Created::Ok);
  PlugBoard("simboard-1");
  EXPECT_FALSE(dialog.OnInitDialog());
  EXPECT_TRUE(s().MutexFactory.open()) << "the name before it was made";
  EXPECT_FALSE(s().MutexEnum.open());
  EXPECT_TRUE(s().mainDlg.Timers().empty());
  EXPECT_FALSE(dialog.binder().Watching());
  EXPECT_TRUE(SlotDevicePath(0).empty());
  dialog.OnDestroy();
  dialog.OnDestroy();
  EXPECT_FALSE(s().MutexFactory.open());
}

// The named mutexes live in a runtime folder that only this user may use; anything else there
// refuses start-up with a box and a main-log line that name the folder, and leaves whatever the
// folder is (or points at) without a lock file of the station.
TEST_F(MainDialogTest, RuntimeFolderThatIsNotTheStationsOwnRefusesStartUp) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& folder, const fs::path& elsewhere)> make;
    const char* why;  // empty: the station starts
    bool viaXdg = false;  // the folder is $XDG_RUNTIME_DIR/flashstation
  } cases[] = {
      {"OpenToOthers",
       [](const fs::path& f, const fs::path&) {
         fs::create_directory(f);
         fs::permissions(f, fs::perms::all);
       },
       "other users may use it (mode 0777)"},
      {"GroupMayRead",
       [](const fs::path& f, const fs::path&) {
         fs::create_directory(f);
         fs::permissions(f, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
       },
       "other users may use it (mode 0750)"},
      {"LinkToAFolderOfOurs",
       [](const fs::path& f, const fs::path& elsewhere) {
         fs::create_directory(elsewhere);
         fs::permissions(elsewhere, fs::perms::owner_all);
         fs::create_directory_symlink(elsewhere, f);
       },
       "it is a link"},
      {"LinkUnderXdgRuntimeDir",
       [](const fs::path& f, const fs::path& elsewhere) {
         fs::create_directory(f.parent_path());
         fs::create_directory(elsewhere);
         fs::permissions(elsewhere, fs::perms::owner_all);
         fs::create_directory_symlink(elsewhere, f);
       },
       "it is a link", true},
      {"LockFileCannotBeMade",
       [](const fs::path& f, const fs::path&) {
         fs::create_directory(f);
         fs::permissions(f, fs::perms::owner_all);
         fs::create_directory(f / "MY_MUTEX_GODDR.lock");
       },
       "the lock file MY_MUTEX_GODDR.lock cannot be made: Is a directory"},
      {"OwnedByAnotherUser",
       [](const fs::path& f, const fs::path&) {
         fs::create_directory(f);
         fs::permissions(f, fs::perms::owner_all);
         ASSERT_EQ(::chown(f.c_str(), 65534, 65534), 0);
       },
       "it belongs to user 65534"},
      {"AFileInItsPlace", [](const fs::path& f, const fs::path&) { testenv::WriteFile(f, "x"); }, "it is not a folder"},
      {"MadeEarlierByTheStation",
       [](const fs::path& f, const fs::path&) {
         fs::create_directory(f);
         fs::permissions(f, fs::perms::owner_all);
       },
       ""},
      {"MadeNow", [](const fs::path&, const fs::path&) {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) == "OwnedByAnotherUser" && ::geteuid() != 0) continue;  // chown needs root
    ScopedStation fresh;
    ui::ResetQuit();
    host->Clear();
    const fs::path xdg = dir / (std::string("xdg-") + c.name);
    const fs::path folder = c.viaXdg ? xdg / "flashstation" : dir / (std::string("run-") + c.name);
    const fs::path elsewhere = dir / (std::string("other-") + c.name);
    testenv::ScopedEnv runtime("STATION_RUNTIME_DIR", c.viaXdg ? "" : folder.string());
    testenv::ScopedEnv xdgRuntime("XDG_RUNTIME_DIR", xdg.string());
    c.make(folder, elsewhere);
    MainDialog d;
    EXPECT_TRUE(d.OnInitDialog());
    int code = -1;
    const std::string line = std::string("the station's runtime folder ") + folder.string() + " cannot be used: " + c.why +
                             "; the station does not start";
    if (*c.why) {
      EXPECT_TRUE(ui::QuitRequested(&code));
      EXPECT_EQ(code, kStartRefusedExitCode);
      EXPECT_EQ(PromptTexts(), std::vector<std::string>{line});
      EXPECT_NE(MainLogText().find(line + "\r\n"), std::string::npos) << MainLogText();
      EXPECT_FALSE(s().MutexFactory.open());
      EXPECT_TRUE(s().mainDlg.Timers().empty());
      EXPECT_FALSE(fs::exists(elsewhere / "MY_MUTEX_FACTORY.lock")) << "nothing is made where a link points";
      if (fs::is_directory(folder) && !fs::exists(folder / "MY_MUTEX_GODDR.lock")) {
        EXPECT_TRUE(fs::is_empty(folder)) << "no lock file in a folder not our own";
      }
      EXPECT_FALSE(s().MutexEnum.open());
    } else {
      EXPECT_FALSE(ui::QuitRequested(&code));
      EXPECT_TRUE(PromptTexts().empty());
      EXPECT_TRUE(s().MutexEnum.open());
      EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
      EXPECT_EQ(fs::status(folder / "MY_MUTEX_ENUM.lock").permissions(), fs::perms::owner_read | fs::perms::owner_write);
      // A second station in the same folder is still only refused.
      plat::NamedMutex other;
      EXPECT_EQ(other.Create(kMutexFactoryName), plat::NamedMutex::Created::AlreadyExists);
    }
    d.OnDestroy();
  }
}

TEST_F(MainDialogTest, StartUpThatGivesUpShutsDownOnceAndAsksToQuit) {
  struct Case {
    const char* name;
    std::function<void(MainDialogTest&)> set;
    const char* box;
  } cases[] = {
      {"MoreBoardsThanAllowed",
       [](MainDialogTest& t) {
         plat::WriteProfileString("SYSTEM", "MAX USB CONNECTION", "1", SystemIniPath());
         t.PlugBoard("simboard-1");
         t.PlugBoard("simboard-2");
       },
       "please check usb device connection count! exceeded the number!"},
      {"NoNandSupportList",
       [](MainDialogTest& t) { fs::remove(fs::path(t.appDir) / "Tempfile" / "nand_flash_support_list.xlsx"); },
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedStation fresh;
    ui::ResetQuit();
    host->Clear();
    c.set(*this);
    MainDialog d;
    EXPECT_TRUE(d.OnInitDialog());
    int code = -1;
    EXPECT_TRUE(ui::QuitRequested(&code));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(s().mainDlg.Timers().empty()) << "nothing of the start-up runs after it gave up";
    EXPECT_FALSE(s().MutexFactory.open());
    EXPECT_FALSE(d.binder().Watching());
    if (c.box) {
      const auto texts = PromptTexts();
      EXPECT_NE(std::find(texts.begin(), texts.end(), c.box), texts.end());
    }
    d.OnDestroy();
    for (auto& b : boards) b->Unplug();
    boards.clear();
  }
}

TEST_F(MainDialogTest, PercentTimerShowsSlotsWithAnOpenDeviceUnlessSingleMode) {
  ASSERT_TRUE(dialog.OnInitDialog());
  ui::Dialog& d = s().mainDlg;
  d.SetText(SlotPercentId(4), "x");
  d.SetText(SlotPercentId(5), "x");
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  s().slots[4].DeviceHandle = fds[0];
  s().optionsDlg.SetChecked(1069, true);
  d.FireTimer(kPercentTimer);
  EXPECT_EQ(d.Text(SlotPercentId(4)), "x") << "single mode shows no percentage";
  s().optionsDlg.SetChecked(1069, false);
  d.FireTimer(kPercentTimer);
  EXPECT_EQ(d.Text(SlotPercentId(4)), "0");
  EXPECT_EQ(d.Text(SlotPercentId(5)), "x") << "a slot without a device is left alone";
  CloseDevice(s().slots[4].DeviceHandle);
  close(fds[1]);
}

// Every resize scales the controls against the size before it, also the restore from
// minimised (against the size the window had before it was minimised); all but that restore
// first give each type list a drop-down extent of 40 pixels per flash type entry.
TEST_F(MainDialogTest, ResizeScalesTheControlsAgainstTheLastSizeAndKeepsSlotPictures) {
  ui::Dialog& d = s().mainDlg;
  d.SetWindowRect({0, 0, 1000, 500});
  d.SetRect(1065, {100, 200, 300, 20});
  ASSERT_TRUE(dialog.OnInitDialog());
  ASSERT_EQ(d.Items(kFlashTypeList).size(), 3u);
  const ui::Rect nand = d.GetRect(kNandModelList);
  const ui::Rect button = d.GetRect(SlotButtonId(0));

  d.Resized(2, 2000, 1000);
  EXPECT_EQ(d.GetRect(1065), (ui::Rect{200, 400, 600, 40}));
  EXPECT_EQ(d.GetRect(kNandModelList), (ui::Rect{2 * nand.x, 2 * nand.y, 2 * nand.w, 2 * 120}));
  EXPECT_EQ(d.GetRect(SlotButtonId(0)).w, button.w) << "a slot button keeps its picture's size";

  d.Resized(1, 0, 0);      // minimised
  d.Resized(0, 500, 250);  // restored: scaled from 2000 x 1000, the lists' heights kept
  EXPECT_EQ(d.GetRect(1065), (ui::Rect{50, 100, 150, 10}));
  EXPECT_EQ(d.GetRect(kNandModelList).h, 60);

  d.Resized(0, 1000, 500);
  EXPECT_EQ(d.GetRect(1065), (ui::Rect{100, 200, 300, 20}));
  EXPECT_EQ(d.GetRect(kNandModelList), (ui::Rect{nand.x, nand.y, nand.w, 240}));
}

TEST_F(MainDialogTest, AboutBoxOnlyForItsCommand) {
  ASSERT_TRUE(dialog.OnInitDialog());
  host->Clear();
  s().mainDlg.SysCommand(0xF060);
  EXPECT_TRUE(host->Prompts().empty());
  s().mainDlg.SysCommand(kAboutCommand | 0x7);
  ASSERT_EQ(host->Prompts().size(), 1u);
  EXPECT_EQ(host->Prompts()[0].caption, "About");
}

// Shut-down while a job waits on a board that answers busy for ever: the job is stopped and
// joined, the binder and its watcher too, and nothing is left.
TEST_F(MainDialogTest, ShutDownDuringAJobJoinsEveryThread) {
  const int threads = testenv::ThreadCount();
  {
    boardsim::Board& board = PlugBoard("simboard-1");
    {
      std::lock_guard g(board.lock());
      board.faults().busyForMs = int64_t{1} << 50;
    }
    ASSERT_TRUE(dialog.OnInitDialog());
    ChooseFlash("NOR", "2DDR4_1GB");
    s().mainDlg.SetText(kDdrTypeList, "2DDR4_1GB");
    GetDdrFolderName(1);
    s().mainDlg.SetText(kImagePathEdit, "x");
    boardsim::BoardConfig nor;
    nor.flash = boardsim::FlashKind::Nor;
    testenv::DescribeFlash(nor);
    ASSERT_TRUE(s().mainDlg.Click(SlotButtonId(0)));
    ASSERT_TRUE(testenv::Eventually([&] { return !board.exchanges().empty(); })) << "the job reached the board";
    dialog.OnDestroy();
    EXPECT_FALSE(SlotJobRunning(0));
    EXPECT_FALSE(dialog.binder().Watching());
    EXPECT_FALSE(s().MutexEnum.open());
    EXPECT_EQ(s().slots[0].DeviceHandle, kInvalidHandle);
    board.Unplug();
  }
  boards.clear();
  EXPECT_EQ(testenv::ThreadCount(), threads);
}

// The operator closes the station while "open" unpacks a large package: the close does not
// wait for the whole load, the names are free for the next station at once, and nothing of
// the half-unpacked package is left for a reload.
TEST_F(MainDialogTest, CloseDuringAnImageLoadStopsIt) {
  mkpackage::PackageOptions big;
  for (int n = 0; n < 24; ++n) big.partitions.push_back({n, "part" + std::to_string(n) + ".bin", 0x4000, 0, 0});
  const mkpackage::PackageInfo info = Build(big);
  ASSERT_TRUE(dialog.OnInitDialog());
  ChooseFlash("NAND");
  s().mainDlg.SetEnabled(1067, true);
  host->QueueFile(info.imagePath);

  testenv::StopAtLogLine stop(" Untar file name  : package5/part5.bin");
  ASSERT_TRUE(s().mainDlg.Click(1067));
  const size_t stoppedAt = stop.WaitReached();
  dialog.OnDestroy();

  EXPECT_EQ(MainLogText().find(" Untar file name", stoppedAt), std::string::npos) << "the unpack went on";
  EXPECT_FALSE(s().OpenThreadRunning.load());
  EXPECT_FALSE(fs::exists(untarDir));
  EXPECT_TRUE(img().partitionPieces.empty());
  EXPECT_EQ(plat::GetProfileString("INFORMATION", "IMAGE PATH", "<none>", SystemIniPath()), "<none>");
  for (const char* name : {kMutexFactoryName, kMutexGoDdrName, kMutexEnumName}) {
    plat::NamedMutex next;
    EXPECT_EQ(next.Create(name), plat::NamedMutex::Created::Ok) << name;
  }
}

// ---- the main dialog's buttons and lists ----

TEST_F(MainDialogTest, MainButtons) {
  ASSERT_TRUE(dialog.OnInitDialog());
  ui::Dialog& d = s().mainDlg;
  // "function" shows and hides the options dialog.
  d.Click(1141);
  EXPECT_TRUE(s().optionsDlg.Shown());
  d.Click(1141);
  EXPECT_FALSE(s().optionsDlg.Shown());

  // "open" and "reload img" want the types first.
  host->Clear();
  d.SetText(kFlashTypeList, "");
  d.Click(1067);
  d.SetText(kFlashTypeList, "EMMC");
  d.SetText(kDdrTypeList, "");
  d.Click(1145);
  EXPECT_EQ(PromptTexts(), (std::vector<std::string>{"Please select flash type first!", "Please select ddr type first!"}));

  // "reload img" with no IMAGE PATH in the settings starts nothing.
  host->Clear();
  d.SetText(kDdrTypeList, "2DDR4_1GB");
  plat::WriteProfileString("INFORMATION", "IMAGE PATH", "", SystemIniPath());
  d.Click(1145);
  EXPECT_EQ(PromptTexts(), (std::vector<std::string>{"please check install.img already prepared!"}));
  EXPECT_FALSE(s().ReloadThreadHandle.joinable());

  // "reload img" shows the stored path selected whole, the anchor at its end and the caret at
  // its start.
  host->Clear();
  const std::string stored = "/packages/install.img";
  plat::WriteProfileString("INFORMATION", "IMAGE PATH", stored, SystemIniPath());
  s().ReloadThreadRunning = true;  // a reload runs: the click starts none
  d.Click(1145);
  s().ReloadThreadRunning = false;
  const ui::ControlState path = *d.Snapshot(kImagePathEdit);
  EXPECT_EQ(path.text, stored);
  EXPECT_EQ(path.selectionAnchor, stored.size());
  EXPECT_EQ(path.selectionCaret, 0u);
  EXPECT_GT(path.selectionRevision, 0u);
  EXPECT_FALSE(s().ReloadThreadHandle.joinable());

  // The key "open" button asks for the key bag on a thread of its own; a second click replaces
  // that thread.
  host->Clear();
  d.SetEnabled(1068, true);
  d.Click(1068);
  d.Click(1068);
  s().KeyHeaderThreadHandle.join();
  ASSERT_FALSE(host->FileDialogs().empty());
  EXPECT_EQ(host->FileDialogs().back().title, "binary file");
  EXPECT_EQ(d.Text(1066), "") << "cancelled: no key path";

  // A NAND model the support list does not know.
  host->Clear();
  d.ClearItems(kNandModelList);
  d.AddItem(kNandModelList, "NO-SUCH-NAND");
  d.SetEnabled(1067, false);
  d.SelectByUser(kNandModelList, 5);
  EXPECT_EQ(PromptTexts(),
            (std::vector<std::string>{"setup nand flash spec failed!, please check the nand support list spec."}));
  EXPECT_TRUE(d.Enabled(1067));
}

// In a child process: limits the address space so that no thread stack fits, presses the key
// button and starts both loaders; 0 when each said so in the main log and nothing runs.
int StartThreadsWithNoRoomForThem() {
  std::ifstream status("/proc/self/status");
  uint64_t vmKiB = 0;
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmSize:", 0) == 0) vmKiB = std::stoull(line.substr(7));
  // Room for the small allocations of a click, none for an 8 MiB stack.
  const rlim_t limit = (vmKiB + 2048) * 1024;
  const rlimit lim{limit, limit};
  if (vmKiB == 0 || setrlimit(RLIMIT_AS, &lim) != 0) return 3;
  // The C library keeps the stacks of ended threads for new ones: these take them first, and
  // stay (the child ends without joining them).
  auto* holders = new std::vector<std::thread>;
  for (;;) {
    if (holders->size() > 64) return 4;
    try {
      holders->emplace_back([] {
        for (;;) pause();
      });
    } catch (const std::system_error&) {
      break;
    }
  }
  OnBnClickedOpenKey();
  const bool open = StartOpenImageThread();
  const bool reload = StartReloadImageThread();
  const std::string log = MainLogText();
  for (const char* thread : {"gen_Key_header", "OpenImageThread", "ReloadImageThread"})
    if (log.find(std::string("create ") + thread + " thread failed! (") == std::string::npos) return 1;
  StationState& s = state();
  const bool idle = !s.KeyHeaderThreadHandle.joinable() && !s.OpenThreadRunning && !s.ReloadThreadRunning;
  return idle && !open && !reload ? 0 : 2;
}

// With no room left for a thread's stack, the key button and the two loaders say in the main
// log that their thread could not be made, and the station goes on. (A child process takes
// the address-space limit, so that nothing else of the suite runs short.)
TEST_F(MainDialogTest, AThreadThatCannotBeMadeIsLoggedNotFatal) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory does not live under an address-space limit";
#endif
  ChooseFlash("NOR");
  plat::WriteProfileString("INFORMATION", "IMAGE PATH", "/x/nor.bin", SystemIniPath());
  EXPECT_EXIT(std::_Exit(StartThreadsWithNoRoomForThem()), ::testing::ExitedWithCode(0), "");
}

// ---- the options dialog's own buttons ----

TEST_F(MainDialogTest, OptionsButtons) {
  ASSERT_TRUE(dialog.OnInitDialog());
  ui::Dialog& o = s().optionsDlg;
  ui::Dialog& d = s().mainDlg;
  o.Show(true);
  o.Click(1183);
  EXPECT_FALSE(o.Shown()) << "OK hides the dialog";

  o.SetChecked(1070, true);
  o.Click(1070);  // unchecks it
  EXPECT_EQ(d.Text(1066), "writefactory=0! not need to write key (factory.tar)!");
  EXPECT_FALSE(d.Enabled(1068));
  o.Click(1070);
  EXPECT_EQ(d.Text(1066), "");
  EXPECT_TRUE(d.Enabled(1068));

  // "clean log" leaves "clear." in the emptied log; while a slot holds the factory mutex the
  // work files stay and the log says so.
  PrintLog("something\r\n");
  o.Click(1182);
  EXPECT_EQ(MainLogText(), "clear.\r\n");
  std::jthread holder([&](std::stop_token) {
    ASSERT_TRUE(s().MutexFactory.Lock());
    o.Click(1182);
    s().MutexFactory.Unlock();
  });
  holder.join();
  EXPECT_EQ(MainLogText(),
            "clear.\r\nclean log : a board is writing its factory data, the work files are kept\r\n");

  o.Click(1194);
  EXPECT_EQ(d.Title(), std::string(kVersionBanner) + kNasTitleSuffix);
  o.Click(1194);
  EXPECT_EQ(d.Title(), kVersionBanner);
}

TEST_F(MainDialogTest, OnlyUpgradeBootloader) {
  ASSERT_TRUE(dialog.OnInitDialog());
  ui::Dialog& o = s().optionsDlg;
  // Checked with no DDR type: nothing is loaded.
  s().mainDlg.SetText(kDdrTypeList, "");
  GetDdrFolderName(1);
  o.Click(1159);
  EXPECT_NE(MainLogText().find("please check if the ddr type is selected?\r\n"), std::string::npos);
  EXPECT_EQ(img().boot[kBootCode].length, 0u);

  // While a job holds the package, or a loader replaces it, the click is refused, the box goes
  // back and the operator is told why.
  struct Case {
    const char* name;
    bool job;
    bool checkedBefore;
    const char* box;
  } cases[] = {
      {"job, checking", true, false, "please wait until every device is done!"},
      {"load, checking", false, false, "Please wait while loading"},
      {"load, clearing", false, true, "Please wait while loading"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    o.SetChecked(1159, c.checkedBefore);
    img().boot[kBootCode].data = {1};
    img().boot[kBootCode].length = 1;
    ASSERT_TRUE(c.job ? s().package.Hold() : s().package.BeginLoad());
    host->Clear();
    o.Click(1159);
    EXPECT_EQ(o.Checked(1159), c.checkedBefore);
    EXPECT_EQ(PromptTexts(), (std::vector<std::string>{c.box}));
    EXPECT_EQ(img().boot[kBootCode].length, 1u) << "the package in use is left alone";
    if (c.job) {
      s().package.Release();
    } else {
      s().package.EndLoad();
    }
  }
}

}  // namespace
}  // namespace station

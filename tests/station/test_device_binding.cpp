// Binding boards to slots: the binding rules on their own, the start-up enumeration, and
// hot-plug sequences of simulated boards seen by the real device watcher.
#include "station/device_binding.h"

#include <gtest/gtest.h>
#include <sys/un.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "boardsim/board_sim.h"
#include "foundation/log_boxes.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "support/app_dir.h"
#include "support/usb_sim.h"
#include "station/slot_jobs.h"
#include "usblink/usb_device.h"

namespace station {
namespace {

namespace fs = std::filesystem;
using Kind = DeviceEvent::Kind;

using testenv::Eventually;

// A station with its boards' class folder in the test's scratch folder and every slot shown in
// its initial state.
class DeviceBindingTest : public ::testing::Test, public testenv::ScratchStationFixture {
 protected:
  DeviceBindingTest() {
    EXPECT_TRUE(s().MutexEnum.open());
    s().splash.Create();
    for (int i = 0; i < kSlotCount; ++i) SetSlotState(i, kSlotInitial, 0);
    SetLimit(12);
  }
  ~DeviceBindingTest() override {
    // The binder and the jobs use the station state: they end before it goes.
    binder.Stop();
    StopAllSlotJobs();
  }

  StationState& s() { return *station; }
  // Back to a station without boards, bindings, remembered paths, prompts or log lines.
  void Reset() {
    binder.Stop();
    boards.clear();
    for (int i = 0; i < kSlotCount; ++i) {
      SetSlotDevicePath(i, "");
      SetRememberedPath(i, "");
      SetSlotState(i, kSlotInitial, 0);
    }
    host->Clear();
    s().optionsDlg.SetText(kMainLogControlId, "");
  }
  void SetLimit(int n) { s().optionsDlg.SetText(kMaxUsbConnectionEdit, std::to_string(n)); }
  // Auto burn on, with a flash type chosen so that the slot button starts a job.
  void EnableAutoBurn() {
    s().optionsDlg.SetChecked(kAutoBurnCheck, true);
    s().mainDlg.SetText(1064, "NOR");
  }
  std::string Node(const std::string& name) const { return folder + "/" + name; }

  boardsim::Board& Board() { return *boards.emplace_back(std::make_unique<boardsim::Board>(boardsim::BoardConfig{})); }
  std::string Plug(boardsim::Board& b, const std::string& name) {
    const std::string path = b.Plug(folder, name);
    EXPECT_EQ(path, Node(name));
    return path;
  }

  // The bound path of every slot.
  std::vector<std::string> Bound() {
    std::vector<std::string> out;
    for (int i = 0; i < kSlotCount; ++i) out.push_back(SlotDevicePath(i));
    return out;
  }
  std::vector<std::string> BoundAs(std::map<int, std::string> bySlot) {
    std::vector<std::string> out(kSlotCount);
    for (auto& [slot, path] : bySlot) out[slot] = path;
    return out;
  }
  // Waits until the binder has nothing left to do and the slots are bound as `expected`.
  bool SettlesAs(const std::vector<std::string>& expected) {
    return Eventually([&] { return binder.Idle() && Bound() == expected; });
  }

  int Picture(int slot) { return s().mainDlg.Picture(SlotButtonId(slot)); }
  void ExpectConnected(int slot) {
    EXPECT_EQ(Picture(slot), kPictureConnected) << slot;
    EXPECT_TRUE(s().mainDlg.Enabled(SlotButtonId(slot))) << slot;
  }
  void ExpectRemoved(int slot) {
    EXPECT_EQ(Picture(slot), kPictureIdle) << slot;
    EXPECT_FALSE(s().mainDlg.Enabled(SlotButtonId(slot))) << slot;
    EXPECT_EQ(s().mainDlg.Text(SlotPercentId(slot)), "0") << slot;
    EXPECT_EQ(s().mainDlg.Snapshot(SlotPercentId(slot))->font, kLargeFont) << slot;
    EXPECT_EQ(s().slots[slot].Busy.load(), 0) << slot;
  }
  std::vector<std::string> Prompts() {
    std::vector<std::string> out;
    for (const auto& p : host->Prompts()) out.push_back(p.caption + ": " + p.text);
    return out;
  }

  testenv::ScopedEnv deviceRoot{"USB_DEVICE_ROOT", (dir / "dev").string()};
  const std::string folder = testenv::BoardClassFolder();
  std::vector<std::unique_ptr<boardsim::Board>> boards;
  std::atomic<bool> splashShown{false};
  DeviceBinder binder;
};

// ---- The binding rules, one event at a time on the test's thread ----

struct Step {
  Kind kind;
  std::string path;
  int slot;  // what the event bound or freed
};
struct RuleCase {
  const char* name;
  std::vector<Step> steps;
  std::map<int, std::string> bound;  // afterwards
};

TEST_F(DeviceBindingTest, EventsBindAndUnbindByTheirKind) {
  const std::string a = "/dev/x/simboard-1", b = "/dev/x/simboard-10";
  const RuleCase cases[] = {
      {"a second arrival changes nothing, nor does a second removal",
       {{Kind::Arrival, a, 0}, {Kind::Arrival, a, kNoSlot}, {Kind::Removal, a, 0}, {Kind::Removal, a, kNoSlot}},
       {}},
      {"a removal before its arrival does not bind", {{Kind::Removal, a, kNoSlot}, {Kind::Arrival, a, 0}}, {{0, a}}},
      {"one path the start of another", {{Kind::Arrival, b, 0}, {Kind::Arrival, a, 1}, {Kind::Removal, a, 1}}, {{0, b}}},
      {"the other way round", {{Kind::Arrival, a, 0}, {Kind::Arrival, b, 1}, {Kind::Removal, b, 1}}, {{0, a}}},
      {"letter case does not tell paths apart and the path is kept as it came",
       {{Kind::Arrival, "/dev/X/Board-A", 0}, {Kind::Arrival, "/dev/x/board-a", kNoSlot}, {Kind::Arrival, "/dev/x/board-b", 1},
        {Kind::Removal, "/DEV/X/BOARD-B", 1}},
       {{0, "/dev/X/Board-A"}}},
  };
  for (const RuleCase& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    for (const Step& st : c.steps) EXPECT_EQ(HandleDeviceEvent({st.kind, st.path}), st.slot) << st.path;
    EXPECT_EQ(Bound(), BoundAs(c.bound));
  }
}

TEST_F(DeviceBindingTest, ARemovedBoardGetsItsSlotBack) {
  EXPECT_EQ(HandleDeviceEvent({Kind::Arrival, "/d/a"}), 0);
  EXPECT_EQ(HandleDeviceEvent({Kind::Arrival, "/d/b"}), 1);
  EXPECT_EQ(HandleDeviceEvent({Kind::Removal, "/d/a"}), 0);
  EXPECT_EQ(HandleDeviceEvent({Kind::Arrival, "/d/c"}), 2);  // a new path does not take a remembered slot
  EXPECT_EQ(HandleDeviceEvent({Kind::Arrival, "/d/a"}), 0);
  EXPECT_EQ(Bound(), BoundAs({{0, "/d/a"}, {1, "/d/b"}, {2, "/d/c"}}));
}

TEST_F(DeviceBindingTest, ABoardBeyondTheLimitHoldsNoSlot) {
  SetLimit(2);
  EXPECT_EQ(HandleDeviceEvent({Kind::Arrival, "/d/a"}), 0);
  EXPECT_EQ(HandleDeviceEvent({Kind::Arrival, "/d/b"}), 1);
  EXPECT_EQ(HandleDeviceEvent({Kind::Arrival, "/d/c"}), kNoSlot);
  ASSERT_EQ(host->Prompts().size(), 1u);
  EXPECT_EQ(host->Prompts()[0].text, "please remount usb device!");
  EXPECT_EQ(host->Prompts()[0].caption, "WARNING");
  EXPECT_EQ(host->Prompts()[0].flags, ui::MB_OK | ui::MB_ICONWARNING);
  EXPECT_TRUE(RememberedPath(2).empty());
  EXPECT_EQ(Picture(2), kPictureIdle);
  EXPECT_FALSE(s().mainDlg.Enabled(SlotButtonId(2)));
  EXPECT_FALSE(s().splashDlg.Shown());

  // Its removal changes nothing; with room made, it binds (and is not taken for a removal).
  EXPECT_EQ(HandleDeviceEvent({Kind::Removal, "/d/c"}), kNoSlot);
  SetLimit(3);
  EXPECT_EQ(HandleDeviceEvent({Kind::Arrival, "/d/c"}), 2);
  EXPECT_EQ(Bound(), BoundAs({{0, "/d/a"}, {1, "/d/b"}, {2, "/d/c"}}));
  EXPECT_EQ(host->Prompts().size(), 1u);
}

TEST_F(DeviceBindingTest, ALoweredLimitRefusesAReturningBoardButKeepsItsSlot) {
  SetLimit(3);
  for (const char* p : {"/d/a", "/d/b", "/d/c"}) HandleDeviceEvent({Kind::Arrival, p});
  HandleDeviceEvent({Kind::Removal, "/d/b"});
  SetLimit(1);
  EXPECT_EQ(HandleDeviceEvent({Kind::Arrival, "/d/b"}), kNoSlot);
  EXPECT_EQ(Prompts(), std::vector<std::string>{"WARNING: please remount usb device!"});
  // A new board does not take the slot of the one refused.
  SetLimit(4);
  EXPECT_EQ(HandleDeviceEvent({Kind::Arrival, "/d/d"}), 3);
  EXPECT_EQ(HandleDeviceEvent({Kind::Arrival, "/d/b"}), 1);
}

TEST_F(DeviceBindingTest, AThirteenthPathFindsNoSlot) {
  SetLimit(13);
  for (int i = 0; i < kSlotCount; ++i) ASSERT_EQ(HandleDeviceEvent({Kind::Arrival, "/d/" + std::to_string(i)}), i);
  HandleDeviceEvent({Kind::Removal, "/d/4"});
  EXPECT_EQ(HandleDeviceEvent({Kind::Arrival, "/d/new"}), kNoSlot);
  EXPECT_EQ(Prompts(), std::vector<std::string>{"WARNING: please remount usb device!"});
  EXPECT_EQ(SlotDevicePath(4), "");
  EXPECT_EQ(HandleDeviceEvent({Kind::Arrival, "/d/4"}), 4);
}

// A board's node path must fit a socket address, a board on the USB bus its path the longest
// the station binds; a longer path is refused with a main-log line and takes no slot.
TEST_F(DeviceBindingTest, APathTooLongIsRefused) {
  constexpr size_t kLongestNode = sizeof(sockaddr_un::sun_path) - 1;
  struct {
    const char* start;
    size_t length;
    int slot;
  } const cases[] = {{"/d/", kLongestNode, 0},
                     {"/d/", kLongestNode + 1, kNoSlot},
                     {"usb:", kLongestNode + 1, 0},
                     {"usb:", kLongestDevicePath, 0},
                     {"usb:", kLongestDevicePath + 1, kNoSlot},
                     {"/d/", 400, kNoSlot}};
  for (const auto& c : cases) {
    const std::string path = c.start + std::string(c.length - std::strlen(c.start), 'n');
    SCOPED_TRACE(path.size());
    Reset();
    EXPECT_EQ(HandleDeviceEvent({Kind::Arrival, path}), c.slot);
    const bool refused = c.slot == kNoSlot;
    EXPECT_EQ(MainLogText() == "device path too long : " + path + "\r\n", refused) << MainLogText();
    EXPECT_EQ(RememberedPath(0).empty(), refused);
    EXPECT_EQ(HandleDeviceEvent({Kind::Removal, path}), c.slot);
  }
}

TEST_F(DeviceBindingTest, AfterLostEventsThePresentBoardsAreBound) {
  boardsim::Board &a = Board(), &b = Board();
  const std::string pa = Plug(a, "a");
  ASSERT_EQ(HandleDeviceEvent({Kind::Arrival, pa}), 0);
  ASSERT_EQ(HandleDeviceEvent({Kind::Arrival, Node("gone")}), 1);  // its removal was lost
  const std::string pb = Plug(b, "b");                               // and so was this arrival
  EnableAutoBurn();
  const uint64_t startsA = SlotJobStarts(0), startsGone = SlotJobStarts(1), startsB = SlotJobStarts(2);

  EXPECT_EQ(HandleDeviceEvent({Kind::Overflow, {}}), kNoSlot);
  EXPECT_EQ(Bound(), BoundAs({{0, pa}, {2, pb}}));
  ExpectConnected(0);
  ExpectRemoved(1);  // slot 2's job shows its own pictures
  EXPECT_EQ(SlotJobStarts(0), startsA);
  EXPECT_EQ(SlotJobStarts(1), startsGone);
  EXPECT_EQ(SlotJobStarts(2), startsB + 1);
}

TEST_F(DeviceBindingTest, WithoutTheMutexBindingStillWorks) {
  s().MutexEnum.Close();  // as when it could not be created at start-up
  EXPECT_EQ(HandleDeviceEvent({Kind::Arrival, "/d/a"}), 0);
  EXPECT_EQ(HandleDeviceEvent({Kind::Removal, "/d/a"}), 0);
}

// ---- Start-up ----

TEST_F(DeviceBindingTest, StartupBindsThePresentBoardsUpToTheLimit) {
  struct {
    int boards, limit;
    StartupBinding result;
  } const cases[] = {
      {0, 2, StartupBinding::NoDevices},
      {2, 2, StartupBinding::Devices},
      {3, 2, StartupBinding::TooManyDevices},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.boards);
    Reset();
    SetLimit(c.limit);
    std::vector<std::string> paths;
    for (int i = 0; i < c.boards; ++i) paths.push_back(Plug(Board(), "b" + std::to_string(c.boards - i)));
    std::sort(paths.begin(), paths.end());

    DeviceBinder startup;
    EXPECT_EQ(startup.Start(), c.result);
    const bool tooMany = c.result == StartupBinding::TooManyDevices;
    EXPECT_EQ(startup.Running(), !tooMany);
    EXPECT_EQ(startup.Watching(), !tooMany);
    for (int i = 0; i < kSlotCount; ++i) {
      const bool bound = !tooMany && i < c.boards;
      EXPECT_EQ(SlotDevicePath(i), bound ? paths[i] : "") << i;
      EXPECT_EQ(RememberedPath(i), bound ? paths[i] : "") << i;
      EXPECT_EQ(Picture(i), bound ? kPictureConnected : kPictureIdle) << i;
    }
    EXPECT_EQ(Prompts(), tooMany ? std::vector<std::string>{"ERROR: please check usb device connection count! exceeded the number!"}
                                 : std::vector<std::string>{});
    startup.Stop();
  }
}

TEST_F(DeviceBindingTest, ABoardArrivingBeforeTheEnumerationIsBoundOnce) {
  EnableAutoBurn();
  const std::string pa = Plug(Board(), "a");
  boardsim::Board& b = Board();
  const uint64_t starts = SlotJobStarts(0) + SlotJobStarts(1);

  // The enumeration waits for "MY_MUTEX_ENUM"; while it waits, the watcher already runs.
  ASSERT_TRUE(s().MutexEnum.Lock());
  struct Starter {
    plat::NamedMutex& mutex;
    std::thread thread;
    ~Starter() {
      if (mutex.HeldByThisThread()) mutex.Unlock();
      if (thread.joinable()) thread.join();
    }
  } starter{s().MutexEnum, std::thread([&] { EXPECT_EQ(binder.Start(), StartupBinding::Devices); })};
  ASSERT_TRUE(Eventually([&] { return binder.Watching(); }));
  const std::string pb = Plug(b, "b");
  ASSERT_TRUE(Eventually([&] { return binder.Pending() == 1; }));
  s().MutexEnum.Unlock();
  starter.thread.join();

  EXPECT_TRUE(SettlesAs(BoundAs({{0, pa}, {1, pb}})));
  ExpectConnected(0);
  ExpectConnected(1);
  EXPECT_EQ(SlotJobStarts(0) + SlotJobStarts(1), starts);  // the queued arrival found it bound
}

// ---- Hot-plug through the device watcher ----

TEST_F(DeviceBindingTest, ARemovedBoardComesBackToItsSlot) {
  s().splashDlg.Subscribe([&](int id) {
    if (id == 0 && s().splashDlg.Shown()) splashShown = true;
  });
  ASSERT_EQ(binder.Start(), StartupBinding::NoDevices);
  boardsim::Board &a = Board(), &b = Board();
  const std::string pa = Plug(a, "a");
  ASSERT_TRUE(SettlesAs(BoundAs({{0, pa}})));
  ExpectConnected(0);
  EXPECT_TRUE(splashShown.load());
  EXPECT_FALSE(s().splashDlg.Shown());
  const std::string pb = Plug(b, "b");
  ASSERT_TRUE(SettlesAs(BoundAs({{0, pa}, {1, pb}})));

  s().slots[0].Busy = 1;  // as a job leaves them
  s().mainDlg.SetText(SlotPercentId(0), "57");
  a.Unplug();
  ASSERT_TRUE(SettlesAs(BoundAs({{1, pb}})));
  ExpectRemoved(0);
  ExpectConnected(1);

  Plug(a, "a");
  ASSERT_TRUE(SettlesAs(BoundAs({{0, pa}, {1, pb}})));
  ExpectConnected(0);
}

TEST_F(DeviceBindingTest, BoardsWhosePathsStartAlikeKeepTheirSlots) {
  ASSERT_EQ(binder.Start(), StartupBinding::NoDevices);
  boardsim::Board &ten = Board(), &one = Board();
  const std::string p10 = Plug(ten, "simboard-10");
  ASSERT_TRUE(SettlesAs(BoundAs({{0, p10}})));
  const std::string p1 = Plug(one, "simboard-1");
  ASSERT_TRUE(SettlesAs(BoundAs({{0, p10}, {1, p1}})));
  one.Unplug();
  ASSERT_TRUE(SettlesAs(BoundAs({{0, p10}})));
  ExpectConnected(0);
}

// Answers message boxes only when the test lets it (at most 30 s later), noting whether the
// splash window was up while each one was shown.
class HeldPrompter : public ui::Prompter {
 public:
  explicit HeldPrompter(ui::Dialog& splash) : splash_(splash) {}
  int MessageBox(const std::string& text, const std::string&, unsigned) override {
    std::unique_lock l(m_);
    texts_.push_back(text);
    splashUp_ = splashUp_ || splash_.Shown();
    cv_.wait_for(l, std::chrono::seconds(30), [&] { return open_; });
    return ui::IDOK;
  }
  std::optional<std::string> OpenFile(const ui::FileDialogSpec&) override { return std::nullopt; }
  std::vector<std::string> Texts() {
    std::lock_guard g(m_);
    return texts_;
  }
  bool SplashWasUp() {
    std::lock_guard g(m_);
    return splashUp_;
  }
  void Open() {
    {
      std::lock_guard g(m_);
      open_ = true;
    }
    cv_.notify_all();
  }

 private:
  ui::Dialog& splash_;
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> texts_;
  bool splashUp_ = false, open_ = false;
};

// Installs a held prompter for a scope; at its end lets it answer, stops the binder and puts
// the headless host back.
class ScopedHeldPrompter {
 public:
  ScopedHeldPrompter(HeldPrompter& p, DeviceBinder& binder, ui::HeadlessHost& host) : p_(p), binder_(binder), host_(host) {
    ui::SetPrompter(&p_);
  }
  ~ScopedHeldPrompter() {
    p_.Open();
    binder_.Stop();
    ui::SetPrompter(&host_);
  }

 private:
  HeldPrompter& p_;
  DeviceBinder& binder_;
  ui::HeadlessHost& host_;
};

TEST_F(DeviceBindingTest, TheWarningForOneBoardTooManyHoldsOnlyTheBinder) {
  SetLimit(2);
  HeldPrompter prompter(s().splashDlg);
  ScopedHeldPrompter installed(prompter, binder, *host);
  ASSERT_EQ(binder.Start(), StartupBinding::NoDevices);
  boardsim::Board &a = Board(), &b = Board(), &c = Board();
  const std::string pa = Plug(a, "a"), pb = Plug(b, "b");
  ASSERT_TRUE(SettlesAs(BoundAs({{0, pa}, {1, pb}})));

  Plug(c, "c");
  ASSERT_TRUE(Eventually([&] { return prompter.Texts().size() == 1; }));
  EXPECT_EQ(prompter.Texts()[0], "please remount usb device!");
  EXPECT_FALSE(prompter.SplashWasUp());
  // Meanwhile events keep coming, and wait.
  c.Unplug();
  a.Unplug();
  ASSERT_TRUE(Eventually([&] { return binder.Pending() == 2; }));
  EXPECT_EQ(SlotDevicePath(2), "");

  prompter.Open();
  EXPECT_TRUE(SettlesAs(BoundAs({{1, pb}})));
  ExpectRemoved(0);
  EXPECT_EQ(Picture(2), kPictureIdle);
  EXPECT_TRUE(RememberedPath(2).empty());
  EXPECT_EQ(prompter.Texts().size(), 1u);
}

struct BurstCase {
  const char* name;
  bool binderHeld;  // every event waits in the queue until the last one has happened
};

TEST_F(DeviceBindingTest, ABurstOfEventsEndsWithWhatIsPlugged) {
  const BurstCase cases[] = {{"served as they come", false}, {"all pending at once", true}};
  for (const BurstCase& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    SetLimit(4);
    ASSERT_EQ(binder.Start(), StartupBinding::NoDevices);
    for (int i = 0; i < 4; ++i) Board();
    if (c.binderHeld) {
      ASSERT_TRUE(s().MutexEnum.Lock());
    }

    std::map<int, std::string> expected;
    for (int i = 0; i < 30; ++i) {
      boardsim::Board& b = *boards[i % 4];
      expected[i % 4] = Plug(b, "board-" + std::to_string(i % 4));
      b.Unplug();
    }
    Plug(*boards[1], "board-1");
    Plug(*boards[3], "board-3");
    if (c.binderHeld) {
      ASSERT_TRUE(Eventually([&] { return binder.Pending() == 61; }));  // one more is taken, waiting for the mutex
      s().MutexEnum.Unlock();
    }
    EXPECT_TRUE(SettlesAs(BoundAs({{1, expected[1]}, {3, expected[3]}})));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(RememberedPath(i), expected[i]);
    binder.Stop();
  }
}

TEST_F(DeviceBindingTest, AutoBurnStartsOneJobPerArrival) {
  EnableAutoBurn();
  ASSERT_EQ(binder.Start(), StartupBinding::NoDevices);
  const uint64_t starts = SlotJobStarts(0);
  boardsim::Board& a = Board();
  const std::string pa = Plug(a, "a");
  ASSERT_TRUE(SettlesAs(BoundAs({{0, pa}})));
  EXPECT_EQ(SlotJobStarts(0), starts + 1);

  binder.Post({Kind::Arrival, pa});  // told twice
  ASSERT_TRUE(SettlesAs(BoundAs({{0, pa}})));
  EXPECT_EQ(SlotJobStarts(0), starts + 1);

  a.Unplug();
  ASSERT_TRUE(SettlesAs(BoundAs({})));
  EXPECT_EQ(SlotJobStarts(0), starts + 1);

  Plug(a, "a");
  ASSERT_TRUE(SettlesAs(BoundAs({{0, pa}})));
  EXPECT_EQ(SlotJobStarts(0), starts + 2);
}

// A node whose path does not fit a socket address can never be opened: whether it is there at
// start-up or arrives later, it is refused with a main-log line and takes no slot, and the next
// board gets the first slot.
TEST_F(DeviceBindingTest, ANodeThatCanNeverBeOpenedIsRefused) {
  const std::string path = Node(std::string(sizeof(sockaddr_un::sun_path) - folder.size() - 1, 'n'));
  ASSERT_EQ(path.size(), sizeof(sockaddr_un::sun_path));
  ASSERT_LE(path.size(), kLongestDevicePath);
  for (bool atStartup : {true, false}) {
    SCOPED_TRACE(atStartup ? "present at start-up" : "arriving");
    Reset();
    if (atStartup) testenv::WriteFile(path, "");
    ASSERT_EQ(binder.Start(), StartupBinding::NoDevices);
    if (!atStartup) testenv::WriteFile(path, "");
    ASSERT_TRUE(Eventually([&] { return binder.Idle() && MainLogText() == "device path too long : " + path + "\r\n"; }))
        << MainLogText();
    EXPECT_EQ(Bound(), BoundAs({}));
    fs::remove(path);
    boardsim::Board& a = Board();
    const std::string pa = Plug(a, "a");
    EXPECT_TRUE(SettlesAs(BoundAs({{0, pa}})));
    EXPECT_EQ(RememberedPath(1), "");
  }
}

}  // namespace
}  // namespace station

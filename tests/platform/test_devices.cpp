// Boards of a class folder: listing them and watching them come and go.
#include "platform/devices.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "boardsim/board_sim.h"
#include "platform/clock.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

using testenv::Eventually;

class Events {
 public:
  void Add(const std::string& e) {
    std::lock_guard g(m_);
    events_.push_back(e);
  }
  std::vector<std::string> Get() const {
    std::lock_guard g(m_);
    return events_;
  }

 private:
  mutable std::mutex m_;
  std::vector<std::string> events_;
};

TEST(ClassFolder, ListsNodesSortedWithoutHiddenOnes) {
  testenv::ScratchDir dir;
  const std::string folder = (dir / "root/{abc}").string();
  std::vector<std::string> paths = {"stale"};
  ASSERT_TRUE(plat::ListClassFolder(folder, paths));  // created when missing
  EXPECT_TRUE(paths.empty());
  EXPECT_TRUE(fs::is_directory(folder));

  boardsim::Board b1({}), b2({}), b3({});
  ASSERT_FALSE(b2.Plug(folder, "node-b").empty());
  ASSERT_FALSE(b1.Plug(folder, "node-a").empty());
  ASSERT_FALSE(b3.Plug(folder, "node-c").empty());
  testenv::WriteFile(fs::path(folder) / ".node-d", "");  // still being published
  ASSERT_TRUE(plat::ListClassFolder(folder, paths));
  EXPECT_EQ(paths, (std::vector<std::string>{folder + "/node-a", folder + "/node-b", folder + "/node-c"}));

  const int fd = plat::ConnectNode(paths[0]);
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
  EXPECT_EQ(plat::ConnectNode(folder + "/.node-d"), -1);  // not a socket
  EXPECT_EQ(plat::ConnectNode(folder + "/missing"), -1);
}

TEST(ClassFolder, AFileInThePlaceOfTheFolder) {
  testenv::ScratchDir dir;
  testenv::WriteFile(dir / "taken", "x");
  std::vector<std::string> paths;
  EXPECT_FALSE(plat::ListClassFolder((dir / "taken").string(), paths));
}

TEST(DeviceWatcher, ReportsBoardsComingAndGoing) {
  testenv::ScratchDir dir;
  const std::string folder = (dir / "class").string();
  Events events;
  plat::DeviceWatcher watcher;
  ASSERT_TRUE(watcher.Start(
      folder, [&](const std::string& p) { events.Add("+" + p); }, [&](const std::string& p) { events.Add("-" + p); }));
  EXPECT_FALSE(watcher.Start(folder, nullptr, nullptr));  // one watch at a time

  boardsim::Board board({});
  const std::string path = board.Plug(folder, "sim-1");
  ASSERT_EQ(path, folder + "/sim-1");
  // The board binds a hidden name first: only the node renamed into place is an arrival.
  ASSERT_TRUE(Eventually([&] { return events.Get().size() >= 1; }));
  board.Unplug();
  ASSERT_TRUE(Eventually([&] { return events.Get().size() >= 2; }));
  EXPECT_EQ(events.Get(), (std::vector<std::string>{"+" + path, "-" + path}));

  watcher.Stop();
  EXPECT_FALSE(watcher.running());
  board.Plug(folder, "sim-1");
  board.Unplug();
  EXPECT_EQ(events.Get().size(), 2u);  // nothing after Stop: the watcher's thread has ended
}

// Holds a callback of the watcher's thread until the test lets it go (at most 30 s).
class Gate {
 public:
  void Hold() {
    std::unique_lock l(m_);
    entered_ = true;
    cv_.wait_for(l, std::chrono::seconds(30), [&] { return open_; });
  }
  bool Entered() const {
    std::lock_guard g(m_);
    return entered_;
  }
  void Open() {
    {
      std::lock_guard g(m_);
      open_ = true;
    }
    cv_.notify_all();
  }

 private:
  mutable std::mutex m_;
  std::condition_variable cv_;
  bool entered_ = false, open_ = false;
};

TEST(DeviceWatcher, ReportsAnOverflowAndWatchesOn) {
  long queueLimit = 0;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queueLimit;
  if (queueLimit <= 0 || queueLimit > (1 << 20)) GTEST_SKIP() << "the event queue cannot be filled here";

  testenv::ScratchDir dir;
  const std::string folder = (dir / "class").string();
  Events events;
  Gate gate;
  std::atomic<int> overflows{0};
  plat::DeviceWatcher watcher;
  ASSERT_TRUE(watcher.Start(
      folder,
      [&](const std::string& p) {
        events.Add("+" + p);
        if (events.Get().size() == 1) gate.Hold();
      },
      [&](const std::string& p) { events.Add("-" + p); }, [&] { ++overflows; }));

  // While the watcher's thread is held in its first callback, more events happen than the
  // kernel queues for it.
  testenv::WriteFile(fs::path(folder) / "first", "");
  ASSERT_TRUE(Eventually([&] { return gate.Entered(); }));
  const std::string hidden = folder + "/.flood";
  for (long i = 0; i < queueLimit / 2 + 16; ++i) {
    const int fd = ::open(hidden.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(unlink(hidden.c_str()), 0);
  }
  gate.Open();
  ASSERT_TRUE(Eventually([&] { return overflows.load() >= 1; }));

  testenv::WriteFile(fs::path(folder) / "after", "");
  ASSERT_TRUE(Eventually([&] { return events.Get().size() >= 2; }));
  EXPECT_EQ(events.Get(), (std::vector<std::string>{"+" + folder + "/first", "+" + folder + "/after"}));
  EXPECT_EQ(overflows.load(), 1);
}

TEST(DeviceWatcher, StopsWithoutAnyEvent) {
  testenv::ScratchDir dir;
  plat::DeviceWatcher watcher;
  ASSERT_TRUE(watcher.Start((dir / "quiet").string(), nullptr, nullptr));
  EXPECT_TRUE(watcher.running());
  watcher.Stop();
  EXPECT_FALSE(watcher.running());
  // And may watch again.
  EXPECT_TRUE(watcher.Start((dir / "quiet").string(), nullptr, nullptr));
}

}  // namespace

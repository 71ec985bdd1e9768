// Boards of a class folder: listing them and watching them come and go.
#include "platform/devices.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "boardsim/board_sim.h"
#include "platform/clock.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

// Waits in real time (the watcher's thread needs it) until `done` holds or 10 s have passed.
template <class F>
bool Eventually(F done) {
  plat::RealClock real;
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    real.SleepMs(10);
  }
  return done();
}

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

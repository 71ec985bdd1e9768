// The link against the board simulator program: boards appear in the class folder, are listed,
// opened and written, and leave again, as the station sees boards plugged in and out.
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "foundation/log_boxes.h"
#include "platform/clock.h"
#include "platform/devices.h"
#include "support/test_env.h"
#include "support/usb_sim.h"
#include "usblink/flash_options.h"
#include "usblink/send_routine.h"
#include "usblink/usb_device.h"

extern char** environ;

namespace {

using namespace station;

// The boardsim program, its standard input and output as pipes.
class BoardsimProgram {
 public:
  explicit BoardsimProgram(const std::vector<std::string>& args) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    for (int fd : {in[0], in[1], out[0], out[1]}) posix_spawn_file_actions_addclose(&fa, fd);
    const std::string program = std::string(STATION_BINARY_DIR) + "/tools/boardsim/boardsim";
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
  }
  ~BoardsimProgram() {
    if (toChild_ >= 0) close(toChild_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      Wait();
    }
    if (fromChild_ >= 0) close(fromChild_);
  }
  bool started() const { return pid_ > 0; }

  // The next line of its output; empty when none comes within 20 s.
  std::string Line() {
    for (;;) {
      if (size_t nl = buffered_.find('\n'); nl != std::string::npos) {
        std::string line = buffered_.substr(0, nl);
        buffered_.erase(0, nl + 1);
        return line;
      }
      pollfd p{fromChild_, POLLIN, 0};
      if (poll(&p, 1, 20000) <= 0) return {};
      char b[256];
      ssize_t n = read(fromChild_, b, sizeof b);
      if (n <= 0) return {};
      buffered_.append(b, static_cast<size_t>(n));
    }
  }
  std::string Command(const std::string& line) {
    const std::string l = line + "\n";
    if (write(toChild_, l.data(), l.size()) != static_cast<ssize_t>(l.size())) return {};
    return Line();
  }
  int Wait() {
    int status = 0;
    if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_) pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int toChild_ = -1, fromChild_ = -1;
  std::string buffered_;
};

template <class F>
bool Eventually(F done) {
  plat::RealClock real;
  for (int i = 0; i < 1000 && !done(); ++i) real.SleepMs(10);
  return done();
}

struct Seen {
  std::mutex m;
  std::vector<std::string> events;
  void Add(std::string e) {
    std::lock_guard g(m);
    events.push_back(std::move(e));
  }
  size_t Count() {
    std::lock_guard g(m);
    return events.size();
  }
};

TEST(LinkWithBoardsimProgram, BoardsComeAreWrittenAndGo) {
  testenv::StationFixture env;
  testenv::ScopedEnv root("USB_DEVICE_ROOT", env.dir.str());
  const std::string folder = testenv::BoardClassFolder();
  Seen seen;
  plat::DeviceWatcher watcher;
  ASSERT_TRUE(watcher.Start(
      folder, [&](const std::string& p) { seen.Add("+" + p); }, [&](const std::string& p) { seen.Add("-" + p); }));

  BoardsimProgram sim({"--boards", "2", "--flash", "emmc", "--emmc-mib", "16", "--no-ddr-check", "--key",
                       "000102030405060708090a0b0c0d0e0f"});
  ASSERT_TRUE(sim.started());
  std::string line;
  do line = sim.Line();
  while (!line.empty() && line != "ready");
  ASSERT_EQ(line, "ready");
  ASSERT_TRUE(Eventually([&] { return seen.Count() == 2; }));

  char paths[kSlotCount][kPathMax];
  uint32_t count = kSlotCount;
  ASSERT_TRUE(FindUsbDevices(paths, count));
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(std::string(paths[0]), folder + "/simboard-0");
  EXPECT_EQ(std::string(paths[1]), folder + "/simboard-1");
  {
    std::lock_guard g(seen.m);
    std::vector<std::string> arrivals = seen.events;
    std::sort(arrivals.begin(), arrivals.end());
    EXPECT_EQ(arrivals, (std::vector<std::string>{"+" + std::string(paths[0]), "+" + std::string(paths[1])}));
  }

  DevHandle h = OpenUsbDevice(paths[0]);
  ASSERT_NE(h, kInvalidHandle);
  std::vector<uint8_t> data(1 << 20);
  std::mt19937 gen(7);
  for (auto& b : data) b = static_cast<uint8_t>(gen());
  int64_t size = static_cast<int64_t>(data.size());
  EXPECT_EQ(PerformReadTest(h, 0xF4, 1, 8, data.data(), &size, 0, 0, 0, 0, 256 * 1024, 2, 0, 512 * 1024, 0, 0, 0,
                            nullptr, nullptr, 0),
            kResultOk);
  EXPECT_EQ(size, 0);

  env.station->optionsDlg.SetChecked(option_id::kEnKtee, true);
  int64_t none = 0;
  EXPECT_EQ(PerformReadTest(h, 0xF1, 3, 0, nullptr, &none, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr, 0),
            kResultOk);
  const auto& key = env.station->SlotKteeKey[0];
  for (int i = 0; i < 16; ++i) EXPECT_EQ(key[i], i);
  EXPECT_EQ(key[16], 0);

  const std::string file = (env.dir / "board0.bin").string();
  ASSERT_EQ(sim.Command("save 0 " + file), "ok save 0 " + file);
  const std::string saved = testenv::ReadFile(file);
  ASSERT_GE(saved.size(), 8 * 512 + data.size());
  EXPECT_EQ(saved.substr(8 * 512, data.size()), std::string(data.begin(), data.end()));

  ASSERT_EQ(sim.Command("unplug 1"), "ok unplug 1");
  ASSERT_TRUE(Eventually([&] { return seen.Count() == 3; }));
  {
    std::lock_guard g(seen.m);
    EXPECT_EQ(seen.events.back(), "-" + std::string(paths[1]));
  }
  count = kSlotCount;
  ASSERT_TRUE(FindUsbDevices(paths, count));
  EXPECT_EQ(count, 1u);

  // The program leaves: the open board goes with it and a send ends with a clear code.
  sim.Command("quit");
  EXPECT_EQ(sim.Wait(), 0);
  count = kSlotCount;
  EXPECT_FALSE(FindUsbDevices(paths, count));
  size = static_cast<int64_t>(data.size());
  const ResultCode rc = PerformReadTest(h, 0xF4, 1, 8, data.data(), &size, 0, 0, 0, 0, 256 * 1024, 2, 0, 0, 0, 0, 0,
                                        nullptr, nullptr, 0);
  EXPECT_TRUE(rc == kResultCbwWrite || rc == kResultDataWrite || rc == kResultCswTimeout) << rc;
  CloseDevice(h);
  watcher.Stop();
}

}  // namespace

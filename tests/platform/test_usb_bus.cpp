// The libusb backend of the device layer against boards on an emulated USB bus: which devices
// it lists and opens, what a transfer carries, and how a transfer ends when the board is
// silent, stalls, is pulled out or the station stops.
#include "platform/usb_bus.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "boardsim/board_sim.h"
#include "boardsim/usb_emulation.h"
#include "foundation/crc32.h"
#include "platform/clock.h"
#include "platform/device_nodes.h"
#include "platform/devices.h"
#include "support/test_env.h"
#include "support/usb/usb_boards.h"
#include "support/usb_sim.h"
#include "usblink/usb_device.h"
#include "usblink/usb_wrappers.h"

namespace {

const bool kEmulated = boardsim::UseUsbEmulation();

using Result = plat::UsbTransferResult;
using testenv::Eventually;

// The wrapper and the five-byte payload of a "system reset", which every board in download
// mode answers with a 50-byte status wrapper.
struct NoDataCommand {
  std::array<uint8_t, station::kCbwSize> wrapper;
  NoDataCommand() {
    station::UsbCbw cbw;
    cbw.dataTransferLength = station::kNoDataPayload.size();
    cbw.cb.opcode = station::OpByte(station::VendorOpcode::SystemReset);
    cbw.cb.subCode = station::VendorSubCode(cbw.cb.opcode);
    cbw.cb.payloadCrc = station::Crc32(station::kNoDataPayload.data(), station::kNoDataPayload.size());
    wrapper = station::SerializeCbw(cbw);
  }
};

class UsbBus : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(kEmulated) << "umockdev's preload library (package umockdev) is missing"; }

  // Sends the command: both OUT transfers must go through.
  static void Send(int h) {
    const NoDataCommand c;
    ASSERT_EQ(plat::UsbBulkWrite(h, c.wrapper.data(), c.wrapper.size()), Result::Ok);
    ASSERT_EQ(plat::UsbBulkWrite(h, station::kNoDataPayload.data(), station::kNoDataPayload.size()), Result::Ok);
  }
  // Reads a status wrapper; its status byte, or -1 when the read failed.
  static int Status(int h, Result* result = nullptr) {
    uint8_t csw[station::kCswSize] = {};
    const Result r = plat::UsbBulkRead(h, csw, sizeof csw);
    if (result) *result = r;
    if (r != Result::Ok) return -1;
    const station::UsbCsw parsed = station::ParseCsw(csw);
    return parsed.signature == station::kCswSignature && parsed.tag == station::kWrapperTag ? parsed.status : -1;
  }

  plat::ScopedFastClock clock;
  testenv::ScratchDir dir;
  testenv::UsbBoards usb{dir, (dir / "usb_boards.ini").string()};
  boardsim::EmulatedBus& bus() { return usb.bus(); }
};

TEST_F(UsbBus, ListsTheBoundBoardsByTheirPlaceAndOpensNoOtherDevice) {
  boardsim::Board direct({}), behindHub({}), otherInterface({});
  bus().PlugBoard("1-2", direct);
  boardsim::EmulatedDevice& hubbed = bus().PlugBoard("1-4.2", behindHub);
  boardsim::UsbDeviceDescription stick;
  stick.product = 0x0002;
  stick.interfaceClass = 0x08;
  stick.interfaceSubClass = 0x06;
  stick.interfaceProtocol = 0x50;
  stick.kernelDriver = "usb-storage";
  boardsim::EmulatedDevice& storage = bus().PlugDevice("1-3", stick);
  boardsim::UsbDeviceDescription massStorage;  // the boards' ids, but not the interface bound
  massStorage.interfaceClass = 0x08;
  boardsim::EmulatedDevice& wrong = bus().PlugBoard("2-1", otherInterface, massStorage);

  const std::vector<std::string> bound = {"usb:1-2", "usb:1-4.2"};
  EXPECT_EQ(plat::ListUsbBoards(station::kUsbClassGuid), bound);
  EXPECT_EQ(plat::ListUsbBoards("{7b56a5d6-cd10-4410-9f59-9a5e71269882}"), bound) << "the class, in any case";
  EXPECT_TRUE(plat::ListUsbBoards("{00000000-0000-0000-0000-000000000000}").empty());
  testenv::ScopedEnv root("USB_DEVICE_ROOT", (dir / "devices").string());
  boardsim::Board node({});
  const std::string nodePath = node.Plug(testenv::BoardClassFolder(), "node-0");
  std::vector<std::string> listed;
  ASSERT_TRUE(plat::ListDevices(station::kUsbClassGuid, listed));
  EXPECT_EQ(listed, (std::vector<std::string>{nodePath, "usb:1-2", "usb:1-4.2"})) << "nodes first, then the bus";

  for (const char* path : {"usb:1-3", "usb:2-1", "usb:1-4", "usb:1-9", "usb:1-", "usb:1-2.", "usb:x-2", "usb:1-02x"})
    EXPECT_EQ(plat::OpenUsbBoard(path), -1) << path;
  EXPECT_EQ(storage.opens(), 0);
  EXPECT_EQ(wrong.opens(), 0);
  EXPECT_TRUE(storage.driverBound()) << "nobody took the stick's driver off it";

  const int h = plat::OpenUsbBoard("usb:1-4.2");
  ASSERT_GE(h, 0);
  EXPECT_EQ(hubbed.claims(), 1);
  Send(h);
  EXPECT_EQ(Status(h), 0);
  EXPECT_TRUE(plat::CloseUsbBoard(h));
  EXPECT_FALSE(plat::CloseUsbBoard(h));
}

TEST_F(UsbBus, AKernelDriverIsDetachedWhileTheStationHoldsTheBoardAndGivenBack) {
  boardsim::Board board({});
  boardsim::UsbDeviceDescription d;
  d.kernelDriver = "usbfs-probe";
  boardsim::EmulatedDevice& dev = bus().PlugBoard("1-1", board, d);
  const int h = plat::OpenUsbBoard(dev.stationPath());
  ASSERT_GE(h, 0);
  EXPECT_EQ(dev.driverDetaches(), 1);
  EXPECT_FALSE(dev.driverBound());
  EXPECT_TRUE(plat::CloseUsbBoard(h));
  EXPECT_EQ(dev.driverReattaches(), 1);
  EXPECT_TRUE(dev.driverBound());
}

// A write is one transfer of exactly its bytes, which the board checks as one frame; a read
// succeeds only when it got exactly the bytes it asked for.
TEST_F(UsbBus, AReadSucceedsOnlyWithExactlyItsLength) {
  boardsim::Board board({});
  boardsim::EmulatedDevice& dev = bus().PlugBoard("1-1", board);
  const int h = plat::OpenUsbBoard(dev.stationPath());
  ASSERT_GE(h, 0);
  struct Case {
    uint32_t length;
    Result result;
  } cases[] = {{station::kCswSize, Result::Ok},
               {64, Result::WrongLength},    // a short transfer
               {512, Result::WrongLength},   // a whole packet asked, a short one came
               {49, Result::WrongLength}};   // the board's packet overflows the transfer
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    Send(h);
    std::vector<uint8_t> in(c.length);
    EXPECT_EQ(plat::UsbBulkRead(h, in.data(), c.length), c.result);
  }
  // Every exchange reached the board whole and passed its checks.
  const auto exchanges = board.exchanges();
  ASSERT_EQ(exchanges.size(), std::size(cases));
  for (const auto& e : exchanges) EXPECT_EQ(e.status, 0);
  EXPECT_TRUE(plat::CloseUsbBoard(h));
}

// A silent board: the read ends by libusb's time-out, the clock owes the rest of the driver's
// read time-out, and the answer that comes later is the next read's.
TEST_F(UsbBus, ASilentBoardTimesOutAndItsLateAnswerIsTheNextRead) {
  boardsim::Board board({});
  boardsim::EmulatedDevice& dev = bus().PlugBoard("1-1", board);
  const int h = plat::OpenUsbBoard(dev.stationPath());
  ASSERT_GE(h, 0);
  // libusb waits the read time-out in real time for the silent board (the fast clock's
  // patience is less); the clock must then stand past it too.
  testenv::ScopedReadTimeout timeout(300);
  clock.get().SetPeerPatienceMs(100);
  dev.SetSilent(true);
  Send(h);
  const int64_t start = clock.get().NowMs();
  Result r;
  EXPECT_EQ(Status(h, &r), -1);
  EXPECT_EQ(r, Result::Timeout);
  EXPECT_GE(clock.get().NowMs() - start, 300) << "the whole read time-out passed on the clock";
  dev.SetSilent(false);
  clock.get().SetPeerPatienceMs(60000);
  EXPECT_EQ(Status(h), 0);
  EXPECT_TRUE(plat::CloseUsbBoard(h));
}

TEST_F(UsbBus, AStopCancelsTheTransferInFlight) {
  boardsim::Board board({});
  boardsim::EmulatedDevice& dev = bus().PlugBoard("1-1", board);
  const int h = plat::OpenUsbBoard(dev.stationPath());
  ASSERT_GE(h, 0);
  testenv::ScopedReadTimeout timeout(600000);  // only the stop can end the read in time
  dev.SetSilent(true);
  Send(h);
  std::stop_source stop;
  auto read = std::async(std::launch::async, [&] {
    uint8_t csw[station::kCswSize];
    return plat::UsbBulkRead(h, csw, sizeof csw, stop.get_token());
  });
  ASSERT_TRUE(Eventually([&] { return dev.inFlight() == 1; }));
  stop.request_stop();
  ASSERT_EQ(read.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(read.get(), Result::Stopped);
  EXPECT_EQ(dev.discards(), 1);
  EXPECT_EQ(dev.inFlight(), 0);
  dev.SetSilent(false);
  EXPECT_EQ(Status(h), 0) << "the answer held back is still there";
  EXPECT_TRUE(plat::CloseUsbBoard(h));
}

// A halted endpoint fails the transfer at once and is cleared for the next one; an endpoint
// that halts every time fails every transfer, and never hangs one.
TEST_F(UsbBus, AStalledEndpointIsClearedAndTheTransferFails) {
  boardsim::Board board({});
  boardsim::EmulatedDevice& dev = bus().PlugBoard("1-1", board);
  const int h = plat::OpenUsbBoard(dev.stationPath());
  ASSERT_GE(h, 0);
  testenv::ScopedReadTimeout timeout(600000);

  dev.StallIn(1);
  Send(h);
  Result r;
  EXPECT_EQ(Status(h, &r), -1);
  EXPECT_EQ(r, Result::Stalled);
  EXPECT_EQ(dev.clearedHalts(), 1);
  EXPECT_EQ(Status(h), 0) << "the status wrapper waited behind the halt";

  dev.StallOut(1);
  const NoDataCommand c;
  EXPECT_EQ(plat::UsbBulkWrite(h, c.wrapper.data(), c.wrapper.size()), Result::Stalled);
  EXPECT_EQ(dev.clearedHalts(), 2);
  Send(h);
  EXPECT_EQ(Status(h), 0);

  dev.StallIn(-1);
  Send(h);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Status(h, &r), -1);
    EXPECT_EQ(r, Result::Stalled);
  }
  EXPECT_EQ(dev.clearedHalts(), 7);
  EXPECT_TRUE(plat::CloseUsbBoard(h));
}

// Pulled out while a transfer is in flight: that transfer and every later one report the
// board gone at once, long before any time-out, and it leaves the listing.
TEST_F(UsbBus, ABoardPulledOutMidTransferIsGoneAtOnce) {
  boardsim::Board board({});
  boardsim::EmulatedDevice& dev = bus().PlugBoard("1-1", board);
  const int h = plat::OpenUsbBoard(dev.stationPath());
  ASSERT_GE(h, 0);
  testenv::ScopedReadTimeout timeout(600000);
  dev.PullDuringOutTransfer(1);
  const NoDataCommand c;
  EXPECT_EQ(plat::UsbBulkWrite(h, c.wrapper.data(), c.wrapper.size()), Result::Ok);
  EXPECT_EQ(plat::UsbBulkWrite(h, station::kNoDataPayload.data(), station::kNoDataPayload.size()), Result::Gone);
  Result r;
  EXPECT_EQ(Status(h, &r), -1);
  EXPECT_EQ(r, Result::Gone);
  EXPECT_EQ(plat::UsbBulkWrite(h, c.wrapper.data(), c.wrapper.size()), Result::Gone);
  EXPECT_FALSE(dev.plugged());
  EXPECT_FALSE(board.plugged());
  EXPECT_TRUE(Eventually([] { return plat::ListUsbBoards(station::kUsbClassGuid).empty(); }));
  EXPECT_TRUE(plat::CloseUsbBoard(h));
  EXPECT_EQ(plat::OpenUsbBoard(dev.stationPath()), -1);
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

// The class's watcher reports the bound boards of the bus with the nodes of its folder, on its
// one thread; a device that the binding does not list comes and goes unreported.
TEST_F(UsbBus, TheClassWatcherReportsBoundBoardsOfTheBusBesideItsNodes) {
  testenv::ScopedEnv root("USB_DEVICE_ROOT", (dir / "devices").string());
  Events events;
  std::mutex threads;
  std::set<std::thread::id> callers;
  auto note = [&](char sign, const std::string& p) {
    {
      std::lock_guard g(threads);
      callers.insert(std::this_thread::get_id());
    }
    events.Add(sign + p);
  };
  plat::DeviceWatcher watcher;
  ASSERT_TRUE(watcher.StartClass(
      station::kUsbClassGuid, [&](const std::string& p) { note('+', p); }, [&](const std::string& p) { note('-', p); }));
  EXPECT_TRUE(watcher.watchingBus());

  boardsim::Board board({}), nodeBoard({});
  boardsim::UsbDeviceDescription stick;
  stick.product = 0x0002;
  stick.interfaceClass = 0x08;
  boardsim::EmulatedDevice& other = bus().PlugDevice("1-3", stick);
  boardsim::EmulatedDevice& dev = bus().PlugBoard("1-2", board);
  ASSERT_TRUE(Eventually([&] { return events.Get().size() >= 1; }));
  const std::string nodePath = nodeBoard.Plug(testenv::BoardClassFolder(), "node-0");
  ASSERT_TRUE(Eventually([&] { return events.Get().size() >= 2; }));
  bus().Unplug(other);
  bus().Unplug(dev);
  ASSERT_TRUE(Eventually([&] { return events.Get().size() >= 3; }));
  EXPECT_EQ(events.Get(), (std::vector<std::string>{"+usb:1-2", "+" + nodePath, "-usb:1-2"}));
  watcher.Stop();
  std::lock_guard g(threads);
  EXPECT_EQ(callers.size(), 1u);
}

// Once the last board is closed and the watch is stopped, the station holds nothing of libusb:
// no thread, no descriptor.
TEST_F(UsbBus, NothingOfTheBusStaysOnceTheLastUserLetsGo) {
  boardsim::Board board({});
  boardsim::EmulatedDevice& dev = bus().PlugBoard("1-1", board);
  ASSERT_EQ(plat::ListUsbBoards(station::kUsbClassGuid).size(), 1u);  // the bed is warm
  // The board takes the bus's connection to its node on its own thread; on a busy machine that
  // may come after the count below, and the board's end would look like the station's.
  ASSERT_TRUE(Eventually([&] { return board.connected(); }));
  const int threads = testenv::ThreadCount();
  const int descriptors = testenv::OpenDescriptorCount();
  {
    plat::UsbBusWatch watch;
    ASSERT_TRUE(watch.Start(station::kUsbClassGuid));
    const int h = plat::OpenUsbBoard(dev.stationPath());
    ASSERT_GE(h, 0);
    Send(h);
    EXPECT_EQ(Status(h), 0);
    EXPECT_GT(testenv::ThreadCount(), threads);
    EXPECT_TRUE(plat::CloseUsbBoard(h));
  }
  EXPECT_EQ(testenv::ThreadCount(), threads);
  // The emulated device's side of the connection is closed by the emulator's own loop once it
  // sees the station's end go: wait for that, a descriptor the station kept never goes.
  EXPECT_TRUE(Eventually([&] { return testenv::OpenDescriptorCount() == descriptors; }))
      << testenv::OpenDescriptorCount() << " descriptors open, " << descriptors << " before";
}

}  // namespace

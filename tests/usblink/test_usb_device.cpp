// Listing the boards of the driver's class, opening one, and reads and writes of whole frames.
#include "usblink/usb_device.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "boardsim/board_sim.h"
#include "platform/clock.h"
#include "platform/device_nodes.h"
#include "support/test_env.h"
#include "support/usb_sim.h"

namespace {

using namespace station;

TEST(UsbDevice, ClassFolderIsTheLowerCaseGuid) {
  testenv::ScratchDir dir;
  testenv::ScopedEnv root("USB_DEVICE_ROOT", dir.str());
  EXPECT_EQ(testenv::BoardClassFolder(), dir.str() + "/{7b56a5d6-cd10-4410-9f59-9a5e71269882}");
}

TEST(UsbDevice, FindUsbDevicesFillsTheCallersBuffers) {
  testenv::ScratchDir dir;
  testenv::ScopedEnv root("USB_DEVICE_ROOT", dir.str());
  char paths[4][kPathMax];
  std::memset(paths, 'x', sizeof paths);

  uint32_t count = 4;
  EXPECT_FALSE(FindUsbDevices(paths, count));  // no board: false, count kept
  EXPECT_EQ(count, 4u);

  std::vector<std::unique_ptr<boardsim::Board>> boards;
  for (const char* name : {"b3", "b1", "b2"}) {
    boards.push_back(std::make_unique<boardsim::Board>(boardsim::BoardConfig{}));
    ASSERT_FALSE(boards.back()->Plug(testenv::BoardClassFolder(), name).empty());
  }
  const std::string folder = testenv::BoardClassFolder();

  count = 2;  // more boards than buffers
  ASSERT_TRUE(FindUsbDevices(paths, count));
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(std::string(paths[0]), folder + "/b1");
  EXPECT_EQ(std::string(paths[1]), folder + "/b2");
  EXPECT_EQ(paths[2][0], 'x');  // untouched

  count = 4;
  ASSERT_TRUE(FindUsbDevices(paths, count));
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(std::string(paths[2]), folder + "/b3");
  EXPECT_EQ(paths[3][0], 'x');

  count = 0;
  EXPECT_FALSE(FindUsbDevices(paths, count));
  EXPECT_EQ(count, 0u);
}

TEST(UsbDevice, OpenAndClose) {
  testenv::ScratchDir dir;
  testenv::ScopedEnv root("USB_DEVICE_ROOT", dir.str());
  EXPECT_EQ(OpenUsbDevice((testenv::BoardClassFolder() + "/none").c_str()), kInvalidHandle);
  EXPECT_EQ(OpenUsbDevice(""), kInvalidHandle);
  EXPECT_EQ(OpenUsbDevice(nullptr), kInvalidHandle);

  boardsim::Board board({});
  const std::string path = board.Plug(testenv::BoardClassFolder(), "b");
  DevHandle h = OpenUsbDevice(path.c_str());
  ASSERT_NE(h, kInvalidHandle);
  EXPECT_TRUE(CloseDevice(h));
  EXPECT_EQ(h, kInvalidHandle);
  EXPECT_FALSE(CloseDevice(h));  // nothing left to close

  board.Unplug();
  EXPECT_EQ(OpenUsbDevice(path.c_str()), kInvalidHandle);  // a board that left
}

TEST(UsbDevice, ReadTakesOneWholeFrame) {
  testenv::ScopedReadTimeout quick(5);
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  const std::vector<uint8_t> frame = {1, 2, 3, 4, 5};
  uint8_t buffer[8] = {};

  ASSERT_TRUE(plat::WriteFrame(fds[1], frame.data(), frame.size()));
  EXPECT_FALSE(UsbRead(fds[0], 8, buffer));  // shorter than asked: the frame is used up, nothing copied
  EXPECT_EQ(LastUsbIo(), UsbIo::WrongLength);
  EXPECT_EQ(buffer[0], 0);

  EXPECT_FALSE(UsbRead(fds[0], 5, buffer));  // nothing within the driver's time-out
  EXPECT_EQ(LastUsbIo(), UsbIo::Timeout);

  ASSERT_TRUE(plat::WriteFrame(fds[1], frame.data(), frame.size()));  // a late frame is the next read's
  EXPECT_TRUE(UsbRead(fds[0], 5, buffer));
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 5), frame);

  EXPECT_TRUE(UsbWrite(fds[0], 3, frame.data()));
  std::vector<uint8_t> got;
  ASSERT_EQ(plat::ReadFrame(fds[1], got, 100), plat::FrameResult::Ok);
  EXPECT_EQ(got, std::vector<uint8_t>({1, 2, 3}));

  close(fds[1]);
  EXPECT_FALSE(UsbRead(fds[0], 5, buffer));
  EXPECT_EQ(LastUsbIo(), UsbIo::Gone);
  EXPECT_FALSE(UsbWrite(fds[0], 3, frame.data()));
  close(fds[0]);
  EXPECT_FALSE(UsbWrite(kInvalidHandle, 3, frame.data()));
}


// A board with nothing to send holds the station's reads off; the driver's time-out then runs on
// the station's clock, however the board's thread is scheduled.
TEST(UsbDevice, HeldOffReadsTimeOutOnTheClock) {
  plat::ScopedFastClock clock;
  testenv::ScopedReadTimeout driver(2000);
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  const std::vector<uint8_t> frame = {9, 8, 7};
  uint8_t buffer[3] = {};

  // Held back for 3 s: the first read gives up after its 2 s, the next takes the frame 1 s on.
  ASSERT_TRUE(plat::WriteHoldFor(fds[1], 3000));
  ASSERT_TRUE(plat::WriteFrame(fds[1], frame.data(), frame.size()));
  EXPECT_FALSE(UsbRead(fds[0], 3, buffer));
  EXPECT_EQ(LastUsbIo(), UsbIo::Timeout);
  EXPECT_EQ(clock.get().SleptMs(), 2000);
  EXPECT_TRUE(UsbRead(fds[0], 3, buffer));
  EXPECT_EQ(clock.get().SleptMs(), 3000);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 3), frame);

  // Held until the station writes: every read in between times out after its whole time-out.
  ASSERT_TRUE(plat::WriteHoldUntilWrite(fds[1]));
  EXPECT_FALSE(UsbRead(fds[0], 3, buffer));
  EXPECT_FALSE(UsbRead(fds[0], 3, buffer));
  EXPECT_EQ(LastUsbIo(), UsbIo::Timeout);
  EXPECT_EQ(clock.get().SleptMs(), 7000);
  ASSERT_TRUE(UsbWrite(fds[0], 3, frame.data()));
  ASSERT_TRUE(plat::WriteFrame(fds[1], frame.data(), frame.size()));
  EXPECT_TRUE(UsbRead(fds[0], 3, buffer));
  EXPECT_EQ(clock.get().SleptMs(), 7000);
  close(fds[0]);
  close(fds[1]);
}

TEST(UsbDevice, StopRequestEndsReadsAndWrites) {
  plat::ScopedFastClock clock;
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  ASSERT_TRUE(plat::WriteHoldUntilWrite(fds[1]));
  std::stop_source stop;
  stop.request_stop();
  plat::ScopedStopToken current(stop.get_token());
  uint8_t buffer[3] = {1, 2, 3};
  EXPECT_FALSE(UsbRead(fds[0], 3, buffer));
  EXPECT_EQ(LastUsbIo(), UsbIo::Stopped);
  EXPECT_FALSE(UsbWrite(fds[0], 3, buffer));
  EXPECT_EQ(LastUsbIo(), UsbIo::Stopped);
  EXPECT_EQ(clock.get().SleptMs(), 0);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace

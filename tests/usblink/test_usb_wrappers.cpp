// Command and status wrappers byte by byte, and the shared status wait against a scripted board:
// the test writes the board's frames into one end of a socket pair before the wait reads them.
#include "usblink/usb_wrappers.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "foundation/log_boxes.h"
#include "platform/clock.h"
#include "platform/device_nodes.h"
#include "support/test_env.h"
#include "support/usb_sim.h"

namespace {

using namespace station;
using Bytes = std::vector<uint8_t>;

TEST(UsbWrappers, CommandWrapperIsPackedLittleEndian) {
  UsbCbw cbw;
  cbw.dataTransferLength = 0x00040000;
  cbw.indicator = IndicatorByte(kIndicatorFirst, 1, 2);
  cbw.cb = VendorCommandBlock{0xF4, 1, 0x11223344, 0x0C, 0, 0x0800, 0x80, 0x80, 0x0079, 0xA1B2C3D4, 0xDEADBEEF};
  const Bytes expected = {
      0x55, 0x53, 0x42, 0x43,  // "USBC"
      0x78, 0x56, 0x34, 0x12,  // tag
      0x00, 0x00, 0x04, 0x00,  // transfer length
      0x00,                    // flags
      0x91,                    // iIndicator 1, routing A 1, routing B 2
      0x1C,                    // command block length
      0xF4, 0x01,              // opcode, sub-code
      0x44, 0x33, 0x22, 0x11,  // address
      0x0C, 0x00,              // ECC code, flash type
      0x00, 0x08,              // page size
      0x80, 0x00, 0x00, 0x00,  // block size
      0x80, 0x00, 0x00, 0x00,  // flash size
      0x79, 0x00,              // part marker
      0xD4, 0xC3, 0xB2, 0xA1,  // extra value
      0xEF, 0xBE, 0xAD, 0xDE,  // payload CRC
  };
  auto bytes = SerializeCbw(cbw);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), expected);

  UsbCbw back = ParseCbw(bytes.data());
  EXPECT_EQ(back.cb.address, 0x11223344u);
  EXPECT_EQ(back.cb.partMarker, 0x79);
  EXPECT_EQ(back.cb.payloadCrc, 0xDEADBEEFu);
  EXPECT_EQ(back.indicator, 0x91);
}

TEST(UsbWrappers, StatusWrapperFieldsSitAtTheirOffsets) {
  Bytes raw(kCswSize, 0);
  const Bytes head = {0x55, 0x53, 0x42, 0x53, 0x78, 0x56, 0x34, 0x12, 0x40, 0x02, 0x00, 0x00, 0x5F, 0x03};
  std::copy(head.begin(), head.end(), raw.begin());
  for (int i = 0; i < 16; ++i) raw[14 + i] = static_cast<uint8_t>(0xA0 + i);
  raw[49] = 0x77;
  UsbCsw csw = ParseCsw(raw.data());
  EXPECT_EQ(csw.signature, kCswSignature);
  EXPECT_EQ(csw.tag, kWrapperTag);
  EXPECT_EQ(csw.value, 0x240u);
  EXPECT_EQ(csw.status, 3);
  EXPECT_EQ(csw.key[0], 0xA0);
  EXPECT_EQ(csw.key[15], 0xAF);
  EXPECT_EQ(csw.reserved[19], 0x77);
  EXPECT_EQ(CswFlagPattern(csw.flags), 0b010);
  EXPECT_TRUE(CswAsksRepeat(csw.flags));
  EXPECT_EQ(CswReservedBits(csw.flags), 0x1F);
  auto again = SerializeCsw(csw);
  EXPECT_EQ(Bytes(again.begin(), again.end()), raw);

  EXPECT_TRUE(CswNotDelivered(0x60));   // 011
  EXPECT_FALSE(CswAsksRepeat(0x60));
  EXPECT_FALSE(CswNotDelivered(0x20));  // 001
  EXPECT_FALSE(CswNotDelivered(0x80));  // 100
}

TEST(UsbWrappers, OpcodeTable) {
  struct Row {
    VendorOpcode op;
    uint8_t byte, subCode;
    bool noData, write, read;
  };
  const Row rows[] = {
      {VendorOpcode::GenKey, 0xF1, 3, true, false, false},
      {VendorOpcode::SystemReset, 0xF2, 2, true, false, false},
      {VendorOpcode::WriteSpecialPage, 0xF3, 4, false, true, false},
      {VendorOpcode::WriteFlash, 0xF4, 1, false, true, false},
      {VendorOpcode::WriteHwsetting, 0xF5, 0, false, true, false},
      {VendorOpcode::ReadFlash, 0xF6, 0, false, false, true},
      {VendorOpcode::WriteDdr, 0xF9, 5, false, true, false},
      {VendorOpcode::DdrEnable, 0xFA, 6, true, false, false},
      {VendorOpcode::GenKsKey, 0xFB, 7, true, false, false},
      {VendorOpcode::ReadSpare, 0xFC, 0, false, false, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.byte);
    EXPECT_EQ(OpByte(r.op), r.byte);
    EXPECT_EQ(VendorSubCode(r.byte), r.subCode);
    EXPECT_EQ(IsNoDataOpcode(r.byte), r.noData);
    EXPECT_EQ(IsWriteOpcode(r.byte), r.write);
    EXPECT_EQ(IsReadOpcode(r.byte), r.read);
  }
}

// ---- status wait ----

// A clock whose every reading moves time on, so that a board answering back to back is seen
// to answer for a long time.
class SteppingClock : public plat::Clock {
 public:
  explicit SteppingClock(int64_t stepMs) : step_(stepMs) {}
  int64_t NowMs() override { return now_ += step_; }
  int64_t WallSeconds() override { return now_ / 1000; }

 protected:
  bool Sleep(int64_t ms, std::stop_token stop) override {
    if (ms > 0) now_ += ms;
    return !stop.stop_requested();
  }

 private:

  std::atomic<int64_t> now_{0};
  const int64_t step_;
};

// One frame the scripted board sends.
struct Frame {
  enum Kind { Status, Short, Silence, Hangup } kind = Status;
  uint8_t status = 0;
  bool badTag = false;
  bool badSignature = false;
  int times = 1;
};

Frame Good(uint8_t status = 0, int times = 1) { return {Frame::Status, status, false, false, times}; }
Frame BadTag(int times) { return {Frame::Status, 0, true, false, times}; }
Frame BadSignature(int times) { return {Frame::Status, 0, false, true, times}; }
Frame Busy(int times) { return {Frame::Status, 2, false, false, times}; }
Frame ShortFrame() { return {Frame::Short, 0, false, false, 1}; }
Frame Silence() { return {Frame::Silence}; }
Frame Hangup() { return {Frame::Hangup}; }

// The board's end of a socket pair. Its frames go out from a thread of their own, since a
// long script does not fit in the socket's buffer before the station starts reading.
struct ScriptedBoard {
  int fds[2] = {-1, -1};
  std::thread writer;
  ScriptedBoard() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0); }
  ~ScriptedBoard() {
    shutdown(fds[0], SHUT_RDWR);  // a writer still blocked on unread frames gives up
    if (writer.joinable()) writer.join();
    for (int fd : fds)
      if (fd >= 0) close(fd);
  }
  DevHandle station() const { return fds[0]; }
  void Play(const std::vector<Frame>& script) {
    Bytes stream;
    bool hangup = false;
    for (const Frame& f : script) {
      if (f.kind == Frame::Silence) break;
      if (f.kind == Frame::Hangup) {
        hangup = true;
        break;
      }
      for (int i = 0; i < f.times; ++i) {
        UsbCsw csw;
        csw.signature = f.badSignature ? kCbwSignature : kCswSignature;
        csw.tag = f.badTag ? 0x87654321 : kWrapperTag;
        csw.status = f.status;
        auto bytes = SerializeCsw(csw);
        const uint32_t n = f.kind == Frame::Short ? 13 : kCswSize;
        for (int k = 0; k < 4; ++k) stream.push_back(static_cast<uint8_t>(n >> (8 * k)));
        stream.insert(stream.end(), bytes.begin(), bytes.begin() + n);
      }
    }
    // After its script the board has nothing to say: it holds the station's reads off.
    if (!hangup) stream.insert(stream.end(), 4, 0xFF);
    // Queue what the socket takes at once, so that the station's first reads find their frames
    // however late the writer thread starts; the writer sends the rest as the station reads.
    size_t queued = 0;
    while (queued < stream.size()) {
      ssize_t w = send(fds[1], stream.data() + queued, stream.size() - queued, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (w <= 0) break;
      queued += static_cast<size_t>(w);
    }
    writer = std::thread([this, stream = std::move(stream), hangup, queued] {
      size_t done = queued;
      while (done < stream.size()) {
        ssize_t w = send(fds[1], stream.data() + done, stream.size() - done, MSG_NOSIGNAL);
        if (w <= 0) return;
        done += static_cast<size_t>(w);
      }
      if (hangup) shutdown(fds[1], SHUT_RDWR);
    });
  }
};

struct WaitCase {
  const char* name;
  StatusSender sender;
  std::vector<Frame> script;
  int64_t clockStepMs;  // 0: the fast clock, where only pauses move time
  ResultCode expected;
  int finalStatus;  // status of the wrapper that ended the wait, when it ended with 100
};

class StatusWait : public ::testing::TestWithParam<WaitCase> {};

TEST_P(StatusWait, EndsAsTheSendersRowSays) {
  const WaitCase& c = GetParam();
  testenv::StationFixture env;
  testenv::ScopedReadTimeout fastDriver(2);
  SteppingClock stepping(c.clockStepMs);
  if (c.clockStepMs) plat::SetClock(&stepping);

  ScriptedBoard board;
  board.Play(c.script);
  UsbCsw csw;
  ResultCode rc = WaitForStatus(board.station(), c.sender, 0, csw);
  plat::SetClock(&env.clock.get());
  EXPECT_EQ(rc, c.expected);
  if (c.script.back().kind == Frame::Hangup) {
    EXPECT_EQ(env.clock.get().SleptMs(), 0) << "no pause waits for a board that is gone";
  }
  if (rc == kResultOk) {
    EXPECT_EQ(csw.status, c.finalStatus);
  }
}

const WaitCase kWaitCases[] = {
    {"WrongTagCountsTowardsTheLimit", StatusSender::SendData, {BadTag(199), Good()}, 0, kResultOk, 0},
    {"TwoHundredWrongTagsGiveUp", StatusSender::SendData, {BadTag(200), Good()}, 0, kResultCswRetries, 0},
    {"WrongSignatureLikeWrongTag", StatusSender::SendNoData, {BadSignature(200)}, 0, kResultCswRetries, 0},
    {"ShortFrameIsAFailedRead", StatusSender::SendData, {ShortFrame(), Good(3)}, 0, kResultOk, 3},
    {"SilentBoardTimesOutOnDataPath", StatusSender::SendData, {Silence()}, 0, kResultCswTimeout, 0},
    {"SilentBoardTimesOutOnNoDataPath", StatusSender::SendNoData, {Silence()}, 0, kResultCswStatus, 0},
    // A board that is gone ends the wait at once, with the code its failed reads would reach:
    // 199 more reads 200 ms apart outlast the armed 20 s; without pauses, or once busy has
    // disarmed the time-out, the read limit comes first.
    {"HangupEndsTheWait", StatusSender::SendData, {Hangup()}, 0, kResultCswTimeout, 0},
    {"HangupAfterBusyReachesTheReadLimit", StatusSender::SendData, {Busy(1), Hangup()}, 0, kResultCswRetries, 0},
    {"HangupOnNoDataPathTimesOut", StatusSender::SendNoData, {Busy(1), Hangup()}, 0, kResultCswStatus, 0},
    {"HangupOnFlashReadReachesTheReadLimit", StatusSender::FlashRead, {Hangup()}, 0, kResultCswRetries, 0},
    {"HangupOnSkipBlankReachesTheReadLimit", StatusSender::SkipBlankWrite, {Hangup()}, 0, kResultCswRetries, 0},
    {"BusyLongerThanTimeoutStillWaited", StatusSender::SendData, {Busy(400), Good()}, 100, kResultOk, 0},
    {"BusyDisarmsTimeoutOnDataPath", StatusSender::SendData, {Busy(1), Silence()}, 100, kResultCswRetries, 0},
    {"BusyKeepsTimeoutOnNoDataPath", StatusSender::SendNoData, {Busy(1), Silence()}, 100, kResultCswStatus, 0},
    {"NoDataTakesHighStatusAsBusy", StatusSender::SendNoData, {Good(7, 3), Good(9, 2), Good(4)}, 0, kResultOk, 4},
    {"DataPathHandsHighStatusOn", StatusSender::SendData, {Good(9)}, 0, kResultOk, 9},
    {"SkipBlankCountsBusyReads", StatusSender::SkipBlankWrite, {Busy(200), Good()}, 0, kResultCswRetries, 0},
    {"SkipBlankBusyWithinLimit", StatusSender::SkipBlankWrite, {Busy(199), Good()}, 0, kResultOk, 0},
    {"FlashReadHandsFailedStatusOn", StatusSender::FlashRead, {BadTag(2), Good(1)}, 0, kResultOk, 1},
};

INSTANTIATE_TEST_SUITE_P(Rows, StatusWait, ::testing::ValuesIn(kWaitCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StatusWaitLog, DataPathTextsAndPauses) {
  testenv::StationFixture env;
  testenv::ScopedReadTimeout fastDriver(2);
  ScriptedBoard board;
  board.Play({BadTag(1), ShortFrame(), Good()});
  UsbCsw csw;
  ASSERT_EQ(WaitForStatus(board.station(), StatusSender::SendData, 2, csw), kResultOk);
  EXPECT_EQ(DeviceLogText(2),
            "PerformReadTest failed enter retry !! \r\n"
            "CSW.bCSWStatus [ 0x0 ]\r\n"
            "CSW.dCSWSignature [ 0x53425355 ]\r\n"
            "CSW.dCSWTag [ 0x87654321 ]\r\n"
            "PerformReadTest: data failed , retry !!\r\n");
  EXPECT_EQ(env.clock.get().SleptMs(), kStatusRetryPauseMs);  // one pause, after the failed read only
}

TEST(StatusWaitLog, LimitAndTimeoutTexts) {
  testenv::StationFixture env;
  testenv::ScopedReadTimeout fastDriver(1);
  {
    ScriptedBoard board;
    board.Play({BadTag(200)});
    UsbCsw csw;
    ASSERT_EQ(WaitForStatus(board.station(), StatusSender::SendNoData, 1, csw), kResultCswRetries);
    const std::string log = DeviceLogText(1);
    EXPECT_NE(log.find("ReadTest Signatrue Tag failed , retry !! Signatrue :: 53425355  Tag :: 87654321 \r\n"),
              std::string::npos);
    EXPECT_TRUE(log.ends_with("ReadTest retry 200 exit !! Signatrue :: 53425355  Tag :: 87654321 \r\n"));
  }
  {
    ScriptedBoard board;
    board.Play({Silence()});
    UsbCsw csw;
    ASSERT_EQ(WaitForStatus(board.station(), StatusSender::SendData, 3, csw), kResultCswTimeout);
    const std::string log = DeviceLogText(3);
    EXPECT_NE(log.find("diffTime: 21 \r\n"), std::string::npos);
    EXPECT_TRUE(log.ends_with("PerformReadTest : wait timeout: 21 \r\nPerformReadTest: read csw failed!\r\n"));
  }
  {
    // The readers log into the main log when they have no slot.
    ScriptedBoard board;
    board.Play({BadSignature(200)});
    UsbCsw csw;
    ASSERT_EQ(WaitForStatus(board.station(), StatusSender::SpareRead, -1, csw), kResultCswRetries);
    const std::string log = MainLogText();
    EXPECT_NE(log.find("signature fail \r\nCSW.dCSWSignature: 0x43425355, CSW.dCSWTag: 0x12345678 \r\n"),
              std::string::npos);
    EXPECT_TRUE(log.ends_with("ERROR_CSW_READ_THIRTY \r\n"));
  }
}

}  // namespace

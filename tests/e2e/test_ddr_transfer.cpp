// A board that only boots from DDR, end to end: the USB hardware setting, then the ramlet sent
// into the simulated board's DDR, with the board told to run it.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "boardsim/board_sim.h"
#include "foundation/image_buffers.h"
#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "mkpackage/mkpackage.h"
#include "package/type_lists.h"
#include "programming/ddr_transfer.h"
#include "programming/slot_params.h"
#include "programming/usb_hwsetting.h"
#include "support/install_env.h"
#include "support/package_env.h"
#include "support/usb_sim.h"
#include "usblink/flash_options.h"

namespace station {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kSlot = 5;

class DdrTransferEndToEnd : public ::testing::Test, public testenv::PackageFixture {
 protected:
  DdrTransferEndToEnd() : board(dir, Nor()) {
    FreeImageBuffers();
    StationState& s = state();
    s.mainDlg.SetText(kDdrTypeList, "2DDR4_1GB");
    GetDdrFolderName(1);
  }
  ~DdrTransferEndToEnd() override { FreeImageBuffers(); }

  static boardsim::BoardConfig Nor() {
    boardsim::BoardConfig cfg;
    cfg.flash = boardsim::FlashKind::Nor;
    return cfg;
  }

  Bytes LoadRamlet(uint32_t size) {
    Bytes data = mkpackage::SyntheticData(9, "ramlet.bin", size);
    ImageBuffer& nor = state().images.norImage;
    nor.data = testenv::WithZero(data);
    nor.length = size;
    return data;
  }

  // The job's order: parameters, hardware setting, then the procedure.
  ResultCode Program(const std::function<void(DeviceSlot&)>& beforeTransfer = {}, uint32_t rangeBytes = 0) {
    DeviceSlot& dev = state().slots[kSlot];
    dev.DeviceHandle = board.handle();
    dev.Busy = 1;
    FlashInfo info = testenv::FlashInfoOf(board.board().config(), kSlot);
    if (rangeBytes) info.OnceMaxTransRange = rangeBytes;
    FillDeviceParams(kSlot);
    state().HwsettingPending[kSlot] = 1;
    EXPECT_EQ(RunUsbHwsetting(kSlot, dev, info, state().HwsettingPending[kSlot]), kResultDone);
    board.board().clearExchanges();
    if (beforeTransfer) beforeTransfer(dev);
    NandBbt bbt;
    const ResultCode rc = TransRamletToDdr(kSlot, dev, info, *state().fwEntries, BurnOption{}, bbt);
    dev.DeviceHandle = kInvalidHandle;
    return rc;
  }

  testenv::SimBoard board;
};

TEST_F(DdrTransferEndToEnd, RamletArrivesAt0x1500000AndTheBoardIsToldToRunIt) {
  // Three ranges and a bit; a start address and the secure box that must not matter.
  const Bytes ramlet = LoadRamlet(3 * 0x100000 + 100);
  ui::Dialog& options = state().optionsDlg;
  options.SetText(option_id::kStartAddress, "12345");
  options.SetChecked(option_id::kSecure, true);
  options.SetChecked(option_id::kGoJump, false);

  ASSERT_EQ(Program({}, 0x100000), kResultDone) << DeviceLogText(kSlot);

  EXPECT_EQ(board.board().Ddr(kRamletDdrAddress, static_cast<uint32_t>(ramlet.size())), ramlet);
  const std::vector<boardsim::Exchange> ex = board.board().exchanges();
  std::vector<uint32_t> ranges;
  for (const boardsim::Exchange& e : ex)
    if (ranges.empty() || ranges.back() != e.address) ranges.push_back(e.address);
  EXPECT_EQ(ranges, (std::vector<uint32_t>{kRamletDdrAddress, kRamletDdrAddress + 0x100000,
                                           kRamletDdrAddress + 0x200000, kRamletDdrAddress + 0x300000}));
  for (const boardsim::Exchange& e : ex) {
    EXPECT_EQ(e.opcode, 0xF9) << "nothing but the DDR write: no flash is touched";
    EXPECT_EQ(e.subCode, 5);
    EXPECT_EQ(e.flashType, 1);
    EXPECT_EQ(e.routingA, 0);
    EXPECT_EQ(e.routingB, 1);
  }
  EXPECT_EQ(state().slots[kSlot].Remaining.norImage, 0);
  EXPECT_NE(DeviceLogText(kSlot).find("transmission ramlet to ddr.\r\n"), std::string::npos);
  EXPECT_NE(DeviceLogText(kSlot).find("DONE - Transmission is completed !\r\n"), std::string::npos);
}

TEST_F(DdrTransferEndToEnd, EmptyRamletSendsNothingAndSucceeds) {
  EXPECT_EQ(Program(), kResultDone);
  EXPECT_TRUE(board.board().exchanges().empty());
}

TEST_F(DdrTransferEndToEnd, FailureIsReportedWithItsCodeUnderTheFailedLine) {
  struct Case {
    const char* name;
    std::function<void(DeviceSlot&)> before;
    ResultCode code;
    const char* message;
    bool sent;
  };
  const Case cases[] = {
      {"board refuses the write",
       [&](DeviceSlot&) { board.SetFaults([](boardsim::Faults& f) { f.failStatusExchange = 0; }); }, 7,
       "Error - (CSW) Stat failed !\r\n", true},
      {"counter beyond the loaded ramlet", [](DeviceSlot& d) { d.Remaining.norImage += 1; }, 3,
       "Error - Write device data size error !\r\n", false},
      {"counter short of the loaded ramlet", [](DeviceSlot& d) { d.Remaining.norImage = 16; }, 3,
       "Error - Write device data size error !\r\n", false},
  };
  LoadRamlet(5000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Program(c.before), c.code);
    EXPECT_EQ(!board.board().exchanges().empty(), c.sent);
    const std::string log = testenv::TakeErrorLogs(appDir);
    EXPECT_NE(log.find(std::string("transmission ramlet to ddr failed.\r\n\r\n") + c.message), std::string::npos) << log;
  }
}

}  // namespace
}  // namespace station

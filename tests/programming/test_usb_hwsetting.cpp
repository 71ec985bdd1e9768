#include "programming/usb_hwsetting.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "foundation/log_boxes.h"
#include "foundation/slot_display.h"
#include "package/usb_hwsetting_file.h"
#include "support/package_env.h"
#include "support/usb_sim.h"

namespace station {
namespace {

namespace fs = std::filesystem;

class HwsettingFile : public ::testing::Test, public testenv::PackageFixture {
 protected:
  std::vector<uint8_t> FileBytes(int ddrIndex) {
    const std::string text = testenv::ReadFile(stationFiles.hwsettingFiles.at(ddrIndex));
    return std::vector<uint8_t>(text.begin(), text.end());
  }
};

TEST_F(HwsettingFile, FailuresSetTheSlotResultAsTheCauseSays) {
  struct Case {
    const char* name;
    std::string ddr;
    bool makeUnreadable;
    int result;  // the slot's result afterwards (0: as the job set it)
    const char* slotLine;
  };
  const Case cases[] = {
      {"no DDR type", "", false, 0, "DDRFolderDirectoryName is empty!\r\n"},
      {"file missing", "4DDR3_2GB", false, 4, "is not found!\r\n"},
      {"file unreadable", "4DDR3_2GB", true, 4, "prepare usb_hwsetting file failed\r\n"},
  };
  fs::remove(appDir + "/Tempfile/tamor_usb_hwsetting_4DDR3_2GB.bin");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.makeUnreadable) fs::create_directories(appDir + "/Tempfile/tamor_usb_hwsetting_4DDR3_2GB.bin");
    s().DdrFolderName = c.ddr;
    s().SlotResult[3] = 0;
    s().slots[3].HwsettingBuffer = {9, 9};
    s().slots[3].HwsettingSize = 2;
    SetDeviceLogText(3, "");

    EXPECT_FALSE(PrepareUsbHwsettingBuffer(3));
    EXPECT_EQ(s().SlotResult[3].load(), c.result);
    EXPECT_NE(DeviceLogText(3).find(c.slotLine), std::string::npos) << DeviceLogText(3);
    if (!c.ddr.empty()) {
      EXPECT_TRUE(s().slots[3].HwsettingBuffer.empty());
      EXPECT_EQ(s().slots[3].HwsettingSize, 0);
    }
  }
  EXPECT_NE(MainLogText().find("usb_hwsetting path:" + appDir +
                               "/Tempfile/tamor_usb_hwsetting_4DDR3_2GB.bin is not found!\r\n"),
            std::string::npos);
  EXPECT_NE(MainLogText().find("read usb_hwsetting file failed! \r\n"), std::string::npos);
}

TEST_F(HwsettingFile, EverySlotGetsItsOwnCopyOfTheChosenType) {
  s().DdrFolderName = "2DDR4_2GB";
  std::vector<std::jthread> jobs;
  for (int slot = 0; slot < kSlotCount; ++slot) jobs.emplace_back([slot] { PrepareUsbHwsettingBuffer(slot); });
  jobs.clear();

  std::vector<uint8_t> expected = FileBytes(1);
  const int64_t length = static_cast<int64_t>(expected.size());
  expected.push_back(0);
  for (int slot = 0; slot < kSlotCount; ++slot) {
    EXPECT_EQ(s().slots[slot].HwsettingBuffer, expected) << slot;
    EXPECT_EQ(s().slots[slot].HwsettingSize, length) << slot;
  }
  EXPECT_NE(s().slots[0].HwsettingBuffer.data(), s().slots[1].HwsettingBuffer.data());

  // Slot 0 preparing again (another DDR type) leaves slot 1's buffer where it was.
  const uint8_t* slot1 = s().slots[1].HwsettingBuffer.data();
  s().DdrFolderName = "4DDR4_1GB";
  ASSERT_TRUE(PrepareUsbHwsettingBuffer(0));
  EXPECT_EQ(s().slots[1].HwsettingBuffer.data(), slot1);
  EXPECT_EQ(s().slots[0].HwsettingBuffer, testenv::WithZero(FileBytes(2)));
  EXPECT_NE(DeviceLogText(0).find("prepare usb_hwsetting buffer done\r\n"), std::string::npos);
}

class HwsettingRun : public HwsettingFile {
 protected:
  HwsettingRun() : sim(dir, EmmcBoard()) {}
  static boardsim::BoardConfig EmmcBoard() {
    boardsim::BoardConfig c;
    c.flash = boardsim::FlashKind::Emmc;
    return c;
  }
  FlashInfo Info() {
    FlashInfo info;
    info.FlashType = 2;
    info.TransRange = 0x1000;
    info.OnceMaxTransRange = 0x100000;
    return info;
  }
  ResultCode Run(int slot) {
    DeviceSlot& dev = s().slots[slot];
    dev.DeviceHandle = sim.handle();
    return RunUsbHwsetting(slot, dev, Info(), s().HwsettingPending[slot]);
  }

  testenv::SimBoard sim;
};

TEST_F(HwsettingRun, BoardHoldsTheProgramAtItsAddressAndHasDdrEnabled) {
  s().DdrFolderName = "2DDR3_1GB";
  const std::vector<uint8_t> program = FileBytes(4);
  s().HwsettingPending[0] = 1;

  EXPECT_EQ(Run(0), kResultDone);
  EXPECT_EQ(s().HwsettingPending[0].load(), 0);
  EXPECT_EQ(s().slots[0].HwsettingSize, 0) << "the send counts the slot's size down";
  EXPECT_EQ(sim.board().Ddr(kHwsettingDdrAddress, static_cast<uint32_t>(program.size())), program);
  EXPECT_TRUE(sim.board().hwsettingDone());
  EXPECT_TRUE(sim.board().ddrEnabled());

  const std::vector<boardsim::Exchange> ex = sim.board().exchanges();
  ASSERT_GE(ex.size(), 2u);
  EXPECT_EQ(ex.front().opcode, 0xF5);
  EXPECT_EQ(ex.front().address, kHwsettingDdrAddress);
  EXPECT_EQ(ex.back().opcode, 0xFA);
  EXPECT_EQ(ex.back().subCode, 6);
  EXPECT_EQ(ex.back().address, 0u);
  EXPECT_NE(MainLogText().find("single device ddr enable Device[0] \r\n"), std::string::npos);
  EXPECT_NE(DeviceLogText(0).find("run usb hwsetting ddr enable icon[0]:\r\n"), std::string::npos);

  // A second pass of the job: the board already runs its setting.
  sim.board().clearExchanges();
  EXPECT_EQ(Run(0), kResultDone);
  EXPECT_TRUE(sim.board().exchanges().empty());
}

TEST_F(HwsettingRun, MissingFileGives4AndKeepsTheSettingPending) {
  s().DdrFolderName = "2DDR3_1GB";
  fs::remove(stationFiles.hwsettingFiles.at(4));
  s().HwsettingPending[2] = 1;

  EXPECT_EQ(Run(2), 4);
  EXPECT_EQ(s().HwsettingPending[2].load(), 1);
  EXPECT_TRUE(sim.board().exchanges().empty());
  EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(2)), kPictureFailedBase + 4);
}

TEST_F(HwsettingRun, RefusedSettingSendsNoDdrEnable) {
  s().DdrFolderName = "2DDR4_1GB";
  sim.SetFaults([](boardsim::Faults& f) { f.failStatusExchange = 0; });
  s().HwsettingPending[1] = 1;

  const ResultCode result = Run(1);
  EXPECT_NE(result, kResultDone);
  EXPECT_EQ(s().HwsettingPending[1].load(), 1);
  EXPECT_FALSE(sim.board().ddrEnabled());
  for (const boardsim::Exchange& e : sim.board().exchanges()) EXPECT_NE(e.opcode, 0xFA);
}

}  // namespace
}  // namespace station

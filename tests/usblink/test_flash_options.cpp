// The flash information and burn option snapshots taken from the options dialog.
#include "usblink/flash_options.h"

#include <gtest/gtest.h>

#include "foundation/log_boxes.h"
#include "support/test_env.h"

namespace {

using namespace station;
using namespace station::option_id;

struct Boxes {
  const char* flashType;
  const char* blockSizeK;
  const char* transmissionK;
  const char* oneWriteM;
};

struct SizeCase {
  const char* name;
  Boxes boxes;
  uint8_t flashType;
  uint32_t blockSizeK, transRange, onceMax;
};

class FlashInfoSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(FlashInfoSizes, TransferUnitAndRange) {
  const SizeCase& c = GetParam();
  testenv::StationFixture env;
  ui::Dialog& d = env.station->optionsDlg;
  d.SetText(kFlashType, c.boxes.flashType);
  d.SetText(kBlockSizeK, c.boxes.blockSizeK);
  d.SetText(kTransmissionSizeK, c.boxes.transmissionK);
  d.SetText(kOneWriteSizeM, c.boxes.oneWriteM);
  FlashInfo info{};
  GetFlashInfo(info, 0);
  EXPECT_EQ(info.FlashType, c.flashType);
  EXPECT_EQ(info.BlockSizeK, c.blockSizeK);
  EXPECT_EQ(info.TransRange, c.transRange);
  EXPECT_EQ(info.OnceMaxTransRange, c.onceMax);
}

const SizeCase kSizeCases[] = {
    // A small-block NAND moves one block whatever the boxes say.
    {"SmallBlockNandUsesTheBlock", {"0", "80", "512", "4"}, 0, 128, 131072, 131072},
    {"LargeBlockNandUsesTheBoxes", {"0", "100", "256", "4"}, 0, 256, 262144, 4194304},
    {"EmmcUsesTheBoxesInDecimal", {"2", "80", "256", "16"}, 2, 128, 262144, 16777216},
    {"EmptyBoxGivesZeroEvenOnNand", {"0", "80", "", "4"}, 0, 128, 0, 131072},
    {"FlashTypeIsHexadecimal", {"10", "", "1", "1"}, 16, 0, 1024, 1048576},
};

INSTANTIATE_TEST_SUITE_P(Boxes, FlashInfoSizes, ::testing::ValuesIn(kSizeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FlashInfo, ReadsEveryBoxAndLogsWhatItRead) {
  testenv::StationFixture env;
  ui::Dialog& d = env.station->optionsDlg;
  d.SetText(kFlashType, "0");
  d.SetText(kNandSizeM, "400");
  d.SetText(kBlockSizeK, "80");
  d.SetText(kPageSize, "800");
  d.SetText(kEccBit, "c");
  d.SetText(kStartAddress, "123456789");  // read as 64 bits, the low 32 kept
  d.SetText(kWriteSpecialLength, "99");
  d.SetText(kSpare, "");
  d.SetText(kOneWriteSizeM, "4");
  d.SetText(kTransmissionSizeK, "256");
  d.SetChecked(kSecure, true);
  d.SetText(kDataSize, "1000");
  d.SetText(kSpareCount, "20");
  FlashInfo info{};
  GetFlashInfo(info, 4);
  EXPECT_EQ(info.NandSizeM, 0x400u);
  EXPECT_EQ(info.PageSize, 0x800u);
  EXPECT_EQ(info.EccCode, 0x0C);
  EXPECT_EQ(info.StartAddress, 0x23456789u);
  EXPECT_EQ(info.SpecialValue, 0);  // an empty "Spare:" box, whatever the special length holds
  EXPECT_EQ(info.Secure, 1u);
  EXPECT_EQ(info.GoJump, 0u);
  EXPECT_EQ(info.TotalDataSize, 0x1000u);
  EXPECT_EQ(info.SpareCounter, 0x20u);
  EXPECT_EQ(DeviceLogText(4),
            "flash type : 0.\r\n"
            "Assign Nand Size (M): 400 \r\n"
            "block Size (K): 80 \r\n"
            "page size : 800 \r\n"
            "ecc bit : c \r\n"
            "start address : 0x23456789 \r\n"
            "special counter : 99 \r\n"
            "once max trans range : 0x20000 \r\n"
            "trans range : 0x20000\r\n"
            "secure : 1\r\n"
            "\r\total data size : 1000 \r\n"
            "\r\nget spare counter : 20 \r\n"
            "go/Jump : 0\r\n");
}

TEST(BurnOption, ReadsTheSwitchesInOrderAndLogsThem) {
  testenv::StationFixture env;
  ui::Dialog& d = env.station->optionsDlg;
  d.SetChecked(kReadSpare, true);
  d.SetChecked(kOnlyBurnEfuse, true);
  d.SetChecked(kLkEnable, true);
  BurnOption o;
  o.spare = 7;
  GetBurnOption(o, 1);
  EXPECT_EQ(o.readNandSpare, 1);
  EXPECT_EQ(o.onlyProgramEfuse, 1);
  EXPECT_EQ(o.lkEnable, 1);
  EXPECT_EQ(o.singleMode, 0);
  EXPECT_EQ(o.spare, 0);
  EXPECT_EQ(DeviceLogText(1),
            "===========================================================\r\n"
            "burn option:\r\n"
            "only upgrade bootloader :0\r\n"
            "read flash data :0\r\n"
            "read nand flash spare :1\r\n"
            "single mode :0\r\n"
            "compare mode :0\r\n"
            "ues se_storage :0\r\n"
            "hack go ddr (only 5817) :0\r\n"
            "only upgrade firmware (not include factory area) :0\r\n"
            "only program efuse :1\r\n"
            "only upgrade secure firmware  (not include prattion and mbr and factory) :0\r\n"
            "burn factory :0\r\n"
            "NAS enable :0\r\n"
            "LK enable :1\r\n"
            "===========================================================\r\n");
}

TEST(BurnOption, Queries) {
  auto with = [](int32_t BurnOption::*field) {
    BurnOption o;
    o.*field = 1;
    return o;
  };
  BurnOption singleAndFactory;
  singleAndFactory.singleMode = 1;
  singleAndFactory.burnFactory = 1;
  struct Row {
    BurnOption o;
    int query, expected;
  };
  const Row rows[] = {
      {BurnOption{}, 0, 0},
      {with(&BurnOption::onlyUpgradeBootloader), 0, 1},
      {with(&BurnOption::onlyUpgradeBootloader), 1, 0},
      {with(&BurnOption::readFlashData), 1, 1},
      {with(&BurnOption::onlyProgramEfuse), 0, 1},
      {with(&BurnOption::compareMode), 0, 0},
      {singleAndFactory, 1, 0},  // burn factory wins over single mode
      {singleAndFactory, 2, 1},
      {with(&BurnOption::onlyUpgradeSecureFirmware), 3, 1},
      {with(&BurnOption::onlyUpgradeFirmware), 3, 1},
      {with(&BurnOption::burnFactory), 3, 0},
      {with(&BurnOption::burnFactory), 4, 0},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(CheckBurnOption(rows[i].o, rows[i].query), rows[i].expected);
  }
}

}  // namespace

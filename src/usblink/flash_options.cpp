#include "usblink/flash_options.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "foundation/log_boxes.h"
#include "foundation/station_state.h"

namespace station {

namespace {

uint64_t Hex(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 16); }
uint64_t Decimal(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 10); }

std::string HexText(uint32_t v) {
  char b[16];
  snprintf(b, sizeof b, "%x", v);
  return b;
}

}  // namespace

void GetFlashInfo(FlashInfo& info, int slot) {
  using namespace option_id;
  const ui::Dialog& d = state().optionsDlg;
  auto text = [&](int id) { return d.Text(id); };

  if (std::string t = text(kFlashType); t.empty()) {
    info.FlashType = 0;
  } else {
    info.FlashType = static_cast<uint8_t>(Hex(t));
    PrintDeviceLog(slot, "flash type : %s.\r\n", t.c_str());
  }
  if (std::string t = text(kNandSizeM); t.empty()) {
    info.NandSizeM = 0;
  } else {
    info.NandSizeM = static_cast<uint32_t>(Hex(t));
    PrintDeviceLog(slot, "Assign Nand Size (M): %s \r\n", t.c_str());
  }
  if (std::string t = text(kBlockSizeK); t.empty()) {
    info.BlockSizeK = 0;
  } else {
    info.BlockSizeK = static_cast<uint32_t>(Hex(t));
    PrintDeviceLog(slot, "block Size (K): %s \r\n", t.c_str());
  }
  if (std::string t = text(kPageSize); t.empty()) {
    info.PageSize = 0;
  } else {
    info.PageSize = static_cast<uint32_t>(Hex(t)) & 0xFFFF;
    PrintDeviceLog(slot, "page size : %s \r\n", t.c_str());
  }
  if (std::string t = text(kEccBit); t.empty()) {
    info.EccCode = 0;
  } else {
    info.EccCode = static_cast<uint8_t>(Hex(t));
    PrintDeviceLog(slot, "ecc bit : %s \r\n", t.c_str());
  }
  if (std::string t = text(kStartAddress); t.empty()) {
    info.StartAddress = 0;
  } else {
    info.StartAddress = static_cast<uint32_t>(Hex(t));
    PrintDeviceLog(slot, "start address : 0x%x \r\n", info.StartAddress);
  }
  if (std::string t = text(kWriteSpecialLength); !t.empty()) PrintDeviceLog(slot, "special counter : %s \r\n", t.c_str());
  if (std::string t = text(kSpare); t.empty()) {
    info.SpecialValue = 0;
  } else {
    info.SpecialValue = static_cast<uint16_t>(Hex(t));
    PrintDeviceLog(slot, "spare valure: %s \r\n", t.c_str());
  }

  // A small-block NAND moves one block per chunk and per range, whatever the boxes say.
  const bool blockSized = info.FlashType == 0 && info.BlockSizeK <= 128;
  if (std::string t = text(kOneWriteSizeM); t.empty()) {
    info.OnceMaxTransRange = 0;
  } else {
    info.OnceMaxTransRange =
        blockSized ? info.BlockSizeK * 1024 : static_cast<uint32_t>(Decimal(t) * 1048576u);
    PrintDeviceLog(slot, "once max trans range : 0x%s \r\n", HexText(info.OnceMaxTransRange).c_str());
  }
  if (std::string t = text(kTransmissionSizeK); t.empty()) {
    info.TransRange = 0;
  } else {
    info.TransRange = blockSized ? info.BlockSizeK * 1024 : static_cast<uint32_t>(Decimal(t) * 1024u);
    PrintDeviceLog(slot, "trans range : 0x%s\r\n", HexText(info.TransRange).c_str());
  }

  info.Secure = d.Checked(kSecure) ? 1 : 0;
  PrintDeviceLog(slot, info.Secure ? "secure : 1\r\n" : "secure : 0\r\n");
  if (std::string t = text(kDataSize); t.empty()) {
    info.TotalDataSize = 0;
  } else {
    info.TotalDataSize = static_cast<uint32_t>(Hex(t));
    PrintDeviceLog(slot, "\r\total data size : %s \r\n", t.c_str());
  }
  if (std::string t = text(kSpareCount); t.empty()) {
    info.SpareCounter = 0;
  } else {
    info.SpareCounter = static_cast<uint32_t>(Hex(t));
    PrintDeviceLog(slot, "\r\nget spare counter : %s \r\n", t.c_str());
  }
  info.GoJump = d.Checked(kGoJump) ? 1 : 0;
  PrintDeviceLog(slot, info.GoJump ? "go/Jump : 1\r\n" : "go/Jump : 0\r\n");
}

void GetBurnOption(BurnOption& option, int slot) {
  using namespace option_id;
  option = BurnOption{};
  const ui::Dialog& d = state().optionsDlg;
  struct Row {
    int32_t BurnOption::*field;
    int control;
    const char* line;
  };
  static const Row kRows[] = {
      {&BurnOption::onlyUpgradeBootloader, kOnlyUpgradeBootloader, "only upgrade bootloader :%d\r\n"},
      {&BurnOption::readFlashData, kReadMode, "read flash data :%d\r\n"},
      {&BurnOption::readNandSpare, kReadSpare, "read nand flash spare :%d\r\n"},
      {&BurnOption::singleMode, kSingleMode, "single mode :%d\r\n"},
      {&BurnOption::compareMode, kCompareMode, "compare mode :%d\r\n"},
      {&BurnOption::useSecureStorage, kBurnSeStorage, "ues se_storage :%d\r\n"},
      {&BurnOption::goDdrHack, kGoDdr5817, "hack go ddr (only 5817) :%d\r\n"},
      {&BurnOption::onlyUpgradeFirmware, kOnlyUpgradeLayoutFirmware,
       "only upgrade firmware (not include factory area) :%d\r\n"},
      {&BurnOption::onlyProgramEfuse, kOnlyBurnEfuse, "only program efuse :%d\r\n"},
      {&BurnOption::onlyUpgradeSecureFirmware, kOnlyUpgradeSecureFirmware,
       "only upgrade secure firmware  (not include prattion and mbr and factory) :%d\r\n"},
      {&BurnOption::burnFactory, kBurnFactory, "burn factory :%d\r\n"},
      {&BurnOption::nasEnable, kNasEnable, "NAS enable :%d\r\n"},
      {&BurnOption::lkEnable, kLkEnable, "LK enable :%d\r\n"},
  };
  PrintDeviceLog(slot, "===========================================================\r\n");
  PrintDeviceLog(slot, "burn option:\r\n");
  for (const Row& r : kRows) {
    option.*r.field = d.Checked(r.control) ? 1 : 0;
    PrintDeviceLog(slot, r.line, option.*r.field);
  }
  PrintDeviceLog(slot, "===========================================================\r\n");
}

int CheckBurnOption(BurnOption o, int query) {
  switch (query) {
    case 0:
      return (o.onlyUpgradeBootloader || o.readFlashData || o.readNandSpare || o.singleMode || o.onlyProgramEfuse) ? 1 : 0;
    case 1:
      return ((o.readFlashData || o.readNandSpare || o.singleMode || o.onlyProgramEfuse) && !o.burnFactory) ? 1 : 0;
    case 2:
      return o.burnFactory ? 1 : 0;
    case 3:
      return (o.onlyUpgradeFirmware || o.onlyUpgradeSecureFirmware) ? 1 : 0;
    default:
      return 0;
  }
}

}  // namespace station

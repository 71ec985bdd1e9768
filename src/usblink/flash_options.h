#pragma once
// Snapshots of the options dialog that a programming job takes before each board: the flash
// geometry and transfer sizes that go into every command block, and the burn switches that
// select what the job does. Both are plain values, passed by value.
#include <cstdint>

namespace station {

struct FlashInfo {
  uint8_t FlashType = 0;       // 0 NAND, 1 NOR, 2 eMMC
  uint32_t NandSizeM = 0;      // MiB of the whole flash
  uint32_t BlockSizeK = 0;     // KiB per block
  uint32_t PageSize = 0;       // bytes per page (16 bits kept)
  uint8_t EccCode = 0;
  uint32_t StartAddress = 0;
  uint32_t TransRange = 0;     // transfer unit in bytes
  uint32_t Reserved[3] = {0, 0, 0};
  uint16_t SpecialValue = 0;   // part marker of the hardware setting and single-mode commands
  uint32_t OnceMaxTransRange = 0;  // range size in bytes
  uint32_t Secure = 0;         // routing value A
  uint32_t GoJump = 0;         // routing value B
  uint32_t TotalDataSize = 0;
  uint32_t SpareCounter = 0;
};

// Thirteen switches of the options dialog (1 checked, 0 clear) and one spare that is always 0.
struct BurnOption {
  int32_t onlyUpgradeBootloader = 0;
  int32_t readFlashData = 0;
  int32_t readNandSpare = 0;
  int32_t singleMode = 0;
  int32_t compareMode = 0;
  int32_t useSecureStorage = 0;
  int32_t goDdrHack = 0;
  int32_t onlyUpgradeFirmware = 0;
  int32_t onlyProgramEfuse = 0;
  int32_t onlyUpgradeSecureFirmware = 0;
  int32_t burnFactory = 0;
  int32_t nasEnable = 0;
  int32_t lkEnable = 0;
  int32_t spare = 0;
};

// Option controls of the options dialog that the link and the job read.
namespace option_id {
inline constexpr int kSpareCount = 1035;
inline constexpr int kStartAddress = 1020;
inline constexpr int kEccBit = 1021;
inline constexpr int kPageSize = 1022;
inline constexpr int kWriteSpecialLength = 1023;
inline constexpr int kTransmissionSizeK = 1024;
inline constexpr int kFlashType = 1025;
inline constexpr int kDataSize = 1028;
inline constexpr int kBlockSizeK = 1029;
inline constexpr int kNandSizeM = 1030;
inline constexpr int kSpare = 1031;
inline constexpr int kOneWriteSizeM = 1032;
inline constexpr int kSecure = 1033;
inline constexpr int kGoJump = 1034;
inline constexpr int kSingleMode = 1069;
inline constexpr int kBurnFactory = 1070;
inline constexpr int kNfWriteSkip = 1133;
inline constexpr int kReadMode = 1136;
inline constexpr int kReadSpare = 1137;
inline constexpr int kCompareMode = 1140;
inline constexpr int kEnKtee = 1142;
inline constexpr int kGoDdr5817 = 1147;
inline constexpr int kBurnSeStorage = 1148;
inline constexpr int kOnlyUpgradeLayoutFirmware = 1151;
inline constexpr int kOnlyUpgradeSecureFirmware = 1156;
inline constexpr int kOnlyUpgradeBootloader = 1159;
inline constexpr int kNasEnable = 1194;
inline constexpr int kLkEnable = 1209;
inline constexpr int kOnlyBurnEfuse = 999;
}  // namespace option_id

// Fills `info` from the options dialog and logs what it read into the slot's log.
void GetFlashInfo(FlashInfo& info, int slot);
// Clears and fills `option` from the options dialog and logs the "burn option:" block.
void GetBurnOption(BurnOption& option, int slot);

// Questions the job and the procedures ask about the switches (0 or 1):
// 0 any special mode; 1 a single-mode operation runs instead of an installation;
// 2 burn factory; 3 only a firmware upgrade. Any other query is never true.
int CheckBurnOption(BurnOption option, int query);

}  // namespace station

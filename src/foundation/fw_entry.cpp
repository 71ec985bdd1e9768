#include "foundation/fw_entry.h"

namespace station {

namespace {
constexpr std::array<const char*, kFwEntryCount> kNames = {
    "FW_KERNEL ",         "FW_RESCUE_DT ",      "FW_KERNEL_DT ",         "FW_RESCUE_ROOTFS ",
    "FW_KERNEL_ROOTFS ",  "FW_NAS_RESCUE_KERNEL ", "FW_NAS_RESCUE_DT ",  "FW_NAS_RESCUE_ROOTFS ",
    "FW_AKERNEL ",        "FW_TEEKERNEL ",      "FW_BL31 ",              "FW_P_UBOOT ",
    "FW_DALOGO ",         "FW_DILOGO ",         "FW_CILOGO1 ",           "FW_FWTBL ",
    "FW_CONFIG ",         "FW_PROFILE ",        "FW_GOLD_KERNEL ",       "FW_GOLD_RESCUE_DT ",
    "FW_GOLD_ROOTFS ",    "FW_GOLD_AKERNEL ",   "FW_EFUSE_VERIFY ",      "FW_EFUSE_PROGRAMMER ",
};
}  // namespace

FwEntryTable& fwEntryTable() {
  static FwEntryTable table = [] {
    FwEntryTable t;
    for (int i = 0; i < kFwEntryCount; ++i) t[i].Name = kNames[i];
    return t;
  }();
  return table;
}

int FindFwEntry(std::string_view name) {
  for (int i = 0; i < kFwEntryCount; ++i)
    if (name == kNames[i]) return i;
  return -1;
}

}  // namespace station

#pragma once
// The USB hardware-setting program: the file that sets up a board's DDR for the chosen DDR
// type, "Tempfile/tamor_usb_hwsetting_<DDR folder name>.bin" in the station folder. Each slot
// loads its own copy into its DeviceSlot, so no slot can free a buffer another one sends.

namespace station {

// Result code a slot gets when the file is missing or cannot be read.
constexpr int kHwsettingFileError = 4;

// Loads the file for slot `slot` into the slot's hardware-setting buffer and sets the slot's
// hardware-setting size to its length. False when no DDR type is chosen (the slot's result
// stays as it is), or when the file is missing or unreadable (the slot's result becomes 4).
bool PrepareUsbHwsettingBuffer(int slot);

// Frees the slot's hardware-setting buffer and zeroes its size.
void ReleaseUsbHwsettingBuffer(int slot);

}  // namespace station

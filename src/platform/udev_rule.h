#pragma once
// The udev rule that lets the operators' group open the boards a binding file lists, made from
// the binding file exactly as the station reads it (ReadUsbBindingFile): the rule opens the
// devices the station lists, and no other.
#include <optional>
#include <string>

namespace plat {

// A comment line naming the file, then one line per board the station lists, in its order:
//   SUBSYSTEM=="usb", ENV{DEVTYPE}=="usb_device", ATTR{idVendor}=="1d6b",
//   ATTR{idProduct}=="0104", MODE="0660", GROUP="plugdev", TAG+="uaccess"
// (one line in the rule). Nothing, with the reason in `error`, when the file cannot be read or
// `group` is no group name (letters, digits, '_', '.', '-', not starting with '-').
std::optional<std::string> MakeUdevRule(const std::string& bindingFile, const std::string& group, std::string& error);

}  // namespace plat

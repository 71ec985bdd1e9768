#include "platform/udev_rule.h"

#include <unistd.h>

#include <cstdio>

#include "platform/usb_bus.h"

namespace plat {

namespace {

bool IsGroupName(const std::string& group) {
  if (group.empty() || group.size() > 32 || group.front() == '-') return false;
  for (char c : group) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                    c == '.' || c == '-';
    if (!ok) return false;
  }
  return true;
}

// The file's name on the comment line, where a line break would start a rule of its own.
std::string OnOneLine(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return text;
}

}  // namespace

std::optional<std::string> MakeUdevRule(const std::string& bindingFile, const std::string& group, std::string& error) {
  if (!IsGroupName(group)) {
    error = "\"" + OnOneLine(group) + "\" is no group name";
    return std::nullopt;
  }
  // A missing file would read as a binding without boards; the caller means a file.
  if (::access(bindingFile.c_str(), R_OK) != 0) {
    error = "cannot read " + OnOneLine(bindingFile);
    return std::nullopt;
  }
  std::string rule = "# Boards in download mode for the flashing station, from " + OnOneLine(bindingFile) + ".\n";
  for (const UsbBoardId& id : ReadUsbBindingFile(bindingFile)) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"%04x\", "
                  "ATTR{idProduct}==\"%04x\", MODE=\"0660\", GROUP=\"%s\", TAG+=\"uaccess\"\n",
                  id.vendor, id.product, group.c_str());
    rule += line;
  }
  return rule;
}

}  // namespace plat

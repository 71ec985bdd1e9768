#include "support/usb/usb_boards.h"

#include <cstdio>

#include "platform/usb_bus.h"
#include "usblink/usb_device.h"

namespace testenv {

namespace {

std::string BindingText() {
  const boardsim::UsbDeviceDescription d;
  char text[160];
  std::snprintf(text, sizeof text, "; the emulated boards\r\n[Board1]\r\nVendorId=%04x\r\nProductId=%04x\r\nInterfaceClass=%02x\r\n",
                d.vendor, d.product, d.interfaceClass);
  return text;
}

}  // namespace

UsbBoards::UsbBoards(const ScratchDir& dir, const std::string& bindingFile)
    : bindingFile_(bindingFile.empty() ? station::UsbBindingFile() : bindingFile), bus_((dir / "usb-nodes").string()) {
  WriteFile(bindingFile_, BindingText());
  plat::BindUsbClass(station::kUsbClassGuid, bindingFile_);
}

UsbBoards::~UsbBoards() { plat::BindUsbClass("", ""); }

}  // namespace testenv

#include "support/usb_sim.h"

#include <cstdlib>

#include "platform/device_nodes.h"
#include "usblink/usb_device.h"

namespace testenv {

ScopedDeviceRoot::ScopedDeviceRoot(const std::string& root) {
  if (const char* r = std::getenv("USB_DEVICE_ROOT")) {
    had_ = true;
    old_ = r;
  }
  setenv("USB_DEVICE_ROOT", root.c_str(), 1);
}

ScopedDeviceRoot::~ScopedDeviceRoot() {
  if (had_)
    setenv("USB_DEVICE_ROOT", old_.c_str(), 1);
  else
    unsetenv("USB_DEVICE_ROOT");
}

ScopedReadTimeout::ScopedReadTimeout(int ms) : old_(plat::DriverReadTimeoutMs()) { plat::SetDriverReadTimeoutMs(ms); }
ScopedReadTimeout::~ScopedReadTimeout() { plat::SetDriverReadTimeoutMs(old_); }

std::string BoardClassFolder() { return plat::ClassFolder(station::kUsbClassGuid); }

SimBoard::SimBoard(boardsim::BoardConfig config, const std::string& nodeName)
    : deviceRoot_(root_.str()),
      readTimeout_(50),
      board_(std::make_unique<boardsim::Board>(std::move(config))) {
  path_ = board_->Plug(BoardClassFolder(), nodeName);
  if (!path_.empty()) handle_ = station::OpenUsbDevice(path_.c_str());
}

SimBoard::~SimBoard() {
  station::CloseDevice(handle_);
  board_->Unplug();
}

}  // namespace testenv

#pragma once
// Boards of the station's class on an emulated USB bus: the bus, and a binding file that lists
// the emulated boards' ids, bound to the boards' class for the lifetime of the object.
#include <string>

#include "boardsim/usb_emulation.h"
#include "support/test_env.h"

namespace testenv {

class UsbBoards {
 public:
  // The binding file goes to `bindingFile` (by default the station folder's, so that the
  // station's own binding finds it) and lists the ids of boardsim::UsbDeviceDescription{}
  // with its interface class; the bus keeps the boards' nodes under `dir`.
  explicit UsbBoards(const ScratchDir& dir, const std::string& bindingFile = "");
  ~UsbBoards();
  UsbBoards(const UsbBoards&) = delete;
  UsbBoards& operator=(const UsbBoards&) = delete;

  boardsim::EmulatedBus& bus() { return bus_; }
  const std::string& bindingFile() const { return bindingFile_; }

 private:
  std::string bindingFile_;
  boardsim::EmulatedBus bus_;
};

}  // namespace testenv

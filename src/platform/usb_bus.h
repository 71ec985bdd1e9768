#pragma once
// Boards on the USB bus, reached through libusb: the second backend of the device layer, beside
// the device nodes of device_nodes.h.
//
// A board on the bus is named by its place, "usb:<bus>-<port>[.<port>...]": the bus number and
// the chain of hub ports from the root hub down, as the kernel names the device (for example
// "usb:1-4.2"). The path stays the same while the board stays in its port, however often it
// re-enumerates; it holds no upper-case letter.
//
// Which devices are boards is said by a binding file in the profile format, as a driver's
// binding file says it: one section per kind of board, [Board1], [Board2], ... numbered without
// gaps, each with VendorId and ProductId (hexadecimal, "0x" optional) and, optionally,
// InterfaceClass, InterfaceSubClass and InterfaceProtocol of the interface that carries the
// board's bulk endpoints. The file is read as every settings file is (profile.h): names without
// regard to case or to blanks around them ("[ board1 ]" is Board1, "[Board01]" is not), the
// first section of a name and the first key in it, a value without its matching quotes. A
// device that no section lists is never opened, claimed or detached from its kernel driver;
// with no file, or no section in it, libusb is not even started. The udev rule that opens the
// listed boards to the operators is made from this reading too (udev_rule.h).
//
// On an open board a write is one bulk OUT transfer of exactly its bytes and a read of N bytes
// is one bulk IN transfer of N bytes that succeeds only when N bytes came. Both time out by
// libusb's own time-out, set from the driver's read time-out (plat::DriverReadTimeoutMs(),
// given to the clock's PeerPatienceMs as a read of the node layer gives it), and a stop request
// of the token cancels the transfer in flight. A stalled endpoint has its halt cleared, as a
// Bulk-Only device expects of its host, and the transfer is reported stalled; nothing is retried
// here.
#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace plat {

// One section of a binding file.
struct UsbBoardId {
  uint16_t vendor = 0;
  uint16_t product = 0;
  int interfaceClass = -1;  // -1: any
  int interfaceSubClass = -1;
  int interfaceProtocol = -1;
  bool operator==(const UsbBoardId&) const = default;
};

// The sections of a binding file, [Board1] on, up to the first one without both ids (a
// value that is not hexadecimal counts as missing). Empty when the file is missing.
std::vector<UsbBoardId> ReadUsbBindingFile(const std::string& path);

// Name of the thread that handles the bus's events (completions, hot-plug) while anybody uses it.
inline constexpr char kUsbEventThreadName[] = "usb-events";

// Name of the binding file in the station folder.
inline constexpr char kUsbBindingFileName[] = "usb_boards.ini";

// True for paths of this backend ("usb:" at the start).
bool IsUsbPath(std::string_view path);

// Makes the boards of `bindingFile` members of the device-interface class `guid` (compared
// without regard to case): its listing and its watch take them in. The file is read again at
// every listing, open and watch start, so an edit counts from the next one on. One class is
// bound at a time; an empty path unbinds.
void BindUsbClass(std::string_view guid, const std::string& bindingFile);

// The bound boards present on the bus, sorted; empty when `guid` is not the bound class, the
// binding lists no board or the bus cannot be read.
std::vector<std::string> ListUsbBoards(std::string_view guid);

enum class UsbTransferResult { Ok, Timeout, WrongLength, Gone, Stalled, Error, Stopped };

// Opens the board at a "usb:" path and claims its interface (the kernel's driver of that
// interface, if one has it, is detached and given back on close): a handle from 0 to
// kHandleLimit - 1. -1 when the path names no device, or a device that the binding does not
// list, or one that refuses.
inline constexpr int kHandleLimit = 1 << 24;
int OpenUsbBoard(const std::string& path);
// Releases the interface and closes the board; false for a handle that is not open.
bool CloseUsbBoard(int handle);

// One bulk OUT transfer of `length` bytes; Ok only when all of them were taken.
UsbTransferResult UsbBulkWrite(int handle, const void* data, uint32_t length,
                               std::stop_token stop = CurrentStopToken());
// One bulk IN transfer of `length` bytes into `data`; Ok only when exactly `length` came (a
// shorter transfer is WrongLength, and so is one that would overflow the buffer). A time-out
// is waited out to the driver's read time-out on the clock, as a silent read of the node layer is.
UsbTransferResult UsbBulkRead(int handle, void* data, uint32_t length, std::stop_token stop = CurrentStopToken());

// Arrivals and removals of bound boards on the bus, queued for a watcher thread to take: the
// owner polls fd() for reading and then takes every event that is queued.
class UsbBusWatch {
 public:
  struct Event {
    bool arrived = false;
    std::string path;
  };

  UsbBusWatch() = default;
  ~UsbBusWatch() { Stop(); }
  UsbBusWatch(const UsbBusWatch&) = delete;
  UsbBusWatch& operator=(const UsbBusWatch&) = delete;

  // Starts watching the bound boards of `guid`. False, with nothing running, when the class is
  // not bound, its binding lists no board, or the bus cannot be watched.
  bool Start(std::string_view guid);
  // Stops reporting; events still queued are dropped.
  void Stop();
  bool running() const { return state_ != nullptr; }
  // Readable while an event is queued; -1 when not running.
  int fd() const;
  // Takes the next queued event; false when none is left.
  bool Take(Event& event);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace plat

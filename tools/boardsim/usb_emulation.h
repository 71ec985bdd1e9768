#pragma once
// Simulated boards on an emulated USB bus, for tests and benchmarks of the station's libusb
// backend. The bus is a umockdev test bed in this process: its sysfs tree and its /dev/bus/usb
// nodes are what libusb sees, and the usbfs requests on a node (URBs submitted, reaped and
// discarded, interfaces claimed, kernel drivers detached, halts cleared) are answered here as
// the kernel would answer them for a device in that port.
//
// A board's device has one interface with a bulk IN and a bulk OUT endpoint, served by a
// boardsim::Board behind its device node: every bulk OUT transfer goes to the board as one
// frame, and the board's frames come back as bulk IN transfers, so that the board checks every
// wrapper, length and CRC as it does on its node. A transfer of N bytes takes N bytes of the
// board's next frame when N is a whole number of packets and the frame is longer (the rest
// stays for the next transfer, as on a real bus), takes the whole frame when it is not longer,
// and overflows when N is not a whole number of packets and the frame is longer. A board that
// holds its reads off is a device that NAKs the IN tokens: the transfer waits.
//
// The process must run with umockdev's preload library (libumockdev-preload.so.0). A test
// program calls UseUsbEmulation() before main (from a static initializer), which starts the
// program again with the library preloaded when it is not.
#include <cstdint>
#include <memory>
#include <string>

#include "boardsim/board_sim.h"

namespace boardsim {

// Starts the program again under umockdev's preload library when it is not loaded yet (once;
// the new program keeps its arguments). True when the library is loaded.
bool UseUsbEmulation();
// Whether umockdev's preload library is loaded in this process.
bool UsbEmulationAvailable();

struct UsbDeviceDescription {
  // A test id of the open registry of USB ids; tests list it in their binding files.
  uint16_t vendor = 0x1209;
  uint16_t product = 0x0001;
  uint8_t interfaceClass = 0xFF;
  uint8_t interfaceSubClass = 0x00;
  uint8_t interfaceProtocol = 0x00;
  uint16_t maxPacket = 512;  // of both bulk endpoints (high speed)
  // The kernel driver bound to the interface when the device is plugged in ("" for none).
  std::string kernelDriver;
};

// One device on the bus, from the moment it is plugged in until the bus goes. Counters count
// what the station asked of it. A board that leaves by itself (its node closes: it vanished,
// or its object went) is a device that drops off the bus.
class EmulatedDevice {
 public:
  ~EmulatedDevice();
  EmulatedDevice(const EmulatedDevice&) = delete;
  EmulatedDevice& operator=(const EmulatedDevice&) = delete;

  // Its place, as the kernel names it ("1-4.2"), and the station's device path for it.
  const std::string& port() const;
  std::string stationPath() const { return "usb:" + port(); }
  bool plugged() const;

  int opens() const;            // the node was opened (ever)
  int claims() const;           // interfaces claimed
  int driverDetaches() const;   // the kernel driver was taken off the interface
  int driverReattaches() const; // ... and given back
  bool driverBound() const;
  int clearedHalts() const;     // CLEAR_FEATURE(ENDPOINT_HALT) of a bulk endpoint
  int discards() const;         // transfers cancelled by the station while in flight
  int inFlight() const;          // transfers submitted and not yet ended
  uint64_t outTransfers() const;
  uint64_t inTransfers() const;  // completed with data

  // Faults. The next `count` bulk IN (OUT) transfers meet a halted endpoint (-1: every one):
  // each answers STALL, and the endpoint stays halted until the station clears it.
  void StallIn(int count);
  void StallOut(int count);
  // IN transfers get nothing while silent: the device NAKs them until the station gives up.
  void SetSilent(bool silent);
  // The device is pulled out while the station sends the `n`-th bulk OUT transfer from now
  // (0: the next one): that transfer and every other one in flight end with the device gone.
  void PullDuringOutTransfer(int n);

  struct Impl;

 private:
  friend class EmulatedBus;
  explicit EmulatedDevice(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

class EmulatedBus {
 public:
  // The test bed; the boards' nodes go to `scratchFolder`. Only one bus per process at a time.
  explicit EmulatedBus(const std::string& scratchFolder);
  // Unplugs every device; boards still plugged in behind their nodes stay so (their owners
  // unplug them), but no longer hear from the bus.
  ~EmulatedBus();
  EmulatedBus(const EmulatedBus&) = delete;
  EmulatedBus& operator=(const EmulatedBus&) = delete;

  // Plugs a board's device in at `port` ("1-2", or behind hubs "1-4.2"; the root hub and the hubs
  // on the way are added as needed): the board is powered up behind a node of its own in the
  // scratch folder and its endpoints are served by it. The arrival is announced (uevent).
  EmulatedDevice& PlugBoard(const std::string& port, Board& board, UsbDeviceDescription d = {});
  // Plugs a device that no board serves, for example a memory stick (class 8, bulk endpoints):
  // it answers no transfer, and counts who opens it.
  EmulatedDevice& PlugDevice(const std::string& port, UsbDeviceDescription d);
  // Pulls the device out: transfers in flight end with the device gone, its node answers that
  // it has gone, and the removal is announced. The device object stays for its counters.
  void Unplug(EmulatedDevice& device);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace boardsim

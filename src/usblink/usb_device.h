#pragma once
// Access to the boards of the download-mode driver's interface class: listing them, opening
// one board's device path, and moving one buffer in or out, all or nothing. Every retry and
// time-out lives in the wrappers above this layer.
//
// A board is either a device node (platform/device_nodes.h) or a board on the USB bus, whose
// path begins with "usb:" (platform/usb_bus.h); the path alone chooses the backend. The boards
// on the bus that belong to the class are the ones the binding file in the station folder
// lists (UsbBindingFile()).
#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/station_state.h"

namespace station {

// Interface class of the boards' driver; its class folder is the lower-case form.
inline constexpr char kUsbClassGuid[] = "{7B56A5D6-CD10-4410-9F59-9A5E71269882}";

// The binding file of the boards on the USB bus: plat::kUsbBindingFileName in the station folder.
std::string UsbBindingFile();
// Binds the boards that file lists to the class above (plat::BindUsbClass), as the station
// folder stands now; listing the class does it first.
void BindUsbBoards();

// Lists the present boards of the class above. `paths` holds `count` caller-owned buffers of
// kPathMax characters; on success `count` becomes the number of paths written. True when at
// least one path was listed; otherwise `count` is left as it was.
bool FindUsbDevices(char (*paths)[kPathMax], uint32_t& count);
// The same for any interface class.
bool EnumDeviceInterfacePaths(std::string_view guid, char (*paths)[kPathMax], uint32_t& count);

// Whether OpenUsbDevice can ever open the path: a board on the USB bus, or a node whose path
// fits a socket address.
bool UsbDevicePathUsable(const std::string& path);
// Opens a board for reading and writing; kInvalidHandle when it is missing or refuses.
DevHandle OpenUsbDevice(const char* path);
// Closes the handle and sets it to kInvalidHandle; the result of the close.
bool CloseDevice(DevHandle& handle);

// Takes the board's next frame; true only when it holds exactly `length` bytes, which are then
// copied to `buffer`. No frame within plat::DriverReadTimeoutMs() of the clock is a failed read.
// On the USB bus a frame is a bulk IN transfer: a read of N bytes asks for N and succeeds when
// N came; the time-out is libusb's, set from the same driver read time-out.
// Reads and writes end early, failed, when the calling thread's stop token is asked to stop.
bool UsbRead(DevHandle handle, uint32_t length, void* buffer);
// Sends `length` bytes as one frame (on the USB bus one bulk OUT transfer); true only when all
// of them were taken.
bool UsbWrite(DevHandle handle, uint32_t length, const void* buffer);

// Why the calling thread's last UsbRead or UsbWrite ended as it did. Stalled: a board on the bus
// halted the endpoint (its halt has been cleared; the transfer failed).
enum class UsbIo { Ok, Timeout, WrongLength, Gone, Error, Stopped, Stalled };
UsbIo LastUsbIo();

}  // namespace station

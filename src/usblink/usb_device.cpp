#include "usblink/usb_device.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/work_paths.h"
#include "platform/device_nodes.h"
#include "platform/devices.h"
#include "platform/usb_bus.h"

namespace station {

namespace {
thread_local UsbIo t_lastIo = UsbIo::Ok;

// Handles of boards on the USB bus are the bus's own handles moved above every descriptor.
constexpr DevHandle kBusHandleBase = 1 << 30;
bool IsBusHandle(DevHandle h) { return h >= kBusHandleBase; }

UsbIo IoOf(plat::UsbTransferResult r) {
  switch (r) {
    case plat::UsbTransferResult::Ok: return UsbIo::Ok;
    case plat::UsbTransferResult::Timeout: return UsbIo::Timeout;
    case plat::UsbTransferResult::WrongLength: return UsbIo::WrongLength;
    case plat::UsbTransferResult::Gone: return UsbIo::Gone;
    case plat::UsbTransferResult::Stalled: return UsbIo::Stalled;
    case plat::UsbTransferResult::Stopped: return UsbIo::Stopped;
    case plat::UsbTransferResult::Error: break;
  }
  return UsbIo::Error;
}

bool BusRead(DevHandle handle, uint32_t length, void* buffer) {
  // The transfer lands here first: the caller's buffer changes only on a whole read.
  thread_local std::vector<uint8_t> landed;
  landed.resize(length);
  t_lastIo = IoOf(plat::UsbBulkRead(handle - kBusHandleBase, landed.data(), length));
  if (t_lastIo == UsbIo::Ok && length) std::memcpy(buffer, landed.data(), length);
  if (landed.capacity() > (1u << 20)) std::vector<uint8_t>().swap(landed);
  return t_lastIo == UsbIo::Ok;
}

}  // namespace

std::string UsbBindingFile() { return workPaths().AppDir + "/" + plat::kUsbBindingFileName; }

void BindUsbBoards() { plat::BindUsbClass(kUsbClassGuid, UsbBindingFile()); }

UsbIo LastUsbIo() { return t_lastIo; }

bool EnumDeviceInterfacePaths(std::string_view guid, char (*paths)[kPathMax], uint32_t& count) {
  BindUsbBoards();
  std::vector<std::string> nodes;
  if (!plat::ListDevices(guid, nodes) || nodes.empty() || count == 0 || !paths) return false;
  uint32_t passed = 0;
  for (; passed < count && passed < nodes.size(); ++passed) {
    const std::string& p = nodes[passed];
    // A path that does not fit its buffer is not handed out; the buffer keeps what it held.
    if (p.size() + 1 > static_cast<size_t>(kPathMax)) continue;
    std::memcpy(paths[passed], p.c_str(), p.size() + 1);
  }
  count = passed;
  return true;
}

bool FindUsbDevices(char (*paths)[kPathMax], uint32_t& count) {
  return EnumDeviceInterfacePaths(kUsbClassGuid, paths, count);
}

bool UsbDevicePathUsable(const std::string& path) { return plat::IsUsbPath(path) || plat::NodePathFits(path); }

DevHandle OpenUsbDevice(const char* path) {
  if (!path || !*path) return kInvalidHandle;
  if (plat::IsUsbPath(path)) {
    const int h = plat::OpenUsbBoard(path);
    return h < 0 ? kInvalidHandle : kBusHandleBase + h;
  }
  int fd = plat::ConnectNode(path);
  if (fd < 0) return kInvalidHandle;
  plat::ResetFrameState(fd);
  // Room for a whole chunk of the largest transfer unit in flight, so that a write does not
  // wait for the board to drain half of it first.
  int bytes = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  return fd;
}

bool CloseDevice(DevHandle& handle) {
  if (handle == kInvalidHandle) return false;
  if (IsBusHandle(handle)) {
    const bool closed = plat::CloseUsbBoard(handle - kBusHandleBase);
    StoreHandle(handle, kInvalidHandle);
    return closed;
  }
  plat::ResetFrameState(handle);
  int r = close(handle);
  StoreHandle(handle, kInvalidHandle);
  return r == 0;
}

bool UsbRead(DevHandle handle, uint32_t length, void* buffer) {
  thread_local std::vector<uint8_t> frame;
  if (handle == kInvalidHandle) {
    t_lastIo = UsbIo::Error;
    return false;
  }
  if (IsBusHandle(handle)) return BusRead(handle, length, buffer);
  switch (plat::ReadFrame(handle, frame, plat::DriverReadTimeoutMs())) {
    case plat::FrameResult::Ok:
      break;
    case plat::FrameResult::Timeout:
      t_lastIo = UsbIo::Timeout;
      return false;
    case plat::FrameResult::Closed:
      t_lastIo = UsbIo::Gone;
      return false;
    case plat::FrameResult::Error:
      t_lastIo = UsbIo::Error;
      return false;
    case plat::FrameResult::Stopped:
      t_lastIo = UsbIo::Stopped;
      return false;
  }
  if (frame.size() != length) {
    t_lastIo = UsbIo::WrongLength;
    return false;
  }
  if (length) std::memcpy(buffer, frame.data(), length);
  // A large read-back frame need not stay allocated on this thread.
  if (frame.capacity() > (1u << 20)) std::vector<uint8_t>().swap(frame);
  t_lastIo = UsbIo::Ok;
  return true;
}

bool UsbWrite(DevHandle handle, uint32_t length, const void* buffer) {
  if (handle == kInvalidHandle || (length && !buffer) || length > plat::kMaxFrame) {
    t_lastIo = UsbIo::Error;
    return false;
  }
  if (IsBusHandle(handle)) {
    t_lastIo = IoOf(plat::UsbBulkWrite(handle - kBusHandleBase, buffer, length));
    return t_lastIo == UsbIo::Ok;
  }
  if (!plat::WriteFrame(handle, buffer, length)) {
    t_lastIo = plat::StopRequested() ? UsbIo::Stopped : UsbIo::Gone;
    return false;
  }
  t_lastIo = UsbIo::Ok;
  return true;
}

}  // namespace station

#include "usblink/usb_device.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/device_nodes.h"
#include "platform/devices.h"

namespace station {

namespace {
thread_local UsbIo t_lastIo = UsbIo::Ok;
}

UsbIo LastUsbIo() { return t_lastIo; }

bool EnumDeviceInterfacePaths(std::string_view guid, char (*paths)[kPathMax], uint32_t& count) {
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

DevHandle OpenUsbDevice(const char* path) {
  if (!path || !*path) return kInvalidHandle;
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
  if (!plat::WriteFrame(handle, buffer, length)) {
    t_lastIo = plat::StopRequested() ? UsbIo::Stopped : UsbIo::Gone;
    return false;
  }
  t_lastIo = UsbIo::Ok;
  return true;
}

}  // namespace station

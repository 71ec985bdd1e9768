#pragma once
// Device nodes: each present board is a Unix-domain stream socket in its interface class's
// folder, <device root>/<class GUID in lower case, with braces>/. The byte stream carries
// frames: a 4-byte little-endian length, then that many bytes. One write of the station is
// one frame; one read takes the next frame.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

// USB_DEVICE_ROOT, else $TMPDIR/usb-devices, else /tmp/usb-devices.
std::string DeviceRoot();
// DeviceRoot() + "/" + the GUID in lower case (braces kept as given).
std::string ClassFolder(std::string_view guid);

// Largest frame either side accepts; a longer length field means a broken peer.
constexpr uint32_t kMaxFrame = 64u << 20;

// Writes one frame, all or nothing; false when the peer is gone or the write fails.
bool WriteFrame(int fd, const void* data, size_t length);

enum class FrameResult { Ok, Timeout, Closed, Error };
// Takes the next frame. Waits at most `timeoutMs` (real time) for it to begin; a frame that
// has begun is always read whole, so the stream stays in step.
FrameResult ReadFrame(int fd, std::vector<uint8_t>& out, int timeoutMs);

// How long the driver waits for a frame on a read: USB_READ_TIMEOUT_MS, default 2000 ms.
// Tests lower it so that a board that stays silent costs them little.
int DriverReadTimeoutMs();
void SetDriverReadTimeoutMs(int ms);

}  // namespace plat

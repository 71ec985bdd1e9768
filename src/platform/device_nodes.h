#pragma once
// Device nodes: each present board is a Unix-domain stream socket in its interface class's
// folder, <device root>/<class GUID in lower case, with braces>/. The byte stream carries
// frames: a 4-byte little-endian length, then that many bytes. One write of the station is
// one frame; one read takes the next frame.
//
// A board with nothing to send does what a USB device does with the IN tokens of a read it
// cannot serve yet: it holds them off. On the node that is a marker in place of a length:
// 0xFFFFFFFF "nothing until the station writes again", or 0xFFFFFFFE followed by eight bytes
// of milliseconds, "nothing for this long". The reader waits such a hold out on the station's
// clock, so a silent board times out by the clock and not by how threads are scheduled.
#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace plat {

// USB_DEVICE_ROOT, else $TMPDIR/usb-devices, else /tmp/usb-devices.
std::string DeviceRoot();
// DeviceRoot() + "/" + the GUID in lower case (braces kept as given).
std::string ClassFolder(std::string_view guid);

// Largest frame either side accepts; a longer length field means a broken peer.
constexpr uint32_t kMaxFrame = 64u << 20;
inline constexpr uint32_t kHoldUntilWrite = 0xFFFFFFFFu;
inline constexpr uint32_t kHoldFor = 0xFFFFFFFEu;

// Writes one frame, all or nothing; false when the peer is gone, the write fails or `stop`
// was asked to stop while the peer did not take the bytes.
bool WriteFrame(int fd, const void* data, size_t length, std::stop_token stop = CurrentStopToken());
// The board's side of a hold (see above).
bool WriteHoldUntilWrite(int fd);
bool WriteHoldFor(int fd, int64_t ms);

enum class FrameResult { Ok, Timeout, Closed, Error, Stopped };
// Takes the next frame. Waits at most `timeoutMs` (0 or more) of the clock for it to begin: a hold of the
// peer is waited out on the clock, a peer that has said nothing at all is waited for as long as
// the clock's PeerPatienceMs allows. A frame that has begun is always read whole, so the stream
// stays in step.
FrameResult ReadFrame(int fd, std::vector<uint8_t>& out, int timeoutMs, std::stop_token stop = CurrentStopToken());
// Forgets what the reader knows of a connection's holds; called when `fd` is opened or closed.
void ResetFrameState(int fd);

// How long the driver waits for a frame on a read: USB_READ_TIMEOUT_MS, default 2000 ms.
int DriverReadTimeoutMs();
void SetDriverReadTimeoutMs(int ms);

}  // namespace plat

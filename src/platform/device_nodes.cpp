#include "platform/device_nodes.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace plat {

std::string DeviceRoot() {
  if (const char* r = std::getenv("USB_DEVICE_ROOT"); r && *r) return r;
  if (const char* t = std::getenv("TMPDIR"); t && *t) return std::string(t) + "/usb-devices";
  return "/tmp/usb-devices";
}

std::string ClassFolder(std::string_view guid) {
  std::string g(guid);
  for (char& c : g) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return DeviceRoot() + "/" + g;
}

namespace {

// Sends every byte; MSG_NOSIGNAL so that a vanished peer gives an error, not SIGPIPE.
bool SendAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Waits for readable data; true when there is some (or the peer closed).
bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    int r = poll(&p, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}

FrameResult RecvAll(int fd, uint8_t* p, size_t n) {
  constexpr int kMidFrameMs = 30000;  // a frame that has begun finishes promptly or the peer is broken
  while (n > 0) {
    // Take what is there; wait only when nothing is.
    ssize_t r = recv(fd, p, n, MSG_DONTWAIT);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitReadable(fd, kMidFrameMs)) return FrameResult::Error;
      continue;
    }
    if (r == 0) return FrameResult::Closed;
    if (r < 0) return errno == ECONNRESET ? FrameResult::Closed : FrameResult::Error;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return FrameResult::Ok;
}

std::atomic<int> g_readTimeoutMs{-1};

}  // namespace

bool WriteFrame(int fd, const void* data, size_t length) {
  if (fd < 0 || length > kMaxFrame) return false;
  uint8_t head[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                     static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
  // Length and bytes in one call where the socket takes them, so the peer wakes once per frame.
  iovec parts[2] = {{head, 4}, {const_cast<void*>(data), length}};
  msghdr msg{};
  msg.msg_iov = parts;
  msg.msg_iovlen = length ? 2 : 1;
  ssize_t w;
  do {
    w = sendmsg(fd, &msg, MSG_NOSIGNAL);
  } while (w < 0 && errno == EINTR);
  if (w < 0) return false;
  size_t sent = static_cast<size_t>(w);
  if (sent < 4) return SendAll(fd, head + sent, 4 - sent) && SendAll(fd, static_cast<const uint8_t*>(data), length);
  sent -= 4;
  return SendAll(fd, static_cast<const uint8_t*>(data) + sent, length - sent);
}

FrameResult ReadFrame(int fd, std::vector<uint8_t>& out, int timeoutMs) {
  if (fd < 0) return FrameResult::Error;
  if (!WaitReadable(fd, timeoutMs)) return FrameResult::Timeout;
  uint8_t head[4];
  FrameResult r = RecvAll(fd, head, 4);
  if (r != FrameResult::Ok) return r;
  uint32_t n = head[0] | (head[1] << 8) | (head[2] << 16) | (static_cast<uint32_t>(head[3]) << 24);
  if (n > kMaxFrame) return FrameResult::Error;
  out.resize(n);
  return n ? RecvAll(fd, out.data(), n) : FrameResult::Ok;
}

int DriverReadTimeoutMs() {
  int v = g_readTimeoutMs.load();
  if (v >= 0) return v;
  const char* e = std::getenv("USB_READ_TIMEOUT_MS");
  v = e && *e ? std::atoi(e) : 2000;
  return v < 0 ? 2000 : v;
}

void SetDriverReadTimeoutMs(int ms) { g_readTimeoutMs.store(ms); }

}  // namespace plat

#include "platform/device_nodes.h"

#include <poll.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <algorithm>
#include <chrono>

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

using Ms = int64_t;
constexpr Ms kSliceMs = 50;          // how often a real-time wait looks at its stop token
constexpr Ms kMidFrameMs = 30000;    // a frame that has begun finishes promptly or the peer is broken

enum class Ready { Yes, TimedOut, Stopped };

// Waits in real time for `events` on `fd`, at most `limitMs` (negative: no limit), in slices so
// that a stop request ends it promptly.
Ready WaitFor(int fd, short events, Ms limitMs, const std::stop_token& stop) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs < 0 ? 0 : limitMs);
  for (;;) {
    if (stop.stop_requested()) return Ready::Stopped;
    Ms slice = kSliceMs;
    if (limitMs >= 0) {
      const Ms left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
      if (left <= 0) slice = 0;
      else if (left < slice) slice = left;
    }
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, static_cast<int>(slice));
    if (r < 0 && errno != EINTR) return Ready::Yes;  // let the transfer itself report the error
    if (r > 0) return Ready::Yes;
    if (slice == 0) return Ready::TimedOut;
  }
}

FrameResult RecvAll(int fd, uint8_t* p, size_t n, const std::stop_token& stop) {
  while (n > 0) {
    // Take what is there; wait only when nothing is.
    ssize_t r = recv(fd, p, n, MSG_DONTWAIT);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const Ready w = WaitFor(fd, POLLIN, kMidFrameMs, stop);
      if (w == Ready::Stopped) return FrameResult::Stopped;
      if (w == Ready::TimedOut) return FrameResult::Error;
      continue;
    }
    if (r == 0) return FrameResult::Closed;
    if (r < 0) return errno == ECONNRESET ? FrameResult::Closed : FrameResult::Error;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return FrameResult::Ok;
}

// Sends the parts whole; MSG_NOSIGNAL so that a vanished peer gives an error, not SIGPIPE.
bool SendParts(int fd, iovec* parts, int count, const std::stop_token& stop) {
  while (count > 0) {
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = static_cast<size_t>(count);
    ssize_t w = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (WaitFor(fd, POLLOUT, -1, stop) == Ready::Stopped) return false;
      continue;
    }
    if (w < 0) return false;
    size_t sent = static_cast<size_t>(w);
    while (count > 0 && sent >= parts->iov_len) {
      sent -= parts->iov_len;
      ++parts;
      --count;
    }
    if (count > 0) {
      parts->iov_base = static_cast<uint8_t*>(parts->iov_base) + sent;
      parts->iov_len -= sent;
    }
  }
  return true;
}

void PutLe(uint8_t* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t GetLe(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

// What the reader knows of a connection's holds, by the socket's inode (unique while it is
// open, whatever its descriptor number). Only connections with a hold in force have an entry.
struct Hold {
  bool untilWrite = false;
  Ms forMs = 0;
};
std::mutex g_holdsLock;
std::unordered_map<uint64_t, Hold> g_holds;

std::atomic<int> g_readTimeoutMs{-1};

uint64_t SocketId(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return 0;
  return (static_cast<uint64_t>(st.st_dev) << 40) ^ static_cast<uint64_t>(st.st_ino);
}

Hold GetHold(uint64_t id) {
  std::lock_guard g(g_holdsLock);
  auto it = g_holds.find(id);
  return it == g_holds.end() ? Hold{} : it->second;
}

void SetHold(uint64_t id, Hold h) {
  std::lock_guard g(g_holdsLock);
  if (!h.untilWrite && h.forMs <= 0)
    g_holds.erase(id);
  else
    g_holds[id] = h;
}

void EndHoldUntilWrite(uint64_t id) {
  std::lock_guard g(g_holdsLock);
  auto it = g_holds.find(id);
  if (it == g_holds.end()) return;
  it->second.untilWrite = false;
  if (it->second.forMs <= 0) g_holds.erase(it);
}

// A wait that ran out: the rest of `budgetMs` passes on the clock (nothing on real time, which
// has already passed; the fast clock's share of a silent read).
FrameResult WaitOut(Clock& clk, Ms startMs, Ms budgetMs, const std::stop_token& stop) {
  const Ms left = budgetMs - (clk.NowMs() - startMs);
  if (left > 0 && !clk.SleepMs(left, stop)) return FrameResult::Stopped;
  return FrameResult::Timeout;
}

}  // namespace

bool WriteFrame(int fd, const void* data, size_t length, std::stop_token stop) {
  if (fd < 0 || length > kMaxFrame || stop.stop_requested()) return false;
  if (const uint64_t id = SocketId(fd)) EndHoldUntilWrite(id);
  uint8_t head[4];
  PutLe(head, length, 4);
  // Length and bytes in one call where the socket takes them, so the peer wakes once per frame.
  iovec parts[2] = {{head, 4}, {const_cast<void*>(data), length}};
  return SendParts(fd, parts, length ? 2 : 1, stop);
}

bool WriteHoldUntilWrite(int fd) {
  uint8_t head[4];
  PutLe(head, kHoldUntilWrite, 4);
  iovec part{head, 4};
  return fd >= 0 && SendParts(fd, &part, 1, {});
}

bool WriteHoldFor(int fd, int64_t ms) {
  uint8_t bytes[12];
  PutLe(bytes, kHoldFor, 4);
  PutLe(bytes + 4, static_cast<uint64_t>(ms < 0 ? 0 : ms), 8);
  iovec part{bytes, sizeof bytes};
  return fd >= 0 && SendParts(fd, &part, 1, {});
}

void ResetFrameState(int fd) {
  if (const uint64_t id = SocketId(fd)) SetHold(id, {});
}

FrameResult ReadFrame(int fd, std::vector<uint8_t>& out, int timeoutMs, std::stop_token stop) {
  if (fd < 0) return FrameResult::Error;
  Clock& clk = clock();
  const uint64_t id = SocketId(fd);
  Ms budget = timeoutMs < 0 ? 0 : timeoutMs;  // clock milliseconds still to wait
  for (;;) {
    if (stop.stop_requested()) return FrameResult::Stopped;
    Hold h = GetHold(id);
    if (h.untilWrite) return WaitOut(clk, clk.NowMs(), budget, stop);
    if (h.forMs > 0) {
      const Ms wait = std::min(h.forMs, budget);
      h.forMs -= wait;
      SetHold(id, h);
      if (!clk.SleepMs(wait, stop)) return FrameResult::Stopped;
      budget -= wait;
      if (h.forMs > 0) return FrameResult::Timeout;  // the hold outlasts this read
      continue;
    }
    const Ms waitStart = clk.NowMs();
    const Ready r = WaitFor(fd, POLLIN, budget == 0 ? 0 : clk.PeerPatienceMs(budget), stop);
    if (r == Ready::Stopped) return FrameResult::Stopped;
    if (r == Ready::TimedOut) return WaitOut(clk, waitStart, budget, stop);

    uint8_t head[4];
    FrameResult got = RecvAll(fd, head, 4, stop);
    if (got != FrameResult::Ok) return got;
    const uint32_t n = static_cast<uint32_t>(GetLe(head, 4));
    if (n == kHoldUntilWrite) {
      SetHold(id, {true, 0});
      continue;
    }
    if (n == kHoldFor) {
      uint8_t ms[8];
      got = RecvAll(fd, ms, 8, stop);
      if (got != FrameResult::Ok) return got;
      SetHold(id, {false, static_cast<Ms>(GetLe(ms, 8) & (UINT64_MAX >> 2))});
      continue;
    }
    if (n > kMaxFrame) return FrameResult::Error;
    out.resize(n);
    return n ? RecvAll(fd, out.data(), n, stop) : FrameResult::Ok;
  }
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

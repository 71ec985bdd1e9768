// A simulated board: one device node, one connection at a time, one exchange after the other.
//
// An exchange as the board sees it: a 43-byte command wrapper frame, then (for a write or a
// command) the data frame it announced; the board checks both and acts, then (for a read) sends
// the data frame, and at last its status wrapper frame(s). A wrapper that is not 43 bytes long is
// answered with a failed status at once. A 43-byte wrapper that announces a data phase towards
// the board has its data frame taken first even when the wrapper is refused, so that the stream
// stays in step; a refused read sends no data, only the failed status.
#include "boardsim/board_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include "boardsim/board_protocol.h"
#include "boardsim/flash_store.h"
#include "boardsim/run_placement.h"
#include "foundation/aes128.h"
#include "foundation/crc32.h"
#include "platform/clock.h"
#include "platform/device_nodes.h"

namespace boardsim {

namespace {

constexpr uint64_t kSector = 512;

// Fires once when the counter reaches 0 (then -1); otherwise counts it down.
bool CountDown(int& n) {
  if (n < 0) return false;
  if (n == 0) {
    n = -1;
    return true;
  }
  --n;
  return false;
}

BoardConfig Sanitized(BoardConfig c) {
  if (c.pageSize == 0) c.pageSize = 2048;
  if (c.blockSizeK == 0) c.blockSizeK = 128;
  if (uint64_t(c.blockSizeK) * 1024 < c.pageSize) c.blockSizeK = (c.pageSize + 1023) / 1024;
  return c;
}

// What goes out after the board has acted on an exchange.
struct Reply {
  wire::StatusWrapper status;
  bool sendData = false;  // a read: the data frame goes first
  int busyFrames = 0;
  int64_t busyUntilMs = -1;  // clock time; -1: none
  int wrongTag = 0, wrongSignature = 0;
  bool drop = false;
  int64_t lateMs = 0;
};

}  // namespace

struct Board::Impl {
  explicit Impl(BoardConfig c) : cfg(Sanitized(std::move(c))), flashRuns() {
    switch (cfg.flash) {
      case FlashKind::Nand: {
        const uint64_t bytes = uint64_t(cfg.nandSizeM) << 20;
        flash.Reset(bytes, 0xFF);
        pagesPerBlock = uint32_t(uint64_t(cfg.blockSizeK) * 1024 / cfg.pageSize);
        const uint64_t pages = bytes / cfg.pageSize;
        spare.Reset(pages * cfg.spareBytesPerPage, 0xFF);
        const uint64_t blocks = uint64_t(cfg.nandSizeM) * 1024 / cfg.blockSizeK;
        bad.assign(blocks, false);
        for (uint32_t b : cfg.badBlocks) {
          if (b >= blocks) continue;
          bad[b] = true;
          const uint64_t markAt = uint64_t(b) * pagesPerBlock * cfg.spareBytesPerPage;
          const uint8_t mark = 0x00;
          if (cfg.spareBytesPerPage) spare.Write(markAt, &mark, 1);
        }
        break;
      }
      case FlashKind::Emmc: flash.Reset(cfg.emmcBytes, 0xFF); break;
      case FlashKind::Nor: flash.Reset(cfg.norBytes, 0xFF); break;
    }
    ddr.Reset(cfg.ddrBytes, 0x00);
  }

  // --- what the board holds (guarded by mu) ---
  const BoardConfig cfg;
  mutable std::mutex mu;
  Faults faults;
  SparseStore flash, spare, ddr;
  std::vector<bool> bad;
  uint32_t pagesPerBlock = 0;
  bool hwsetting = false, ddrOn = false;
  RunPlacement flashRuns;
  RunPlacement ddrRuns;
  bool norReadValid = false;
  uint32_t norReadAddress = 0;
  uint64_t norReadNext = 0;
  int64_t busyUntilMs = -1;
  std::vector<Exchange> log;
  std::function<void(const Exchange&)> hook;

  // --- the node (guarded by ctl) ---
  std::mutex ctl;
  std::string path, nodeName;
  int dirFd = -1, listenFd = -1, wakeFd = -1, connFd = -1;
  std::atomic<bool> plugged{false};
  std::jthread server;

  void PowerUp() {
    std::lock_guard g(mu);
    hwsetting = ddrOn = false;
    flashRuns.Reset();
    ddrRuns.Reset();
    norReadValid = false;
    busyUntilMs = -1;
  }

  uint64_t FlashOffset(uint32_t address) const {
    switch (cfg.flash) {
      case FlashKind::Nand: return uint64_t(address) * cfg.pageSize;
      case FlashKind::Emmc: return uint64_t(address) * kSector;
      case FlashKind::Nor: return address;
    }
    return address;
  }

  // First bad block touched by [offset, offset + length) of the NAND main area, or -1.
  int64_t FirstBadBlock(uint64_t offset, uint64_t length) const {
    if (cfg.flash != FlashKind::Nand || length == 0) return -1;
    const uint64_t blockBytes = uint64_t(pagesPerBlock) * cfg.pageSize;
    for (uint64_t b = offset / blockBytes; b <= (offset + length - 1) / blockBytes; ++b) {
      if (b < bad.size() && bad[b]) return int64_t(b);
    }
    return -1;
  }

  // Stores a write into the NAND main area around its bad blocks; returns the first bad page
  // touched, or -1 when every block was good.
  // A NAND head page goes also into the same page of each of the `blocksLeft` blocks that
  // follow it (the rest of the partition's area); copies that would land in a bad block or past
  // the end of the flash are left out.
  void CopyHeadPage(uint64_t at, const uint8_t* data, uint64_t length, uint32_t blocksLeft) {
    if (cfg.flash != FlashKind::Nand) return;
    const uint64_t blockBytes = uint64_t(pagesPerBlock) * cfg.pageSize;
    for (uint64_t k = 1; k <= blocksLeft; ++k) {
      const uint64_t copy = at + k * blockBytes;
      if (!flash.Contains(copy, length)) break;
      if (FirstBadBlock(copy, length) < 0) flash.Write(copy, data, length);
    }
  }

  int64_t StoreAroundBadBlocks(uint64_t offset, const uint8_t* data, uint64_t length) {
    const uint64_t blockBytes = uint64_t(pagesPerBlock) * cfg.pageSize;
    int64_t firstBadPage = -1;
    uint64_t done = 0;
    while (done < length) {
      const uint64_t at = offset + done;
      const uint64_t block = at / blockBytes;
      const uint64_t n = std::min(length - done, (block + 1) * blockBytes - at);
      if (block < bad.size() && bad[block]) {
        if (firstBadPage < 0) firstBadPage = int64_t(at / cfg.pageSize);
      } else {
        flash.Write(at, data + done, n);
      }
      done += n;
    }
    return firstBadPage;
  }

  Exchange Record(const wire::CommandWrapper& w) const {
    Exchange e;
    e.opcode = w.opcode;
    e.subCode = w.subCode;
    e.flags = w.flags;
    e.indicator = w.indicator();
    e.routingA = w.routingA();
    e.routingB = w.routingB();
    e.address = w.address;
    e.transferLength = w.transferLength;
    e.payloadCrc = w.payloadCrc;
    e.extra = w.extra;
    e.partMarker = w.partMarker;
    e.eccCode = w.eccCode;
    e.flashType = w.flashType;
    e.pageSize = w.pageSize;
    e.blockSizeK = w.blockSizeK;
    e.flashSizeM = w.flashSizeM;
    return e;
  }

  // Judges and carries out one exchange; fills `out` with the data of a read. Called with mu
  // held. `data` is the data phase towards the board (null when there was none).
  Reply Execute(bool wrapperOk, const wire::CommandWrapper& w, const uint8_t* data, size_t dataLength,
                bool hadData, std::vector<uint8_t>& out, Exchange& ex);

  // Writes of the flash and of the DDR.
  uint8_t WriteFlashChunk(const wire::CommandWrapper& w, const uint8_t* data, size_t n, bool repeat,
                          bool corrupt, Reply& r, Exchange& ex);
  uint8_t WriteDdrChunk(const wire::CommandWrapper& w, const uint8_t* data, size_t n, bool repeat,
                        bool corrupt, Reply& r, Exchange& ex);

  void Serve(std::stop_token st);
  // Serves one connection; returns true when the board vanished.
  bool ServeConnection(int fd, std::stop_token st);
  bool SendReply(int fd, const Reply& r, const std::vector<uint8_t>& data, std::stop_token st);
  // Waits for `fd` to become readable; false when the board is being unplugged.
  bool WaitReadable(int fd);
  void Vanish();
  void CloseNode();  // after the server thread ended
};

bool Board::Impl::WaitReadable(int fd) {
  pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  for (;;) {
    int r = poll(p, 2, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 || (p[1].revents & POLLIN)) return false;
    return true;
  }
}

Reply Board::Impl::Execute(bool wrapperOk, const wire::CommandWrapper& w, const uint8_t* data,
                           size_t dataLength, bool hadData, std::vector<uint8_t>& out, Exchange& ex) {
  Reply r;
  uint8_t status = wire::kFailed;

  // Faults that count every exchange.
  const bool failThis = CountDown(faults.failStatusExchange);
  const bool corruptThis = CountDown(faults.corruptWriteExchange);

  const bool isWrite = w.opcode == wire::kWriteFlash || w.opcode == wire::kWriteSpecialPage ||
                       w.opcode == wire::kWriteHwsetting || w.opcode == wire::kWriteDdr;
  const bool isRead = wire::IsReadOpcode(w.opcode);
  const bool noData = wire::IsNoDataOpcode(w.opcode);

  bool ok = wrapperOk && w.signature == wire::kCommandSignature && w.tag == wire::kTag &&
            w.blockLength == wire::kCommandBlockLength && wire::ExpectedSubCode(w.opcode) >= 0 &&
            w.subCode == wire::ExpectedSubCode(w.opcode) && w.flags == (isRead ? wire::kFlagsIn : 0);
  if (ok && !isRead) {
    ok = hadData && dataLength == w.transferLength && w.transferLength > 0 &&
         station::Crc32(data, dataLength) == w.payloadCrc;
    if (ok && noData) {
      ok = dataLength == wire::kNoDataPayload.size() &&
           std::memcmp(data, wire::kNoDataPayload.data(), dataLength) == 0;
    }
    if (ok && isWrite) ok = w.indicator() <= wire::kLast;
  }
  if (ok && isRead) ok = w.transferLength > 0 && w.transferLength <= plat::kMaxFrame;

  // Only reads of a NOR go on where the previous one stopped.
  if (w.opcode != wire::kReadFlash || !ok) norReadValid = false;

  if (ok && failThis) {
    ok = false;
    if (w.opcode == wire::kReadFlash || w.opcode == wire::kReadSpare) {
      // A failing read still moves its data; the status says it is not to be trusted.
      out.assign(w.transferLength, 0xFF);
      r.sendData = true;
    }
  } else if (ok) {
    const bool repeat = isWrite && CountDown(faults.repeatChunk);
    switch (w.opcode) {
      case wire::kWriteFlash:
      case wire::kWriteSpecialPage:
        status = WriteFlashChunk(w, data, dataLength, repeat, corruptThis, r, ex);
        break;
      case wire::kWriteHwsetting:
      case wire::kWriteDdr:
        status = WriteDdrChunk(w, data, dataLength, repeat, corruptThis, r, ex);
        break;
      case wire::kDdrEnable:
        if (hwsetting) {
          ddrOn = true;
          status = wire::kDone;
        }
        break;
      case wire::kSystemReset:
        hwsetting = ddrOn = false;
        flashRuns.Reset();
        ddrRuns.Reset();
        status = wire::kDone;
        break;
      case wire::kGenKey:
      case wire::kGenKsKey: {
        std::array<uint8_t, 16> k = cfg.key;
        const auto expanded = station::Aes128KeyExpansion(station::Aes128DefaultKey().data());
        station::Aes128Cipher(k.data(), expanded);
        r.status.key = k;
        status = wire::kDone;
        break;
      }
      case wire::kReadFlash: {
        uint64_t at = FlashOffset(w.address);
        if (cfg.flash == FlashKind::Nor && norReadValid && w.address == norReadAddress) at = norReadNext;
        if (flash.Contains(at, w.transferLength)) {
          out.resize(w.transferLength);
          flash.Read(at, out.data(), w.transferLength);
          r.sendData = true;
          ex.placedAt = at;
          status = wire::kDone;
          if (cfg.flash == FlashKind::Nor) {
            norReadValid = true;
            norReadAddress = w.address;
            norReadNext = at + w.transferLength;
          }
        }
        break;
      }
      case wire::kReadSpare: {
        const uint64_t at = uint64_t(w.address) * cfg.spareBytesPerPage;
        if (cfg.flash == FlashKind::Nand && w.transferLength % 4 == 0 &&
            spare.Contains(at, w.transferLength)) {
          out.resize(w.transferLength);
          spare.Read(at, out.data(), w.transferLength);
          r.sendData = true;
          status = wire::kDone;
        }
        break;
      }
    }
  }

  r.status.status = status;

  // How the answer goes out.
  if (faults.busyReads > 0) {
    r.busyFrames = faults.busyReads;
    faults.busyReads = 0;
  }
  if (faults.busyForMs > 0) {
    busyUntilMs = plat::clock().NowMs() + faults.busyForMs;
    faults.busyForMs = 0;
  }
  if (busyUntilMs >= 0) {
    if (plat::clock().NowMs() < busyUntilMs) {
      r.busyUntilMs = busyUntilMs;
    } else {
      busyUntilMs = -1;
    }
  }
  r.wrongTag = std::max(0, faults.wrongTagCount);
  r.wrongSignature = std::max(0, faults.wrongSignatureCount);
  faults.wrongTagCount = faults.wrongSignatureCount = 0;
  if (faults.dropStatusCount > 0) {
    --faults.dropStatusCount;
    r.drop = true;
  }
  r.lateMs = std::max<int64_t>(0, faults.lateStatusMs);

  ex.status = status;
  ex.value = r.status.value;
  ex.flagByte = r.status.flagByte;
  ex.answered = !r.drop;
  return r;
}

uint8_t Board::Impl::WriteFlashChunk(const wire::CommandWrapper& w, const uint8_t* data, size_t n,
                                     bool repeat, bool corrupt, Reply& r, Exchange& ex) {
  if (cfg.requireDdrEnable && !ddrOn) return wire::kFailed;
  RunPlacement::Chunk c{w.indicator(), w.address, FlashOffset(w.address), n, w.opcode, w.partMarker};
  const uint64_t at = flashRuns.Place(c);
  if (!flash.Contains(at, n)) return wire::kFailed;
  ex.placedAt = at;
  if (repeat) {
    // Not taken: the station is to send it again.
    r.status.flagByte = wire::kFlagRepeat;
    return wire::kDone;
  }
  if (FirstBadBlock(at, n) >= 0) {
    const int64_t badPage = StoreAroundBadBlocks(at, data, n);
    r.status.value = uint32_t(badPage);
    return wire::kBadBlock;
  }
  flash.Write(at, data, n);
  if (corrupt) flash.Corrupt(at);
  if (w.opcode == wire::kWriteSpecialPage) {
    r.status.value = uint32_t(at / cfg.pageSize);
    CopyHeadPage(at, data, n, w.extra);
  }
  return wire::kDone;
}

uint8_t Board::Impl::WriteDdrChunk(const wire::CommandWrapper& w, const uint8_t* data, size_t n,
                                   bool repeat, bool corrupt, Reply& r, Exchange& ex) {
  RunPlacement::Chunk c{w.indicator(), w.address, w.address, n, w.opcode, w.partMarker};
  const uint64_t at = ddrRuns.Place(c);
  if (!ddr.Contains(at, n)) return wire::kFailed;
  ex.placedAt = at;
  if (repeat) {
    r.status.flagByte = wire::kFlagRepeat;
    return wire::kDone;
  }
  ddr.Write(at, data, n);
  if (corrupt) ddr.Corrupt(at);
  // The hardware setting is in place once its last chunk arrived.
  if (w.opcode == wire::kWriteHwsetting && (w.indicator() == wire::kLast || w.indicator() == wire::kRepeat)) {
    hwsetting = true;
  }
  return wire::kDone;
}

bool Board::Impl::SendReply(int fd, const Reply& r, const std::vector<uint8_t>& data, std::stop_token st) {
  if (r.sendData && !plat::WriteFrame(fd, data.data(), data.size())) return false;
  // A board with nothing to say holds the reads off until the station writes again.
  if (r.drop) return plat::WriteHoldUntilWrite(fd);
  uint8_t frame[wire::kStatusWrapperSize];
  auto send = [&](const wire::StatusWrapper& s) {
    if (r.lateMs > 0 && !plat::WriteHoldFor(fd, r.lateMs)) return false;
    if (st.stop_requested()) return false;
    wire::BuildStatusWrapper(s, frame);
    return plat::WriteFrame(fd, frame, sizeof frame);
  };
  wire::StatusWrapper busy;
  busy.status = wire::kBusy;
  for (int i = 0; i < r.busyFrames; ++i) {
    if (!send(busy)) return false;
  }
  if (r.busyUntilMs >= 0) {
    while (plat::clock().NowMs() < r.busyUntilMs) {
      if (!send(busy)) return false;
      if (!plat::clock().SleepMs(kBusyPaceMs, st)) return false;
    }
  }
  for (int i = 0; i < r.wrongTag; ++i) {
    wire::StatusWrapper s = r.status;
    s.tag = ~wire::kTag;
    if (!send(s)) return false;
  }
  for (int i = 0; i < r.wrongSignature; ++i) {
    wire::StatusWrapper s = r.status;
    s.signature = 0x43425355;  // the command wrapper's signature
    if (!send(s)) return false;
  }
  return send(r.status);
}

bool Board::Impl::ServeConnection(int fd, std::stop_token st) {
  std::vector<uint8_t> wrapper, data, out;
  wrapper.reserve(64);
  for (;;) {
    if (!WaitReadable(fd)) return false;
    if (plat::ReadFrame(fd, wrapper, 0) != plat::FrameResult::Ok) return false;

    wire::CommandWrapper w;
    const bool wrapperOk = wire::ParseCommandWrapper(wrapper.data(), wrapper.size(), w);
    Exchange ex = Record(w);

    {
      std::lock_guard g(mu);
      if (faults.vanishAfterExchanges == 0) {
        faults.vanishAfterExchanges = -1;
        ex.answered = false;
        log.push_back(ex);
        return true;
      }
      if (faults.vanishAfterExchanges > 0) --faults.vanishAfterExchanges;
    }

    // The data phase towards the board, when the wrapper announced one.
    bool hadData = false;
    if (wrapperOk && !(w.flags & wire::kFlagsIn) && w.transferLength > 0) {
      if (!WaitReadable(fd)) return false;
      if (plat::ReadFrame(fd, data, 0) != plat::FrameResult::Ok) return false;
      hadData = true;
    }

    Reply r;
    std::function<void(const Exchange&)> hookCopy;
    {
      std::lock_guard g(mu);
      r = Execute(wrapperOk, w, hadData ? data.data() : nullptr, hadData ? data.size() : 0, hadData, out, ex);
      log.push_back(ex);
      hookCopy = hook;
    }
    if (hookCopy) hookCopy(ex);
    if (!SendReply(fd, r, out, st)) return false;
  }
}

void Board::Impl::Vanish() {
  std::lock_guard g(ctl);
  plugged = false;
  if (dirFd >= 0) unlinkat(dirFd, nodeName.c_str(), 0);
  // Connections waiting in the queue see the board go as well.
  for (;;) {
    int c = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) break;
    close(c);
  }
  shutdown(listenFd, SHUT_RDWR);
}

void Board::Impl::Serve(std::stop_token st) {
  while (!st.stop_requested()) {
    pollfd p[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int n = poll(p, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (p[1].revents & POLLIN)) return;
    if (!(p[0].revents & POLLIN)) {
      if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return;
      continue;
    }
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    {
      std::lock_guard g(ctl);
      connFd = fd;
    }
    const bool vanished = ServeConnection(fd, st);
    if (vanished) Vanish();
    {
      std::lock_guard g(ctl);
      connFd = -1;
    }
    close(fd);
    if (vanished) return;
  }
}

void Board::Impl::CloseNode() {
  std::lock_guard g(ctl);
  if (dirFd >= 0 && plugged) unlinkat(dirFd, nodeName.c_str(), 0);
  plugged = false;
  for (int* fd : {&listenFd, &wakeFd, &dirFd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

Board::Board(BoardConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

Board::~Board() { Unplug(); }

std::string Board::Plug(const std::string& classFolder, const std::string& nodeName) {
  Unplug();
  Impl& m = *impl_;
  std::error_code ec;
  std::filesystem::create_directories(classFolder, ec);
  const int dirFd = open(classFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return {};
  const std::string hidden = "." + nodeName;
  unlinkat(dirFd, hidden.c_str(), 0);

  // Bound through the folder's descriptor, so that a long folder path does not matter.
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string bindPath = "/proc/self/fd/" + std::to_string(dirFd) + "/" + hidden;
  const std::string direct = classFolder + "/" + hidden;
  const std::string& use = direct.size() < sizeof addr.sun_path ? direct : bindPath;
  if (use.size() >= sizeof addr.sun_path) {
    close(dirFd);
    return {};
  }
  std::memcpy(addr.sun_path, use.c_str(), use.size() + 1);
  // Non-blocking, so that the queue can be emptied when the board vanishes; the connections
  // accepted from it block as usual.
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  auto fail = [&] {
    if (fd >= 0) close(fd);
    if (wake >= 0) close(wake);
    unlinkat(dirFd, hidden.c_str(), 0);
    close(dirFd);
    return std::string();
  };
  if (fd < 0 || wake < 0) return fail();
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail();
  if (listen(fd, 8) != 0) return fail();
  if (renameat(dirFd, hidden.c_str(), dirFd, nodeName.c_str()) != 0) return fail();

  m.PowerUp();
  {
    std::lock_guard g(m.ctl);
    m.dirFd = dirFd;
    m.listenFd = fd;
    m.wakeFd = wake;
    m.nodeName = nodeName;
    m.path = classFolder + "/" + nodeName;
    m.plugged = true;
  }
  m.server = std::jthread([&m](std::stop_token st) { m.Serve(st); });
  return m.path;
}

void Board::Unplug() {
  Impl& m = *impl_;
  if (!m.server.joinable()) return;
  {
    std::lock_guard g(m.ctl);
    m.server.request_stop();
    if (m.wakeFd >= 0) {
      const uint64_t one = 1;
      [[maybe_unused]] ssize_t w = write(m.wakeFd, &one, sizeof one);
    }
    if (m.connFd >= 0) shutdown(m.connFd, SHUT_RDWR);
  }
  m.server.join();
  m.server = std::jthread();
  m.CloseNode();
}

bool Board::plugged() const { return impl_->plugged; }
bool Board::connected() const {
  std::lock_guard g(impl_->ctl);
  return impl_->connFd >= 0;
}
const std::string& Board::path() const { return impl_->path; }
const BoardConfig& Board::config() const { return impl_->cfg; }
Faults& Board::faults() { return impl_->faults; }
std::mutex& Board::lock() { return impl_->mu; }

namespace {

std::vector<uint8_t> ReadClipped(const SparseStore& s, uint64_t offset, uint64_t length) {
  if (offset >= s.size()) return {};
  length = std::min(length, s.size() - offset);
  std::vector<uint8_t> v(length);
  s.Read(offset, v.data(), length);
  return v;
}

}  // namespace

std::vector<uint8_t> Board::Flash(uint64_t offset, uint64_t length) const {
  std::lock_guard g(impl_->mu);
  return ReadClipped(impl_->flash, offset, length);
}

std::vector<uint8_t> Board::Spare(uint32_t page, uint32_t count) const {
  std::lock_guard g(impl_->mu);
  return ReadClipped(impl_->spare, uint64_t(page) * impl_->cfg.spareBytesPerPage, count);
}

std::vector<uint8_t> Board::Ddr(uint32_t address, uint32_t length) const {
  std::lock_guard g(impl_->mu);
  return ReadClipped(impl_->ddr, address, length);
}

void Board::WriteFlash(uint64_t offset, const std::vector<uint8_t>& bytes) {
  std::lock_guard g(impl_->mu);
  auto& s = impl_->flash;
  if (offset >= s.size()) return;
  s.Write(offset, bytes.data(), std::min<uint64_t>(bytes.size(), s.size() - offset));
}

void Board::WriteSpare(uint32_t page, const std::vector<uint8_t>& bytes) {
  std::lock_guard g(impl_->mu);
  auto& s = impl_->spare;
  const uint64_t offset = uint64_t(page) * impl_->cfg.spareBytesPerPage;
  if (offset >= s.size()) return;
  s.Write(offset, bytes.data(), std::min<uint64_t>(bytes.size(), s.size() - offset));
}

uint64_t Board::flashBytes() const { return impl_->flash.size(); }

bool Board::hwsettingDone() const {
  std::lock_guard g(impl_->mu);
  return impl_->hwsetting;
}

bool Board::ddrEnabled() const {
  std::lock_guard g(impl_->mu);
  return impl_->ddrOn;
}

bool Board::isBad(uint32_t block) const { return block < impl_->bad.size() && impl_->bad[block]; }

bool Board::SaveFlash(const std::string& path) const {
  std::lock_guard g(impl_->mu);
  return impl_->flash.Save(path, false);
}

bool Board::SaveDdr(const std::string& path) const {
  std::lock_guard g(impl_->mu);
  return impl_->ddr.Save(path, true);
}

bool Board::SaveSpare(const std::string& path) const {
  std::lock_guard g(impl_->mu);
  return impl_->spare.Save(path, false);
}

bool Board::ddrWritten() const {
  std::lock_guard g(impl_->mu);
  return impl_->ddr.touched();
}

std::vector<Exchange> Board::exchanges() const {
  std::lock_guard g(impl_->mu);
  return impl_->log;
}

void Board::clearExchanges() {
  std::lock_guard g(impl_->mu);
  impl_->log.clear();
}

void Board::SetExchangeHook(std::function<void(const Exchange&)> hook) {
  std::lock_guard g(impl_->mu);
  impl_->hook = std::move(hook);
}

}  // namespace boardsim

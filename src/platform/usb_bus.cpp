#include "platform/usb_bus.h"

#include <libusb.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

#include "platform/device_nodes.h"
#include "platform/profile.h"

namespace plat {

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// A hexadecimal value of a binding file ("0x" optional); -1 when it is missing or not one.
long HexValue(const std::string& text, long max) {
  std::string t = text;
  while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back()))) t.pop_back();
  size_t at = 0;
  while (at < t.size() && std::isspace(static_cast<unsigned char>(t[at]))) ++at;
  if (t.compare(at, 2, "0x") == 0 || t.compare(at, 2, "0X") == 0) at += 2;
  if (at >= t.size()) return -1;
  long v = 0;
  for (; at < t.size(); ++at) {
    const int c = std::tolower(static_cast<unsigned char>(t[at]));
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else return -1;
    v = v * 16 + digit;
    if (v > max) return -1;
  }
  return v;
}

// --- a board's place on the bus ---

struct Place {
  int bus = 0;
  std::vector<int> ports;
  bool operator==(const Place&) const = default;
};

std::string PathOf(const Place& p) {
  std::string s = "usb:" + std::to_string(p.bus) + "-";
  for (size_t i = 0; i < p.ports.size(); ++i) {
    if (i) s += '.';
    s += std::to_string(p.ports[i]);
  }
  return s;
}

bool ParsePlace(std::string_view path, Place& out) {
  if (!IsUsbPath(path)) return false;
  std::string_view rest = path.substr(4);
  auto number = [&](int& v) {
    size_t n = 0;
    v = 0;
    while (n < rest.size() && n < 4 && rest[n] >= '0' && rest[n] <= '9') v = v * 10 + (rest[n++] - '0');
    if (n == 0 || (n < rest.size() && rest[n] >= '0' && rest[n] <= '9')) return false;
    rest.remove_prefix(n);
    return true;
  };
  Place p;
  if (!number(p.bus) || rest.empty() || rest[0] != '-') return false;
  rest.remove_prefix(1);
  for (;;) {
    int port = 0;
    if (!number(port) || port == 0) return false;
    p.ports.push_back(port);
    if (rest.empty()) break;
    if (rest[0] != '.') return false;
    rest.remove_prefix(1);
  }
  out = std::move(p);
  return true;
}

bool PlaceOf(libusb_device* dev, Place& out) {
  uint8_t ports[8];
  const int n = libusb_get_port_numbers(dev, ports, sizeof ports);
  if (n <= 0) return false;  // a root hub, or a chain too long for the bus
  out.bus = libusb_get_bus_number(dev);
  out.ports.assign(ports, ports + n);
  return true;
}

// --- which interface of a device carries a listed board ---

struct Endpoints {
  int configuration = 0;
  int interfaceNumber = -1;
  uint8_t in = 0, out = 0;
  bool configured = true;  // false: the device has no active configuration yet
};

bool InterfaceMatches(const libusb_interface_descriptor& d, const UsbBoardId& id) {
  return (id.interfaceClass < 0 || d.bInterfaceClass == id.interfaceClass) &&
         (id.interfaceSubClass < 0 || d.bInterfaceSubClass == id.interfaceSubClass) &&
         (id.interfaceProtocol < 0 || d.bInterfaceProtocol == id.interfaceProtocol);
}

// The first interface (first alternate setting) that matches `id` and has a bulk IN and a
// bulk OUT endpoint.
bool FindEndpoints(const libusb_config_descriptor& cfg, const UsbBoardId& id, Endpoints& out) {
  for (int i = 0; i < cfg.bNumInterfaces; ++i) {
    const libusb_interface& itf = cfg.interface[i];
    if (itf.num_altsetting < 1) continue;
    const libusb_interface_descriptor& d = itf.altsetting[0];
    if (!InterfaceMatches(d, id)) continue;
    uint8_t in = 0, outEp = 0;
    for (int e = 0; e < d.bNumEndpoints; ++e) {
      const libusb_endpoint_descriptor& ep = d.endpoint[e];
      if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
      uint8_t& slot = (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) ? in : outEp;
      if (!slot) slot = ep.bEndpointAddress;
    }
    if (in && outEp) {
      out.configuration = cfg.bConfigurationValue;
      out.interfaceNumber = d.bInterfaceNumber;
      out.in = in;
      out.out = outEp;
      return true;
    }
  }
  return false;
}

// Whether `dev` is a board that `ids` lists, and where its bulk endpoints are. Reads only the
// descriptors that libusb keeps; the device is not opened.
bool MatchBoard(libusb_device* dev, const std::vector<UsbBoardId>& ids, Endpoints* where = nullptr) {
  libusb_device_descriptor dd{};
  if (libusb_get_device_descriptor(dev, &dd) != 0) return false;
  for (const UsbBoardId& id : ids) {
    if (dd.idVendor != id.vendor || dd.idProduct != id.product) continue;
    Endpoints e;
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_active_config_descriptor(dev, &cfg) != 0) {
      // Not configured yet: the first configuration is the one a board in download mode has.
      if (libusb_get_config_descriptor(dev, 0, &cfg) != 0) continue;
      e.configured = false;
    }
    const bool found = FindEndpoints(*cfg, id, e);
    libusb_free_config_descriptor(cfg);
    if (!found) continue;
    if (where) *where = e;
    return true;
  }
  return false;
}

// --- the bus: one libusb context for the process while anybody needs it ---

struct OpenBoard {
  libusb_device_handle* handle = nullptr;
  Endpoints endpoints;
};

struct WatchEntry {
  std::vector<UsbBoardId> ids;
  std::shared_ptr<UsbBusWatch::State> state;
};

class Bus {
 public:
  static Bus& Get() {
    static Bus* bus = new Bus;  // never destroyed: a late transfer of another static must find it
    return *bus;
  }

  // The context, started with its event thread for the first user; nullptr when libusb
  // cannot start. Every successful call is paired with a Release.
  libusb_context* Acquire() {
    std::lock_guard g(m_);
    if (users_ == 0) {
      if (libusb_init(&ctx_) != 0) {
        ctx_ = nullptr;
        return nullptr;
      }
      stopEvents_ = false;
      events_ = std::thread([this, ctx = ctx_] { HandleEvents(ctx); });
      pthread_setname_np(events_.native_handle(), kUsbEventThreadName);
    }
    ++users_;
    return ctx_;
  }

  void Release() {
    std::lock_guard g(m_);
    if (users_ == 0 || --users_ > 0) return;
    stopEvents_ = true;
    libusb_interrupt_event_handler(ctx_);
    events_.join();
    libusb_exit(ctx_);
    ctx_ = nullptr;
  }

  void Bind(std::string_view guid, const std::string& file) {
    std::lock_guard g(bindLock_);
    boundGuid_ = file.empty() ? std::string() : Lower(guid);
    bindingFile_ = file;
  }

  // The binding of `guid` as it reads now; empty when the class is not the bound one.
  std::vector<UsbBoardId> IdsOf(std::string_view guid) {
    std::string file;
    {
      std::lock_guard g(bindLock_);
      if (boundGuid_.empty() || boundGuid_ != Lower(guid)) return {};
      file = bindingFile_;
    }
    return ReadUsbBindingFile(file);
  }
  // The binding of whatever class is bound.
  std::vector<UsbBoardId> BoundIds() {
    std::string file;
    {
      std::lock_guard g(bindLock_);
      file = bindingFile_;
    }
    return file.empty() ? std::vector<UsbBoardId>{} : ReadUsbBindingFile(file);
  }

  int AddBoard(std::shared_ptr<OpenBoard> b) {
    std::lock_guard g(tableLock_);
    while (boards_.count(nextHandle_)) nextHandle_ = (nextHandle_ + 1) % kHandleLimit;
    const int h = nextHandle_;
    nextHandle_ = (nextHandle_ + 1) % kHandleLimit;
    boards_[h] = std::move(b);
    return h;
  }
  std::shared_ptr<OpenBoard> FindBoard(int h) {
    std::lock_guard g(tableLock_);
    auto it = boards_.find(h);
    return it == boards_.end() ? nullptr : it->second;
  }
  std::shared_ptr<OpenBoard> TakeBoard(int h) {
    std::lock_guard g(tableLock_);
    auto it = boards_.find(h);
    if (it == boards_.end()) return nullptr;
    auto b = std::move(it->second);
    boards_.erase(it);
    return b;
  }

  intptr_t AddWatch(WatchEntry w) {
    std::lock_guard g(tableLock_);
    const intptr_t id = nextWatch_++;
    watches_[id] = std::move(w);
    return id;
  }
  void RemoveWatch(intptr_t id) {
    std::lock_guard g(tableLock_);
    watches_.erase(id);
  }
  bool FindWatch(intptr_t id, WatchEntry& out) {
    std::lock_guard g(tableLock_);
    auto it = watches_.find(id);
    if (it == watches_.end()) return false;
    out = it->second;
    return true;
  }

 private:
  void HandleEvents(libusb_context* ctx) {
    while (!stopEvents_.load()) {
      timeval tv{1, 0};
      libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
    }
  }

  std::mutex m_;
  int users_ = 0;
  libusb_context* ctx_ = nullptr;
  std::atomic<bool> stopEvents_{false};
  std::thread events_;

  std::mutex bindLock_;
  std::string boundGuid_, bindingFile_;

  std::mutex tableLock_;
  int nextHandle_ = 0;
  std::map<int, std::shared_ptr<OpenBoard>> boards_;
  intptr_t nextWatch_ = 1;
  std::map<intptr_t, WatchEntry> watches_;
};

// Holds the bus for a scope.
class BusUse {
 public:
  BusUse() : ctx_(Bus::Get().Acquire()) {}
  ~BusUse() {
    if (ctx_) Bus::Get().Release();
  }
  BusUse(const BusUse&) = delete;
  BusUse& operator=(const BusUse&) = delete;
  libusb_context* get() const { return ctx_; }

 private:
  libusb_context* ctx_;
};

// --- transfers ---

struct Completion {
  std::mutex m;
  std::condition_variable_any cv;
  bool done = false;
};

void LIBUSB_CALL TransferDone(libusb_transfer* t) {
  auto* c = static_cast<Completion*>(t->user_data);
  std::lock_guard g(c->m);
  c->done = true;
  c->cv.notify_all();  // under the lock: the waiter owns `c` and may go as soon as it sees done
}

// libusb's time-out of a transfer: what the clock allows for a peer that has said nothing
// within the driver's read time-out (on real time, that time-out itself). 0 would mean none.
unsigned TransferTimeoutMs() {
  const int64_t ms = clock().PeerPatienceMs(DriverReadTimeoutMs());
  return static_cast<unsigned>(std::clamp<int64_t>(ms, 1, 24 * 3600 * 1000));
}

// One bulk transfer of `length` bytes on `endpoint`, waited for with `stop`; the transfer in
// flight is cancelled when a stop is asked for.
UsbTransferResult Transfer(OpenBoard& b, uint8_t endpoint, uint8_t* data, uint32_t length, const std::stop_token& stop) {
  if (stop.stop_requested()) return UsbTransferResult::Stopped;
  Clock& clk = clock();
  const int64_t budget = DriverReadTimeoutMs();
  const int64_t start = clk.NowMs();
  libusb_transfer* t = libusb_alloc_transfer(0);
  if (!t) return UsbTransferResult::Error;
  Completion c;
  libusb_fill_bulk_transfer(t, b.handle, endpoint, data, static_cast<int>(length), TransferDone, &c,
                            TransferTimeoutMs());
  const int submitted = libusb_submit_transfer(t);
  if (submitted != 0) {
    libusb_free_transfer(t);
    if (submitted == LIBUSB_ERROR_NO_DEVICE) return UsbTransferResult::Gone;
    if (submitted == LIBUSB_ERROR_PIPE) {
      libusb_clear_halt(b.handle, endpoint);
      return UsbTransferResult::Stalled;
    }
    return UsbTransferResult::Error;
  }
  bool stopped = false;
  {
    std::unique_lock l(c.m);
    if (!c.cv.wait(l, stop, [&] { return c.done; })) {
      stopped = true;
      l.unlock();
      libusb_cancel_transfer(t);
      l.lock();
      c.cv.wait(l, [&] { return c.done; });
    }
  }
  const libusb_transfer_status status = t->status;
  const int actual = t->actual_length;
  libusb_free_transfer(t);
  if (stopped) return UsbTransferResult::Stopped;
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return actual == static_cast<int>(length) ? UsbTransferResult::Ok : UsbTransferResult::WrongLength;
    case LIBUSB_TRANSFER_TIMED_OUT: {
      // What the clock still owes of the driver's read time-out passes on it (nothing on real
      // time, a fast clock's share of a silent read).
      const int64_t left = budget - (clk.NowMs() - start);
      if (left > 0 && !clk.SleepMs(left, stop)) return UsbTransferResult::Stopped;
      return UsbTransferResult::Timeout;
    }
    case LIBUSB_TRANSFER_STALL:
      // The endpoint is halted until the host clears it; the transfer itself is not tried again.
      libusb_clear_halt(b.handle, endpoint);
      return UsbTransferResult::Stalled;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return UsbTransferResult::Gone;
    case LIBUSB_TRANSFER_OVERFLOW:
      return UsbTransferResult::WrongLength;
    default:
      return UsbTransferResult::Error;
  }
}

}  // namespace

std::vector<UsbBoardId> ReadUsbBindingFile(const std::string& path) {
  std::vector<UsbBoardId> ids;
  if (path.empty()) return ids;
  for (int n = 1;; ++n) {
    const std::string section = "Board" + std::to_string(n);
    auto value = [&](const char* key, long max) { return HexValue(GetProfileString(section, key, "", path), max); };
    const long vendor = value("VendorId", 0xFFFF), product = value("ProductId", 0xFFFF);
    if (vendor < 0 || product < 0) break;
    UsbBoardId id;
    id.vendor = static_cast<uint16_t>(vendor);
    id.product = static_cast<uint16_t>(product);
    id.interfaceClass = static_cast<int>(value("InterfaceClass", 0xFF));
    id.interfaceSubClass = static_cast<int>(value("InterfaceSubClass", 0xFF));
    id.interfaceProtocol = static_cast<int>(value("InterfaceProtocol", 0xFF));
    ids.push_back(id);
  }
  return ids;
}

bool IsUsbPath(std::string_view path) { return path.size() > 4 && Lower(path.substr(0, 4)) == "usb:"; }

void BindUsbClass(std::string_view guid, const std::string& bindingFile) { Bus::Get().Bind(guid, bindingFile); }

std::vector<std::string> ListUsbBoards(std::string_view guid) {
  std::vector<std::string> paths;
  const std::vector<UsbBoardId> ids = Bus::Get().IdsOf(guid);
  if (ids.empty()) return paths;
  BusUse bus;
  if (!bus.get()) return paths;
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(bus.get(), &list);
  for (ssize_t i = 0; i < n; ++i) {
    Place p;
    if (MatchBoard(list[i], ids) && PlaceOf(list[i], p)) paths.push_back(PathOf(p));
  }
  if (n >= 0) libusb_free_device_list(list, 1);
  std::sort(paths.begin(), paths.end());
  return paths;
}

int OpenUsbBoard(const std::string& path) {
  Place want;
  if (!ParsePlace(path, want)) return -1;
  const std::vector<UsbBoardId> ids = Bus::Get().BoundIds();
  if (ids.empty()) return -1;
  // The bus stays held while the board is open.
  libusb_context* ctx = Bus::Get().Acquire();
  if (!ctx) return -1;
  auto board = std::make_shared<OpenBoard>();
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx, &list);
  libusb_device* dev = nullptr;
  for (ssize_t i = 0; i < n && !dev; ++i) {
    Place p;
    if (PlaceOf(list[i], p) && p == want) dev = list[i];
  }
  // Only a listed board is opened at all.
  bool ok = dev && MatchBoard(dev, ids, &board->endpoints) && libusb_open(dev, &board->handle) == 0;
  if (n >= 0) libusb_free_device_list(list, 1);  // an open handle keeps its device
  if (ok) {
    libusb_device_handle* h = board->handle;
    const Endpoints& e = board->endpoints;
    // The kernel's driver of the interface, if it has one, goes while the station holds the
    // board and comes back when it lets go.
    libusb_set_auto_detach_kernel_driver(h, 1);
    if (!e.configured) ok = libusb_set_configuration(h, e.configuration) == 0;
    ok = ok && libusb_claim_interface(h, e.interfaceNumber) == 0;
  }
  if (!ok) {
    if (board->handle) libusb_close(board->handle);
    Bus::Get().Release();
    return -1;
  }
  return Bus::Get().AddBoard(std::move(board));
}

bool CloseUsbBoard(int handle) {
  std::shared_ptr<OpenBoard> b = Bus::Get().TakeBoard(handle);
  if (!b) return false;
  libusb_release_interface(b->handle, b->endpoints.interfaceNumber);
  libusb_close(b->handle);
  Bus::Get().Release();
  return true;
}

UsbTransferResult UsbBulkWrite(int handle, const void* data, uint32_t length, std::stop_token stop) {
  std::shared_ptr<OpenBoard> b = Bus::Get().FindBoard(handle);
  if (!b || (length && !data)) return UsbTransferResult::Error;
  // libusb does not write to the buffer of an OUT transfer.
  return Transfer(*b, b->endpoints.out, static_cast<uint8_t*>(const_cast<void*>(data)), length, stop);
}

UsbTransferResult UsbBulkRead(int handle, void* data, uint32_t length, std::stop_token stop) {
  std::shared_ptr<OpenBoard> b = Bus::Get().FindBoard(handle);
  if (!b || (length && !data)) return UsbTransferResult::Error;
  return Transfer(*b, b->endpoints.in, static_cast<uint8_t*>(data), length, stop);
}

struct UsbBusWatch::State {
  ~State() {
    if (fd >= 0) close(fd);
  }
  int fd = -1;
  std::mutex m;
  std::deque<Event> events;
  intptr_t id = 0;
  libusb_context* ctx = nullptr;
  libusb_hotplug_callback_handle callback = 0;
};

namespace {

// Runs on the bus's event thread: queues the arrival or removal of a bound board.
int LIBUSB_CALL HotplugEvent(libusb_context*, libusb_device* dev, libusb_hotplug_event event, void* user) {
  WatchEntry w;
  if (!Bus::Get().FindWatch(reinterpret_cast<intptr_t>(user), w)) return 0;
  Place p;
  if (!MatchBoard(dev, w.ids) || !PlaceOf(dev, p)) return 0;
  std::lock_guard g(w.state->m);
  w.state->events.push_back({event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, PathOf(p)});
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t r = write(w.state->fd, &one, sizeof one);
  return 0;
}

}  // namespace

bool UsbBusWatch::Start(std::string_view guid) {
  if (state_) return false;
  std::vector<UsbBoardId> ids = Bus::Get().IdsOf(guid);
  if (ids.empty()) return false;
  libusb_context* ctx = Bus::Get().Acquire();
  if (!ctx) return false;
  auto state = std::make_shared<State>();
  state->ctx = ctx;
  state->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (state->fd < 0 || !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
    Bus::Get().Release();
    return false;
  }
  state->id = Bus::Get().AddWatch({std::move(ids), state});
  const int r = libusb_hotplug_register_callback(
      ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0, LIBUSB_HOTPLUG_MATCH_ANY,
      LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, HotplugEvent, reinterpret_cast<void*>(state->id),
      &state->callback);
  if (r != LIBUSB_SUCCESS) {
    Bus::Get().RemoveWatch(state->id);
    Bus::Get().Release();
    return false;
  }
  state_ = std::move(state);
  return true;
}

void UsbBusWatch::Stop() {
  if (!state_) return;
  // A callback already running keeps its own reference to the state (and so its descriptor).
  Bus::Get().RemoveWatch(state_->id);
  libusb_hotplug_deregister_callback(state_->ctx, state_->callback);
  Bus::Get().Release();
  state_.reset();
}

int UsbBusWatch::fd() const { return state_ ? state_->fd : -1; }

bool UsbBusWatch::Take(Event& event) {
  if (!state_) return false;
  std::lock_guard g(state_->m);
  if (state_->events.empty()) {
    uint64_t count;
    [[maybe_unused]] ssize_t r = read(state_->fd, &count, sizeof count);
    return false;
  }
  event = std::move(state_->events.front());
  state_->events.pop_front();
  return true;
}

}  // namespace plat

#include "boardsim/usb_emulation.h"

#include <dlfcn.h>
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/socket.h>
#include <umockdev.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/device_nodes.h"
#include "platform/devices.h"

namespace boardsim {

namespace {

constexpr char kPreload[] = "libumockdev-preload.so.0";
constexpr char kReexecMark[] = "BOARDSIM_USB_REEXEC";

// What the kernel of a current machine reports for an xHCI port: one URB per transfer of any
// length, reaping after a disconnect.
constexpr uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}

// Device descriptor and the one configuration, as the sysfs "descriptors" file holds them.
std::vector<uint8_t> Descriptors(uint16_t vendor, uint16_t product, uint8_t deviceClass, uint8_t itfClass,
                                 uint8_t itfSubClass, uint8_t itfProtocol, bool bulk, uint16_t maxPacket) {
  std::vector<uint8_t> d = {18, 1};
  Put16(d, 0x0200);
  d.insert(d.end(), {deviceClass, 0, deviceClass == 9 ? uint8_t{1} : uint8_t{0}, 64});
  Put16(d, vendor);
  Put16(d, product);
  Put16(d, 0x0100);
  d.insert(d.end(), {0, 0, 0, 1});
  const uint8_t endpoints = bulk ? 2 : 1;
  const uint16_t total = static_cast<uint16_t>(9 + 9 + 7 * endpoints);
  d.insert(d.end(), {9, 2});
  Put16(d, total);
  d.insert(d.end(), {1, 1, 0, 0x80, 50});
  d.insert(d.end(), {9, 4, 0, 0, endpoints, itfClass, itfSubClass, itfProtocol, 0});
  if (bulk) {
    d.insert(d.end(), {7, 5, 0x81, 0x02});
    Put16(d, maxPacket);
    d.push_back(0);
    d.insert(d.end(), {7, 5, 0x02, 0x02});
    Put16(d, maxPacket);
    d.push_back(0);
  } else {
    d.insert(d.end(), {7, 5, 0x81, 0x03});  // a hub's status change endpoint
    Put16(d, 2);
    d.push_back(12);
  }
  return d;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[3];
  for (uint8_t c : bytes) {
    std::snprintf(b, sizeof b, "%02x", c);
    s += b;
  }
  return s;
}


bool RecvAll(int fd, void* data, size_t n) {
  auto* p = static_cast<uint8_t*>(data);
  while (n > 0) {
    const ssize_t r = recv(fd, p, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

uint64_t Le(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

}  // namespace

bool UsbEmulationAvailable() {
  void* h = dlopen(kPreload, RTLD_NOW | RTLD_NOLOAD);
  if (h) dlclose(h);
  return h != nullptr;
}

bool UseUsbEmulation() {
  if (UsbEmulationAvailable()) return true;
  if (std::getenv(kReexecMark)) return false;  // started again already: the library is missing
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  for (size_t at = 0; at < all.size();) {
    const size_t end = all.find('\0', at);
    args.push_back(all.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  if (args.empty()) return false;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const char* old = std::getenv("LD_PRELOAD");
  const std::string preload = std::string(kPreload) + (old && *old ? std::string(":") + old : "");
  setenv("LD_PRELOAD", preload.c_str(), 1);
  // The library comes before the sanitizer's runtime; AddressSanitizer accepts that only when told.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string asanOptions = std::string(asan && *asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0";
  setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
  setenv(kReexecMark, "1", 1);
  execv("/proc/self/exe", argv.data());
  return false;
}

// ---------------------------------------------------------------------------------------------

struct EmulatedBus::Impl {
  UMockdevTestbed* testbed = nullptr;
  std::string scratch;
  std::mutex bed;  // every call of the test bed
  std::map<int, int> nextDevnum;  // by bus
  std::set<std::string> hubs;     // ports with a hub (root hubs: "usbN")
  std::vector<std::unique_ptr<EmulatedDevice>> devices;
  int boards = 0;

  // Adds the device's sysfs entry and node; the node's requests go to `handler`.
  void Add(const std::string& sysPath, int bus, int devnum, const std::vector<uint8_t>& descriptors,
           const std::string& devNode, UMockdevIoctlBase* handler, const std::string& speed);
  void Announce(const std::string& sysPath, const char* action) {
    std::lock_guard g(bed);
    umockdev_testbed_uevent(testbed, sysPath.c_str(), action);
  }
  void Remove(const std::string& sysPath) {
    std::lock_guard g(bed);
    umockdev_testbed_uevent(testbed, sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, sysPath.c_str());
  }
  EmulatedDevice& PlugAt(const std::string& port, Board* board, const UsbDeviceDescription& d);
};

struct EmulatedDevice::Impl {
  struct Urb {
    UMockdevIoctlData* urb = nullptr;
    UMockdevIoctlData* buffer = nullptr;  // null for a transfer of no bytes
    unsigned long address = 0;            // the URB's address in the station's memory
    usbdevfs_urb* fields() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
    uint8_t* bytes() const { return buffer ? buffer->data : nullptr; }
  };

  EmulatedBus::Impl* bus = nullptr;
  std::string port, sysPath, devNode;
  UsbDeviceDescription desc;
  Board* board = nullptr;
  bool serves = false;  // a board's device: its endpoints are served
  UMockdevIoctlBase* handler = nullptr;

  mutable std::mutex m;
  std::condition_variable cv;
  bool gone = false, closing = false;
  std::deque<Urb> outQueue, inQueue;
  bool outBusy = false;
  std::deque<Urb> reapable;
  std::deque<std::vector<uint8_t>> frames;
  size_t frameOffset = 0;
  int stallIn = 0, stallOut = 0, pullAtOut = -1;
  bool haltedIn = false, haltedOut = false, silent = false;
  bool driverBound = false;
  int opens = 0, claims = 0, detaches = 0, reattaches = 0, clears = 0, discards = 0;
  uint64_t outs = 0, ins = 0;

  int fd = -1;  // the connection to the board's node
  std::thread pump, writer;

  ~Impl() { Close(); }

  void Complete(Urb u, int status, int actual) {
    u.fields()->status = status;
    u.fields()->actual_length = actual;
    reapable.push_back(u);
  }
  static void Release(Urb& u) {
    if (u.buffer) g_object_unref(u.buffer);
    if (u.urb) g_object_unref(u.urb);
    u = {};
  }

  // Hands the board's bytes to the IN transfers that wait for them; with `m` held.
  void ServeIn() {
    while (!inQueue.empty()) {
      Urb u = inQueue.front();
      if (haltedIn || stallIn != 0) {
        if (!haltedIn && stallIn > 0) --stallIn;
        haltedIn = true;
        inQueue.pop_front();
        Complete(u, -EPIPE, 0);
        continue;
      }
      if (silent || frames.empty()) return;
      inQueue.pop_front();
      std::vector<uint8_t>& f = frames.front();
      const size_t rest = f.size() - frameOffset;
      const size_t want = static_cast<size_t>(u.fields()->buffer_length);
      if (rest > want) {
        if (want) std::memcpy(u.bytes(), f.data() + frameOffset, want);
        if (want % desc.maxPacket == 0) {
          frameOffset += want;  // the rest is the next transfer's
          Complete(u, 0, static_cast<int>(want));
          ++ins;
        } else {
          frames.pop_front();  // the device babbled past the end of the transfer
          frameOffset = 0;
          Complete(u, -EOVERFLOW, static_cast<int>(want));
        }
      } else {
        if (rest) std::memcpy(u.bytes(), f.data() + frameOffset, rest);
        frames.pop_front();
        frameOffset = 0;
        Complete(u, 0, static_cast<int>(rest));
        ++ins;
      }
    }
  }

  // Everything in flight ends with the device gone; with `m` held. The transfer the writer is
  // sending ends when the writer comes back.
  void GoneNow() {
    gone = true;
    for (auto* q : {&outQueue, &inQueue}) {
      for (Urb& u : *q) Complete(u, -ESHUTDOWN, 0);
      q->clear();
    }
    cv.notify_all();
  }

  // The board leaves the bus: the kernel's part first, then the board (unless it left by itself:
  // it closed its connection) and the announcement.
  void Pull(bool unplugBoard = true) {
    {
      std::lock_guard g(m);
      if (gone) return;
      GoneNow();
    }
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
    if (board && unplugBoard) board->Unplug();
    bus->Remove(sysPath);
  }

  // Reads the board's frames: a hold is a device that NAKs until the time is up or the station
  // writes again; a closed connection is a board that left.
  void Pump() {
    for (;;) {
      uint8_t head[4];
      if (!RecvAll(fd, head, 4)) break;
      const uint32_t n = static_cast<uint32_t>(Le(head, 4));
      if (n == plat::kHoldUntilWrite) continue;
      if (n == plat::kHoldFor) {
        uint8_t ms[8];
        if (!RecvAll(fd, ms, 8)) break;
        plat::clock().SleepMs(static_cast<int64_t>(Le(ms, 8) & (UINT64_MAX >> 2)));
        continue;
      }
      if (n > plat::kMaxFrame) break;
      std::vector<uint8_t> frame(n);
      if (n && !RecvAll(fd, frame.data(), n)) break;
      std::lock_guard g(m);
      frames.push_back(std::move(frame));
      ServeIn();
    }
    {
      std::lock_guard g(m);
      if (closing || gone) return;
    }
    // The board went away by itself: a device that drops off the bus.
    Pull(false);
  }

  // Sends the OUT transfers to the board, one frame each, in order.
  void Write() {
    std::unique_lock l(m);
    for (;;) {
      cv.wait(l, [&] { return closing || (!outQueue.empty() && !gone); });
      if (closing) return;
      Urb u = outQueue.front();
      outQueue.pop_front();
      if (haltedOut || stallOut != 0) {
        if (!haltedOut && stallOut > 0) --stallOut;
        haltedOut = true;
        Complete(u, -EPIPE, 0);
        continue;
      }
      if (pullAtOut == 0) {
        // The board is off the bus, and out of the listing, before the station hears of it.
        pullAtOut = -1;
        l.unlock();
        Pull();
        l.lock();
        Complete(u, -ESHUTDOWN, 0);
        continue;
      }
      if (pullAtOut > 0) --pullAtOut;
      outBusy = true;
      const int length = u.fields()->buffer_length;
      l.unlock();
      const bool sent = plat::WriteFrame(fd, u.bytes(), static_cast<size_t>(length), {});
      l.lock();
      outBusy = false;
      if (sent && !gone) {
        ++outs;
        Complete(u, 0, length);
      } else {
        Complete(u, -ESHUTDOWN, 0);
      }
    }
  }

  void Close() {
    {
      std::lock_guard g(m);
      closing = true;
      cv.notify_all();
    }
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
    if (writer.joinable()) writer.join();
    if (pump.joinable()) pump.join();
    if (fd >= 0) close(fd);
    fd = -1;
    std::lock_guard g(m);
    for (auto* q : {&outQueue, &inQueue, &reapable}) {
      for (Urb& u : *q) Release(u);
      q->clear();
    }
  }

  gboolean OnIoctl(UMockdevIoctlClient* client);
};

namespace {

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  return static_cast<EmulatedDevice::Impl*>(self)->OnIoctl(client);
}
void ClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer self) {
  auto* d = static_cast<EmulatedDevice::Impl*>(self);
  std::lock_guard g(d->m);
  ++d->opens;
}

}  // namespace

gboolean EmulatedDevice::Impl::OnIoctl(UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  auto answer = [&](long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
    return TRUE;
  };
  // The memory an argument points to, in this process.
  auto resolve = [&](size_t length) { return umockdev_ioctl_data_resolve(arg, 0, length, nullptr); };

  std::unique_lock l(m);
  if (!serves) return answer(-1, request == USBDEVFS_GET_CAPABILITIES ? ENOTTY : ENODEV);

  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* d = resolve(sizeof(uint32_t));
      std::memcpy(d->data, &kCapabilities, sizeof kCapabilities);
      g_object_unref(d);
      return answer(0, 0);
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
      if (reapable.empty()) return answer(-1, gone ? ENODEV : EAGAIN);
      Urb u = reapable.front();
      reapable.pop_front();
      l.unlock();
      UMockdevIoctlData* slot = resolve(sizeof(void*));
      umockdev_ioctl_data_set_ptr(slot, 0, u.urb);
      answer(0, 0);
      g_object_unref(slot);
      Release(u);
      return TRUE;
    }
    default:
      break;
  }
  if (gone) return answer(-1, ENODEV);

  switch (request) {
    case USBDEVFS_SUBMITURB: {
      l.unlock();
      Urb u;
      u.urb = resolve(sizeof(usbdevfs_urb));
      u.address = u.urb->client_addr;
      const usbdevfs_urb* f = u.fields();
      if (f->type != USBDEVFS_URB_TYPE_BULK || (f->endpoint & 0x7F) == 0 || f->buffer_length < 0) {
        Release(u);
        return answer(-1, EINVAL);
      }
      if (f->buffer_length > 0)
        u.buffer = umockdev_ioctl_data_resolve(u.urb, offsetof(usbdevfs_urb, buffer), f->buffer_length, nullptr);
      l.lock();
      if (gone) {
        l.unlock();
        Release(u);
        return answer(-1, ENODEV);
      }
      if (f->endpoint & 0x80) {
        inQueue.push_back(u);
        ServeIn();
      } else {
        outQueue.push_back(u);
        cv.notify_all();
      }
      return answer(0, 0);
    }
    case USBDEVFS_DISCARDURB: {
      unsigned long address = 0;
      std::memcpy(&address, arg->data, sizeof address);
      for (auto* q : {&inQueue, &outQueue}) {
        for (auto it = q->begin(); it != q->end(); ++it) {
          if (it->address != address) continue;
          Urb u = *it;
          q->erase(it);
          ++discards;
          Complete(u, -ENOENT, 0);
          return answer(0, 0);
        }
      }
      return answer(-1, EINVAL);  // done already, or being sent: it is reaped as it ends
    }
    case USBDEVFS_CLEAR_HALT: {
      l.unlock();
      UMockdevIoctlData* d = resolve(sizeof(unsigned int));
      unsigned int ep = 0;
      std::memcpy(&ep, d->data, sizeof ep);
      g_object_unref(d);
      l.lock();
      if (ep == 0x81) haltedIn = false;
      else if (ep == 0x02) haltedOut = false;
      else return answer(-1, EINVAL);
      ++clears;
      ServeIn();
      cv.notify_all();
      return answer(0, 0);
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
      l.unlock();
      UMockdevIoctlData* d = resolve(sizeof(unsigned int));
      unsigned int itf = 0;
      std::memcpy(&itf, d->data, sizeof itf);
      g_object_unref(d);
      l.lock();
      if (itf != 0) return answer(-1, ENOENT);
      if (request == USBDEVFS_CLAIMINTERFACE) {
        if (driverBound) return answer(-1, EBUSY);  // the kernel's driver holds it
        ++claims;
      }
      return answer(0, 0);
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
      l.unlock();
      UMockdevIoctlData* d = resolve(sizeof(usbdevfs_disconnect_claim));
      const auto* dc = reinterpret_cast<const usbdevfs_disconnect_claim*>(d->data);
      const unsigned int itf = dc->interface;
      g_object_unref(d);
      l.lock();
      if (itf != 0) return answer(-1, ENOENT);
      if (driverBound) {
        driverBound = false;
        ++detaches;
      }
      ++claims;
      return answer(0, 0);
    }
    case USBDEVFS_GETDRIVER: {
      if (!driverBound) return answer(-1, ENODATA);
      l.unlock();
      UMockdevIoctlData* d = resolve(sizeof(usbdevfs_getdriver));
      auto* gd = reinterpret_cast<usbdevfs_getdriver*>(d->data);
      std::snprintf(gd->driver, sizeof gd->driver, "%s", desc.kernelDriver.c_str());
      g_object_unref(d);
      return answer(0, 0);
    }
    case USBDEVFS_IOCTL: {
      l.unlock();
      UMockdevIoctlData* d = resolve(sizeof(usbdevfs_ioctl));
      const int code = reinterpret_cast<const usbdevfs_ioctl*>(d->data)->ioctl_code;
      g_object_unref(d);
      l.lock();
      if (code == USBDEVFS_DISCONNECT) {
        if (!driverBound) return answer(-1, ENODATA);
        driverBound = false;
        ++detaches;
        return answer(0, 0);
      }
      if (code == USBDEVFS_CONNECT) {
        if (!driverBound && !desc.kernelDriver.empty()) {
          driverBound = true;
          ++reattaches;
        }
        return answer(0, 0);
      }
      return answer(-1, ENOTTY);
    }
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_RESET:
      return answer(0, 0);
    default:
      return answer(-1, ENOTTY);
  }
}

void EmulatedBus::Impl::Add(const std::string& sysPath, int busNumber, int devnum,
                            const std::vector<uint8_t>& descriptors, const std::string& devNode,
                            UMockdevIoctlBase* handler, const std::string& speed) {
  char num[8];
  std::snprintf(num, sizeof num, "%03d", busNumber);
  const std::string busText = num;
  std::snprintf(num, sizeof num, "%03d", devnum);
  const std::string text = "P: " + sysPath.substr(4) + "\nN: " + devNode.substr(5) + "\nE: DEVNAME=" + devNode +
                           "\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nE: BUSNUM=" + busText + "\nE: DEVNUM=" + num +
                           "\nA: busnum=" + std::to_string(busNumber) + "\nA: devnum=" + std::to_string(devnum) +
                           "\nA: speed=" + speed + "\nA: bConfigurationValue=1\nH: descriptors=" + Hex(descriptors) +
                           "\n";
  std::lock_guard g(bed);
  umockdev_testbed_add_from_string(testbed, text.c_str(), nullptr);
  umockdev_testbed_attach_ioctl(testbed, devNode.c_str(), handler, nullptr);
}

EmulatedDevice& EmulatedBus::Impl::PlugAt(const std::string& port, Board* board, const UsbDeviceDescription& d) {
  // "B-p1.p2...": the bus number, then the port chain.
  const size_t dash = port.find('-');
  const int busNumber = std::atoi(port.substr(0, dash).c_str());
  const std::string root = "/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(busNumber);
  auto sysPathOf = [&](const std::string& p) {
    // Each step of the chain is a folder of its own: usbB/B-p1/B-p1.p2
    std::string path = root;
    std::string prefix;
    for (size_t at = dash + 1;;) {
      const size_t dot = p.find('.', at);
      prefix = p.substr(0, dot);
      path += "/" + prefix;
      if (dot == std::string::npos) break;
      at = dot + 1;
    }
    return path;
  };
  auto devNodeOf = [&](int devnum) {
    char b[40];
    std::snprintf(b, sizeof b, "/dev/bus/usb/%03d/%03d", busNumber, devnum);
    return std::string(b);
  };
  auto handlerFor = [&](EmulatedDevice::Impl* impl) {
    UMockdevIoctlBase* h = umockdev_ioctl_base_new();
    g_signal_connect(h, "handle-ioctl", G_CALLBACK(HandleIoctl), impl);
    g_signal_connect(h, "client-connected", G_CALLBACK(ClientConnected), impl);
    return h;
  };
  auto add = [&](const std::string& where, std::unique_ptr<EmulatedDevice::Impl> impl, uint16_t vendor, uint16_t product,
                 uint8_t deviceClass, bool bulk) -> EmulatedDevice& {
    int& next = nextDevnum[busNumber];
    if (next == 0) next = 1;
    const int devnum = next++;
    impl->bus = this;
    impl->port = where;
    impl->sysPath = where.empty() ? root : sysPathOf(where);
    impl->devNode = devNodeOf(devnum);
    impl->handler = handlerFor(impl.get());
    const UsbDeviceDescription& x = impl->desc;
    Add(impl->sysPath, busNumber, devnum,
        Descriptors(vendor, product, deviceClass, bulk ? x.interfaceClass : 9, bulk ? x.interfaceSubClass : 0,
                    bulk ? x.interfaceProtocol : 0, bulk, x.maxPacket),
        impl->devNode, impl->handler, "480");
    EmulatedDevice::Impl* raw = impl.get();
    devices.push_back(std::unique_ptr<EmulatedDevice>(new EmulatedDevice(std::move(impl))));
    Announce(raw->sysPath, "add");
    return *devices.back();
  };

  // The root hub and the hubs on the way, once each.
  const std::string rootKey = "usb" + std::to_string(busNumber);
  if (!hubs.count(rootKey)) {
    hubs.insert(rootKey);
    add("", std::make_unique<EmulatedDevice::Impl>(), 0x1d6b, 0x0002, 9, false);
  }
  for (size_t dot = port.find('.'); dot != std::string::npos; dot = port.find('.', dot + 1)) {
    const std::string hubPort = port.substr(0, dot);
    if (hubs.count(hubPort)) continue;
    hubs.insert(hubPort);
    add(hubPort, std::make_unique<EmulatedDevice::Impl>(), 0x05e3, 0x0608, 9, false);
  }

  auto impl = std::make_unique<EmulatedDevice::Impl>();
  impl->desc = d;
  impl->driverBound = !d.kernelDriver.empty();
  if (board) {
    impl->board = board;
    const std::string node = board->Plug(scratch, "usb-board-" + std::to_string(boards++));
    impl->fd = node.empty() ? -1 : plat::ConnectNode(node);
    if (impl->fd >= 0) {
      int bytes = 4 << 20;
      setsockopt(impl->fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
      impl->serves = true;
    }
  } else {
    impl->serves = true;  // it answers usbfs, but nothing comes from its endpoints
  }
  EmulatedDevice::Impl* raw = impl.get();
  EmulatedDevice& device = add(port, std::move(impl), d.vendor, d.product, 0, true);
  // The board's threads start once the device is complete; what the station submits before
  // waits in the queues.
  if (raw->fd >= 0) {
    std::lock_guard g(raw->m);
    raw->pump = std::thread([raw] { raw->Pump(); });
    raw->writer = std::thread([raw] { raw->Write(); });
  }
  return device;
}

EmulatedBus::EmulatedBus(const std::string& scratchFolder) : impl_(std::make_unique<Impl>()) {
  impl_->scratch = scratchFolder;
  std::filesystem::create_directories(scratchFolder);
  impl_->testbed = umockdev_testbed_new();
}

EmulatedBus::~EmulatedBus() {
  // Children before their hubs: a hub's folder holds theirs. The boards are left to their
  // owners (a board may have gone before the bus).
  for (auto it = impl_->devices.rbegin(); it != impl_->devices.rend(); ++it) {
    if ((*it)->plugged()) (*it)->impl_->Pull(false);
  }
  for (auto& d : impl_->devices) d->impl_->Close();
  {
    std::lock_guard g(impl_->bed);
    for (auto& d : impl_->devices) umockdev_testbed_detach_ioctl(impl_->testbed, d->impl_->devNode.c_str(), nullptr);
  }
  for (auto& d : impl_->devices) g_object_unref(d->impl_->handler);
  impl_->devices.clear();
  g_object_unref(impl_->testbed);
}

EmulatedDevice& EmulatedBus::PlugBoard(const std::string& port, Board& board, UsbDeviceDescription d) {
  return impl_->PlugAt(port, &board, d);
}

EmulatedDevice& EmulatedBus::PlugDevice(const std::string& port, UsbDeviceDescription d) {
  return impl_->PlugAt(port, nullptr, d);
}

void EmulatedBus::Unplug(EmulatedDevice& device) { device.impl_->Pull(); }

EmulatedDevice::EmulatedDevice(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
EmulatedDevice::~EmulatedDevice() = default;

const std::string& EmulatedDevice::port() const { return impl_->port; }
bool EmulatedDevice::plugged() const {
  std::lock_guard g(impl_->m);
  return !impl_->gone;
}

#define COUNTER(type, name, field)          \
  type EmulatedDevice::name() const {       \
    std::lock_guard g(impl_->m);            \
    return impl_->field;                    \
  }
COUNTER(int, opens, opens)
COUNTER(int, claims, claims)
COUNTER(int, driverDetaches, detaches)
COUNTER(int, driverReattaches, reattaches)
COUNTER(bool, driverBound, driverBound)
COUNTER(int, clearedHalts, clears)
COUNTER(int, discards, discards)
COUNTER(int, inFlight, inQueue.size() + impl_->outQueue.size() + (impl_->outBusy ? 1 : 0))
COUNTER(uint64_t, outTransfers, outs)
COUNTER(uint64_t, inTransfers, ins)
#undef COUNTER

void EmulatedDevice::StallIn(int count) {
  std::lock_guard g(impl_->m);
  impl_->stallIn = count;
}
void EmulatedDevice::StallOut(int count) {
  std::lock_guard g(impl_->m);
  impl_->stallOut = count;
}
void EmulatedDevice::SetSilent(bool silent) {
  std::lock_guard g(impl_->m);
  impl_->silent = silent;
  if (!silent) impl_->ServeIn();
}
void EmulatedDevice::PullDuringOutTransfer(int n) {
  std::lock_guard g(impl_->m);
  impl_->pullAtOut = n;
}

}  // namespace boardsim

// boardsim: simulated boards behind device nodes, for the station and its end-to-end tests.
//
//   boardsim --boards N --flash nand|emmc|nor [geometry options] [--save-dir DIR]
//
// Each board gets the node "simboard-<n>" in the boards' class folder under USB_DEVICE_ROOT.
// Commands on standard input, one a line:
//   unplug N         the board's node goes away (the station sees it leave)
//   plug N           it comes back (powered up anew; the flash keeps its contents)
//   save N FILE      its flash to FILE (and FILE.ddr, FILE.spare where there is something)
//   save N           the same into the --save-dir folder, as board<N>.flash
//   load N FILE      FILE becomes the board's flash from its start (FILE.spare its NAND spare,
//                    where there is one), as if the board had been programmed before
//   quit             save (with --save-dir), unlink every node and end
// Each command is answered with one line on standard output: "ok ..." or "error ...".
// The end of standard input ends nothing: the boards stay until "quit", SIGINT or SIGTERM.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "boardsim/board_sim.h"
#include "platform/device_nodes.h"

namespace {

constexpr const char* kBoardClass = "{7b56a5d6-cd10-4410-9f59-9a5e71269882}";

void Usage() {
  std::fprintf(stderr,
               "usage: boardsim --boards N --flash nand|emmc|nor [options]\n"
               "  --page-size BYTES      NAND page size (2048)\n"
               "  --block-size-k KIB     NAND block size (128)\n"
               "  --nand-size-m MIB      NAND size (128)\n"
               "  --spare-bytes BYTES    NAND spare bytes per page (64)\n"
               "  --bad-blocks LIST      NAND bad blocks, e.g. 7,300,1000\n"
               "  --emmc-mib MIB         eMMC size (64)\n"
               "  --nor-mib MIB          NOR size (16)\n"
               "  --ddr-mib MIB          DDR size (64)\n"
               "  --key HEX32            board 0's own key (32 hex digits; a fixed one by default);\n"
               "                         board n's is this key\n"
               "                         with n added to its last two bytes\n"
               "  --keys FILE            one key a line, board n takes line n (the rest derive)\n"
               "  --load-dir DIR         start each board with DIR/board<N>.flash where it exists\n"
               "  --no-ddr-check         take flash writes without the DDR enable\n"
               "  --save-dir DIR         save every board's flash there when leaving\n"
               "  --verbose              one line per exchange on standard error\n");
}

bool ParseU64(const char* s, uint64_t& out) {
  if (!s || !*s) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s, &end, 0);
  if (errno != 0 || *end != '\0' || s[0] == '-') return false;
  out = v;
  return true;
}

bool ParseKey(const std::string& hex, std::array<uint8_t, 16>& key) {
  if (hex.size() != 32) return false;
  for (size_t i = 0; i < 16; ++i) {
    unsigned v = 0;
    if (std::sscanf(hex.c_str() + 2 * i, "%2x", &v) != 1 || !std::isxdigit(hex[2 * i]) ||
        !std::isxdigit(hex[2 * i + 1])) {
      return false;
    }
    key[i] = static_cast<uint8_t>(v);
  }
  return true;
}

// Board n's key: the base key with n added to its last two bytes (big-endian), so that every
// board has its own and board 0 has the base.
std::array<uint8_t, 16> DerivedKey(std::array<uint8_t, 16> key, uint64_t n) {
  const unsigned low = (unsigned(key[14]) << 8 | key[15]) + unsigned(n);
  key[14] = uint8_t(low >> 8);
  key[15] = uint8_t(low);
  return key;
}

// The keys of a --keys file, one a line; false on a line that is not 32 hex digits.
bool ReadKeys(const std::string& file, std::vector<std::array<uint8_t, 16>>& keys) {
  std::FILE* f = std::fopen(file.c_str(), "r");
  if (!f) return false;
  char line[256];
  bool ok = true;
  while (ok && std::fgets(line, sizeof line, f)) {
    std::string text(line);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    if (text.empty()) continue;
    std::array<uint8_t, 16> key{};
    ok = ParseKey(text, key);
    keys.push_back(key);
  }
  std::fclose(f);
  return ok;
}

std::vector<uint8_t> ReadWhole(const std::string& file, bool& ok) {
  std::vector<uint8_t> bytes;
  std::FILE* f = std::fopen(file.c_str(), "rb");
  ok = f != nullptr;
  if (!f) return bytes;
  uint8_t buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  ok = !std::ferror(f);
  std::fclose(f);
  return bytes;
}

struct Sim {
  std::vector<std::unique_ptr<boardsim::Board>> boards;
  std::string folder;
  std::string saveDir;

  // Loads a flash picture (and its spare beside it) into board n.
  bool Load(size_t n, const std::string& file) const {
    auto& b = *boards[n];
    bool ok = false;
    const std::vector<uint8_t> flash = ReadWhole(file, ok);
    if (!ok || flash.size() > b.flashBytes()) return false;
    b.WriteFlash(0, flash);
    if (b.config().flash == boardsim::FlashKind::Nand && std::filesystem::exists(file + ".spare")) {
      const std::vector<uint8_t> spare = ReadWhole(file + ".spare", ok);
      if (!ok) return false;
      b.WriteSpare(0, spare);
    }
    return true;
  }

  std::string NodeName(size_t n) const { return "simboard-" + std::to_string(n); }

  std::string SaveFile(size_t n) const { return saveDir + "/board" + std::to_string(n) + ".flash"; }

  bool Save(size_t n, const std::string& file) const {
    const auto& b = *boards[n];
    bool ok = b.SaveFlash(file);
    if (ok && b.ddrWritten()) ok = b.SaveDdr(file + ".ddr");
    if (ok && b.config().flash == boardsim::FlashKind::Nand) ok = b.SaveSpare(file + ".spare");
    return ok;
  }

  void SaveAll() const {
    if (saveDir.empty()) return;
    std::error_code ec;
    std::filesystem::create_directories(saveDir, ec);
    for (size_t n = 0; n < boards.size(); ++n) {
      const std::string file = SaveFile(n);
      if (!Save(n, file)) std::fprintf(stderr, "boardsim: cannot save %s\n", file.c_str());
    }
  }
};

void Answer(const std::string& line) {
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

// Carries out one command line; false on "quit".
bool Command(Sim& sim, const std::string& line) {
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  if (verb.empty()) return true;
  if (verb == "quit") return false;
  size_t n = 0;
  if (!(in >> n) || n >= sim.boards.size()) {
    Answer("error " + line);
    return true;
  }
  auto& board = *sim.boards[n];
  if (verb == "unplug") {
    board.Unplug();
    Answer("ok unplug " + std::to_string(n));
  } else if (verb == "plug") {
    const std::string path = board.plugged() ? board.path() : board.Plug(sim.folder, sim.NodeName(n));
    Answer(path.empty() ? "error plug " + std::to_string(n) : "ok plug " + std::to_string(n) + " " + path);
  } else if (verb == "load") {
    std::string file;
    std::getline(in >> std::ws, file);
    Answer(!file.empty() && sim.Load(n, file) ? "ok load " + std::to_string(n) + " " + file : "error load " + file);
  } else if (verb == "save") {
    std::string file;
    std::getline(in >> std::ws, file);
    if (file.empty() && !sim.saveDir.empty()) {
      std::error_code ec;
      std::filesystem::create_directories(sim.saveDir, ec);
      file = sim.SaveFile(n);
    }
    if (file.empty()) {
      Answer("error " + line);
    } else {
      Answer(sim.Save(n, file) ? "ok save " + std::to_string(n) + " " + file : "error save " + file);
    }
  } else {
    Answer("error " + line);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  boardsim::BoardConfig cfg;
  uint64_t boards = 1;
  bool verbose = false;
  bool flashGiven = false;
  std::vector<std::array<uint8_t, 16>> keys;
  std::string loadDir;
  ParseKey("4b6579206f6620612073696d20626f00", cfg.key);  // no board's key is all zero
  Sim sim;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    uint64_t num = 0;
    auto number = [&](uint64_t max) {
      if (!ParseU64(v, num) || num > max) {
        std::fprintf(stderr, "boardsim: bad value for %s\n", a.c_str());
        std::exit(2);
      }
      ++i;
      return num;
    };
    if (a == "--boards") {
      boards = number(64);
    } else if (a == "--flash") {
      const std::string kind = v ? v : "";
      ++i;
      flashGiven = true;
      if (kind == "nand") cfg.flash = boardsim::FlashKind::Nand;
      else if (kind == "emmc") cfg.flash = boardsim::FlashKind::Emmc;
      else if (kind == "nor") cfg.flash = boardsim::FlashKind::Nor;
      else {
        std::fprintf(stderr, "boardsim: --flash takes nand, emmc or nor\n");
        return 2;
      }
    } else if (a == "--page-size") {
      cfg.pageSize = uint32_t(number(1u << 16));
    } else if (a == "--block-size-k") {
      cfg.blockSizeK = uint32_t(number(1u << 16));
    } else if (a == "--nand-size-m") {
      cfg.nandSizeM = uint32_t(number(1u << 20));
    } else if (a == "--spare-bytes") {
      cfg.spareBytesPerPage = uint32_t(number(1u << 12));
    } else if (a == "--emmc-mib") {
      cfg.emmcBytes = number(1u << 24) << 20;
    } else if (a == "--nor-mib") {
      cfg.norBytes = number(1u << 16) << 20;
    } else if (a == "--ddr-mib") {
      cfg.ddrBytes = number(4096) << 20;
    } else if (a == "--bad-blocks") {
      std::string list = v ? v : "";
      ++i;
      std::stringstream s(list);
      std::string item;
      while (std::getline(s, item, ',')) {
        uint64_t b = 0;
        if (!ParseU64(item.c_str(), b) || b > 0xFFFFFFFFu) {
          std::fprintf(stderr, "boardsim: bad block number '%s'\n", item.c_str());
          return 2;
        }
        cfg.badBlocks.push_back(uint32_t(b));
      }
    } else if (a == "--key") {
      if (!v || !ParseKey(v, cfg.key)) {
        std::fprintf(stderr, "boardsim: --key takes 32 hexadecimal digits\n");
        return 2;
      }
      ++i;
    } else if (a == "--keys") {
      if (!v || !ReadKeys(v, keys)) {
        std::fprintf(stderr, "boardsim: --keys takes a file of keys, 32 hexadecimal digits a line\n");
        return 2;
      }
      ++i;
    } else if (a == "--load-dir") {
      if (!v) {
        Usage();
        return 2;
      }
      loadDir = v;
      ++i;
    } else if (a == "--no-ddr-check") {
      cfg.requireDdrEnable = false;
    } else if (a == "--save-dir") {
      if (!v) {
        Usage();
        return 2;
      }
      sim.saveDir = v;
      ++i;
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else {
      std::fprintf(stderr, "boardsim: unknown option %s\n", a.c_str());
      Usage();
      return 2;
    }
  }
  if (!flashGiven) std::fprintf(stderr, "boardsim: no --flash given, simulating NAND\n");

  // SIGINT and SIGTERM are taken through a descriptor, so that every node is unlinked on the way
  // out; the board threads inherit the blocked mask.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int sigFd = signalfd(-1, &mask, SFD_CLOEXEC);

  sim.folder = plat::ClassFolder(kBoardClass);
  for (uint64_t n = 0; n < boards; ++n) {
    boardsim::BoardConfig own = cfg;
    own.key = n < keys.size() ? keys[n] : DerivedKey(cfg.key, n);
    sim.boards.push_back(std::make_unique<boardsim::Board>(own));
    const std::string picture = loadDir + "/board" + std::to_string(n) + ".flash";
    if (!loadDir.empty() && std::filesystem::exists(picture) && !sim.Load(n, picture)) {
      std::fprintf(stderr, "boardsim: cannot load %s\n", picture.c_str());
      return 1;
    }
    if (verbose) {
      sim.boards.back()->SetExchangeHook([n](const boardsim::Exchange& e) {
        std::fprintf(stderr,
                     "board %llu: op %02x sub %u ind %u addr 0x%x len %u marker 0x%x -> status %u value %u\n",
                     static_cast<unsigned long long>(n), e.opcode, e.subCode, e.indicator, e.address,
                     e.transferLength, e.partMarker, e.status, e.value);
      });
    }
    const std::string path = sim.boards.back()->Plug(sim.folder, sim.NodeName(n));
    if (path.empty()) {
      std::fprintf(stderr, "boardsim: cannot publish a node in %s\n", sim.folder.c_str());
      return 1;
    }
    Answer("plugged " + std::to_string(n) + " " + path);
  }
  Answer("ready");

  std::string pending;
  bool stdinOpen = true;
  bool running = true;
  while (running) {
    pollfd p[2] = {{sigFd, POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
    int r = poll(p, 2, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p[0].revents & POLLIN) break;
    if (p[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
      char buf[4096];
      ssize_t n = read(0, buf, sizeof buf);
      if (n <= 0) {
        stdinOpen = false;
        continue;
      }
      pending.append(buf, size_t(n));
      size_t nl;
      while (running && (nl = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        running = Command(sim, line);
      }
    }
  }

  sim.SaveAll();
  for (auto& b : sim.boards) b->Unplug();
  Answer("bye");
  return 0;
}

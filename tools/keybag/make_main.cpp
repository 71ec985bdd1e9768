// keybag-make: makes a key bag, and shows what a bag holds (for tests and for checking a bag).
//
//   keybag-make create BAG --keys N [--key-bytes K] [--used U] [--seed S]
//                          [--first-mac HEX12] [--sn-prefix TEXT] [--force]
//   keybag-make print BAG INDEX [key|mac|sn] [--out FILE]
//
// create: N records (MAC addresses counting up from --first-mac, serial numbers --sn-prefix
// followed by the record number from 1 in eight digits, keys of K bytes, 32 by default:
// random, or made from --seed), the counter at U (0 by default). An existing file is replaced
// only with --force.
// print: record INDEX (from 0): the key as hexadecimal text, or its bytes into --out; the MAC
// as twelve hexadecimal digits; the serial number.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "keybag/keybag_file.h"
#include "keybag/tool_files.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  keybag-make create BAG --keys N [--key-bytes K] [--used U] [--seed S]\n"
    "                         [--first-mac HEX12] [--sn-prefix TEXT] [--force]\n"
    "  keybag-make print BAG INDEX [key|mac|sn] [--out FILE]\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 1;
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "keybag-make: %s\n", what.c_str());
  return 2;
}

bool Number(const char* s, uint64_t& v) {
  char* end = nullptr;
  errno = 0;
  v = std::strtoull(s, &end, 0);
  return end && end != s && *end == '\0' && errno == 0;
}

uint64_t SplitMix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

struct CreateOptions {
  std::string bag;
  uint64_t keys = 0, keyBytes = 32, used = 0, seed = 0;
  bool seeded = false, force = false;
  std::string firstMac = "02AB00000000", snPrefix = "SN";
};

bool FillKey(const CreateOptions& o, uint32_t index, std::vector<uint8_t>& key) {
  if (!o.seeded) return ::getrandom(key.data(), key.size(), 0) == static_cast<ssize_t>(key.size());
  uint64_t state = o.seed * 0x100000001B3ull + index;
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(SplitMix(state));
  return true;
}

void MacOf(uint64_t first, uint32_t index, uint8_t mac[keybag::kMacSize]) {
  const uint64_t v = first + index;
  for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(v >> (8 * (5 - i)));
}

int Create(const CreateOptions& o) {
  uint8_t firstMac[keybag::kMacSize];
  if (!keybag::ParseMac(o.firstMac, firstMac)) return Fail("--first-mac wants twelve hexadecimal digits");
  if (o.keys == 0 || o.keys > keybag::kMaxKeys) return Fail("--keys wants 1 to 1000000");
  if (o.keyBytes == 0 || o.keyBytes > keybag::kMaxKeyBytes) return Fail("--key-bytes wants 1 to 4096");
  if (o.used > o.keys) return Fail("--used is more than --keys");
  if (o.snPrefix.size() + 8 >= keybag::kSerialSize) return Fail("--sn-prefix is too long");
  struct stat st;
  if (!o.force && ::stat(o.bag.c_str(), &st) == 0) return Fail(o.bag + " exists (use --force to replace it)");

  keybag::Header h{static_cast<uint32_t>(o.keys), static_cast<uint32_t>(o.keyBytes), static_cast<uint32_t>(o.used)};
  uint64_t first = 0;
  for (uint8_t b : firstMac) first = first << 8 | b;
  std::vector<uint8_t> file = keybag::EncodeHeader(h);
  for (uint32_t i = 0; i < h.keyCount; ++i) {
    keybag::Record r;
    MacOf(first, i, r.mac);
    char serial[keybag::kSerialSize];
    std::snprintf(serial, sizeof serial, "%s%08u", o.snPrefix.c_str(), i + 1);
    r.serial = serial;
    r.key.resize(h.keyBytes);
    if (!FillKey(o, i, r.key)) return Fail("no random bytes for the keys");
    const std::vector<uint8_t> rec = keybag::EncodeRecord(h, r);
    file.insert(file.end(), rec.begin(), rec.end());
  }
  if (!keybag::WriteFileWhole(o.bag, file.data(), file.size())) return Fail("cannot write " + o.bag);
  return 0;
}

int CreateCommand(const std::vector<std::string>& args) {
  if (args.empty()) return Usage();
  CreateOptions o;
  o.bag = args[0];
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](uint64_t& v) { return i + 1 < args.size() && Number(args[++i].c_str(), v); };
    auto text = [&](std::string& v) { return i + 1 < args.size() ? (v = args[++i], true) : false; };
    bool ok = true;
    if (a == "--keys") ok = value(o.keys);
    else if (a == "--key-bytes") ok = value(o.keyBytes);
    else if (a == "--used") ok = value(o.used);
    else if (a == "--seed") ok = o.seeded = value(o.seed);
    else if (a == "--first-mac") ok = text(o.firstMac);
    else if (a == "--sn-prefix") ok = text(o.snPrefix);
    else if (a == "--force") o.force = true;
    else ok = false;
    if (!ok) return Usage();
  }
  return Create(o);
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : bytes) {
    s += kHex[b >> 4];
    s += kHex[b & 15];
  }
  return s;
}

int PrintCommand(const std::vector<std::string>& args) {
  uint64_t index = 0;
  if (args.size() < 2 || !Number(args[1].c_str(), index)) return Usage();
  std::string what = "key", out;
  for (size_t i = 2; i < args.size(); ++i) {
    if (args[i] == "--out" && i + 1 < args.size()) out = args[++i];
    else if (args[i] == "key" || args[i] == "mac" || args[i] == "sn") what = args[i];
    else return Usage();
  }
  const int fd = ::open(args[0].c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail("cannot open " + args[0]);
  keybag::Header h;
  keybag::Record r;
  const bool ok = keybag::ReadHeader(fd, h) && index < h.keyCount && keybag::ReadRecord(fd, h, static_cast<uint32_t>(index), r);
  ::close(fd);
  if (!ok) return Fail("no such record, or the bag is damaged");
  if (what == "key" && !out.empty())
    return keybag::WriteFileWhole(out, r.key.data(), r.key.size()) ? 0 : Fail("cannot write " + out);
  const std::string text = what == "key" ? Hex(r.key) : what == "mac" ? keybag::MacText(r.mac) : r.serial;
  if (!out.empty()) return keybag::WriteFileWhole(out, text) ? 0 : Fail("cannot write " + out);
  std::printf("%s\n", text.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "create") return CreateCommand(args);
  if (command == "print") return PrintCommand(args);
  return Usage();
}

// keybag-gen: hands out the next key of the key bag that "KEY PATH" of USBMPTOOL.ini (in the
// working folder) names. The bag's counter is raised and made durable before anything else is
// written, so that no key is ever handed out twice; then keytemp/ receives env.txt (the MAC),
// sn.txt (the serial number), idx.txt (the counter and the number of keys) and, last, the key
// file, each complete or not at all.
//
// Exit status: 0 a key was handed out; 1 no bag named; 2 the bag cannot be read or is
// damaged; 3 the bag is empty; 4 an output file could not be written (the key is spent).
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "keybag/keybag_file.h"
#include "keybag/tool_files.h"

namespace {

int Fail(int code, const std::string& what) {
  std::fprintf(stderr, "keybag-gen: %s\n", what.c_str());
  return code;
}

bool WriteOutputs(const keybag::Header& h, const keybag::Record& r) {
  const std::string dir = std::string(keybag::kOutputFolder) + "/";
  const std::string counters = std::to_string(h.handedOut) + "\n" + std::to_string(h.keyCount) + "\n";
  return keybag::MakeOutputFolder() && keybag::WriteFileWhole(dir + "env.txt", keybag::MacText(r.mac)) &&
         keybag::WriteFileWhole(dir + "sn.txt", r.serial) && keybag::WriteFileWhole(dir + "idx.txt", counters) &&
         keybag::WriteFileWhole(dir + "key_bag_final_sig_enc.bin", r.key.data(), r.key.size());
}

}  // namespace

int main(int argc, char**) {
  if (argc > 1) return Fail(1, "takes no arguments; run it in the folder of USBMPTOOL.ini");
  const std::string bag = keybag::BagPathFromIni();
  if (bag.empty()) return Fail(1, "no KEY PATH in [FACTORY] of USBMPTOOL.ini");
  const int fd = ::open(bag.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return Fail(2, "cannot open the key bag");
  if (::flock(fd, LOCK_EX) != 0) return Fail(2, "cannot lock the key bag");

  keybag::Header h;
  std::string fault;
  if (!keybag::ReadHeader(fd, h, &fault)) return Fail(2, "the key bag is damaged or not a key bag: " + fault);
  if (h.handedOut >= h.keyCount) return Fail(3, "the key bag is empty");
  keybag::Record r;
  if (!keybag::ReadRecord(fd, h, h.handedOut, r)) return Fail(2, "the next key of the bag is damaged");
  ++h.handedOut;
  if (!keybag::WriteHeader(fd, h)) return Fail(2, "cannot raise the key bag's counter");
  ::close(fd);
  // From here on the key counts as handed out, whatever becomes of the files.
  if (!WriteOutputs(h, r)) return Fail(4, "cannot write the key files");
  return 0;
}

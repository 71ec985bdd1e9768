// keybag-view: reports the counters of the key bag that "KEY PATH" of USBMPTOOL.ini (in the
// working folder) names, as keytemp/nowidx.txt: line 1 the keys handed out so far, line 2
// the number of keys in the bag. The bag itself is only read.
//
// Exit status: 0 reported; 1 no bag named; 2 the bag cannot be read or is damaged; 4
// nowidx.txt could not be written.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "keybag/keybag_file.h"
#include "keybag/tool_files.h"

namespace {

int Fail(int code, const std::string& what) {
  std::fprintf(stderr, "keybag-view: %s\n", what.c_str());
  return code;
}

}  // namespace

int main(int argc, char**) {
  if (argc > 1) return Fail(1, "takes no arguments; run it in the folder of USBMPTOOL.ini");
  const std::string bag = keybag::BagPathFromIni();
  if (bag.empty()) return Fail(1, "no KEY PATH in [FACTORY] of USBMPTOOL.ini");
  const int fd = ::open(bag.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail(2, "cannot open the key bag");
  if (::flock(fd, LOCK_SH) != 0) return Fail(2, "cannot lock the key bag");
  keybag::Header h;
  std::string fault;
  const bool read = keybag::ReadHeader(fd, h, &fault);
  ::close(fd);
  if (!read) return Fail(2, "the key bag is damaged or not a key bag: " + fault);

  const std::string text = std::to_string(h.handedOut) + "\n" + std::to_string(h.keyCount) + "\n";
  if (!keybag::MakeOutputFolder() || !keybag::WriteFileWhole(std::string(keybag::kOutputFolder) + "/nowidx.txt", text))
    return Fail(4, "cannot write keytemp/nowidx.txt");
  return 0;
}

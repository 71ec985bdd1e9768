// A station that dies while a board's secure key is on its way to the board. It writes the
// factory data of one simulated eMMC board of its own, with the station folder and the
// temporary folder it is given (those of the test that starts it), and the board ends the
// process with SIGKILL as soon as the first write that carries the key has arrived, before
// the station hears back: nothing of the station's own clean-up runs. Before it dies it
// makes the file SENT_MARK, so that the test knows the write went out.
//
//   killed_factory_job STATION_FOLDER TEMP_FOLDER PACKAGE_SUBDIR SLOT factory|storage SENT_MARK
//
// "storage": the key goes out in the storage archive ("burn se_storage"), else in factory copy
// 0. Exit status 2 for wrong arguments, 3 when the process was not killed (the write never
// came).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "factory/factory_area.h"
#include "foundation/station_state.h"
#include "package/layout_file.h"
#include "support/app_dir.h"
#include "support/test_env.h"
#include "support/usb_sim.h"
#include "usblink/usb_wrappers.h"

namespace {

boardsim::BoardConfig EmmcBoard() {
  boardsim::BoardConfig cfg;
  cfg.flash = boardsim::FlashKind::Emmc;
  cfg.emmcBytes = 16ull << 20;
  cfg.requireDdrEnable = false;
  return cfg;
}

// Called on the board's thread once an exchange is stored, before its status goes out.
void DieOnTheFirstWrite(const boardsim::Exchange& e, const std::string& sentMark) {
  if (e.opcode != station::OpByte(station::VendorOpcode::WriteFlash) || e.placedAt == boardsim::Exchange::kNowhere)
    return;
  const int fd = ::open(sentMark.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
  ::kill(::getpid(), SIGKILL);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s STATION_FOLDER TEMP_FOLDER PACKAGE_SUBDIR SLOT factory|storage SENT_MARK\n",
                 argv[0]);
    return 2;
  }
  const std::string sentMark = argv[6];
  const int slot = std::atoi(argv[4]);
  // The scratch folders of this process (device root, runtime folder) go under the test's
  // folder, which the test removes; this process never gets to remove them itself.
  testenv::ScopedEnv tmpdir("TMPDIR", argv[2]);
  testenv::StationFixture fixture;
  testenv::ScopedEnv temp("TEMP", argv[2]);
  testenv::ScopedAppDir app(argv[1]);
  station::state().PackageSubdir = argv[3];

  const boardsim::BoardConfig cfg = EmmcBoard();
  testenv::ScratchDir root;
  testenv::ScopedEnv deviceRoot("USB_DEVICE_ROOT", root.str());
  testenv::ScopedReadTimeout readTimeout(50);
  testenv::SimBoard board(cfg, [&](boardsim::Board& b) {
    b.SetExchangeHook([sentMark](const boardsim::Exchange& e) { DieOnTheFirstWrite(e, sentMark); });
    return b.Plug(testenv::BoardClassFolder(), "board-0");
  });
  testenv::DescribeFlash(cfg);
  station::state().optionsDlg.SetText(station::kFlashTotalSizeEdit, "");

  station::DeviceSlot& dev = station::state().slots[slot];
  dev.DeviceHandle = board.handle();
  station::BurnOption option;
  option.burnFactory = 1;
  option.useSecureStorage = std::string(argv[5]) == "storage";
  station::NandBbt bbt;
  const station::ResultCode result =
      station::WriteFactoryArea(slot, dev, testenv::FlashInfoOf(cfg, slot), option, bbt);
  dev.DeviceHandle = station::kInvalidHandle;
  std::fprintf(stderr, "killed_factory_job: the write came to its end (%d)\n", static_cast<int>(result));
  return 3;
}

#include "support/factory_station.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>

#include "foundation/work_paths.h"
#include "mkpackage/mkpackage.h"
#include "package/layout_file.h"
#include "platform/device_nodes.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "usblink/usb_device.h"

namespace benchsupport {

namespace fs = std::filesystem;
using namespace station;

namespace {

// Runs a program to its end in real time; true when it exited with 0.
bool RunToEnd(const std::string& program, std::vector<std::string> args) {
  args.insert(args.begin(), program);
  const pid_t pid = plat::SpawnProcess(program, args, "");
  if (pid < 0) return false;
  int status = -1;
  if (plat::WaitProcess(pid, -1, &status) != plat::WaitOutcome::Exited) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

FactoryStation::FactoryStation(int keys) {
  char tmpl[] = "/tmp/bench-factory-XXXXXX";
  if (!mkdtemp(tmpl)) {
    error_ = "no folder in /tmp";
    return;
  }
  root_ = tmpl;
  for (const char* d : {"/dev", "/temp", "/station", "/run", "/build"}) fs::create_directories(root_ + d);
  setenv("USB_DEVICE_ROOT", (root_ + "/dev").c_str(), 1);
  setenv("TEMP", (root_ + "/temp").c_str(), 1);
  setenv("STATION_RUNTIME_DIR", (root_ + "/run").c_str(), 1);
  const std::string appDir = root_ + "/station";
  SetAppDir(appDir);  // the work paths follow TEMP
  try {
    const mkpackage::StationFiles files = mkpackage::InstallStationFiles(appDir);
    mkpackage::PackageOptions o;
    o.emmc = true;
    o.outDir = root_ + "/build/pkg";
    const mkpackage::PackageInfo pkg = mkpackage::BuildPackage(o);
    fs::copy(pkg.treeDir, appDir + "/UnTarTmp", fs::copy_options::recursive);
    packageFolder_ = "/" + o.packageFolder;

    const std::string bag = root_ + "/build/keys.bin";
    if (!RunToEnd(files.toolDir + "/keybag-make",
                  {"create", bag, "--keys", std::to_string(keys), "--seed", "5", "--first-mac", "0010203040A0",
                   "--force"})) {
      error_ = "keybag-make did not make the key bag";
      return;
    }
    plat::WriteProfileString("FACTORY", "KEY PATH", bag, files.toolDir + "/USBMPTOOL.ini");
    plat::WriteProfileString("FACTORY", "KEY CONT", "0", files.toolDir + "/USBMPTOOL.ini");
  } catch (const std::exception& e) {
    error_ = std::string("package: ") + e.what();
  }
}

FactoryStation::~FactoryStation() {
  SetAppDir("");
  if (root_.empty()) return;
  std::error_code ec;
  fs::remove_all(root_, ec);
}

bool FactoryStation::Attach(StationState& s) {
  s.PackageSubdir = packageFolder_;
  if (!CreateNamedMutexes(s)) {
    error_ = "the named mutexes could not be made";
    return false;
  }
  return true;
}

void DescribeEmmc() {
  ui::Dialog& d = state().optionsDlg;
  d.SetText(option_id::kFlashType, "2");
  d.SetText(option_id::kTransmissionSizeK, "256");
  d.SetText(option_id::kOneWriteSizeM, "16");
  d.SetText(kFlashTotalSizeEdit, "");
}

FactoryBoard::FactoryBoard(int slot) : slot_(slot) {
  boardsim::BoardConfig cfg;
  cfg.flash = boardsim::FlashKind::Emmc;
  cfg.emmcBytes = 16ull << 20;
  cfg.requireDdrEnable = false;  // the installation before the stage did the hardware setting
  for (size_t i = 0; i < cfg.key.size(); ++i) cfg.key[i] = static_cast<uint8_t>(0x5A ^ (i * 17) ^ slot);
  board_ = std::make_unique<boardsim::Board>(cfg);
  const std::string path = board_->Plug(plat::ClassFolder(kUsbClassGuid), "factory-" + std::to_string(slot));
  DescribeEmmc();
  GetFlashInfo(info_, slot);
  if (!path.empty()) dev().DeviceHandle = OpenUsbDevice(path.c_str());
}

FactoryBoard::~FactoryBoard() {
  CloseDevice(dev().DeviceHandle);
  dev().DeviceHandle = kInvalidHandle;
  board_->Unplug();
}

}  // namespace benchsupport

#include "support/package_env.h"

#include <filesystem>

#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "package/type_lists.h"
#include "platform/clock.h"

namespace testenv {

namespace fs = std::filesystem;

PackageFixture::PackageFixture()
    : appDir((dir / "station").string()), untarDir(appDir + "/UnTarTmp"), scopedAppDir(appDir) {
  fs::create_directories(appDir);
  stationFiles = mkpackage::InstallStationFiles(appDir, 7, 4096);
  // The NAND models the station supports, for the layout's FW_PROFILE line.
  fs::copy_file(std::string(STATION_SOURCE_DIR) + "/tests/fixtures/nand-support-list/nand_flash_support_list.xlsx",
                appDir + "/Tempfile/nand_flash_support_list.xlsx", fs::copy_options::overwrite_existing);
}

mkpackage::PackageInfo PackageFixture::Build(mkpackage::PackageOptions options, const std::string& name) {
  options.outDir = (dir / "build" / name).string();
  return mkpackage::BuildPackage(options);
}

mkpackage::PackageInfo PackageFixture::BuildUnpacked(mkpackage::PackageOptions options) {
  mkpackage::PackageInfo info = Build(std::move(options));
  fs::remove_all(untarDir);
  fs::copy(info.treeDir, untarDir, fs::copy_options::recursive);
  return info;
}

void PackageFixture::ChooseFlash(const std::string& type, const std::string& ddr) {
  station::StationState& s = station::state();
  s.mainDlg.SetText(station::kFlashTypeList, type);
  if (type.rfind("EMMC", 0) == 0) {
    s.mainDlg.SetText(station::kDdrTypeList, ddr);
    station::GetDdrFolderName(1);
  } else {
    s.DdrFolderName.clear();
  }
}

StopAtLogLine::StopAtLogLine(std::string trigger) : trigger_(std::move(trigger)) {
  token_ = station::state().optionsDlg.Subscribe([this](int id) {
    const std::stop_token stop = plat::CurrentStopToken();
    if (id != station::kMainLogControlId || !stop.stop_possible()) return;
    const std::string log = station::MainLogText();
    {
      std::lock_guard lock(m_);
      if (reached_ || log.find(trigger_) == std::string::npos) return;
      reached_ = true;
      logLength_ = log.size();
    }
    cv_.notify_all();
    std::mutex hold;
    std::unique_lock lock(hold);
    std::condition_variable_any().wait(lock, stop, [] { return false; });
  });
}

StopAtLogLine::~StopAtLogLine() { station::state().optionsDlg.Unsubscribe(token_); }

size_t StopAtLogLine::WaitReached() {
  std::unique_lock lock(m_);
  cv_.wait(lock, [&] { return reached_; });
  return logLength_;
}

std::vector<uint8_t> WithZero(std::vector<uint8_t> bytes) {
  bytes.push_back(0);
  return bytes;
}

}  // namespace testenv

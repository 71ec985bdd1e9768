#include "support/install_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "foundation/image_buffers.h"
#include "foundation/log_boxes.h"
#include "foundation/work_paths.h"
#include "package/install_image.h"
#include "package/layout_file.h"
#include "package/package_loading.h"
#include "package/type_lists.h"
#include "programming/slot_params.h"
#include "programming/usb_hwsetting.h"
#include "support/test_env.h"

namespace testenv {

namespace fs = std::filesystem;

std::string TakeErrorLogs(const std::string& appDir) {
  const fs::path folder = fs::path(appDir) / "log" / "error_log";
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::string all;
  for (const fs::path& f : files) {
    all += ReadFile(f);
    fs::remove(f, ec);
  }
  return all;
}

bool HasInOrder(const std::string& text, const std::vector<std::string>& lines, std::string* missing) {
  size_t at = 0;
  for (const std::string& line : lines) {
    const size_t found = text.find(line, at);
    if (found == std::string::npos) {
      if (missing) *missing = line;
      return false;
    }
    at = found + line.size();
  }
  return true;
}

InstallFixture::InstallFixture() : temp("TEMP", (dir / "temp").string()) {
  fs::create_directories(dir / "temp");
  station::SetAppDir(appDir);  // the work paths follow the new TEMP: no suite shares a work folder
  station::FreeImageBuffers();
}

InstallFixture::~InstallFixture() { station::FreeImageBuffers(); }

mkpackage::PackageInfo InstallFixture::Load(mkpackage::PackageOptions options, const std::string& flash) {
  station::StationState& st = s();
  const mkpackage::PackageInfo pkg = Build(std::move(options));
  fs::remove_all(untarDir);
  fs::create_directories(untarDir);
  station::UntarInstallImg(pkg.imagePath, untarDir, nullptr, st.UnpackProgressRange, st.UnpackProgressPos, 1);
  ChooseFlash(flash, "2DDR4_1GB");
  if (st.DdrFolderName.empty()) {
    // The hardware setting of a NAND board needs a DDR type too.
    st.mainDlg.SetText(station::kDdrTypeList, "2DDR4_1GB");
    station::GetDdrFolderName(1);
  }
  st.PackageSubdir = station::GetPackageDir(untarDir);
  EXPECT_EQ(st.PackageSubdir, "/" + pkg.packageFolder);
  EXPECT_EQ(station::ReadUntarTempFiles(), 1) << station::MainLogText();
  return pkg;
}

station::FlashInfo InstallFixture::StartJob(int slot, SimBoard& board) {
  station::StationState& st = s();
  station::DeviceSlot& dev = st.slots[slot];
  dev.DeviceHandle = board.handle();
  dev.DevicePath = board.path();
  dev.Busy = 1;
  const station::FlashInfo info = FlashInfoOf(board.board().config(), slot);
  station::FillDeviceParams(slot);
  st.HwsettingPending[slot] = 1;
  EXPECT_EQ(station::RunUsbHwsetting(slot, dev, info, st.HwsettingPending[slot]), station::kResultDone)
      << station::DeviceLogText(slot);
  return info;
}

std::vector<uint8_t> InstallFixture::SavedFlash(SimBoard& board) {
  const fs::path saved = dir / "flash.bin";
  EXPECT_TRUE(board.board().SaveFlash(saved.string()));
  std::vector<uint8_t> flash = ReadBytes(saved);
  fs::remove(saved);
  return flash;
}

}  // namespace testenv

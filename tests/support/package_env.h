#pragma once
// A station folder with installation packages in it, for the loader tests: the scratch folder
// becomes the station folder (AppDir), its Tempfile folder gets the shipped files, and
// packages built with mkpackage are unpacked into UnTarTmp the way "open" leaves them.
#include <string>

#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "mkpackage/mkpackage.h"
#include "support/app_dir.h"
#include "support/test_env.h"

namespace testenv {

struct PackageFixture : StationFixture {
  PackageFixture();

  // Builds a package under the scratch folder (not inside the station folder's UnTarTmp).
  mkpackage::PackageInfo Build(mkpackage::PackageOptions options, const std::string& name = "pkg");
  // Builds a package and puts its tree in UnTarTmp, replacing what was there.
  mkpackage::PackageInfo BuildUnpacked(mkpackage::PackageOptions options);
  // Chooses the flash type by its list text ("NAND", "NOR", "EMMC", "EMMC_8G", ...) and, for
  // eMMC kinds, a DDR type.
  void ChooseFlash(const std::string& type, const std::string& ddr = "2DDR4_1GB");

  // The running station, its loaded images, and whether its main log holds `text`.
  static station::StationState& s() { return station::state(); }
  static station::ImageBuffers& img() { return station::state().images; }
  static bool MainLogHas(const std::string& text) { return station::MainLogText().find(text) != std::string::npos; }

  std::string appDir;     // the station folder
  std::string untarDir;   // appDir + "/UnTarTmp"
  mkpackage::StationFiles stationFiles;
  ScopedAppDir scopedAppDir;
};

// The synthetic bytes of a placed file followed by the zero byte a heap read adds.
std::vector<uint8_t> WithZero(std::vector<uint8_t> bytes);

}  // namespace testenv

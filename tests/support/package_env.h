#pragma once
// A station folder with installation packages in it, for the loader tests: the scratch folder
// becomes the station folder (AppDir), its Tempfile folder gets the shipped files, and
// packages built with mkpackage are unpacked into UnTarTmp the way "open" leaves them.
#include <condition_variable>
#include <mutex>
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

// Holds a loading thread at the first main-log line that holds `trigger` until the thread is
// asked to stop, so that a test stops a load at a chosen point of it, whatever the machine's
// speed. Lines logged by a thread without a stop token pass.
class StopAtLogLine {
 public:
  explicit StopAtLogLine(std::string trigger);
  ~StopAtLogLine();
  StopAtLogLine(const StopAtLogLine&) = delete;
  StopAtLogLine& operator=(const StopAtLogLine&) = delete;
  // Waits until a loader wrote the line; the main log's length then.
  size_t WaitReached();

 private:
  const std::string trigger_;
  int token_ = 0;
  std::mutex m_;
  std::condition_variable cv_;
  bool reached_ = false;
  size_t logLength_ = 0;
};

// The synthetic bytes of a placed file followed by the zero byte a heap read adds.
std::vector<uint8_t> WithZero(std::vector<uint8_t> bytes);

}  // namespace testenv

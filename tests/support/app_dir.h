#pragma once
// Points the station folder (and the work paths built from it) at a test's folder for the
// lifetime of the object, then back at the executable's folder; and a station fixture that
// keeps its files in its scratch folder.
#include <string>

#include "foundation/work_paths.h"
#include "support/test_env.h"

namespace testenv {

class ScopedAppDir {
 public:
  explicit ScopedAppDir(const std::string& dir) { station::SetAppDir(dir); }
  ~ScopedAppDir() { station::SetAppDir(""); }
  ScopedAppDir(const ScopedAppDir&) = delete;
  ScopedAppDir& operator=(const ScopedAppDir&) = delete;
};

// A fresh station whose temporary folder (read-back and spare files) and station folder (dump
// files, error logs) are both the scratch folder.
struct ScratchStationFixture : StationFixture {
  ScopedEnv temp{"TEMP", dir.str()};
  ScopedAppDir app{dir.str()};
};

}  // namespace testenv

#pragma once
// Points the station folder (and the work paths built from it) at a test's folder for the
// lifetime of the object, then back at the executable's folder.
#include <string>

#include "foundation/work_paths.h"

namespace testenv {

class ScopedAppDir {
 public:
  explicit ScopedAppDir(const std::string& dir) { station::SetAppDir(dir); }
  ~ScopedAppDir() { station::SetAppDir(""); }
  ScopedAppDir(const ScopedAppDir&) = delete;
  ScopedAppDir& operator=(const ScopedAppDir&) = delete;
};

}  // namespace testenv

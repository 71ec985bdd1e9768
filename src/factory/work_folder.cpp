#include "factory/work_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "foundation/work_paths.h"

namespace station {

namespace {

std::string FolderPath() {
  std::string dir = workPaths().TempToolDir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

// A real folder (a link is looked at, never followed) of the station's user.
bool Ours(const std::string& dir, struct stat& st) {
  return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

}  // namespace

bool PrepareWorkFolder(int slot) {
  const std::string dir = FolderPath();
  CreateMultiDir(GetDirFromPath(dir));
  ::mkdir(dir.c_str(), 0700);
  struct stat st;
  const bool ok = Ours(dir, st) && ((st.st_mode & 077) == 0 || ::chmod(dir.c_str(), 0700) == 0);
  if (!ok) PrintDeviceLog(slot, "work folder refused : %s\r\n", dir.c_str());
  return ok;
}

bool WorkFolderIsSafe() {
  struct stat st;
  return Ours(FolderPath(), st);
}

}  // namespace station

#include "factory/factory_work_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stop_token>
#include <utility>
#include <vector>

#include "factory/work_folder.h"
#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "package/layout_file.h"

namespace station {

namespace {

using FilePair = std::pair<std::string, std::string>;

std::vector<FilePair> KeyTempMoves(const WorkPaths& p) {
  return {{p.KeyTempEnvFile, p.TempToolEnvFile},
          {p.KeyTempSigEncFile, p.TempToolSigEncFile},
          {p.KeyTempSigDecFile, p.TempToolSigDecFile},
          {p.KeyTempSnFile, p.TempToolSnFile},
          {p.KeyTempIdxFile, p.TempToolIdxFile}};
}

bool WorkFolderPresent() {
  std::string dir = workPaths().TempToolDir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  struct stat st;
  return ::lstat(dir.c_str(), &st) == 0;
}

// The per-board files in the order they are deleted: the handed-out key first (in either
// place, and its check decryption), then the rest in their fixed order; the work folder's
// files only when `inside`.
std::vector<std::string> BoardFiles(const WorkPaths& p, const std::string& icon, bool inside) {
  std::vector<std::string> files = {p.KeyTempSigEncFile};
  if (inside) files.insert(files.end(), {p.TempToolSigEncFile, p.TempToolDecFile});
  for (const std::string& f : {p.KeyTempEnvFile, p.KeyTempSigDecFile, p.KeyTempSnFile, p.KeyTempIdxFile,
                               p.TempDir + "/storage_" + icon + "_tmp.tar", p.TempDir + "/factory_" + icon + "_tmp.tar"})
    files.push_back(f);
  if (!inside) return files;
  for (const std::string& f :
       {p.TempToolDir + "/storage_" + icon + "_tmp.tar", p.TempToolDir + "/factory_" + icon + "_tmp.tar",
        p.TempToolEnvFile, p.TempToolBkEnvFile, p.TempToolSysParamFile, p.TempToolSigDecFile, p.TempToolSnFile,
        p.SeStorageSigEncFile, p.SeStorageKteeFile, p.TmpFactorySigEncFile, p.TmpFactorySigDecFile,
        p.TmpFactoryEnvFile, p.TmpFactorySysParamFile, p.TmpFactorySnFile, p.TmpFactoryLayoutFile, p.TempToolIdxFile,
        p.DumpFactoryEnvFile, p.DumpFactorySigEncFile, p.DumpFactoryBootParamFile, p.DumpFactorySysParamFile,
        p.DumpFactorySnFile})
    files.push_back(f);
  return files;
}

bool PathThere(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Whether a folder on the way from `root` to `path` is a link.
bool LinkOnTheWay(const std::string& path, const std::string& root) {
  if (path.compare(0, root.size(), root) != 0) return false;
  for (size_t slash = path.find('/', root.size() + 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    struct stat st;
    if (::lstat(path.substr(0, slash).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return true;
  }
  return false;
}

// Deletes each file that is there; false when one of them stays. Below the work folder no
// link is followed: a link on a file's way (left by a board's archive, say) is removed itself,
// and what it leads to stays.
bool DeleteEach(const std::vector<std::string>& files, int icon) {
  const std::string& root = workPaths().TempToolDir;
  bool all = true;
  for (const std::string& f : files) {
    if (!(PathThere(f) || LinkOnTheWay(f, root)) || DeleteFileRetry(f, root)) continue;
    PrintDeviceLog(icon, "delete file path failed :%s", f.c_str());
    all = false;
  }
  return all;
}

// Makes a change of the folder's entries durable.
bool SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// Removes the spent note, durably; true when it is gone.
bool ClearKeySpent() {
  const WorkPaths& p = workPaths();
  if (!PathThere(p.TempToolKeySpentFile)) return true;
  ::unlink(p.TempToolKeySpentFile.c_str());
  return SyncFolder(p.TempToolDir) && !PathThere(p.TempToolKeySpentFile);
}

bool MakeFolder(const std::string& folder, int slot) {
  if (FileExists(folder) || CreateMultiDir(folder)) return true;
  PrintDeviceLog(slot, "caret folder failed - %s\r\n", folder.c_str());
  return false;
}

}  // namespace

bool prepareTarCommand(int slot) {
  if (!PrepareWorkFolder(slot)) return false;
  const WorkPaths& p = workPaths();
  return FileExists(p.TempToolTarExe) || CopyFileRetry(p.KeyTempTarExe, p.TempToolTarExe);
}

bool MoveKeyTempFiles(int slot) {
  const WorkPaths& p = workPaths();
  if (!FileExists(p.KeyTempIdxFile)) {
    PrintDeviceLog(slot, "%s not found!\r\n", p.KeyTempIdxFile.c_str());
    return false;
  }
  for (const auto& [from, to] : KeyTempMoves(p)) {
    const bool ok = FileExists(from) ? MoveFileReplaceRetry(from, to) : !PathThere(to) || DeleteFileRetry(to);
    if (!ok) {
      PrintDeviceLog(slot, "move file failed path:[%s]", from.c_str());
      return false;
    }
  }
  return true;
}

bool PrepareFactoryTemplate(int slot, const BurnOption& option) {
  const std::string root = UnTarTmpDir();
  std::string folder = GetPackageDir(root);
  if (folder.empty()) folder = option.nasEnable ? "/omv" : "/package5";
  if (!MakeFolder(root, slot) || !MakeFolder(root + folder, slot)) return false;
  return CopyFileRetry(workPaths().AppDir + "/Tempfile" + "/" + "factory" + ".tar",
                       root + folder + "/" + "factory" + ".tar");
}

bool DeleteTmpTarFiles(int icon) {
  const WorkPaths& p = workPaths();
  // Nothing is deleted through a work folder that is refused (a link would lead elsewhere).
  const bool refused = WorkFolderPresent() && !WorkFolderIsSafe();
  if (refused) PrintDeviceLog(icon, "work folder refused : %s\r\n", p.TempToolDir.c_str());
  const bool deleted = DeleteEach(BoardFiles(p, std::to_string(icon), WorkFolderPresent() && !refused), icon);
  if (!deleted || refused) return false;
  // The note that the key went out goes last, once no copy of that key is left.
  if (ClearKeySpent()) return true;
  PrintDeviceLog(icon, "delete file path failed :%s", p.TempToolKeySpentFile.c_str());
  return false;
}

bool MarkKeySpent(int slot) {
  const WorkPaths& p = workPaths();
  bool ok = WorkFolderIsSafe();
  if (ok) {
    const int fd = ::open(p.TempToolKeySpentFile.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    ok = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0 && ::close(fd) != 0) ok = false;
  }
  ok = ok && SyncFolder(p.TempToolDir);
  if (!ok) PrintDeviceLog(slot, "the secure key could not be noted as spent : %s\r\n", p.TempToolKeySpentFile.c_str());
  return ok;
}

bool KeySpent() {
  struct stat st;
  return ::lstat(workPaths().TempToolKeySpentFile.c_str(), &st) == 0;
}

bool DeleteTmpTarFilesWhenIdle(int icon) {
  std::stop_source noWait;
  noWait.request_stop();  // a stopped wait takes a free mutex and gives up on a held one
  plat::NamedMutexLock lock(state().MutexFactory, noWait.get_token());
  return lock.locked() && DeleteTmpTarFiles(icon);
}

void CleanWorkFolders() {
  if (!WorkFolderIsSafe()) return;
  const WorkPaths& p = workPaths();
  for (const std::string& folder : {p.TempToolTmpDir, p.CheckDir, p.DumpDir}) RemoveDirTree(folder, p.TempToolDir);
}

}  // namespace station

#include "foundation/work_paths.h"

#include <atomic>
#include <deque>
#include <mutex>

#include "foundation/file_utils.h"

namespace station {

WorkPaths BuildWorkPaths(const std::string& appDir, const std::string& tempDir) {
  WorkPaths p;
  p.AppDir = appDir;
  p.ToolWorkDir = p.AppDir + "/for_usb_mp_tool";
  p.KeyBagGeneratorExe = p.ToolWorkDir + "/" + kKeyBagGeneratorName;
  p.KeyTempDir = p.ToolWorkDir + "/keytemp" + "/";
  p.KeyTempTarExe = p.KeyTempDir + "tar.exe";
  p.KeyTempIconvDll = p.KeyTempDir + "libiconv-2.dll";
  p.KeyTempIntlDll = p.KeyTempDir + "libintl-2.dll";
  p.KeyTempSigDecFile = p.KeyTempDir + "key_bag_final_sig_dec.bin";
  p.KeyTempSigEncFile = p.KeyTempDir + "key_bag_final_sig_enc.bin";
  p.TempDir = tempDir;
  p.TempToolDir = p.TempDir + "/mvx_tool" + "/";
  p.DumpDir = p.TempDir + "/mvx_tool" + "/dump";
  p.DumpFactoryDir = p.DumpDir + "/tmp/" + "factory";
  p.DumpFactoryEnvFile = p.DumpFactoryDir + "/" + "env.txt";
  p.DumpFactorySigEncFile = p.DumpFactoryDir + "/" + "key_bag_final_sig_enc.bin";
  p.DumpFactoryBootParamFile = p.DumpFactoryDir + "/" + "000BootParam.h";
  p.DumpFactorySysParamFile = p.DumpFactoryDir + "/" + "sysparam";
  p.DumpFactorySnFile = p.DumpFactoryDir + "/" + "sn.txt";
  p.TempToolTarExe = p.TempToolDir + "tar.exe";
  p.TempToolIconvDll = p.TempToolDir + "libiconv-2.dll";
  p.TempToolIntlDll = p.TempToolDir + "libintl-2.dll";
  p.TempToolEnvFile = p.TempToolDir + "env.txt";
  p.TempToolBkEnvFile = p.TempToolDir + "bk_" + "env.txt";
  p.TempToolSysParamFile = p.TempToolDir + "sysparam";
  p.TempToolSnFile = p.TempToolDir + "sn.txt";
  p.TempToolIdxFile = p.TempToolDir + "idx.txt";
  p.TempToolSigEncFile = p.TempToolDir + "key_bag_final_sig_enc.bin";
  p.TempToolSigDecFile = p.TempToolDir + "key_bag_final_sig_dec.bin";
  p.TempToolDecFile = p.TempToolDir + "dec.bin";
  p.TempToolKeySpentFile = p.TempToolDir + "key_spent";
  p.TempToolFactoryTar = p.TempToolDir + "factory" + ".tar";
  p.SeStorageDir = p.TempToolDir + "tmp/" + "se_storage" + "/";
  p.SeStorageSigEncFile = p.SeStorageDir + "key_bag_final_sig_enc.bin";
  p.SeStorageKteeFile = p.SeStorageDir + "ktee.bin";
  p.TempToolTmpDir = p.TempToolDir + "tmp/";
  p.TmpFactoryDir = p.TempToolTmpDir + "factory" + "/";
  p.TmpFactoryEnvFile = p.TmpFactoryDir + "env.txt";
  p.TmpFactorySysParamFile = p.TmpFactoryDir + "sysparam";
  p.TmpFactoryBootParamFile = p.TmpFactoryDir + "000BootParam.h";
  p.TmpFactorySnFile = p.TmpFactoryDir + "sn.txt";
  p.TmpFactoryLayoutFile = p.TmpFactoryDir + "/layout.txt";  // two separators in a row, as used
  p.TmpFactorySigEncFile = p.TmpFactoryDir + "key_bag_final_sig_enc.bin";
  p.TmpFactorySigDecFile = p.TmpFactoryDir + "key_bag_final_sig_dec.bin";
  p.KeyTempEnvFile = p.KeyTempDir + "env.txt";
  p.KeyTempSnFile = p.KeyTempDir + "sn.txt";
  p.KeyTempIdxFile = p.KeyTempDir + "idx.txt";
  p.InstallConfigFile = p.AppDir + "/UnTarTmp" + "/config.txt";
  p.CheckDir = p.TempToolDir + "check/";
  p.CheckFactoryDir = p.CheckDir + "tmp/factory/";
  return p;
}

namespace {
std::mutex g_mutex;
std::atomic<const WorkPaths*> g_current{nullptr};
// Every set ever built stays alive: a reader may hold a reference across a SetAppDir.
std::deque<WorkPaths>& Built() {
  static std::deque<WorkPaths> built;
  return built;
}

const WorkPaths* BuildCurrent() {
  Built().push_back(BuildWorkPaths(GetAppDir(), GetTempDir()));
  const WorkPaths* p = &Built().back();
  g_current.store(p);
  return p;
}
}  // namespace

const WorkPaths& workPaths() {
  if (const WorkPaths* p = g_current.load()) return *p;
  std::lock_guard lock(g_mutex);
  if (const WorkPaths* p = g_current.load()) return *p;
  return *BuildCurrent();
}

void SetAppDir(const std::string& dir) {
  std::lock_guard lock(g_mutex);
  SetAppDirOverride(dir);
  BuildCurrent();
}

}  // namespace station

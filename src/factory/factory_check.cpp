#include "factory/factory_check.h"

#include "factory/external_tools.h"
#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "foundation/work_paths.h"
#include "package/layout_file.h"

namespace station {

namespace {

constexpr const char* kCheckFail = "CHECK_FACOTRY_FAIL";

// install_factory=y with install_avfile_count=1 (the second key read only after the first).
bool BootParametersWanted() {
  const std::string config = workPaths().InstallConfigFile;
  const std::string factory = GetValueFromFile(config, "install_factory", "=");
  if (factory.empty() || factory[0] != 'y') return false;
  const std::string count = GetValueFromFile(config, "install_avfile_count", "=");
  return !count.empty() && count[0] == '1';
}

// Whether `name` came out of the archive, with the two log lines of its check.
bool Found(int slot, const std::string& name, const char* present, const char* missing) {
  const bool there = FileExists(workPaths().CheckFactoryDir + name);
  PrintDeviceLog(slot, "%s", there ? present : missing);
  return there;
}

}  // namespace

std::string CheckFactoryTar(const std::string& tarPath, int slot, bool checkSecureKey) {
  const WorkPaths& p = workPaths();
  const std::string name = GetFileNameFromPath(tarPath);
  const bool bootParameters = BootParametersWanted();

  PrintDeviceLog(slot, "check factory : clean mvx_tool / check / tmp / factory\r\n");
  RemoveDirTree(p.CheckFactoryDir, p.TempToolDir);
  PrintDeviceLog(slot, "check factory : regen mvx_tool/ check / tmp/ factory\n");
  if (!CreateMultiDir(p.CheckFactoryDir)) return "CREATE_TMP_FACTORY_DIR_FAIL";

  PrintDeviceLog(slot, "check factory : untar %s \r\n", name.c_str());
  PrintDeviceLog(slot, "check facteory : call process tar xvf pc tmp %s\r\n", name.c_str());
  if (!RunTarArchiver(" xvf ./" + name + " -C check", slot)) return "CALL_PROCESS_FAIL_GEN_FACTORY_COMMAND";
  PrintDeviceLog(slot, "check facteory : begin check ..\r\n");

  if (!Found(slot, "layout.txt", "check :layout.txt exist ..\r\n", "check :layout.txt not found ..\r\n")) return kCheckFail;
  if (!bootParameters)
    PrintDeviceLog(slot, "check : install_avfile_count != y \r\ndo not check 000BootParam.h\r\n");
  else if (!Found(slot, "000BootParam.h", "check : 000BootParam.h exist ..\r\n", "check : 000BootParam.h not found ..\r\n"))
    return kCheckFail;
  if (!checkSecureKey)
    PrintDeviceLog(slot, "check : writefactory != y\r\ndo not check secure key\r\n");
  else if (!Found(slot, "key_bag_final_sig_enc.bin", "check : secure key exist ..\r\n", "check : secure key not found ..\r\n"))
    return kCheckFail;
  PrintDeviceLog(slot, "check : factory.tar : [ correct ]\r\n");
  return {};
}

}  // namespace station

#include "factory/factory_archive.h"

#include <sys/stat.h>
#include <unistd.h>

#include "factory/board_env_files.h"
#include "factory/board_files.h"
#include "factory/external_tools.h"
#include "factory/factory_check.h"
#include "factory/factory_work_files.h"
#include "factory/key_bag.h"
#include "factory/tar_head.h"
#include "factory/work_folder.h"
#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "foundation/work_paths.h"
#include "package/layout_file.h"

namespace station {

namespace {

constexpr int kBuilds = 5;

// What one build of a slot's archive works with.
struct Build {
  int slot;
  const BurnOption& option;
  const SlotTextTable& mac;
  const SlotTextTable& sn;
  std::string name;      // factory_<slot>_tmp.tar
  std::string templ;     // the package's factory template
  std::string layout;    // the package's layout.txt
  bool seStorage() const { return option.useSecureStorage != 0; }
};

// A failure tag after its slot-log line (none when `line` is empty).
std::string Failed(int slot, const std::string& tag, const std::string& line = {}) {
  if (!line.empty()) PrintDeviceLog(slot, "%s", line.c_str());
  return tag;
}

bool DeleteIfThere(const std::string& path) { return !FileExists(path) || DeleteFileRetry(path); }

// The archiver wrote something: an archive is never empty.
bool Packed(const std::string& archive) {
  struct stat st;
  return ::stat(archive.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

std::string PackageFolderFor(const BurnOption& option) {
  const std::string folder = GetPackageDir(UnTarTmpDir());
  if (!folder.empty()) return folder;
  return option.nasEnable ? "/omv" : "/package5";
}

std::string LayoutPath(const std::string& packageFolder) {
  return workPaths().AppDir + "/UnTarTmp" + GetFlashSizeDir(packageFolder) + "/layout.txt";
}

std::string TemplatePath(const std::string& packageFolder) {
  return workPaths().AppDir + "/UnTarTmp" + packageFolder + "/" + "factory.tar";
}

// The factory folder made afresh, with the template ready to unpack.
std::string PrepareFolders(const Build& b) {
  const WorkPaths& p = workPaths();
  if (!DeleteFileRetry(p.TempDir + "/" + b.name))
    return Failed(b.slot, "DELETE_FILE_FAIL", "delete file path failed - pc temp " + b.name);
  CleanWorkFolders();
  if (!CreateMultiDir(p.TmpFactoryDir)) return "CREATE_TMP_FACTORY_DIR_FAIL";
  if (!b.seStorage()) {
    for (const std::string& key : {p.TmpFactorySigEncFile, p.TmpFactorySigDecFile})
      if (!DeleteIfThere(key)) return Failed(b.slot, "DELETE_FILE_FAIL", "delete file path failed :" + key);
  }
  if (!FileExists(b.templ) && !PrepareFactoryTemplate(b.slot, b.option))
    return Failed(b.slot, "CREATE_UNTARTEMP_FAIL", "create untar temp file failed\r\n");
  if (!DeleteIfThere(p.TempToolFactoryTar))
    return Failed(b.slot, "DELETE_PC_TEMP_FACTOY_TAR_FAIL", "delete pc temp factory.tar failed \r\n");
  if (!CopyFileRetry(b.templ, p.TempToolFactoryTar))
    return Failed(b.slot, "COPY_FILE_FAIL", "copy factory.tar to pc temp file failed\r\n");
  return {};
}

// The board's key files in the work folder. The first build of an archive that carries the
// key takes it (and the counters); otherwise the key files are where the first build, or the
// storage archive of this board, left them, unless the generator left a key waiting.
std::string KeyFiles(const Build& b, int build) {
  if (!b.seStorage() && build == 0) return PrepareSingleSecureKey(b.slot, KeyStep::Factory);
  if (!FileExists(workPaths().KeyTempSigEncFile)) return {};
  if (MoveKeyTempFiles(b.slot)) return {};
  return Failed(b.slot, "MOVE_SECURE_KEY_TO_PC_TEMP_FAIL", "move raw secure key to pc temp failed\r\n");
}

std::string UnpackTemplate(const Build& b) {
  PrintDeviceLog(b.slot, "call process tar xvf pc tmp factory.tar\r\n");
  if (!RunTarArchiver(" xvf ./factory.tar -C tmp/factory", b.slot)) return "CALL_PROCESS_FAIL_GEN_FACTORY_COMMAND";
  DeleteIfThere(workPaths().TempToolFactoryTar);
  return {};
}

std::string AddLayout(const Build& b) {
  const WorkPaths& p = workPaths();
  if (!FileExists(b.layout)) return Failed(b.slot, "GET_LAYOUT_TXT_FAIL", b.layout + " is not exist!\r\n");
  DeleteIfThere(p.TmpFactoryLayoutFile);
  if (!CopyFileRetry(b.layout, p.TmpFactoryLayoutFile))
    return Failed(b.slot, "COPY_LAYOUT_TXT_FAIL", "copy " + b.layout + " to pc  temp / tmp / factory failed\r\n");
  return {};
}

// The MAC as a parameter file (LK boot loader). The MAC file stays as it is, so there is no
// backup to put back.
std::string AddParameterFile(const Build& b) {
  const WorkPaths& p = workPaths();
  if (!SetSysParamEthaddr(b.mac, b.slot))
    return Failed(b.slot, "REGEN_SYSPARAM_FILE_FAIL", "set mac value to sysparam failed\r\n");
  if (!DeleteIfThere(p.TmpFactorySysParamFile))
    return Failed(b.slot, "DELETE_SYSPARAM_FILE_FAIL", "delete pc tmp facotry sysparam file failed\r\n");
  if (!MoveFileReplaceRetry(p.TempToolSysParamFile, p.TmpFactorySysParamFile))
    return Failed(b.slot, "MOVE_SYSPARAM_FILE_FAIL", "move sysparam to  pc tmp facotry sysparam failed\r\n");
  return {};
}

// The MAC as an environment image; the MAC file comes back from its backup for a next build.
std::string AddEnvironmentImage(const Build& b) {
  const WorkPaths& p = workPaths();
  if (!MakeDefaultEnvFile(b.mac, b.slot)) return Failed(b.slot, "REGEN_ENV_FILE_FAIL", "set mac value to env.txt failed\r\n");
  if (!DeleteIfThere(p.TmpFactoryEnvFile))
    return Failed(b.slot, "DELETE_ENV_FILE_FAIL", "delete pc tmp facotry env file failed\r\n");
  if (!MoveFileReplaceRetry(p.TempToolEnvFile, p.TmpFactoryEnvFile))
    return Failed(b.slot, "MOVE_ENV_FILE_FAIL", "move env.txt to  pc tmp facotry env failed\r\n");
  if (!MoveFileReplaceRetry(p.TempToolBkEnvFile, p.TempToolEnvFile))
    return Failed(b.slot, "MOVE_BK_ENV_FILE_FAIL", "move backup env.txt file to pc temp file failed");
  return {};
}

std::string AddMac(const Build& b) {
  if (!FileExists(workPaths().TempToolEnvFile)) {
    b.mac.set(b.slot, "");
    return {};
  }
  return b.option.lkEnable ? AddParameterFile(b) : AddEnvironmentImage(b);
}

std::string AddSerialNumber(const Build& b) {
  const WorkPaths& p = workPaths();
  if (!FileExists(p.TempToolSnFile)) {
    b.sn.set(b.slot, "");
    return {};
  }
  DeleteIfThere(p.TmpFactorySnFile);
  if (!ReadSnFileToTable(p.TempToolSnFile, b.sn, b.slot)) return "READ_SNFILE_FAIL";
  if (!CopyFileRetry(p.TempToolSnFile, p.TmpFactorySnFile))
    return Failed(b.slot, "COPY_SN_FILE_FAIL", "copy sn file to pc tmp factory file failed \r\n");
  return {};
}

std::string AddKey(const Build& b) {
  const WorkPaths& p = workPaths();
  if (b.seStorage() || CopyFileRetry(p.TempToolSigEncFile, p.TmpFactorySigEncFile)) return {};
  return Failed(b.slot, "COPY_FILE_FAIL", "copy pc temp enckey.bin to pc temp  tmp factory  failed\r\n");
}

std::string Pack(const Build& b) {
  const std::string archive = workPaths().TempToolDir + b.name;
  const std::string n = std::to_string(b.slot);
  if (!DeleteFileRetry(archive))
    return Failed(b.slot, "DELETE_FILE_FAIL", "delete pc tmp factory - factory_" + n + "_tmp.tar failed");
  PrintDeviceLog(b.slot, "call process tar cvf factory_%d_tmp.tar\r\n", b.slot);
  // The archive carries the key: the archiver writes into a file that is private from the start.
  if (!WritePrivateFile(archive, nullptr, 0))
    return Failed(b.slot, "CREATE_FACTORY_TAR_FAIL", "create " + archive + " failed\r\n");
  if (!RunTarArchiver(" cvf  ./factory_" + n + "_tmp.tar  tmp/factory", b.slot))
    return "CALL_PROCESS_FAIL_GEN_FACTORY_COMMAND";
  return Packed(archive) ? std::string() : "RETRY_TAR_FACTORY_FAIL";
}

// One build, up to the packed archive; the empty text, or the tag it failed with.
std::string BuildOnce(const Build& b, int build) {
  using Step = std::string (*)(const Build&);
  PrintDeviceLog(b.slot, "Gen_factory_tar_file : retry count  [%d]\r\n", build);
  if (std::string t = PrepareFolders(b); !t.empty()) return t;
  if (std::string t = KeyFiles(b, build); !t.empty()) return t;
  for (Step step : {UnpackTemplate, AddLayout, AddMac, AddSerialNumber, AddKey, Pack})
    if (std::string t = step(b); !t.empty()) return t;
  return {};
}

// The check of a packed archive; the check folder is emptied after it.
std::string Check(int slot, const std::string& archive, bool key) {
  const std::string result = CheckFactoryTar(archive, slot, key);
  RemoveDirTree(workPaths().CheckFactoryDir, workPaths().TempToolDir);
  return result;
}

// After the last failed check the archive is kept in the tool folder for a look.
StatusTag KeepFailedArchive(int slot, const std::string& name, const std::string& tag, const char* line) {
  const WorkPaths& p = workPaths();
  PrintDeviceLog(slot, line, p.ToolWorkDir.c_str());
  MoveFileReplaceRetry(p.TempToolDir + name, p.ToolWorkDir + "/" + name);
  return StatusTag::Fail(tag);
}

StatusTag Finish(const Build& b, const SlotTextTable* storageTable) {
  const WorkPaths& p = workPaths();
  const std::string archive = p.TempToolDir + b.name;
  if (!RecalculateTarHead(archive, b.option, kTarHeadBuilt))
    return StatusTag::Fail(Failed(b.slot, "RECALCULATE_TARFILE_HEAD_FAIL", "recalculate factory tar head failed.\r\n"));
  if (!FileExists(archive)) return StatusTag::None();
  const std::string result = p.TempDir + "/" + b.name;
  if (!MoveFileReplaceRetry(archive, result))
    return StatusTag::Fail(Failed(b.slot, "MOVE_FILE_FAIL", "move " + b.name + " to pc tmp file failed\r\n"));
  PrintDeviceLog(b.slot, "pc temp factory.tar path [%d] : %s\n", b.slot, result.c_str());
  if (!b.seStorage() && storageTable) storageTable->set(b.slot, b.name);
  return StatusTag::Path(result);
}

// What the blank builder works with: the template, its per-board copy and the layout.
struct Blank {
  int slot;
  const BurnOption& option;
  bool pack;
  std::string name, templ, copy, layout;
};

std::string BlankTemplateCopy(const Blank& b) {
  if (!FileExists(b.templ)) {
    PrintDeviceLog(b.slot, "try to use blank factory.tar in mp tool\r\n");
    if (!PrepareFactoryTemplate(b.slot, b.option)) return "CREATE_UNTAR_DIR_GEN_BLANK_FACTORY_FAIL";
    if (!FileExists(b.templ)) return Failed(b.slot, "COPY_FILE_FAIL", "sourceFilePath: " + b.templ + " not found!\r\n");
  }
  if (!CopyFileRetry(b.templ, b.copy)) return "COPY_FACTORY_BACKUP_FAIL";
  PrintDeviceLog(b.slot, "Source: %s \r\n", b.templ.c_str());
  PrintDeviceLog(b.slot, "Destination: %s \r\n", b.copy.c_str());
  PrintDeviceLog(b.slot, "checking Destination: %s\r\n", b.copy.c_str());
  if (!FileExists(b.copy)) return Failed(b.slot, "COPY_FACTORY_BACKUP_FAIL", "Destination: " + b.copy + " not found!\r\n");
  return {};
}

std::string BlankFolders(const Blank& b) {
  const WorkPaths& p = workPaths();
  CleanWorkFolders();
  PrintDeviceLog(b.slot, "create pc_temp_mvx_tool_tmp_factory_file_path \r\n");
  if (!CreateMultiDir(p.TmpFactoryDir)) return "CREATE_PC_TMP_FACTORY_DIR_FAIL";
  if (!b.pack) {
    PrintDeviceLog(b.slot, "create pc_temp_mvx_tool_dump_file_path.\r\n");
    if (!CreateMultiDir(p.DumpDir)) return "CREATE_PC_TMP_DUMP_DIR_FAIL";
  }
  if (!prepareTarCommand(b.slot)) return Failed(b.slot, "PREPARE_TAR_CMD_FAIL", "prepareTarCommand failed");
  return {};
}

// The template's per-board copy unpacked into the factory folder, with the layout beside it.
std::string BlankUnpack(const Blank& b) {
  const WorkPaths& p = workPaths();
  const std::string archive = p.TempToolDir + b.name;
  PrintDeviceLog(b.slot, "check pc_temp_mvx_tool_factory_tar_file_path exist ? \r\n");
  if (FileExists(p.TempToolFactoryTar)) {
    PrintDeviceLog(b.slot, "delete pc temp factory.tar.\r\n");
    if (!DeleteFileRetry(p.TempToolFactoryTar))
      return Failed(b.slot, "DELETE_PC_TEMP_FACTOY_TAR_FAIL", "delete pc temp factory.tar failed.\r\n");
  }
  if (!DeleteFileRetry(archive)) return Failed(b.slot, "DELETE_FILE_FAIL", "delete file path failed - pc temp " + b.name);
  PrintDeviceLog(b.slot, "move factory %s to pc_temp_mvx_tool_file_factory_path \r\n", b.copy.c_str());
  if (!MoveFileReplaceRetry(b.copy, archive))
    return Failed(b.slot, "MOVE_FILE_FAIL", "move factory.tar to pc temp file failed\r\n");
  PrintDeviceLog(b.slot, "untar factory.tar \r\n");
  PrintDeviceLog(b.slot, "call process tar xvf pc tmp factory.tar l\r\n");
  if (!RunTarArchiver(" xvf ./" + b.name + " -C tmp/factory", b.slot)) return "CALL_PROCESS_FAIL_GEN_FACTORY_COMMAND";
  if (!FileExists(b.layout)) return "LAYOUT_FILE_NO_FOUND_FAIL";
  PrintDeviceLog(b.slot, "copy layout: %s to pc_temp_mvx_tool_tmp_factory_layout_file_path \r\n", b.layout.c_str());
  if (!CopyFileRetry(b.layout, p.TmpFactoryLayoutFile)) return "MVX_TOOL_LAYOUT_FILE_NO_FOUND_FAIL";
  if (!DeleteFileRetry(archive)) return "DELETE_MVX_TOOL_OLD_FACTORY_TAR_FAIL";
  return {};
}

std::string BlankOnce(const Blank& b, int build) {
  PrintDeviceLog(b.slot, "Gen_blank_factory_tar_file : retry count  [%d]\r\n", build);
  for (auto step : {BlankTemplateCopy, BlankFolders, BlankUnpack})
    if (std::string t = step(b); !t.empty()) return t;
  if (!b.pack) return {};
  if (!RunTarArchiver(" cvf ./" + b.name + " tmp/factory", b.slot)) return "CALL_PROCESS_FAIL_GEN_FACTORY_COMMAND";
  return {};
}

}  // namespace

std::string FactoryArchiveName(int slot) { return "factory_" + std::to_string(slot) + "_tmp.tar"; }

StatusTag Gen_factory_tar_file(int slot, const SlotTextTable& macTable, const SlotTextTable& snTable,
                               const BurnOption& option, const SlotTextTable* storageTable) {
  const std::string folder = PackageFolderFor(option);
  const Build b{slot, option, macTable, snTable, FactoryArchiveName(slot), TemplatePath(folder), LayoutPath(folder)};
  if (!prepareTarCommand(slot)) return StatusTag::Fail(Failed(slot, "PREPARE_TAR_CMD_FAIL", "prepareTarCommand failed"));
  for (int build = 0;;) {
    if (std::string t = BuildOnce(b, build); !t.empty()) return StatusTag::Fail(t);
    const std::string checked = Check(slot, workPaths().TempToolDir + b.name, !b.seStorage());
    if (checked.empty()) return Finish(b, storageTable);
    if (++build == kBuilds) return KeepFailedArchive(slot, b.name, checked, "move failed factory.tar to %s\r\n");
  }
}

}  // namespace station

namespace station {

StatusTag Gen_blank_factory_tar_file(const std::string& packageFolder, int slot, const BurnOption& option,
                                     int packFlag) {
  const std::string name = FactoryArchiveName(slot);
  const Blank b{slot, option, packFlag != 0, name, TemplatePath(packageFolder),
                workPaths().AppDir + "/UnTarTmp" + packageFolder + "/" + name, LayoutPath(packageFolder)};
  const std::string archive = workPaths().TempToolDir + name;
  // Nothing is cleaned or made through a work folder that is refused.
  if (!PrepareWorkFolder(slot)) return StatusTag::Fail(Failed(slot, "PREPARE_TAR_CMD_FAIL", "prepareTarCommand failed"));
  if (!b.pack) PrintDeviceLog(slot, "Gen_blank_factory_tar_file : enter,only upgrade fw\r\n");
  for (int build = 0;;) {
    if (std::string t = BlankOnce(b, build); !t.empty()) return StatusTag::Fail(t);
    if (!b.pack) {
      PrintDeviceLog(slot, "The compressed file is not executed.\r\n");
      return StatusTag::Path("PASS");
    }
    const std::string checked = Check(slot, archive, false);
    if (checked.empty()) break;
    if (++build == kBuilds) return KeepFailedArchive(slot, name, checked, "move failed factory.tar to %s\r\n");
  }
  if (!RecalculateTarHead(archive, option, kTarHeadBuilt)) return StatusTag::Fail("RECALCULATE_FACTORY_HEAD_FAIL");
  return StatusTag::Path(archive);
}

}  // namespace station

#include "factory/factory_regen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "factory/area_positions.h"
#include "factory/board_files.h"
#include "factory/external_tools.h"
#include "factory/factory_archive.h"
#include "factory/factory_check.h"
#include "factory/factory_work_files.h"
#include "factory/tar_head.h"
#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "foundation/work_paths.h"
#include "package/archive_check.h"

namespace station {

namespace {

constexpr int kAttempts = 5;

// One file of the board carried from the dump into the new factory folder.
struct Carried {
  std::string from, to;
  const char* copyFailed;
  const char* tag;
  const char* missing;  // nullptr: nothing is logged when the dump lacks it
};

std::vector<Carried> CarriedFiles(const WorkPaths& p) {
  return {
      {p.DumpFactoryEnvFile, p.TmpFactoryEnvFile, "copy flash factory env.txt to new facotry folder failed\r\n",
       "REGEN_FACTORY_COPY_ENV_FILE_FAIL", nullptr},
      {p.DumpFactorySysParamFile, p.TmpFactorySysParamFile, "copy flash factory sysparam to new facotry folder failed\r\n",
       "REGEN_FACTORY_COPY_SYSPARAM_FILE_FAIL", "can not found sysparam in flash factory\r\n"},
      {p.DumpFactorySnFile, p.TmpFactorySnFile, "copy flash factory sn.txt to new facotry folder failed\r\n",
       "REGEN_FACTORY_COPY_SN_FILE_FAIL", "can not found sn.txt in flash factory\r\n"},
      {p.DumpFactoryBootParamFile, p.TmpFactoryBootParamFile,
       "copy flash factory bootparam.h to new facotry folder failed\r\n", "REGEN_FACTORY_COPY_BOOTPARAM_FILE_FAIL",
       "can not found bootparam.h in flash factory\r\n"},
      {p.DumpFactorySigEncFile, p.TmpFactorySigEncFile, "copy flash factory enckey.bin to new facotry folder failed\r\n",
       "REGEN_FACTORY_COPY_ENC_KEY_FILE_FAIL", "can not found enckey in flash factory\r\n"},
  };
}

// The folder the old archive is unpacked into: made fresh and empty for every attempt, with
// the old archive outside it. The archive's members are stored under tmp/factory/; the first
// part of their names is taken off, so that they land in DumpFactoryDir.
std::string UnpackDir() { return workPaths().DumpDir + "/tmp"; }

// A file of the board: a regular file of the unpacked dump reached through no link.
bool DumpFile(const std::string& path) {
  struct stat st;
  return FileThereBelow(path, workPaths().DumpDir) && ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The dump folder as a folder of the work folder's own, a link in its place removed.
bool MakeDumpDir() {
  const WorkPaths& p = workPaths();
  struct stat st;
  if (::lstat(p.DumpDir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) ::unlink(p.DumpDir.c_str());
  ::mkdir(p.DumpDir.c_str(), 0700);
  return ::lstat(p.DumpDir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void LogRefusal(int slot, const ArchiveRefusal& r) {
  PrintDeviceLog(slot, "flash factory tar refused : %s : %s\r\n", r.member.c_str(), r.reason.c_str());
}

// What a board's factory area may hold: its files and folders under tmp/, within one copy.
ArchiveRefusal CheckOldArchive(const std::string& old) {
  return CheckArchiveBeforeUnpack(old, UnpackLimits{"tmp", kFactoryCopyMaxBytes, kFactoryCopyMaxBytes});
}

// After unpacking, once more from the other side: only folders and regular files stand in
// the tree (the archiver and the check could read a header differently).
ArchiveRefusal CheckUnpacked() {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(UnpackDir(), ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    struct stat st;
    const std::string path = it->path().string();
    if (::lstat(path.c_str(), &st) != 0 || !(S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && st.st_nlink == 1)))
      return {path.substr(UnpackDir().size() + 1), "no file or folder after unpacking"};
  }
  if (ec) return {"tmp", "unpacked tree cannot be read"};
  return {};
}

bool OldArchiveHasHead(const std::string& archive) {
  uint8_t head[512];
  const int fd = ::open(archive.c_str(), O_RDONLY | O_CLOEXEC);
  const bool read = fd >= 0 && ::pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head);
  if (fd >= 0) ::close(fd);
  return read && IsTarHead(head);
}

// The board's file copied over its target, and nothing but it there afterwards; no file of
// the board is larger than the factory area it came from.
bool CopyOver(const std::string& from, const std::string& to) {
  return (!FileExists(to) || DeleteFileRetry(to)) &&
         CopyBoardFileRetry(from, to, workPaths().DumpDir, kFactoryCopyMaxBytes);
}

// The board's files into the new factory folder; `key` tells whether its key was among them.
std::string CarryOver(int slot, bool& key) {
  const WorkPaths& p = workPaths();
  if (DumpFile(p.DumpFactoryEnvFile)) {
    PrintDeviceLog(slot, "check pc temp mvx tool tmp factory env file.\r\n");
    if (FileExists(p.TmpFactoryEnvFile)) {
      PrintDeviceLog(slot, "del pc temp mvx tool tmp factory env file.\r\n");
      if (!DeleteFileRetry(p.TmpFactoryEnvFile)) {
        PrintDeviceLog(slot, "delete pc tmp facotry env file failed\r\n");
        return "REGEN_FACTORY_DEL_ENV_FILE_FAIL";
      }
    }
  }
  for (const Carried& c : CarriedFiles(p)) {
    if (!DumpFile(c.from)) {
      if (c.missing) PrintDeviceLog(slot, "%s", c.missing);
      continue;
    }
    if (!CopyOver(c.from, c.to)) {
      PrintDeviceLog(slot, "%s", c.copyFailed);
      return c.tag;
    }
    if (c.from == p.DumpFactorySigEncFile) key = true;
  }
  return {};
}

// One attempt up to the packed archive; the empty text or the tag it failed with.
std::string Attempt(int slot, const std::string& name, bool blank, bool& key) {
  const WorkPaths& p = workPaths();
  // Whatever an earlier attempt left there goes, links removed and never followed.
  RemoveDirTree(UnpackDir(), p.TempToolDir);
  if (!blank) {
    if (::mkdir(UnpackDir().c_str(), 0700) != 0) {
      PrintDeviceLog(slot, "caret folder failed - %s\r\n", UnpackDir().c_str());
      return "CALL_PROCESS_FAIL_REGEN_FACTORY_COMMAND";
    }
    if (!RunTarArchiver(" xvf  ./dump/flash_factory.tar  -C dump/tmp --strip-components=1"
                        " --no-same-owner --no-same-permissions",
                        slot))
      return "CALL_PROCESS_FAIL_REGEN_FACTORY_COMMAND";
    if (const ArchiveRefusal r = CheckUnpacked(); r.refused()) {
      LogRefusal(slot, r);
      RemoveDirTree(UnpackDir(), p.TempToolDir);
      return "CALL_PROCESS_FAIL_REGEN_FACTORY_COMMAND";
    }
    if (std::string t = CarryOver(slot, key); !t.empty()) return t;
  }
  // The new archive carries the board's key: it is private from its first byte.
  if (!WritePrivateFile(p.TempToolDir + name, nullptr, 0)) {
    PrintDeviceLog(slot, "create %s%s failed\r\n", p.TempToolDir.c_str(), name.c_str());
    return "CREATE_FACTORY_TAR_FAIL";
  }
  if (!RunTarArchiver(" cvf ./" + name + " tmp/factory", slot)) return "CALL_PROCESS_FAIL_REGEN_FACTORY_COMMAND";
  return {};
}

std::string Check(int slot, const std::string& archive, bool key) {
  const std::string result = CheckFactoryTar(archive, slot, key);
  RemoveDirTree(workPaths().CheckFactoryDir, workPaths().TempToolDir);
  return result;
}

}  // namespace

StatusTag Regen_factory_tar_file(int slot, int flashType, const BurnOption& option) {
  const WorkPaths& p = workPaths();
  const std::string name = FactoryArchiveName(slot);
  const std::string archive = p.TempToolDir + name;
  const std::string old = p.DumpDir + "/flash_factory.tar";
  if (!prepareTarCommand(slot)) {
    PrintDeviceLog(slot, "prepareTarCommand failed");
    return StatusTag::Fail("PREPARE_TAR_CMD_FAIL");
  }
  // The read-back moves once; every attempt unpacks the same old archive.
  MakeDumpDir();
  if (!MakeDumpFilePath(old, slot, flashType)) return StatusTag::Fail("REGEN_FACTORY_DUMP_FILE_FAIL");
  const bool blank = !OldArchiveHasHead(old);
  if (blank) PrintDeviceLog(slot, "only upgrade fw : no factory tar head in flash factory area, write blank factory\r\n");
  // The board's archive is checked before anything of it is unpacked.
  if (const ArchiveRefusal r = blank ? ArchiveRefusal{} : CheckOldArchive(old); r.refused()) {
    LogRefusal(slot, r);
    return StatusTag::Fail("CALL_PROCESS_FAIL_REGEN_FACTORY_COMMAND");
  }

  bool key = false;
  std::string checked;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (std::string t = Attempt(slot, name, blank, key); !t.empty()) return StatusTag::Fail(t);
    checked = Check(slot, archive, key);
    if (checked.empty()) break;
  }
  if (!checked.empty()) {
    PrintDeviceLog(slot, "move failed! factory.tar to %s\r\n", p.ToolWorkDir.c_str());
    MoveFileReplaceRetry(archive, p.ToolWorkDir + "/" + name);
    return StatusTag::Fail(checked);
  }
  if (!RecalculateTarHead(archive, option, kTarHeadBuilt)) return StatusTag::Fail("REGEN_FACTORY_RECALCULATE_HEAD_FAIL");
  return StatusTag::Path(archive);
}

}  // namespace station

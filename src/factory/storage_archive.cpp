#include "factory/storage_archive.h"

#include <cinttypes>
#include <vector>

#include "factory/external_tools.h"
#include "factory/factory_work_files.h"
#include "factory/key_bag.h"
#include "factory/tar_head.h"
#include "foundation/aes128.h"
#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "foundation/work_paths.h"

namespace station {

namespace {

constexpr size_t kCbcBlock = 16;

std::string Failed(int slot, const std::string& tag, const std::string& line = {}) {
  if (!line.empty()) PrintDeviceLog(slot, "%s", line.c_str());
  return tag;
}

bool DeleteIfThere(const std::string& path) { return !FileExists(path) || DeleteFileRetry(path); }

// The storage folder made, without the key files of an earlier board.
std::string PrepareFolder(int slot, const std::string& name) {
  const WorkPaths& p = workPaths();
  if (!DeleteFileRetry(p.TempDir + "/" + name))
    return Failed(slot, "DELETE_FILE_FAIL", "delete file path failed : pc temp file " + name);
  if (!CreateMultiDir(p.SeStorageDir)) return "CREATE_TMP_STORAGE_DIR_FAIL";
  for (const std::string& old : {p.SeStorageSigEncFile, p.SeStorageKteeFile})
    if (!DeleteIfThere(old)) return Failed(slot, "DELETE_FILE_FAIL", "delete file path failed :" + old);
  return {};
}

// The key into the storage folder: encrypted beside the board key, or as handed out.
std::string PlaceKey(int slot, const uint8_t* boardKey) {
  const WorkPaths& p = workPaths();
  PrintDeviceLog(slot, "debug : gen ktee.bin\r\n");
  if (!boardKey) {
    PrintDeviceLog(slot, "icon[%d] : not need cbc encrypcion \r\n", slot);
    if (CopyFileRetry(p.TempToolSigEncFile, p.SeStorageSigEncFile)) return {};
    return Failed(slot, "COPY_FILE_FAIL", "copy pc temp enckey.bin to pc temp  tmp se_storage  failed\r\n");
  }
  if (!DeleteIfThere(p.SeStorageKteeFile) || !WritePrivateFile(p.SeStorageKteeFile, boardKey, kBoardKeySize))
    return Failed(slot, "WRITE_KTEE_FILE_FAIL", "write ktee.bin failed\r\n");
  PrintDeviceLog(slot, "icon[%d] : efuse - cbc encrypcion \r\n", slot);
  return CbcEncryptSecureKey(p.TempToolSigEncFile, boardKey, slot) ? std::string() : "CBC_ENCRYPTION_KEY_FAIL";
}

std::string Pack(int slot, const std::string& name) {
  const WorkPaths& p = workPaths();
  if (!DeleteFileRetry(p.TempToolDir + name))
    return Failed(slot, "DELETE_FILE_FAIL", "delete file path failed :" + p.TempToolDir + name);
  PrintDeviceLog(slot, "call process tar cvf %s\r\n", name.c_str());
  // The archive carries the key: the archiver writes into a file that is private from the start.
  if (!WritePrivateFile(p.TempToolDir + name, nullptr, 0))
    return Failed(slot, "CREATE_STORAGE_TAR_FAIL", "create " + p.TempToolDir + name + " failed\r\n");
  if (!RunTarArchiver(" cvf  ./" + name + "  tmp/se_storage", slot)) return "CALL_PROCESS_FAIL_GEN_STORAGE_COMMAND";
  return {};
}

StatusTag Finish(int slot, const std::string& name, const SlotTextTable& storageTable, const BurnOption& option) {
  const WorkPaths& p = workPaths();
  const std::string archive = p.TempToolDir + name;
  if (!RecalculateTarHead(archive, option, kTarHeadBuilt))
    return StatusTag::Fail(Failed(slot, "RECALCULATE_TARFILE_HEAD_FAIL", "recalculate storage tar head failed.\r\n"));
  if (!FileExists(archive)) return StatusTag::None();
  const std::string result = p.TempDir + "/" + name;
  if (!MoveFileReplaceRetry(archive, result))
    return StatusTag::Fail(Failed(slot, "MOVE_FILE_FAIL", "move " + name + " to pc temp file failed\r\n"));
  storageTable.set(slot, name);
  return StatusTag::Path(result);
}

bool ReadKeyFile(const std::string& path, int slot, std::vector<uint8_t>& data) {
  FileBlock block;
  uint64_t length = 0;
  if (!file_read(path, block, length)) {
    PrintDeviceLog(slot, "cbc enc - read source code - raw key (enckey.bin) failr\n");
    return false;
  }
  if (length == 0 || length % kCbcBlock != 0) {
    PrintDeviceLog(slot, "cbc enc - secure key of %" PRIu64 " bytes is no whole number of 16-byte blocks\r\n", length);
    return false;
  }
  data.assign(block.data(), block.data() + length);
  return true;
}

}  // namespace

std::string StorageArchiveName(int slot) { return "storage_" + std::to_string(slot) + "_tmp.tar"; }

StatusTag Gen_storage_tar_file(int slot, const SlotTextTable& storageTable, const BurnOption& option,
                               const uint8_t* boardKey) {
  const std::string name = StorageArchiveName(slot);
  if (!prepareTarCommand(slot)) return StatusTag::Fail(Failed(slot, "PREPARE_TAR_CMD_FAIL", "prepareTarCommand failed"));
  if (std::string t = PrepareFolder(slot, name); !t.empty()) return StatusTag::Fail(t);
  if (std::string t = PrepareSingleSecureKey(slot, KeyStep::Storage); !t.empty()) return StatusTag::Fail(t);
  if (std::string t = PlaceKey(slot, boardKey); !t.empty()) return StatusTag::Fail(t);
  if (std::string t = Pack(slot, name); !t.empty()) return StatusTag::Fail(t);
  return Finish(slot, name, storageTable, option);
}

bool CbcEncryptSecureKey(const std::string& sourcePath, const uint8_t* key, int slot) {
  const WorkPaths& p = workPaths();
  const std::string folder = GetDirFromPath(sourcePath);
  const std::string encrypted = folder + "/" + "key_bag_final_sing_cbc_enc.bin";
  std::vector<uint8_t> plain;
  if (!FileExists(sourcePath) || !ReadKeyFile(sourcePath, slot, plain)) return false;

  static const uint8_t kZeroIv[kCbcBlock] = {};
  std::vector<uint8_t> cipher(plain.size(), 0), check(plain.size(), 0);
  Aes128CbcEncrypt(cipher.data(), plain.data(), plain.size(), key, kZeroIv);
  const std::string decrypted = folder + "/dec.bin";
  DeleteIfThere(decrypted);
  Aes128CbcDecrypt(check.data(), cipher.data(), cipher.size(), key, kZeroIv);
  WritePrivateFile(decrypted, check.data(), check.size());  // the key in plain text

  if (!DeleteIfThere(encrypted)) {
    PrintDeviceLog(slot, "cbc enc - delete file pc temp tmp se_storage cbc_enckey.bin failed\r\n");
    return false;
  }
  if (!WritePrivateFile(encrypted, cipher.data(), cipher.size())) return false;
  if (!DeleteIfThere(p.SeStorageSigEncFile)) {
    PrintDeviceLog(slot, "cbc enc - delete file pc temp tmp se_storage enckey.bin failed\r\n");
    return false;
  }
  if (!MoveFileReplaceRetry(encrypted, p.SeStorageSigEncFile)) {
    PrintDeviceLog(slot, "cbc enc - move file failed , rename cbc_enckey.bin to enckey.bin\r\n");
    return false;
  }
  return true;
}

}  // namespace station

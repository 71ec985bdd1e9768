#include "package/bootloader_archive.h"

#include <unistd.h>

#include <cstdint>
#include <string>

#include "foundation/file_utils.h"
#include "foundation/image_buffers.h"
#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "package/archive_check.h"
#include "package/install_image.h"
#include "package/type_lists.h"
#include "usblink/flash_options.h"

namespace station {

namespace {

// How one member is named, announced and reported.
struct BootMember {
  BootPiece piece;
  const char* uboot;  // member name of the plain archive
  const char* lk;     // member name of the LK archive
  const char* label;
  const char* readFailed;  // a "%s" in it takes the member's path
  const char* missing;     // likewise
};

constexpr BootMember kMembers[] = {
    {kBootHwsetting, "/hw_setting.bin", "/hw_setting.bin", "bootloader - hwsetting - ", nullptr,
     "Hwsetting file does not exist\r\n"},
    {kBootCode, "/uboot.bin", "/lk.bin", "bootloader  (lk.bin) - uboot 32bit - ",
     "read u-boot (lk.bin) 32bit file failed! \r\n projectPath : %s \r\n",
     "u-boot (lk.bin) file does not exist : %s\r\n"},
    {kBootFsbl, "/fsbl.bin", "/fsbl.bin", "bootloader - fsbl - ", "read fsbl file failed! \r\n",
     "fsbl file does not exist\r\n"},
    {kBootTee, "/tee.bin", "/tee_enc.bin", "bootloader - tee enc - ", "read tee enc file failed! \r\npath : %s \r\n",
     "tee enc file does not exist\r\n"},
    {kBootBl31, "/bl31.bin", "/bl31_enc.bin", "bootloader - bl31 enc- ",
     "read bl31 enc file failed! \r\npath : %s \r\n", "bl31 enc file does not exist\r\n"},
    {kBootRsaTee, "/rsa_bin_tee.bin", "/rsa_bin_tee.bin", "bootloader - rsa_bin_tee - ",
     "read rsa_bin_tee file failed!\r\n", "rsa_bin_tee file does not exist\r\n"},
    {kBootRsaFw, "/rsa_bin_fw.bin", "/rsa_bin_fw.bin", "bootloader - rsa_bin_fw - ", "read rsa_bin_fw file failed!\r\n",
     "rsa_bin_fw file does not exist\r\n"},
};

// The piece lengths are signed 32-bit for the procedures; a recorded length past that would
// be cut, so such a member counts as unreadable.
constexpr uint64_t kMaxPieceLength = 0x7FFFFFFFu;

// Reads a member into its piece; false when it cannot be read whole.
bool LoadMember(const std::string& path, ImageBuffer& piece, int kind) {
  piece.Free();
  FileBlock block;
  uint64_t length = 0;
  if (!file_read(path, block, length)) return false;
  const uint64_t recorded = kind == kFlashNand ? length * 4 : length;
  if (recorded > kMaxPieceLength) return false;
  piece.data = std::move(block.heap);
  piece.length = static_cast<uint32_t>(recorded);
  return true;
}

void ReleaseEverything() {
  FreeEntryList();
  FreeFwEntryBuffers();
  FreeLayoutBuffers();
  FreePartitionList();
  // A failed load must not leave the pieces read before the failure for a job to send.
  for (ImageBuffer& b : state().images.boot) b.Free();
}

}  // namespace

int ReadBootloaderTarFile(int mode) {
  StationState& s = state();
  const bool lk = s.optionsDlg.Checked(option_id::kLkEnable);
  const int kind = GetFlashTypeIndex(1);
  const std::string& appDir = workPaths().AppDir;

  std::string path;
  std::string unpackFolder;
  if (mode == kBootloaderFromTempfile) {
    path = appDir + "/Tempfile";
    unpackFolder = appDir + "/Tempfile" + s.PackageSubdir + "/untar_uboot";
    s.UnpackProgressRange = 1;
    s.UnpackProgressPos = 0;
  } else {
    path = appDir + "/UnTarTmp" + s.PackageSubdir;
    unpackFolder = path + "/untar_uboot";
  }

  // Only the three listed flash types name an archive; for the others the folder itself is
  // taken, which unpacks to nothing.
  if (kind >= kFlashNand && kind <= kFlashEmmc) {
    if (lk) {
      path += "/bootloader_lk.tar";
    } else {
      path += "/bootloader.tar";
      PrintDeviceLog(0, "boot type : uboot\r\n");
    }
  }

  PrintDeviceLog(0, "bootloader path :%s.\r\n", path.c_str());
  PrintLog("bootloader path :%s.\r\n", path.c_str());
  if (!FileExists(path)) {
    PrintDeviceLog(0, "can not found bootloader!\r\ndoes not install bootloader.\r\n");
    PrintLog("can not found bootloader!\r\ndoes not install bootloader.\r\n");
    return 1;
  }

  // A fresh folder, so that nothing of an earlier unpack is taken for a member of this one.
  DeleteDirTree(unpackFolder, true);
  ::rmdir(unpackFolder.c_str());
  CreateDirTree(unpackFolder);
  if (!UntarInstallImg(path, unpackFolder, s.progress.BarDialog(), s.UnpackProgressRange, s.UnpackProgressPos, mode)) {
    // The loading thread was asked to stop: its members may be cut short.
    ReleaseEverything();
    return 0;
  }
  const std::string cut = FirstCutMember(path);
  if (!cut.empty()) {
    // Its members would load short: no boot piece of it may be sent.
    PrintLog("bootloader archive ends inside member %s\r\n", cut.c_str());
    ReleaseEverything();
    return 0;
  }

  for (const BootMember& m : kMembers) {
    const std::string member = unpackFolder + (lk ? m.lk : m.uboot);
    if (m.piece == kBootCode) PrintLog("ubootType:=%d\r\n", lk ? 1 : 0);
    if (!FileExists(member)) {
      PrintLog(m.missing, member.c_str());
      continue;
    }
    PrintLog("%s", m.label);
    if (!LoadMember(member, s.images.boot[m.piece], kind)) {
      if (m.piece == kBootHwsetting) {
        PrintLog("%s:read hwsetting failed!\r\n", "CvortmillDlg::ReadBootloaderTarFile");
        PrintDeviceLog(0, "%s:read hwsetting failed!\r\n", "CvortmillDlg::ReadBootloaderTarFile");
      } else {
        PrintLog(m.readFailed, member.c_str());
      }
      ReleaseEverything();
      return 0;
    }
  }
  return 1;
}

}  // namespace station

#include "package/install_image.h"

#include <filesystem>

#include "foundation/file_utils.h"
#include "foundation/log_boxes.h"
#include "foundation/progress_strip.h"
#include "package/tar_reader.h"
#include "platform/clock.h"
#include "platform/ui.h"

namespace station {

namespace {

// Makes the folders between `destFolder` and a file member, for archives that list a file
// without listing its folders first.
void MakeParentFolders(const std::string& destFolder, const std::string& name) {
  size_t slash = name.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  std::error_code ec;
  std::filesystem::create_directories(CombinePath(destFolder, name.substr(0, slash)), ec);
}

}  // namespace

bool UntarInstallImg(const std::string& archivePath, const std::string& destFolder, ui::Dialog* progressBar,
                     uint16_t& maxCounter, uint32_t& stepCounter, int quiet) {
  const bool active = progressBar != nullptr && quiet == 0;
  TarReader reader(archivePath, 0);

  // First walk: count the members. The entry in hand counts before the end test, so even an
  // archive that ends at its first block counts one.
  TarEntry entry = reader.FirstEntry();
  for (;;) {
    if (plat::StopRequested()) return false;
    if (active) ++maxCounter;
    PrintLog(" progress max length  : %d \r\n", maxCounter);
    entry = reader.NextEntry();
    if (entry.IsEnd()) break;
  }
  if (active) progressBar->SetRange(kProgressBarId, 0, maxCounter);

  // Second walk: make the folders and write the files.
  entry = reader.FirstEntry();
  PrintLog("start untar install.img\r\n");
  for (;;) {
    if (plat::StopRequested()) return false;
    if (active) {
      ++stepCounter;
      progressBar->SetPos(kProgressBarId, static_cast<int>(stepCounter));
    }
    PrintLog(" progress step  : %d \r\n", stepCounter);
    const TarHeader& h = entry.Header();
    const bool isFolder = h.typeflag == '5';
    const bool isFile = h.typeflag == '0' || h.typeflag == '\0';
    if ((isFolder || isFile) && !h.name.empty() && !IsSafeMemberName(h.name)) {
      PrintLog(" Untar skip unsafe name : %s \r\n", h.name.c_str());
    } else if (isFolder) {
      CreateDirTree(CombinePath(destFolder, h.name));
      PrintLog(" Untar file name : %s \r\n", h.name.c_str());
    } else if (isFile) {
      if (!h.name.empty()) MakeParentFolders(destFolder, h.name);
      entry.ExtractFile(destFolder);
      PrintLog(" Untar file name  : %s \r\n", h.name.c_str());
    }
    entry = reader.NextEntry();
    if (entry.IsEnd()) break;
  }
  // A stop inside the last member's data.
  return !plat::StopRequested();
}

}  // namespace station

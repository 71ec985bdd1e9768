#include "programming/single_mode_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "foundation/log_boxes.h"
#include "foundation/package_use.h"
#include "foundation/station_state.h"
#include "package/type_lists.h"
#include "platform/ui.h"
#include "programming/single_mode.h"
#include "usblink/flash_options.h"

namespace station {

namespace {

constexpr const char* kHwFilter = "binary hwfile (*.bin)|*.bin|All files (*.*)|*.*||";
constexpr const char* kBinFilter = "binary file (*.bin)|*.bin|All files (*.*)|*.*||";

// A button that loads the file of its operation.
struct FileButton {
  int id;
  int file;            // SingleModeFile
  const char* title;   // of the file dialog, also its initial file name
  const char* filter;
  const char* pathLine;      // (path)
  const char* lengthLine;    // (length)
  const char* openFailLine;
  const char* tooLargeLine;  // (length)
  const char* readFailLine;
  int fields;  // the EnableFlashInfoFields type of the loaded operation
};

const FileButton kHwSettingFile{kHwSettingButton, kFileHwsetting, "hwsetting files", kHwFilter,
                                "hwsetting hwfile path: %s \r\n", "hwsetting hwfile length: %d \r\n",
                                "hwsetting hwfile open file fail! \r\n", "hwsetting hwfile too large: %llu \r\n",
                                "hwsetting hwfile read file fail! \r\n", 1};
const FileButton kGoDdrFile{kGoDdrButton, kFileGoDdr, "Go address files", kBinFilter, "Go address path: %s \r\n",
                            "Go address data length: %d \r\n", "Go address data open file failed! \r\n",
                            "Go address data too large: %llu \r\n", "Go address data read file failed! \r\n", 6};
const FileButton kSpecialPageFile{kSpecialPageButton, kFileSpecialPage, "Special files", kBinFilter,
                                  "Special path: %s \r\n", "Specail data length: %d \r\n",
                                  "specail data open file failed! \r\n", "Special data too large: %llu \r\n",
                                  "Special data read file failed! \r\n", 3};
const FileButton kUserDataFile{kUserDataButton, kFileUserData, "User files", kBinFilter, "User file path: %s \r\n",
                               "User data length: %d \r\n", "User data open file failed! \r\n",
                               "User data too large: %llu \r\n", "User data read file failed! \r\n", 2};

enum class FileLoad { Loaded, OpenFailed, TooLarge, ReadFailed };

// Reads the open regular file into `bytes`, followed by one zero byte.
FileLoad ReadOpenFile(int fd, std::vector<uint8_t>& bytes, uint64_t& length) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return FileLoad::OpenFailed;
  length = static_cast<uint64_t>(st.st_size);
  if (length >= kSingleModeFileLimit) return FileLoad::TooLarge;
  try {
    bytes.assign(length + 1, 0);
  } catch (const std::bad_alloc&) {
    return FileLoad::ReadFailed;
  }
  uint64_t got = 0;
  while (got < length) {
    const ssize_t n = ::read(fd, bytes.data() + got, length - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return FileLoad::ReadFailed;  // a file cut short gives no buffer of zeros
    got += static_cast<uint64_t>(n);
  }
  return FileLoad::Loaded;
}

FileLoad ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, uint64_t& length) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FileLoad::OpenFailed;
  const FileLoad result = ReadOpenFile(fd, bytes, length);
  ::close(fd);
  return result;
}

// Asks for the button's file and loads it into `buffer`; false when nothing was loaded.
bool LoadChosenFile(const FileButton& b, ImageBuffer& buffer) {
  const ui::FileDialogSpec spec{b.title, b.title, "bin", b.filter, true};
  const std::optional<std::string> path = ui::prompter().OpenFile(spec);
  if (!path) return false;
  PrintLog(b.pathLine, path->c_str());
  std::vector<uint8_t> bytes;
  uint64_t length = 0;
  switch (ReadWholeFile(*path, bytes, length)) {
    case FileLoad::OpenFailed: PrintLog("%s", b.openFailLine); return false;
    case FileLoad::TooLarge: PrintLog(b.tooLargeLine, static_cast<unsigned long long>(length)); return false;
    case FileLoad::ReadFailed: PrintLog("%s", b.readFailLine); return false;
    case FileLoad::Loaded: break;
  }
  buffer.data = std::move(bytes);
  buffer.length = static_cast<uint32_t>(length);
  PrintLog(b.lengthLine, static_cast<int>(length));
  return true;
}

void OnFileButton(const FileButton& b) {
  StationState& s = state();
  ui::Dialog& opt = s.optionsDlg;
  // Running jobs send from these buffers: they change only while no job holds the package.
  PackageLoad load(s.package, /*tryOnly=*/true);
  if (!load.begun()) {
    ui::MessageBox("please wait until every device is done!", "WARNING");
    opt.SetChecked(b.id, !opt.Checked(b.id));  // back to how it was before the click
    return;
  }
  ImageBuffer& buffer = s.images.singleMode[b.file];
  if (opt.Checked(b.id) && LoadChosenFile(b, buffer)) {
    EnableFlashInfoFields(b.fields);
    return;
  }
  buffer.Free();
  EnableFlashInfoFields(-1);
  opt.SetChecked(b.id, false);
}

// "Kn key" and "System reset": commands without data take none of the geometry edits.
void OnCommandButton(int id) {
  StationState& s = state();
  EnableFlashInfoFields(-1);  // every edit off, checked or not
  if (s.optionsDlg.Checked(id)) return;
  // A slot whose job still runs keeps the result its job sets.
  for (int i = 0; i < kSlotCount; ++i)
    if (s.slots[i].Busy.load() == 0) s.SlotResult[i] = 0;
}

}  // namespace

void OnBnClickedHwSetting() { OnFileButton(kHwSettingFile); }
void OnBnClickedGoDdrAddress() { OnFileButton(kGoDdrFile); }
void OnBnClickedSpecialPage() { OnFileButton(kSpecialPageFile); }
void OnBnClickedUserData() { OnFileButton(kUserDataFile); }
void OnBnClickedKnKey() { OnCommandButton(kKnKeyButton); }
void OnBnClickedSystemReset() { OnCommandButton(kSystemResetButton); }

void OnBnClickedReadMode() {
  ui::Dialog& opt = state().optionsDlg;
  opt.SetEnabled(option_id::kStartAddress, true);
  opt.SetEnabled(option_id::kDataSize, true);
}

void BindSingleModeButtons() {
  ui::Dialog& opt = state().optionsDlg;
  opt.OnClick(kHwSettingButton, OnBnClickedHwSetting);
  opt.OnClick(kGoDdrButton, OnBnClickedGoDdrAddress);
  opt.OnClick(kSpecialPageButton, OnBnClickedSpecialPage);
  opt.OnClick(kUserDataButton, OnBnClickedUserData);
  opt.OnClick(kKnKeyButton, OnBnClickedKnKey);
  opt.OnClick(kSystemResetButton, OnBnClickedSystemReset);
  opt.OnClick(kReadModeButton, OnBnClickedReadMode);
}

}  // namespace station

// The options dialog's single-mode buttons, clicked through the dialog model with the
// headless host answering the file dialogs.
#include "programming/single_mode_files.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "foundation/image_buffers.h"
#include "foundation/log_boxes.h"
#include "foundation/package_use.h"
#include "foundation/station_state.h"
#include "programming/single_mode.h"
#include "support/app_dir.h"
#include "support/test_env.h"
#include "support/usb_sim.h"

namespace station {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// The geometry edits, in the order of EnableFlashInfoFields.
constexpr int kEdits[] = {1020, 1021, 1022, 1023, 1025, 1024, 1029, 1030, 1031, 1032};

class SingleModeButtons : public ::testing::Test, public testenv::ScratchStationFixture {
 protected:
  SingleModeButtons() {
    FreeImageBuffers();
    BindSingleModeButtons();
  }
  ~SingleModeButtons() override { FreeImageBuffers(); }

  static ui::Dialog& opt() { return state().optionsDlg; }
  static ImageBuffer& Buffer(int file) { return state().images.singleMode[file]; }
  static void SetEdits(bool on) {
    for (int id : kEdits) opt().SetEnabled(id, on);
  }
  // The edits as a row of 'o' (enabled) and 'x' (disabled), in the order of kEdits.
  static std::string Edits() {
    std::string row;
    for (int id : kEdits) row += opt().Enabled(id) ? 'o' : 'x';
    return row;
  }
  std::string Place(const std::string& name, const Bytes& bytes) {
    const fs::path p = dir / name;
    testenv::WriteFile(p, std::string(bytes.begin(), bytes.end()));
    return p.string();
  }
  static bool MainLogHas(const std::string& text) { return MainLogText().find(text) != std::string::npos; }
};

struct FileButtonCase {
  const char* name;
  int id;
  int file;
  const char* title;
  const char* filter;
  const char* pathLine;    // before the path
  const char* lengthLine;
  const char* openFailLine;
  const char* editsAfterLoad;  // from all edits off
};
const FileButtonCase kFileButtons[] = {
    {"HW Setting", 998, kFileHwsetting, "hwsetting files", "binary hwfile (*.bin)|*.bin|All files (*.*)|*.*||",
     "hwsetting hwfile path: ", "hwsetting hwfile length: 1000 \r\n", "hwsetting hwfile open file fail! \r\n",
     "ooooooooxo"},
    {"Go ddr address", 1026, kFileGoDdr, "Go address files", "binary file (*.bin)|*.bin|All files (*.*)|*.*||",
     "Go address path: ", "Go address data length: 1000 \r\n", "Go address data open file failed! \r\n",
     "oxxxxoxxxo"},
    {"Special page", 1003, kFileSpecialPage, "Special files", "binary file (*.bin)|*.bin|All files (*.*)|*.*||",
     "Special path: ", "Specail data length: 1000 \r\n", "specail data open file failed! \r\n", "oooooooooo"},
    {"User data", 1004, kFileUserData, "User files", "binary file (*.bin)|*.bin|All files (*.*)|*.*||",
     "User file path: ", "User data length: 1000 \r\n", "User data open file failed! \r\n", "oooxoooooo"},
};

TEST_F(SingleModeButtons, CheckingLoadsTheChosenFileAndUncheckingReleasesIt) {
  const Bytes content = testenv::FlashPattern(1000, 7);
  for (const FileButtonCase& c : kFileButtons) {
    SCOPED_TRACE(c.name);
    host->Clear();
    SetEdits(false);
    const std::string path = Place(std::string(c.title) + ".bin", content);
    host->QueueFile(path);

    ASSERT_TRUE(opt().Click(c.id));

    ASSERT_EQ(host->FileDialogs().size(), 1u);
    const ui::FileDialogSpec spec = host->FileDialogs()[0];
    EXPECT_EQ(spec.title, c.title);
    EXPECT_EQ(spec.initialName, c.title);
    EXPECT_EQ(spec.defaultExt, "bin");
    EXPECT_EQ(spec.filter, c.filter);
    EXPECT_TRUE(spec.mustExist);
    EXPECT_TRUE(opt().Checked(c.id));
    Bytes expected = content;
    expected.push_back(0);
    EXPECT_TRUE(Buffer(c.file).data == expected);
    EXPECT_EQ(Buffer(c.file).length, content.size());
    EXPECT_TRUE(MainLogHas(std::string(c.pathLine) + path + " \r\n"));
    EXPECT_TRUE(MainLogHas(c.lengthLine));
    EXPECT_EQ(Edits(), c.editsAfterLoad);

    ASSERT_TRUE(opt().Click(c.id));
    EXPECT_EQ(host->FileDialogs().size(), 1u) << "unchecking asks for no file";
    EXPECT_FALSE(opt().Checked(c.id));
    EXPECT_TRUE(Buffer(c.file).data.empty());
    EXPECT_EQ(Buffer(c.file).length, 0u);
    EXPECT_EQ(Edits(), "xxxxxxxxxx");
  }
  EXPECT_TRUE(host->Prompts().empty());
}

TEST_F(SingleModeButtons, AFileThatCannotBeUsedLeavesTheButtonUncheckedAndItsBufferEmpty) {
  const std::string folder = (dir / "a-folder.bin").string();
  fs::create_directories(folder);
  const std::string huge = (dir / "two-gib.bin").string();
  {
    const int fd = ::open(huge.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kSingleModeFileLimit)), 0);  // sparse: nothing written
    ::close(fd);
  }
  struct Case {
    const char* name;
    int button;  // index into kFileButtons
    std::optional<std::string> answer;
    std::string line;  // the main-log line it leaves, empty for none
  };
  const Case cases[] = {
      {"cancelled", 3, std::nullopt, ""},
      {"missing file", 0, (dir / "none.bin").string(), kFileButtons[0].openFailLine},
      {"a folder", 1, folder, kFileButtons[1].openFailLine},
      {"2 GiB", 3, huge, "User data too large: 2147483648 \r\n"},
      {"2 GiB for the special page", 2, huge, "Special data too large: 2147483648 \r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FileButtonCase& b = kFileButtons[c.button];
    Buffer(b.file).data = {1, 2, 3, 0};  // a file loaded before
    Buffer(b.file).length = 3;
    SetEdits(true);
    opt().SetChecked(b.id, false);
    opt().SetText(kMainLogControlId, "");
    host->QueueFile(c.answer);

    ASSERT_TRUE(opt().Click(b.id));

    EXPECT_FALSE(opt().Checked(b.id));
    EXPECT_TRUE(Buffer(b.file).data.empty());
    EXPECT_EQ(Buffer(b.file).length, 0u);
    EXPECT_EQ(Edits(), "xxxxxxxxxx");
    if (!c.line.empty()) {
      EXPECT_TRUE(MainLogHas(c.line)) << MainLogText();
    }
    EXPECT_FALSE(MainLogHas("length: ")) << MainLogText();
  }
}

// A file that holds fewer bytes than its size says (sysfs files say a page) is not padded
// with zeros: it is refused like an unreadable one.
TEST_F(SingleModeButtons, AFileCutShortIsRefused) {
  const std::string shortFile = "/sys/devices/system/cpu/online";
  std::error_code ec;
  const auto said = fs::file_size(shortFile, ec);
  if (ec || testenv::ReadFile(shortFile).size() >= said) GTEST_SKIP() << "no file shorter than its size here";
  opt().SetChecked(1004, false);
  host->QueueFile(shortFile);

  ASSERT_TRUE(opt().Click(1004));

  EXPECT_FALSE(opt().Checked(1004));
  EXPECT_TRUE(Buffer(kFileUserData).data.empty());
  EXPECT_EQ(Buffer(kFileUserData).length, 0u);
  EXPECT_TRUE(MainLogHas("User data read file failed! \r\n")) << MainLogText();
}

// The buffers are what running jobs send from: while one holds the package, a click changes
// nothing and the operator is told to wait.
TEST_F(SingleModeButtons, WhileAJobHoldsThePackageTheFileButtonsChangeNothing) {
  const Bytes loaded = {9, 8, 7, 0};
  Buffer(kFileUserData).data = loaded;
  Buffer(kFileUserData).length = 3;
  opt().SetChecked(1004, true);
  const std::string path = Place("new.bin", testenv::FlashPattern(100, 1));
  SetEdits(true);
  {
    PackageHold job(state().package);
    ASSERT_TRUE(job.held());
    for (int id : {1004, 998}) {
      const bool before = opt().Checked(id);
      ASSERT_TRUE(opt().Click(id));
      EXPECT_EQ(opt().Checked(id), before) << id;
    }
    EXPECT_TRUE(host->FileDialogs().empty());
    EXPECT_TRUE(Buffer(kFileUserData).data == loaded);
    EXPECT_EQ(Buffer(kFileUserData).length, 3u);
    EXPECT_TRUE(Buffer(kFileHwsetting).data.empty());
    EXPECT_EQ(Edits(), "oooooooooo");
    const std::vector<ui::HeadlessHost::Prompt> prompts = host->Prompts();
    ASSERT_EQ(prompts.size(), 2u);
    for (const auto& p : prompts) {
      EXPECT_EQ(p.text, "please wait until every device is done!");
      EXPECT_EQ(p.caption, "WARNING");
    }
  }
  // Once the job let go, the same click loads.
  host->QueueFile(path);
  ASSERT_TRUE(opt().Click(998));
  EXPECT_TRUE(opt().Checked(998));
  EXPECT_EQ(Buffer(kFileHwsetting).length, 100u);
  EXPECT_EQ(state().package.holders(), 0);
  EXPECT_TRUE(state().package.TryBeginLoad()) << "the button's load has ended";
  state().package.EndLoad();
}

TEST_F(SingleModeButtons, KnKeyAndSystemResetTakeNoEditsAndResetOnlyIdleSlots) {
  StationState& s = state();
  for (int id : {1002, 1000}) {
    SCOPED_TRACE(id);
    for (int i = 0; i < kSlotCount; ++i) s.SlotResult[i] = 100;
    s.slots[5].Busy = 1;  // its job still runs
    SetEdits(true);
    opt().SetChecked(id, false);

    ASSERT_TRUE(opt().Click(id));
    EXPECT_EQ(Edits(), "xxxxxxxxxx");
    for (int i = 0; i < kSlotCount; ++i) EXPECT_EQ(s.SlotResult[i].load(), 100) << "checking keeps results";

    SetEdits(true);
    ASSERT_TRUE(opt().Click(id));
    EXPECT_EQ(Edits(), "xxxxxxxxxx");
    for (int i = 0; i < kSlotCount; ++i) EXPECT_EQ(s.SlotResult[i].load(), i == 5 ? 100 : 0) << i;
    s.slots[5].Busy = 0;
  }
}

TEST_F(SingleModeButtons, ReadModeOpensStartAddressAndDataSizeEitherWay) {
  for (bool checkedAfter : {true, false}) {
    opt().SetEnabled(1020, false);
    opt().SetEnabled(1028, false);
    opt().SetEnabled(1021, false);
    ASSERT_TRUE(opt().Click(1136));
    EXPECT_EQ(opt().Checked(1136), checkedAfter);
    EXPECT_TRUE(opt().Enabled(1020));
    EXPECT_TRUE(opt().Enabled(1028));
    EXPECT_FALSE(opt().Enabled(1021));
  }
}

}  // namespace
}  // namespace station

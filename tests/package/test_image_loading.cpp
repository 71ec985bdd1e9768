#include "package/image_loading.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/log_boxes.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "package/settings_files.h"
#include "package/type_lists.h"
#include "platform/clock.h"
#include "platform/profile.h"
#include "support/package_env.h"
#include "usblink/flash_options.h"

namespace station {
namespace {

namespace fs = std::filesystem;

class ImageLoadingTest : public ::testing::Test, public testenv::PackageFixture {
 protected:
  ~ImageLoadingTest() override {
    // The threads use the station state: they must end before it goes.
    if (s().OpenThreadHandle.joinable()) s().OpenThreadHandle.join();
    if (s().ReloadThreadHandle.joinable()) s().ReloadThreadHandle.join();
  }

  void Open(std::optional<std::string> file) {
    host->QueueFile(std::move(file));
    ASSERT_TRUE(StartOpenImageThread());
    s().OpenThreadHandle.join();
  }
  void Reload() {
    ASSERT_TRUE(StartReloadImageThread());
    s().ReloadThreadHandle.join();
  }
  std::string StoredImagePath() {
    return plat::GetProfileString("INFORMATION", "IMAGE PATH", "<none>", SystemIniPath());
  }
  void StoreImagePath(const std::string& path) {
    ASSERT_TRUE(plat::WriteProfileString("INFORMATION", "IMAGE PATH", path, SystemIniPath()));
  }
  // The error log files written so far, by content.
  std::vector<std::string> ErrorLogs() {
    std::vector<std::string> out;
    const fs::path folder = fs::path(appDir) / "log" / "error_log";
    if (!fs::exists(folder)) return out;
    for (const auto& e : fs::directory_iterator(folder)) out.push_back(testenv::ReadFile(e.path()));
    return out;
  }
  bool NothingLoaded() {
    for (const ImageBuffer& b : img().boot)
      if (!b.data.empty() || b.length) return false;
    for (const FwEntry& e : *s().fwEntries)
      if (e.Size || !e.Buffer.empty()) return false;
    return img().norImage.data.empty() && img().partitionPieces.empty() && img().mbrImages.empty();
  }
  // The state every load must end in, whatever happened.
  void ExpectIdle() {
    EXPECT_EQ(s().ImageLoading.load(), 0);
    EXPECT_FALSE(s().OpenThreadRunning.load());
    EXPECT_FALSE(s().ReloadThreadRunning.load());
    for (int id : {1067, 1068, kFlashTypeList, 1145}) EXPECT_TRUE(s().mainDlg.Enabled(id)) << id;
    EXPECT_FALSE(s().progress.Created());
    EXPECT_EQ(s().UnpackProgressRange, 1);
    EXPECT_EQ(s().UnpackProgressPos, 0u);
  }
  void ExpectFailureReported(const std::string& detail) {
    EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(0)), kPictureFailedBase + 0);
    const std::vector<std::string> logs = ErrorLogs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_NE(logs[0].find("===============debug log===================\r\n\r\n" + detail +
                           "\r\nError - Read install image data failed !\r\n"),
              std::string::npos)
        << logs[0];
    EXPECT_EQ(DeviceLogText(0), "");
  }
};

TEST_F(ImageLoadingTest, OpenUnpacksAndLoadsThePackage) {
  mkpackage::PackageOptions o;
  o.emmc = true;
  const mkpackage::PackageInfo info = Build(o);
  ChooseFlash("EMMC");
  testenv::WriteFile(untarDir + "/stale.txt", "from an earlier package");

  Open(info.imagePath);

  ASSERT_EQ(host->FileDialogs().size(), 1u);
  const ui::FileDialogSpec spec = host->FileDialogs()[0];
  EXPECT_EQ(spec.title, "install.img files");
  EXPECT_EQ(spec.initialName, "install.img files");
  EXPECT_EQ(spec.filter, "install.img files (*.img)|*.img|All files (*.*)|*.*||");
  EXPECT_EQ(spec.defaultExt, "tar");
  EXPECT_TRUE(spec.mustExist);

  EXPECT_FALSE(fs::exists(untarDir + "/stale.txt")) << "the unpack folder starts empty";
  EXPECT_EQ(s().PackageSubdir, "/package5");
  EXPECT_EQ((*s().fwEntries)[FW_KERNEL].Size, info.entries[0].size);
  EXPECT_EQ(img().partitionPieces.size(), info.partitions.size());
  EXPECT_EQ(img().mbrImages.size(), info.mbrs.size());
  EXPECT_EQ(s().mainDlg.Text(kImagePathEdit), info.imagePath);
  EXPECT_EQ(StoredImagePath(), info.imagePath);
  EXPECT_NE(MainLogText().find("target file path: " + info.imagePath + " \r\n"), std::string::npos);
  EXPECT_TRUE(ErrorLogs().empty());
  ExpectIdle();
}

TEST_F(ImageLoadingTest, CancelledOpenReleasesThePreviousImage) {
  img().boot[kBootCode].data = {1, 2};
  img().boot[kBootCode].length = 2;
  s().mainDlg.SetText(kImagePathEdit, "/old/install.img");
  ChooseFlash("NAND");

  Open(std::nullopt);

  EXPECT_TRUE(NothingLoaded());
  EXPECT_EQ(s().mainDlg.Text(kImagePathEdit), "");
  EXPECT_FALSE(fs::exists(SystemIniPath())) << "nothing is stored for a cancelled open";
  ExpectIdle();
}

TEST_F(ImageLoadingTest, DamagedPackagesLeaveNoImage) {
  struct Case {
    const char* name;
    mkpackage::PackageOptions options;
    std::string detail;
    bool errorBox;
  };
  auto opts = [](auto change) {
    mkpackage::PackageOptions o;
    change(o);
    return o;
  };
  const Case cases[] = {
      {"no layout", opts([](auto& o) { o.noLayout = true; }), "read UntarTemp file failed!!", false},
      {"data file missing", opts([](auto& o) { o.missingFiles = {"PART2"}; }), "read UntarTemp file failed!!", false},
      {"truncated archive", opts([](auto& o) { o.truncateBytes = 40000; }), "read UntarTemp file failed!!", false},
      {"no package folder", opts([](auto& o) { o.packageFolder = "other"; }),
       "Cannot get untartemp project filename (package 5 or omv or generic linux)!", true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(appDir + "/log");
    fs::remove(SystemIniPath());
    host->Clear();
    const mkpackage::PackageInfo info = Build(c.options, "pkg" + std::to_string(n++));
    ChooseFlash("NAND");
    SetSlotState(0, kSlotConnected, 0);

    Open(info.imagePath);

    ExpectFailureReported(c.detail);
    EXPECT_TRUE(NothingLoaded());
    EXPECT_EQ(s().mainDlg.Text(kImagePathEdit), "");
    ExpectIdle();
    const std::vector<ui::HeadlessHost::Prompt> prompts = host->Prompts();
    if (std::string(c.name) == "truncated archive") {
      EXPECT_NE(MainLogText().find("install image ends inside member package5/uImage\r\n"), std::string::npos);
      EXPECT_FALSE(fs::exists(untarDir)) << "a later reload would load the cut tree";
    }
    if (c.errorBox) {
      ASSERT_EQ(prompts.size(), 1u);
      EXPECT_EQ(prompts[0].text, c.detail + "!!!");
      EXPECT_EQ(prompts[0].caption, "ERROR");
      EXPECT_EQ(StoredImagePath(), "<none>");
    } else {
      EXPECT_TRUE(prompts.empty());
      EXPECT_EQ(StoredImagePath(), info.imagePath) << "the failed path is stored";
    }
  }
}

TEST_F(ImageLoadingTest, NorImageIsTheChosenFile) {
  ChooseFlash("NOR");
  testenv::WriteFile(dir / "nor.bin", "NOR IMAGE");

  Open((dir / "nor.bin").string());
  EXPECT_EQ(host->FileDialogs().at(0).filter, "binary files (*.bin)|*.bin|All files (*.*)|*.*||");
  EXPECT_EQ(img().norImage.length, 9u);
  EXPECT_EQ(img().norImage.data, (std::vector<uint8_t>{'N', 'O', 'R', ' ', 'I', 'M', 'A', 'G', 'E', 0}));
  EXPECT_EQ(StoredImagePath(), (dir / "nor.bin").string());
  EXPECT_FALSE(fs::exists(untarDir)) << "a NOR image is not unpacked";
  ExpectIdle();

  // A file that cannot be read.
  fs::create_directories(dir / "folder.bin");
  Open((dir / "folder.bin").string());
  ExpectFailureReported("read NOR flash binary file failed!");
  EXPECT_TRUE(NothingLoaded());
  EXPECT_EQ(s().mainDlg.Text(kImagePathEdit), "");
  ExpectIdle();
}

TEST_F(ImageLoadingTest, ReloadLoadsTheUnpackedTreeAgain) {
  const mkpackage::PackageInfo info = Build({});
  ChooseFlash("NAND");
  Open(info.imagePath);
  const uint64_t kernel = (*s().fwEntries)[FW_KERNEL].Size;
  ASSERT_GT(kernel, 0u);
  // The reload must not unpack again: a file put into the tree stays.
  testenv::WriteFile(untarDir + "/marker", "x");
  s().optionsDlg.SetChecked(option_id::kOnlyUpgradeBootloader, true);
  s().PackageSubdir = "stale";

  Reload();

  EXPECT_TRUE(fs::exists(untarDir + "/marker"));
  EXPECT_EQ((*s().fwEntries)[FW_KERNEL].Size, kernel);
  EXPECT_EQ(img().partitionPieces.size(), info.partitions.size());
  EXPECT_EQ(s().PackageSubdir, "/package5");
  EXPECT_EQ(s().mainDlg.Text(kImagePathEdit), info.imagePath);
  EXPECT_FALSE(s().optionsDlg.Checked(option_id::kOnlyUpgradeBootloader));
  EXPECT_TRUE(ErrorLogs().empty());
  ExpectIdle();
}

TEST_F(ImageLoadingTest, ReloadRefusalsAndFailures) {
  struct Case {
    const char* name;
    std::string flash;
    std::string storedPath;  // empty: none
    bool unpacked;           // a package tree in UnTarTmp
    bool damaged;            // its layout removed
    std::string box;         // warning box text; empty: none
    std::string detail;      // error log detail; empty: no report
  };
  const std::string nor = (dir / "missing-nor.bin").string();
  const Case cases[] = {
      {"no path", "NAND", "", true, false,
       "The burning file does not exist.\r\nPlease select the burning file first! (install.img)", ""},
      {"NOR file missing", "NOR", nor, false, false, nor + " not found! Please check again !\r\n", ""},
      {"nothing unpacked", "NAND", "/x/install.img", false, false,
       "The burning file does not exist.\r\nPlease select the burning file first!", ""},
      {"layout gone", "NAND", "/x/install.img", true, true, "", "Loadinfo: read untartemp file failed!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(appDir + "/log");
    fs::remove_all(untarDir);
    fs::remove(SystemIniPath());
    host->Clear();
    if (c.unpacked) BuildUnpacked({});
    if (c.damaged) fs::remove(untarDir + "/layout.txt");
    if (!c.storedPath.empty()) StoreImagePath(c.storedPath);
    ChooseFlash(c.flash);
    SetSlotState(0, kSlotConnected, 0);
    img().boot[kBootCode].data = {1};
    img().boot[kBootCode].length = 1;

    Reload();

    const std::vector<ui::HeadlessHost::Prompt> prompts = host->Prompts();
    if (c.box.empty()) {
      EXPECT_TRUE(prompts.empty());
    } else {
      ASSERT_EQ(prompts.size(), 1u);
      EXPECT_EQ(prompts[0].text, c.box);
      EXPECT_EQ(prompts[0].caption, "WARNING");
    }
    if (c.detail.empty()) {
      EXPECT_TRUE(ErrorLogs().empty());
      EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(0)), kPictureConnected) << "no report, no picture change";
    } else {
      ExpectFailureReported(c.detail);
    }
    EXPECT_TRUE(NothingLoaded()) << "the previous image is released before the reload";
    ExpectIdle();
  }
}

// A file dialog that holds the open thread until the test lets it go.
class HeldPrompter : public ui::Prompter {
 public:
  int MessageBox(const std::string&, const std::string&, unsigned) override { return ui::IDOK; }
  std::optional<std::string> OpenFile(const ui::FileDialogSpec&) override {
    std::unique_lock lock(m_);
    asked_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return released_; });
    return std::nullopt;
  }
  void WaitAsked() {
    std::unique_lock lock(m_);
    cv_.wait(lock, [&] { return asked_; });
  }
  void Release() {
    std::lock_guard lock(m_);
    released_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool asked_ = false, released_ = false;
};

TEST_F(ImageLoadingTest, SecondOpenWhileOneRunsStartsNothing) {
  HeldPrompter held;
  ui::SetPrompter(&held);
  ChooseFlash("NAND");
  ASSERT_TRUE(StartOpenImageThread());
  held.WaitAsked();
  EXPECT_FALSE(StartOpenImageThread());
  held.Release();
  s().OpenThreadHandle.join();
  ui::SetPrompter(&*host);
  // Once it ended, the next press starts a new one.
  host->QueueFile(std::nullopt);
  EXPECT_TRUE(StartOpenImageThread());
  s().OpenThreadHandle.join();
  ExpectIdle();
}

// The station closes while a load runs: the thread stops at its next member or piece, and
// nothing of the half load is kept for a job or a later reload.
TEST_F(ImageLoadingTest, StoppedLoadKeepsNothing) {
  struct Case {
    const char* name;
    bool reload;
    std::string trigger;  // the log line the stop comes at
    std::string after;    // a line that must not follow the stop
    bool treeKept;
  };
  const Case cases[] = {
      {"open, while unpacking", false, " Untar file name  : package5/part05.bin", " Untar file name", false},
      {"open, while loading partitions", false, " PART3 - ", " PART4 - ", false},
      {"reload, while loading partitions", true, " PART3 - ", " PART4 - ", true},
  };
  mkpackage::PackageOptions big;
  for (int n = 0; n < 24; ++n) {
    char file[16];
    snprintf(file, sizeof file, "part%02d.bin", n);
    big.partitions.push_back({n, file, 0x4000, 0, 0});
  }
  const mkpackage::PackageInfo info = Build(big);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(appDir + "/log");
    fs::remove_all(untarDir);
    fs::remove(SystemIniPath());
    s().optionsDlg.SetText(kMainLogControlId, "");
    ChooseFlash("NAND");
    if (c.reload) {
      Open(info.imagePath);
      ASSERT_EQ(img().partitionPieces.size(), big.partitions.size());
      s().optionsDlg.SetText(kMainLogControlId, "");
    } else {
      StoreImagePath("/earlier/install.img");
    }
    SetSlotState(0, kSlotConnected, 0);

    {
      testenv::StopAtLogLine stop(c.trigger);
      if (c.reload) {
        ASSERT_TRUE(StartReloadImageThread());
      } else {
        host->QueueFile(info.imagePath);
        ASSERT_TRUE(StartOpenImageThread());
      }
      std::jthread& loader = c.reload ? s().ReloadThreadHandle : s().OpenThreadHandle;
      const size_t stoppedAt = stop.WaitReached();
      loader.request_stop();
      loader.join();

      const std::string log = MainLogText();
      EXPECT_EQ(log.find(c.after, stoppedAt), std::string::npos) << "the load went on after the stop";
      EXPECT_NE(log.find("image load stopped: nothing of it is kept\r\n", stoppedAt), std::string::npos);
    }
    EXPECT_TRUE(NothingLoaded());
    EXPECT_EQ(s().PackageSubdir, "");
    EXPECT_EQ(fs::exists(untarDir), c.treeKept) << "a later reload would take a half tree for the package";
    EXPECT_EQ(StoredImagePath(), c.reload ? info.imagePath : "/earlier/install.img");
    EXPECT_TRUE(ErrorLogs().empty()) << "a stop is no failed load";
    EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(0)), kPictureConnected);
    ExpectIdle();
    if (c.treeKept) {
      // The kept tree still loads whole.
      Reload();
      EXPECT_EQ(img().partitionPieces.size(), big.partitions.size());
    }
  }
}

}  // namespace
}  // namespace station

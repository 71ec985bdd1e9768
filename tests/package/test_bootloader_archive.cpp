#include "package/bootloader_archive.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "package/install_image.h"
#include "support/package_env.h"
#include "usblink/flash_options.h"

namespace station {
namespace {

namespace fs = std::filesystem;

class BootloaderArchive : public ::testing::Test, public testenv::PackageFixture {
 protected:
  ImageBuffer& piece(BootPiece p) { return s().images.boot[p]; }
  void SetLk(bool on) { s().optionsDlg.SetChecked(option_id::kLkEnable, on); }
  bool SlotLogHas(const std::string& text) { return DeviceLogText(0).find(text) != std::string::npos; }
};

// The pieces in the order of BootPiece, as mkpackage names the members in its read order.
constexpr BootPiece kReadOrder[] = {kBootHwsetting, kBootCode, kBootFsbl, kBootTee, kBootBl31, kBootRsaTee, kBootRsaFw};

TEST_F(BootloaderArchive, LoadsTheSevenMembersOfTheChosenArchive) {
  struct Case {
    const char* flash;
    bool lk;
    uint32_t multiple;  // recorded length per byte
  };
  for (const Case c : {Case{"NAND", false, 4}, Case{"NAND", true, 4}, Case{"EMMC", false, 1}, Case{"NOR", true, 1}}) {
    SCOPED_TRACE(std::string(c.flash) + (c.lk ? " lk" : " uboot"));
    mkpackage::PackageOptions o;
    o.lk = c.lk;
    o.emmc = std::string(c.flash) == "EMMC";
    o.bootPieceSizes = {{"fsbl.bin", 1000}, {"hw_setting.bin", 4096}};
    const mkpackage::PackageInfo info = BuildUnpacked(o);
    ChooseFlash(c.flash);
    SetLk(c.lk);
    s().PackageSubdir = "/package5";
    SetDeviceLogText(0, "");

    ASSERT_EQ(ReadBootloaderTarFile(kBootloaderFromPackage), 1);
    ASSERT_EQ(info.bootPieces.size(), 7u);
    for (size_t i = 0; i < 7; ++i) {
      const mkpackage::BootPieceData& b = info.bootPieces[i];
      SCOPED_TRACE(b.member);
      const ImageBuffer& p = piece(kReadOrder[i]);
      EXPECT_EQ(p.data, testenv::WithZero(mkpackage::SyntheticData(info.seed, "boot/" + b.member, b.size)));
      EXPECT_EQ(p.length, b.size * c.multiple);
    }
    const std::string archive = c.lk ? "/bootloader_lk.tar" : "/bootloader.tar";
    EXPECT_TRUE(SlotLogHas("bootloader path :" + untarDir + "/package5" + archive + ".\r\n"));
    EXPECT_EQ(SlotLogHas("boot type : uboot\r\n"), !c.lk);
    EXPECT_TRUE(MainLogHas(std::string("ubootType:=") + (c.lk ? "1" : "0") + "\r\n"));
  }
}

TEST_F(BootloaderArchive, MissingMemberIsLoggedAndKeepsItsOldBuffer) {
  mkpackage::PackageOptions o;
  o.missingFiles = {"fsbl.bin"};
  BuildUnpacked(o);
  ChooseFlash("NAND");
  s().PackageSubdir = "/package5";
  piece(kBootFsbl).data = {1, 2, 3};
  piece(kBootFsbl).length = 3;

  EXPECT_EQ(ReadBootloaderTarFile(kBootloaderFromPackage), 1);
  EXPECT_TRUE(MainLogHas("fsbl file does not exist\r\n"));
  EXPECT_EQ(piece(kBootFsbl).length, 3u);
  EXPECT_EQ(piece(kBootFsbl).data.size(), 3u);
  EXPECT_EQ(piece(kBootTee).length, 4096u * 4);
}

TEST_F(BootloaderArchive, PackageWithoutArchiveLoadsWithoutBootPieces) {
  mkpackage::PackageOptions o;
  o.noBootloader = true;
  BuildUnpacked(o);
  ChooseFlash("EMMC");
  s().PackageSubdir = "/package5";

  EXPECT_EQ(ReadBootloaderTarFile(kBootloaderFromPackage), 1);
  EXPECT_TRUE(SlotLogHas("can not found bootloader!\r\ndoes not install bootloader.\r\n"));
  EXPECT_TRUE(MainLogHas("can not found bootloader!\r\ndoes not install bootloader.\r\n"));
  for (const ImageBuffer& b : s().images.boot) EXPECT_EQ(b.length, 0u);
}

TEST_F(BootloaderArchive, UnlistedEmmcKindUnpacksNothing) {
  BuildUnpacked({});
  ChooseFlash("EMMC_8G");
  s().PackageSubdir = "/package5";

  EXPECT_EQ(ReadBootloaderTarFile(kBootloaderFromPackage), 1);
  const std::string log = MainLogText();
  EXPECT_NE(log.find("bootloader path :" + untarDir + "/package5.\r\n"), std::string::npos);
  for (const char* line : {"Hwsetting file does not exist\r\n", "u-boot (lk.bin) file does not exist : ",
                           "fsbl file does not exist\r\n", "tee enc file does not exist\r\n",
                           "bl31 enc file does not exist\r\n", "rsa_bin_tee file does not exist\r\n",
                           "rsa_bin_fw file does not exist\r\n"})
    EXPECT_NE(log.find(line), std::string::npos) << line;
  EXPECT_TRUE(fs::is_empty(untarDir + "/package5/untar_uboot"));
  for (const ImageBuffer& b : s().images.boot) EXPECT_TRUE(b.data.empty());
}

TEST_F(BootloaderArchive, EarlierUnpackIsRemovedFirst) {
  mkpackage::PackageOptions o;
  o.missingFiles = {"tee.bin"};
  BuildUnpacked(o);
  testenv::WriteFile(untarDir + "/package5/untar_uboot/tee.bin", "stale tee");
  ChooseFlash("NAND");
  s().PackageSubdir = "/package5";

  EXPECT_EQ(ReadBootloaderTarFile(kBootloaderFromPackage), 1);
  EXPECT_TRUE(piece(kBootTee).data.empty()) << "a member of an old unpack was taken";
  EXPECT_FALSE(fs::exists(untarDir + "/package5/untar_uboot/tee.bin"));
  EXPECT_FALSE(piece(kBootBl31).data.empty());
}

TEST_F(BootloaderArchive, UnreadableMemberReleasesEveryImage) {
  BuildUnpacked({});
  // An archive whose boot code is a folder: it exists but cannot be read as a file.
  const fs::path stage = dir / "odd";
  testenv::WriteFile(stage / "hw_setting.bin", std::string(64, 'h'));
  fs::create_directories(stage / "uboot.bin");
  testenv::WriteFile(stage / "fsbl.bin", "fsbl");
  mkpackage::RunTar({"-C", stage.string(), "-cf", untarDir + "/package5/bootloader.tar", "hw_setting.bin",
                     "uboot.bin", "fsbl.bin"});
  ChooseFlash("NAND");
  s().PackageSubdir = "/package5";
  // Something loaded before: it must go too.
  (*s().fwEntries)[FW_KERNEL].Size = 16;
  ASSERT_TRUE((*s().fwEntries)[FW_KERNEL].Buffer.Reserve(16));
  s().images.partitionPieces.resize(2);
  s().images.mbrImages.resize(1);

  EXPECT_EQ(ReadBootloaderTarFile(kBootloaderFromPackage), 0);
  EXPECT_TRUE(MainLogHas("read u-boot (lk.bin) 32bit file failed! \r\n projectPath : " + untarDir +
                         "/package5/untar_uboot/uboot.bin \r\n"));
  EXPECT_FALSE(MainLogHas("bootloader - fsbl - ")) << "the members after a failure are not read";
  for (const ImageBuffer& b : s().images.boot) EXPECT_TRUE(b.data.empty() && b.length == 0);
  EXPECT_EQ((*s().fwEntries)[FW_KERNEL].Size, 0u);
  EXPECT_TRUE((*s().fwEntries)[FW_KERNEL].Buffer.empty());
  EXPECT_TRUE(s().images.partitionPieces.empty());
  EXPECT_TRUE(s().images.mbrImages.empty());
}

TEST_F(BootloaderArchive, UnreadableHardwareSettingIsReportedOnSlotZeroToo) {
  BuildUnpacked({});
  const fs::path stage = dir / "odd";
  fs::create_directories(stage / "hw_setting.bin");
  mkpackage::RunTar({"-C", stage.string(), "-cf", untarDir + "/package5/bootloader.tar", "hw_setting.bin"});
  ChooseFlash("EMMC");
  s().PackageSubdir = "/package5";

  EXPECT_EQ(ReadBootloaderTarFile(kBootloaderFromPackage), 0);
  const std::string line = "CvortmillDlg::ReadBootloaderTarFile:read hwsetting failed!\r\n";
  EXPECT_TRUE(MainLogHas(line));
  EXPECT_TRUE(SlotLogHas(line));
}

TEST_F(BootloaderArchive, BootLoaderOnlyReadsTheTempfileArchiveQuietly) {
  const mkpackage::PackageInfo info = Build({});
  fs::copy_file(fs::path(info.treeDir) / info.bootloaderMember, appDir + "/Tempfile/bootloader.tar");
  ChooseFlash("EMMC");
  s().PackageSubdir = "/package5";
  s().UnpackProgressRange = 40;
  s().UnpackProgressPos = 33;
  s().progress.Create();

  EXPECT_EQ(ReadBootloaderTarFile(kBootloaderFromTempfile), 1);
  EXPECT_TRUE(fs::exists(appDir + "/Tempfile/package5/untar_uboot/uboot.bin"));
  EXPECT_EQ(piece(kBootCode).length, 4096u);
  EXPECT_EQ(s().UnpackProgressRange, 1) << "reset, and the quiet unpack leaves it alone";
  EXPECT_EQ(s().UnpackProgressPos, 0u);
}

TEST_F(BootloaderArchive, CutArchiveLoadsNoPiece) {
  mkpackage::PackageOptions o;
  o.bootPieceSize = 8192;
  BuildUnpacked(o);
  const std::string archive = untarDir + "/package5/bootloader.tar";
  // Cut inside the data of the last member, the firmware key.
  fs::resize_file(archive, 7 * (512 + 8192) - 4000);
  ChooseFlash("NAND");
  s().PackageSubdir = "/package5";

  EXPECT_EQ(ReadBootloaderTarFile(kBootloaderFromPackage), 0);
  EXPECT_TRUE(MainLogHas("bootloader archive ends inside member rsa_bin_fw.bin\r\n"));
  for (const ImageBuffer& b : s().images.boot) EXPECT_TRUE(b.data.empty());
}

}  // namespace
}  // namespace station

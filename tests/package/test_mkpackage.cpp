// The package builder: what it says it put where must be what the station finds there.
#include "mkpackage/mkpackage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "factory/area_positions.h"
#include "package/install_image.h"
#include "package/layout_file.h"
#include "package/tar_reader.h"
#include "support/app_dir.h"
#include "support/test_env.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> Members(const std::string& archive) {
  std::vector<std::string> names;
  station::TarReader reader(archive, 0);
  for (station::TarEntry e = reader.FirstEntry(); !e.IsEnd(); e = reader.NextEntry()) names.push_back(e.Header().name);
  return names;
}

bool Has(const std::vector<std::string>& v, const std::string& s) { return std::find(v.begin(), v.end(), s) != v.end(); }

std::string AsText(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

class MkPackage : public ::testing::Test {
 protected:
  mkpackage::PackageInfo Build(mkpackage::PackageOptions o, const std::string& name = "pkg") {
    o.outDir = (env.dir / name).string();
    return mkpackage::BuildPackage(o);
  }
  // Unpacks the image into the station folder's UnTarTmp, as "open" does.
  void Unpack(const mkpackage::PackageInfo& info) {
    fs::remove_all(env.dir / "UnTarTmp");
    fs::create_directories(env.dir / "UnTarTmp");
    uint16_t max = 0;
    uint32_t step = 0;
    station::UntarInstallImg(info.imagePath, (env.dir / "UnTarTmp").string(), nullptr, max, step, 0);
  }
  testenv::StationFixture env;
  testenv::ScopedAppDir appDir{env.dir.str()};
};

TEST_F(MkPackage, TheStationReadsWhatTheDescriptionSays) {
  for (bool emmc : {false, true}) {
    SCOPED_TRACE(emmc ? "emmc" : "nand");
    mkpackage::PackageOptions o;
    o.emmc = emmc;
    o.seed = 7;
    mkpackage::PackageInfo info = Build(o, emmc ? "emmc" : "nand");
    Unpack(info);
    const std::string layout = (env.dir / "UnTarTmp" / info.layoutMember).string();

    std::vector<const mkpackage::PlacedData*> all;
    for (const auto& d : info.entries) all.push_back(&d);
    for (const auto& d : info.partitions) all.push_back(&d);
    for (const auto& d : info.mbrs) all.push_back(&d);
    ASSERT_FALSE(info.partitions.empty());
    EXPECT_EQ(info.mbrs.empty(), !emmc);
    for (const mkpackage::PlacedData* d : all) {
      SCOPED_TRACE(d->key);
      std::string key = d->key.rfind("FW_", 0) == 0 ? d->key + " " : " " + d->key;
      if (d->key == "FW_PROFILE") {
        // The model check needs the NAND list; the line itself is checked through its fields.
        EXPECT_EQ(station::GetValueFromFile(layout, key, " nf_id="), "MX30LF1G18AC");
        continue;
      }
      plat::PageBuffer buf;
      uint64_t size = 0, offset = 0, layoutSize = 0;
      uint32_t target = 0;
      ASSERT_EQ(station::ParseLayoutEntry(layout, key, buf, size, offset, layoutSize, 0, 0, &target), 1);
      EXPECT_EQ(offset, d->offset);
      EXPECT_EQ(target, d->target);
      EXPECT_EQ(size, d->size);
      if (key.find("PART") != std::string::npos) {
        EXPECT_EQ(layoutSize, d->layoutSize);
      }
      std::vector<uint8_t> want = mkpackage::SyntheticData(info.seed, d->member, d->size);
      EXPECT_TRUE(std::equal(want.begin(), want.end(), buf.data()));
    }
    bool hasProfile = std::any_of(info.entries.begin(), info.entries.end(),
                                  [](const mkpackage::PlacedData& d) { return d.key == "FW_PROFILE"; });
    EXPECT_EQ(hasProfile, !emmc);

    // The boot-loader archive holds the seven pieces, each with its synthetic bytes.
    std::vector<std::string> boot = Members((env.dir / "UnTarTmp" / info.bootloaderMember).string());
    ASSERT_EQ(info.bootPieces.size(), 7u);
    for (const mkpackage::BootPieceData& b : info.bootPieces) {
      EXPECT_TRUE(Has(boot, b.member)) << b.member;
      EXPECT_EQ(testenv::ReadFile(b.path), AsText(mkpackage::SyntheticData(info.seed, "boot/" + b.member, b.size)));
    }
    EXPECT_EQ(station::GetValueFromFile((env.dir / "UnTarTmp" / "config.txt").string(), "install_factory", "="), "y");
    EXPECT_TRUE(Has(Members((env.dir / "UnTarTmp" / info.factoryMember).string()), "000BootParam.h"));
  }
}

TEST_F(MkPackage, SameSeedSameBytes) {
  mkpackage::PackageOptions o;
  o.seed = 3;
  std::string a = testenv::ReadFile(Build(o, "a").imagePath);
  std::string b = testenv::ReadFile(Build(o, "b").imagePath);
  o.seed = 4;
  std::string c = testenv::ReadFile(Build(o, "c").imagePath);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);

  // Written in pieces or made whole, a file has the same bytes; files differ by name.
  const uint64_t n = (1 << 20) * 2 + 13;
  mkpackage::WriteSyntheticFile((env.dir / "s.bin").string(), 9, "x", n);
  EXPECT_EQ(testenv::ReadFile(env.dir / "s.bin"), AsText(mkpackage::SyntheticData(9, "x", n)));
  EXPECT_NE(mkpackage::SyntheticData(9, "x", 64), mkpackage::SyntheticData(9, "y", 64));
}

TEST_F(MkPackage, VariantsAndFaults) {
  struct Case {
    const char* name;
    void (*set)(mkpackage::PackageOptions&);
    std::vector<std::string> present, absent;
  } cases[] = {
      {"lk", [](mkpackage::PackageOptions& o) { o.lk = true; }, {"package5/bootloader_lk.tar"}, {"package5/bootloader.tar"}},
      {"omv with size", [](mkpackage::PackageOptions& o) { o.packageFolder = "omv"; o.flashSizeGb = "8"; },
       {"omv/uImage", "omv_8gb/layout.txt"}, {"layout.txt", "package5/"}},
      {"no layout", [](mkpackage::PackageOptions& o) { o.noLayout = true; }, {"package5/uImage"}, {"layout.txt"}},
      {"no boot loader", [](mkpackage::PackageOptions& o) { o.noBootloader = true; }, {"layout.txt"}, {"package5/bootloader.tar"}},
      {"missing file", [](mkpackage::PackageOptions& o) { o.missingFiles = {"FW_KERNEL", "PART1"}; },
       {"package5/rootfs.bin"}, {"package5/uImage", "package5/etc.bin"}},
      {"no config, no factory", [](mkpackage::PackageOptions& o) { o.noConfig = true; o.factoryTemplate = false; },
       {"layout.txt"}, {"config.txt", "package5/factory.tar"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mkpackage::PackageOptions o;
    c.set(o);
    mkpackage::PackageInfo info = Build(o, c.name);
    std::vector<std::string> members = Members(info.imagePath);
    for (const std::string& m : c.present) EXPECT_TRUE(Has(members, m)) << m;
    for (const std::string& m : c.absent) EXPECT_FALSE(Has(members, m)) << m;
  }

  // A left-out file keeps its layout line, so the station finds the line but not the data.
  mkpackage::PackageOptions o;
  o.missingFiles = {"FW_KERNEL"};
  mkpackage::PackageInfo info = Build(o, "missing");
  EXPECT_FALSE(info.entries[0].present);
  EXPECT_NE(testenv::ReadFile(fs::path(info.treeDir) / "layout.txt").find("FW_KERNEL target="), std::string::npos);

  // A spoiled checksum: the station's reader gets an empty header in that member's place.
  o = {};
  o.badChecksumMember = "package5/uImage";
  info = Build(o, "bad");
  std::vector<std::string> members = Members(info.imagePath);
  EXPECT_FALSE(Has(members, "package5/uImage"));
  EXPECT_TRUE(Has(members, ""));
  EXPECT_TRUE(Has(members, "package5/rootfs.bin"));

  // Without its end blocks the image stops right after the last member's data.
  o = {};
  o.noEndBlocks = true;
  info = Build(o, "open");
  uint64_t size = fs::file_size(info.imagePath);
  EXPECT_EQ(size % 512, 0u);
  std::string bytes = testenv::ReadFile(info.imagePath);
  EXPECT_NE(bytes.substr(bytes.size() - 512), std::string(512, '\0'));
  EXPECT_EQ(Members(info.imagePath).size(), Members(Build({}, "closed").imagePath).size());
}

// A package carries its entries clear of the boot area and of the factory data that boards
// programmed from it get, wherever the station puts that data for the package's geometry.
TEST_F(MkPackage, EntriesStayClearOfTheFactoryData) {
  struct Case {
    const char* name;
    bool emmc;
    uint32_t blockK, page;
  } cases[] = {
      {"emmc", true, 512, 4096},
      {"nand 128 KiB", false, 128, 2048},
      {"nand 256 KiB", false, 256, 4096},
      {"nand 512 KiB", false, 512, 4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mkpackage::PackageOptions o;
    o.emmc = c.emmc;
    o.nandBlockBytes = uint64_t{c.blockK} * 1024;
    mkpackage::PackageInfo info = Build(o, c.name);
    uint64_t first = UINT64_MAX;
    for (const auto& d : info.entries)
      if (d.offset != 0) first = std::min(first, d.offset);
    for (const auto& d : info.partitions) first = std::min(first, d.offset);
    EXPECT_EQ(first, info.firstOffset);

    station::FlashInfo flash;
    flash.FlashType = c.emmc ? 2 : 0;
    flash.BlockSizeK = c.blockK;
    flash.PageSize = c.page;
    const uint64_t unit = c.emmc ? 512 : c.page;
    uint64_t end = c.emmc ? 0 : (6 + 7 * 4) * uint64_t{c.blockK} * 1024;  // the boot area
    for (bool nas : {false, true}) {
      for (bool se : {false, true}) {
        station::BurnOption option;
        option.nasEnable = nas;
        option.useSecureStorage = se;
        for (int copy : {0, 1})
          end = std::max(end, station::GetFactoryAreaOffset(flash, option, copy) * unit + station::kFactoryCopyMaxBytes);
      }
    }
    end = std::max(end, station::GetStorageAreaOffset(c.page, c.blockK * 1024, flash.FlashType) * unit +
                            station::kStorageMaxBytes);
    EXPECT_GE(first, end);
    EXPECT_LT(first, end + o.alignment) << "no farther than the next boundary";
  }
}

TEST_F(MkPackage, StationFiles) {
  mkpackage::StationFiles f = mkpackage::InstallStationFiles(env.dir.str(), 5, 2048);
  ASSERT_EQ(f.hwsettingFiles.size(), 8u);
  std::set<std::string> names;
  for (const std::string& p : f.hwsettingFiles) {
    names.insert(fs::path(p).filename().string());
    EXPECT_EQ(fs::file_size(p), 2048u);
  }
  for (const char* ddr : {"2DDR4_1GB", "2DDR4_2GB", "4DDR4_1GB", "4DDR4_2GB", "2DDR3_1GB", "2DDR3_2GB", "4DDR3_1GB", "4DDR3_2GB"})
    EXPECT_TRUE(names.count(std::string("tamor_usb_hwsetting_") + ddr + ".bin")) << ddr;
  EXPECT_NE(testenv::ReadFile(f.hwsettingFiles[0]), testenv::ReadFile(f.hwsettingFiles[1]));

  EXPECT_EQ(f.envTemplate, env.dir.str() + "/Tempfile/6142_default_env.txt");
  std::string envText = testenv::ReadFile(f.envTemplate);
  size_t at = envText.find("ethaddr=");
  ASSERT_NE(at, std::string::npos);
  EXPECT_TRUE(at == 0 || envText[at - 1] == '\0');
  EXPECT_EQ(envText.substr(at + 8, 18), std::string("00:00:00:00:00:00") + '\0');
  EXPECT_EQ(envText.back(), '\0');

  EXPECT_EQ(f.factoryTemplate, env.dir.str() + "/Tempfile/factory.tar");
  EXPECT_EQ(Members(f.factoryTemplate), std::vector<std::string>{"000BootParam.h"});

  // The tool folder: the key-bag tools of this build, and the system's GNU tar under the
  // name the station runs it by.
  EXPECT_EQ(f.toolDir, env.dir.str() + "/for_usb_mp_tool");
  ASSERT_EQ(f.keyBagTools.size(), 3u);
  for (const std::string& tool : f.keyBagTools) {
    EXPECT_EQ(fs::path(tool).parent_path(), fs::path(f.toolDir));
    EXPECT_EQ(testenv::ReadFile(tool),
              testenv::ReadFile(std::string(STATION_BINARY_DIR) + "/tools/keybag/" + fs::path(tool).filename().string()));
  }
  EXPECT_EQ(f.archiver, f.toolDir + "/keytemp/tar.exe");
  const fs::path archive = env.dir / "check.tar";
  const pid_t tar = plat::SpawnProcess(f.archiver, {"tar", "-cf", archive.string(), "-C", f.tempfileDir, "factory.tar"}, "");
  ASSERT_GT(tar, 0);
  int status = -1;
  ASSERT_EQ(plat::WaitProcess(tar, -1, &status), plat::WaitOutcome::Exited);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Members(archive.string()), std::vector<std::string>{"factory.tar"});

  // The station's default NAND list comes along as it ships.
  EXPECT_EQ(f.nandSupportList, env.dir.str() + "/Tempfile/nand_flash_support_list.xlsx");
  EXPECT_EQ(testenv::ReadFile(f.nandSupportList),
            testenv::ReadFile(std::string(STATION_SOURCE_DIR) + "/resources/Tempfile/nand_flash_support_list.xlsx"));
}

}  // namespace

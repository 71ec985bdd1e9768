#include "package/package_loading.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/fw_entry.h"
#include "foundation/log_boxes.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "package/layout_file.h"
#include "support/package_env.h"
#include "usblink/flash_options.h"

namespace station {
namespace {

namespace fs = std::filesystem;

class PackageLoading : public ::testing::Test, public testenv::PackageFixture {
 protected:

  // A package as "open" leaves it: unpacked, its folder found, the type chosen.
  mkpackage::PackageInfo Prepare(mkpackage::PackageOptions o, const std::string& flash) {
    const mkpackage::PackageInfo info = BuildUnpacked(o);
    ChooseFlash(flash);
    s().PackageSubdir = "/" + info.packageFolder;
    return info;
  }

  // A tree made by hand: layout lines and data files under UnTarTmp/package5.
  void HandMade(const std::string& layout) {
    fs::remove_all(untarDir);
    testenv::WriteFile(untarDir + "/layout.txt", layout);
    fs::create_directories(untarDir + "/package5");
    s().PackageSubdir = "/package5";
  }
  // A sparse file of `size` bytes with `marks` written at the given offsets.
  void SparseFile(const std::string& name, uint64_t size, const std::vector<std::pair<uint64_t, char>>& marks) {
    const std::string path = untarDir + "/package5/" + name;
    { std::ofstream(path, std::ios::binary); }
    fs::resize_file(path, size);
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    for (const auto& [at, c] : marks) {
      f.seekp(static_cast<std::streamoff>(at));
      f.put(c);
    }
  }

  std::vector<std::string> PieceNames() {
    std::vector<std::string> names;
    for (const PartitionPiece& p : img().partitionPieces) names.push_back(p.name);
    return names;
  }
  static std::vector<uint8_t> Bytes(const uint8_t* p, uint64_t n) { return std::vector<uint8_t>(p, p + n); }
};

TEST_F(PackageLoading, NandPackageFillsEntriesAndPieces) {
  const mkpackage::PackageInfo info = Prepare({}, "NAND");
  s().slots[0].HwsettingBuffer = {1, 2, 3};
  s().slots[0].HwsettingSize = 3;
  s().HwsettingPending[0] = 0;
  s().UnpackProgressPos = 10;

  ASSERT_EQ(ReadUntarTempFiles(), 1) << MainLogText();

  for (const mkpackage::PlacedData& d : info.entries) {
    SCOPED_TRACE(d.key);
    const FwEntry& e = (*s().fwEntries)[FindFwEntry(d.key + " ")];
    ASSERT_EQ(e.Size, d.size);
    EXPECT_EQ(e.Offset, d.offset);
    EXPECT_EQ(e.Target, d.target);
    EXPECT_EQ(Bytes(e.Buffer.data(), e.Size), mkpackage::SyntheticData(info.seed, d.member, d.size));
  }
  EXPECT_EQ((*s().fwEntries)[FW_NAS_RESCUE_KERNEL].Size, 0u) << "an entry the layout does not name stays empty";

  ASSERT_EQ(img().partitionPieces.size(), info.partitions.size());
  ASSERT_EQ(img().partitionFileSizes.size(), info.partitions.size());
  for (size_t i = 0; i < info.partitions.size(); ++i) {
    const mkpackage::PlacedData& d = info.partitions[i];
    const PartitionPiece& p = img().partitionPieces[i];
    SCOPED_TRACE(d.key);
    EXPECT_EQ(p.name, " " + d.key);
    EXPECT_EQ(p.length, d.size);
    EXPECT_EQ(p.offset, d.offset);
    EXPECT_EQ(p.layoutSize, d.layoutSize);
    EXPECT_EQ(img().partitionFileSizes[i], static_cast<int64_t>(d.size));
    EXPECT_EQ(Bytes(p.data(), p.length), mkpackage::SyntheticData(info.seed, d.member, d.size));
  }
  EXPECT_TRUE(img().mbrImages.empty());
  EXPECT_TRUE(MainLogHas("flash type not emmc so ignore read mbr file!!\r\n"));
  EXPECT_TRUE(MainLogHas("FlashLayoutPath : " + untarDir + "/layout.txt \r\n "));
  EXPECT_FALSE(img().boot[kBootCode].data.empty());

  // Not eMMC: no hardware setting is kept for slot 0. Slot 0 has no board: it shows so.
  EXPECT_TRUE(s().slots[0].HwsettingBuffer.empty());
  EXPECT_EQ(s().slots[0].HwsettingSize, 0);
  EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(0)), kPictureIdle);
  EXPECT_EQ(s().HwsettingPending[0].load(), 1);
  EXPECT_EQ(s().UnpackProgressPos, 100u);
  EXPECT_TRUE(MainLogHas("progress step  : 100 \r\n"));
}

TEST_F(PackageLoading, EmmcPackageLoadsMbrImagesAndTheHardwareSettingButNoProfile) {
  mkpackage::PackageOptions o;
  o.emmc = true;
  o.entries = mkpackage::DefaultEntries(true);
  o.entries.push_back({"FW_PROFILE", "profile.bin", 0x400, 0, 0, true, 0x01fe0000});
  const mkpackage::PackageInfo info = Prepare(o, "EMMC");
  s().slots[0].DevicePath = "/dev/board-0";
  s().MacTable[0] = "00:11:22:33:44:55";

  ASSERT_EQ(ReadUntarTempFiles(), 1) << MainLogText();

  EXPECT_EQ((*s().fwEntries)[FW_PROFILE].Size, 0u);
  EXPECT_TRUE((*s().fwEntries)[FW_PROFILE].Buffer.empty());
  EXPECT_TRUE(MainLogHas("FW_PROFILE  - because emmc so pass\r\n"));
  ASSERT_EQ(img().mbrImages.size(), info.mbrs.size());
  for (size_t m = 0; m < info.mbrs.size(); ++m) {
    const mkpackage::PlacedData& d = info.mbrs[m];
    const MbrImage& mbr = img().mbrImages[m];
    EXPECT_EQ(mbr.name, " MBR" + std::to_string(m));
    EXPECT_EQ(mbr.length, d.size);
    EXPECT_EQ(mbr.offset, d.offset);
    EXPECT_EQ(mbr.heap, testenv::WithZero(mkpackage::SyntheticData(info.seed, d.member, d.size)));
  }
  EXPECT_EQ(s().slots[0].HwsettingBuffer, testenv::WithZero(mkpackage::SyntheticData(
                                              7, "Tempfile/tamor_usb_hwsetting_2DDR4_1GB.bin", 4096)));
  EXPECT_EQ(s().slots[0].HwsettingSize, 4096);
  EXPECT_EQ(img().boot[kBootCode].length, 4096u) << "eMMC records the bytes once";
  // Slot 0 holds a board: it shows it connected, with its MAC.
  EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(0)), kPictureConnected);
  EXPECT_EQ(s().mainDlg.Text(SlotMacId(0)), "00:11:22:33:44:55");
}

TEST_F(PackageLoading, PartitionsAreCutInto48MiBPieces) {
  struct Case {
    uint64_t size;
    std::vector<uint64_t> pieces;
  };
  const Case cases[] = {
      {kPartitionPieceSize, {kPartitionPieceSize}},
      {kPartitionPieceSize + 1, {kPartitionPieceSize, 1}},
      {2 * kPartitionPieceSize + 5, {kPartitionPieceSize, kPartitionPieceSize, 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    HandMade("part = PART0 offset=0x1000000 size=0x9000000 name=package5/big.bin\n");
    ChooseFlash("NOR");
    // Written in this order: the last byte may also be the first of the second piece.
    using Marks = std::vector<std::pair<uint64_t, char>>;
    SparseFile("big.bin", c.size,
               c.size > kPartitionPieceSize
                   ? Marks{{0, 'a'}, {kPartitionPieceSize - 1, 'b'}, {kPartitionPieceSize, 'c'}, {c.size - 1, 'z'}}
                   : Marks{{0, 'a'}, {c.size - 1, 'z'}});

    ASSERT_EQ(ReadUntarTempFiles(), 1) << MainLogText();
    ASSERT_EQ(img().partitionPieces.size(), c.pieces.size());
    for (size_t k = 0; k < c.pieces.size(); ++k) {
      const PartitionPiece& p = img().partitionPieces[k];
      EXPECT_EQ(p.name, " PART0");
      EXPECT_EQ(p.length, c.pieces[k]);
      EXPECT_EQ(p.offset, 0x1000000u) << "every piece carries its partition's offset";
      EXPECT_EQ(p.layoutSize, 0x9000000u);
    }
    EXPECT_EQ(img().partitionPieces[0].data()[0], 'a');
    if (c.pieces.size() > 1) {
      EXPECT_EQ(img().partitionPieces[0].data()[kPartitionPieceSize - 1], 'b');
      EXPECT_EQ(img().partitionPieces[1].data()[0], img().partitionPieces[1].length == 1 ? 'z' : 'c');
    }
    const PartitionPiece& tail = img().partitionPieces.back();
    EXPECT_EQ(tail.data()[tail.length - 1], 'z');
  }
}

TEST_F(PackageLoading, PartitionFilesOf2GiBAndMoreLoadWhole) {
  const uint64_t size = (2ull << 30) + 0x10;
  HandMade("part = PART0 offset=0x4000000 size=0x90000000 name=package5/huge.bin\n");
  ChooseFlash("NOR");
  SparseFile("huge.bin", size, {{0, 'a'}, {(2ull << 30) - 1, 'm'}, {size - 1, 'z'}});

  ASSERT_EQ(ReadUntarTempFiles(), 1) << MainLogText();
  ASSERT_EQ(img().partitionFileSizes.size(), 1u);
  EXPECT_EQ(img().partitionFileSizes[0], static_cast<int64_t>(size));
  const std::vector<PartitionPiece>& pieces = img().partitionPieces;
  ASSERT_EQ(pieces.size(), 43u);  // 42 whole pieces and the rest
  uint64_t total = 0;
  for (const PartitionPiece& p : pieces) total += p.length;
  EXPECT_EQ(total, size);
  EXPECT_EQ(pieces.back().length, size - 42 * kPartitionPieceSize);
  EXPECT_EQ(pieces[0].data()[0], 'a');
  const uint64_t m = (2ull << 30) - 1;
  EXPECT_EQ(pieces[m / kPartitionPieceSize].data()[m % kPartitionPieceSize], 'm');
  EXPECT_EQ(pieces.back().data()[pieces.back().length - 1], 'z');
}

TEST_F(PackageLoading, PartitionNumbersWithGapsAndSkippedFiles) {
  struct Case {
    const char* name;
    std::string layout;
    std::vector<int64_t> lengths;
    std::vector<std::string> pieces;
    std::vector<char> firstBytes;
  };
  const Case cases[] = {
      {"numbers 0, 2, 3",
       "part = PART0 offset=0x100000 size=0x100000 name=package5/p0.bin\n"
       "part = PART2 offset=0x200000 size=0x100000 name=package5/p2.bin\n"
       "part = PART3 offset=0x300000 size=0x100000 name=package5/p3.bin\n",
       {10, 20, 30},
       {" PART0", " PART2", " PART3"},
       {'0', '2', '3'}},
      {"logo skipped",
       "part = PART0 offset=0x100000 size=0x100000 name=package5/p0.bin\n"
       "part = PART1 offset=0x200000 size=0x100000 name=package5/logo_p.bin\n"
       "part = PART2 offset=0x300000 size=0x100000 name=package5/p2.bin\n",
       {10, 0, 20},
       {" PART0", " PART2"},
       {'0', '2'}},
      {"gap, then a skipped file",
       "part = PART0 offset=0x100000 size=0x100000 name=package5/p0.bin\n"
       "part = PART2 offset=0x200000 size=0x100000 name=package5/uboot_p.bin\n"
       "part = PART3 offset=0x300000 size=0x100000 name=package5/p3.bin\n",
       {10, 0, 30},
       {" PART0", " PART3"},
       {'0', '3'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HandMade(c.layout);
    ChooseFlash("NOR");
    testenv::WriteFile(untarDir + "/package5/p0.bin", std::string(10, '0'));
    testenv::WriteFile(untarDir + "/package5/p2.bin", std::string(20, '2'));
    testenv::WriteFile(untarDir + "/package5/p3.bin", std::string(30, '3'));
    testenv::WriteFile(untarDir + "/package5/logo_p.bin", std::string(40, 'L'));
    testenv::WriteFile(untarDir + "/package5/uboot_p.bin", std::string(40, 'U'));

    ASSERT_EQ(ReadUntarTempFiles(), 1) << MainLogText();
    EXPECT_EQ(img().partitionFileSizes, c.lengths);
    EXPECT_EQ(img().partitionCount, 3);
    ASSERT_EQ(PieceNames(), c.pieces);
    for (size_t i = 0; i < c.pieces.size(); ++i) EXPECT_EQ(img().partitionPieces[i].data()[0], c.firstBytes[i]);
  }
}

TEST_F(PackageLoading, SecureFirmwareOnlyLoadsNoPartitions) {
  HandMade("fw = FW_KERNEL target=0x3000000 offset=0x800000 size=0x100000 name=package5/uImage\n");
  ChooseFlash("EMMC");
  testenv::WriteFile(untarDir + "/package5/uImage", "kernel");
  s().optionsDlg.SetChecked(option_id::kOnlyUpgradeSecureFirmware, true);
  s().UnpackProgressPos = 0;
  s().progress.Create();

  ASSERT_EQ(ReadUntarTempFiles(), 1) << MainLogText();
  EXPECT_EQ((*s().fwEntries)[FW_KERNEL].Size, 6u);
  EXPECT_TRUE(img().partitionPieces.empty());
  EXPECT_TRUE(img().mbrImages.empty());
  EXPECT_FALSE(MainLogHas("can't not found"));
  EXPECT_EQ(s().UnpackProgressPos, 100u);
  EXPECT_EQ(s().progress.Pos(), 99) << "the bar is walked up to its last step";
}

TEST_F(PackageLoading, EarlierPiecesDoNotSurviveALoad) {
  img().partitionPieces.resize(5);
  img().mbrImages.resize(3);
  Prepare({}, "NAND");
  ASSERT_EQ(ReadUntarTempFiles(), 1);
  EXPECT_EQ(img().partitionPieces.size(), 3u);
  EXPECT_TRUE(img().mbrImages.empty());
}

TEST_F(PackageLoading, DamagedPackagesFailWithTheirReason) {
  struct Case {
    const char* name;
    mkpackage::PackageOptions options;
    std::string flash;
    std::string line;  // in the main log
    std::string sizeBox;
  };
  auto opts = [](auto change) {
    mkpackage::PackageOptions o;
    change(o);
    return o;
  };
  const Case cases[] = {
      {"no layout", opts([](auto& o) { o.noLayout = true; }), "NAND", "flash layout file does not exist\r\n", ""},
      {"missing kernel", opts([](auto& o) { o.missingFiles = {"FW_KERNEL"}; }), "NAND",
       "load layout fw [FW_KERNEL ] failed\r\n", ""},
      {"missing partition file", opts([](auto& o) { o.missingFiles = {"PART1"}; }), "NAND",
       "getDataLen:open file failed!\r\n", ""},
      {"missing MBR file", opts([](auto& o) { o.emmc = true, o.missingFiles = {"MBR1"}; }), "EMMC",
       "load [ MBR1] data failed!\r\n", ""},
      {"unsupported NAND model", opts([](auto& o) { o.nfId = "NO_SUCH_NAND"; }), "NAND",
       "load layout fw [FW_PROFILE ] failed\r\n", ""},
      {"size variant missing", opts([](auto&) {}), "NAND", "", "8"},
      {"eMMC without DDR type", opts([](auto& o) { o.emmc = true; }), "EMMC", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Prepare(c.options, c.flash);
    if (std::string(c.name) == "eMMC without DDR type") s().DdrFolderName.clear();
    s().optionsDlg.SetText(kFlashTotalSizeEdit, c.sizeBox);
    SetDeviceLogText(0, "");
    SetMainLogTarget(&s().optionsDlg, kMainLogControlId);
    s().optionsDlg.SetText(kMainLogControlId, "");
    host->Clear();

    EXPECT_EQ(ReadUntarTempFiles(), 0);
    if (!c.line.empty()) {
      EXPECT_TRUE(MainLogHas(c.line)) << MainLogText();
    }
  }
}

TEST_F(PackageLoading, FailureMessagesOfTheLayoutChecks) {
  // A layout without partition lines.
  HandMade("fw = FW_KERNEL target=0x3000000 offset=0x800000 size=0x100000 name=package5/uImage\n");
  testenv::WriteFile(untarDir + "/package5/uImage", "kernel");
  ChooseFlash("NOR");
  EXPECT_EQ(ReadUntarTempFiles(), 0);
  EXPECT_TRUE(MainLogHas("can't not found partition target!!\r\n"));

  // An eMMC layout without MBR lines.
  HandMade("part = PART0 offset=0x100000 size=0x100000 name=package5/p0.bin\n");
  testenv::WriteFile(untarDir + "/package5/p0.bin", "p0");
  ChooseFlash("EMMC");
  EXPECT_EQ(ReadUntarTempFiles(), 0);
  EXPECT_TRUE(MainLogHas("can't not found MBR target!!\r\n"));

  // A flash size with no variant folder: the warning box, and nothing is read.
  Prepare({}, "NAND");
  s().optionsDlg.SetText(kFlashTotalSizeEdit, "8");
  host->Clear();
  EXPECT_EQ(ReadUntarTempFiles(), 0);
  ASSERT_EQ(host->Prompts().size(), 1u);
  EXPECT_EQ(host->Prompts()[0].caption, "WARNING!");
  EXPECT_EQ((*s().fwEntries)[FW_KERNEL].Size, 0u);
}

TEST_F(PackageLoading, PartitionNamedOutsideTheTreeFailsAsAMissingFile) {
  HandMade("part = PART0 offset=0x100000 size=0x100000 name=..\\host.bin\n"
           "part = PART1 offset=0x200000 size=0x100000 name=package5/p1.bin\n");
  ChooseFlash("NOR");
  testenv::WriteFile(appDir + "/host.bin", std::string(1234, 'h'));
  testenv::WriteFile(untarDir + "/package5/p1.bin", "p1");

  EXPECT_EQ(ReadUntarTempFiles(), 0);
  const std::string log = MainLogText();
  EXPECT_NE(log.find(" layout skip unsafe name : ../host.bin \r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("getDataLen:open file failed!\r\n"), std::string::npos) << log;
  EXPECT_EQ(std::count(img().partitionFileSizes.begin(), img().partitionFileSizes.end(), 1234), 0)
      << "the host file's length is not taken";
  EXPECT_TRUE(img().partitionPieces.empty());
}

}  // namespace
}  // namespace station

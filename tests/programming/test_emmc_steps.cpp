// The eMMC installation's order of writes, their sectors, log lines and step names, against a
// simulated eMMC board, with the image put into the station's buffers by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/fw_entry.h"
#include "foundation/image_buffers.h"
#include "foundation/log_boxes.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "programming/emmc_install.h"
#include "programming/slot_params.h"
#include "support/install_env.h"
#include "support/package_env.h"
#include "support/usb_sim.h"
#include "usblink/flash_options.h"

namespace station {
namespace {

constexpr int kSlot = 3;
const std::string kEnd = " \xE3\x80\x82\r\n";  // blank, ideographic full stop, CR LF

// One write as the board must see it and the station must name it.
struct Step {
  uint32_t sector;
  std::string announce;  // the address line, with its ending
  std::string writeLabel;
  std::string compareLabel;
  std::vector<uint8_t> data;
};

class EmmcSteps : public ::testing::Test, public testenv::PackageFixture {
 protected:
  EmmcSteps() : temp_("TEMP", dir.str()) {
    FreeImageBuffers();
    info.FlashType = 2;
    info.TransRange = 0x10000;
    info.OnceMaxTransRange = 0x100000;
    info.SpecialValue = 0x55;
    info.Secure = 1;
    // The read-back of compare mode takes the flash type from the options dialog.
    state().optionsDlg.SetText(option_id::kFlashType, "2");
    state().optionsDlg.SetText(option_id::kTransmissionSizeK, "64");
    state().optionsDlg.SetText(option_id::kOneWriteSizeM, "1");
  }
  ~EmmcSteps() override { FreeImageBuffers(); }

  testenv::SimBoard& Board() {
    if (!sim_) {
      boardsim::BoardConfig c;
      c.flash = boardsim::FlashKind::Emmc;
      c.emmcBytes = boardBytes;
      c.requireDdrEnable = false;
      sim_ = std::make_unique<testenv::SimBoard>(c);
    }
    return *sim_;
  }

  static std::vector<uint8_t> Data(const std::string& name, uint64_t size) {
    return mkpackage::SyntheticData(5, name, size);
  }
  FwEntry& entry(int i) { return (*state().fwEntries)[i]; }

  std::vector<uint8_t> SetBoot(int k, uint32_t size) {
    ImageBuffer& b = img().boot[k];
    std::vector<uint8_t> d = Data("boot" + std::to_string(k), size);
    b.data = testenv::WithZero(d);
    b.length = size;
    return d;
  }
  std::vector<uint8_t> SetEntry(int i, uint64_t offset, uint64_t size) {
    FwEntry& e = entry(i);
    std::vector<uint8_t> d = Data(e.Name, size);
    EXPECT_TRUE(e.Buffer.Reserve(size));
    std::memcpy(e.Buffer.data(), d.data(), size);
    e.Size = size;
    e.Offset = offset;
    return d;
  }
  std::vector<uint8_t> AddPiece(const std::string& name, uint64_t offset, uint64_t size) {
    PartitionPiece p;
    p.name = name;
    std::vector<uint8_t> d = Data(name + "#" + std::to_string(img().partitionPieces.size()), size);
    EXPECT_TRUE(p.pages.Reserve(size));
    std::memcpy(p.pages.data(), d.data(), size);
    p.length = size;
    p.offset = offset;
    p.layoutSize = size;
    img().partitionPieces.push_back(std::move(p));
    return d;
  }
  std::vector<uint8_t> AddMbr(const std::string& name, uint64_t offset, uint64_t size) {
    MbrImage m;
    m.name = name;
    std::vector<uint8_t> d = Data(name, size);
    m.heap = testenv::WithZero(d);
    m.length = size;
    m.offset = offset;
    img().mbrImages.push_back(std::move(m));
    return d;
  }

  ResultCode Run(BurnOption option = {}, const std::function<void(RemainingBytes&)>& tweak = {}) {
    FillDeviceParams(kSlot);
    DeviceSlot& dev = state().slots[kSlot];
    if (tweak) tweak(dev.Remaining);
    dev.DeviceHandle = Board().handle();
    NandBbt bbt;
    return EmmcFullInstall(kSlot, dev, info, *state().fwEntries, option, bbt);
  }

  std::vector<uint32_t> WriteSectors() {
    std::vector<uint32_t> v;
    for (const boardsim::Exchange& e : Board().board().exchanges())
      if (e.opcode == 0xF4) v.push_back(e.address);
    return v;
  }
  static std::vector<uint32_t> Sectors(const std::vector<Step>& steps) {
    std::vector<uint32_t> v;
    for (const Step& s : steps) v.push_back(s.sector);
    return v;
  }
  std::vector<uint8_t> FlashAt(uint64_t sector, uint64_t size) { return Board().board().Flash(sector * 512, size); }

  // Every kind of piece, each small enough to go out in one exchange, and the writes it must
  // give, in order. FW_PROFILE and the two efuse files are loaded too: none of them may go to
  // the eMMC.
  std::vector<Step> FullImage() {
    std::vector<Step> steps;
    const uint32_t bootSizes[kBootPieceCount] = {1000, 0x2345, 512, 513, 100, 0x800, 77};
    const uint32_t bootSectors[kBootPieceCount] = {256, 258, 276, 277, 279, 280, 284};
    const char* bootLines[kBootPieceCount] = {
        "uboot hwsetting address icon[3] : start block : %u", "boocode address icon[3] : start block %u",
        "uboot FSBL address icon[3] : start block : %u",      "uboot tee_enc.bin address icon[3] : start block : %u",
        "uboot bl31.bin address icon[3] : start block : %u",  "uboot rsa_bin_fw.bin address icon[3] : start block : %u",
        "uboot rsa_bin_tee.bin address icon[3] : start block : %u"};
    const char* bootWrite[kBootPieceCount] = {"emmc install hwsetting",          "emmc install  bootcode",
                                              "emmc install  fsbl",              "emmc install  uboot tee_enc.bin",
                                              "emmc install  uboot bl31.bin",    "emmc install  uboot rsa_bin_fw.bin",
                                              "emmc install  uboot rsa_bin_tee.bin"};
    const char* bootCompare[kBootPieceCount] = {"uboot hwstting", "uboot bootcode", "uboot fsbl",       "uboot tee",
                                                "uboot bl31",     "uboot rsa_bin_fw", "uboot rsa_bin_tee"};
    for (int k = 0; k < kBootPieceCount; ++k)
      steps.push_back({bootSectors[k], Line(bootLines[k], bootSectors[k]), bootWrite[k], bootCompare[k],
                       SetBoot(k, bootSizes[k])});

    const char* entryLines[] = {
        " icon[3] : start block : %u",   " icon[3] : start block : %u", "icon[3] : start block : %u",
        " icon[3] - start block : %u",   " icon[3] : start block : %u", " icon[3] : start block : %u",
        " icon[3] : start block : %u",   " icon[3] : start block : %u", " icon[3] : Starblock : %u",
        " icon[3] : Starblock : %u",     " icon[3] : Starblock : %u",   " icon[3] : starblock : %u",
        " icon[3] : start block : %u",   " icon[3] : start block : %u", " icon[3] : start block : %u"};
    auto offsetOf = [](int i) { return 0x100000 + uint64_t(i) * 0x10000; };
    auto addEntry = [&](int i, const char* line) {
      std::vector<uint8_t> d = SetEntry(i, offsetOf(i), 0x200 + i * 0x10);
      const uint32_t sector = static_cast<uint32_t>(offsetOf(i) / 512);
      steps.push_back({sector, entry(i).Name + Line(line, sector), "emmc install " + entry(i).Name, entry(i).Name, d});
    };
    for (int i = FW_KERNEL; i <= FW_CILOGO1; ++i) addEntry(i, entryLines[i]);

    std::vector<uint8_t> table = SetEntry(FW_FWTBL, offsetOf(FW_FWTBL), 0x2F0);
    steps.push_back({0x3100, "FW_FWTBL " + Line(" icon[3] : start block : %u", 0x3100), "emmc install FW_FWTBL ",
                     "FW_FWTBL ", table});
    const uint32_t gold = static_cast<uint32_t>(offsetOf(FW_FWTBL) / 512 + 0x40);
    steps.push_back({gold, "FW_FWTBL " + Line(" icon[3] : start block : %u", gold), "emmc install W_FW_GOLD_TABLE",
                     "FW_FWTBL ", table});
    addEntry(FW_CONFIG, " icon[3] : start block : %u");
    SetEntry(FW_PROFILE, offsetOf(FW_PROFILE), 0x100);
    for (int i = FW_GOLD_KERNEL; i <= FW_GOLD_AKERNEL; ++i) addEntry(i, " icon[3] : start block : %u");
    SetEntry(FW_EFUSE_VERIFY, offsetOf(FW_EFUSE_VERIFY), 0x100);
    SetEntry(FW_EFUSE_PROGRAMMER, offsetOf(FW_EFUSE_PROGRAMMER), 0x100);

    // Two pieces of one partition follow each other; the next partition starts at its offset.
    steps.push_back({0x4000, " PART0" + Line(" icon[3] : start block : %u", 0x4000), "emmc install  PART0", " PART0",
                     AddPiece(" PART0", 0x800000, 0x1000)});
    steps.push_back({0x4008, " PART0" + Line(" icon[3] : start block : %u", 0x4008), "emmc install  PART0", " PART0",
                     AddPiece(" PART0", 0x800000, 0x800)});
    steps.push_back({0x5000, " PART1" + Line(" icon[3] : start block : %u", 0x5000), "emmc install  PART1", " PART1",
                     AddPiece(" PART1", 0xA00000, 0x600)});
    steps.push_back({0, " MBR0" + Line(" icon[3] : block number : %u", 0), "emmc install  MBR0", " MBR0",
                     AddMbr(" MBR0", 0, 512)});
    steps.push_back({0x6000, " MBR1" + Line(" icon[3] : block number : %u", 0x6000), "emmc install  MBR1", " MBR1",
                     AddMbr(" MBR1", 0xC00000, 512)});
    return steps;
  }

  static std::string Line(const char* format, uint32_t sector) {
    char text[256];
    std::snprintf(text, sizeof text, format, sector);
    return text + kEnd;
  }

  FlashInfo info;
  uint64_t boardBytes = 64ull << 20;

 private:
  testenv::ScopedEnv temp_;
  std::unique_ptr<testenv::SimBoard> sim_;
};

TEST_F(EmmcSteps, WholeImageGoesOutInOrderAtItsSectors) {
  const std::vector<Step> steps = FullImage();

  ASSERT_EQ(Run(), kResultDone) << DeviceLogText(kSlot);

  EXPECT_EQ(WriteSectors(), Sectors(steps));
  for (const Step& s : steps) EXPECT_EQ(FlashAt(s.sector, s.data.size()), s.data) << s.writeLabel;

  std::vector<std::string> lines;
  for (const Step& s : steps) {
    if (s.writeLabel == "emmc install FW_GOLD_KERNEL ") lines.push_back("W_FW_GOLD_KERNEL seekpoint: 18" + kEnd);
    lines.push_back(s.announce);
  }
  std::string missing;
  EXPECT_TRUE(testenv::HasInOrder(MainLogText(), lines, &missing)) << "main log lacks " << missing;
  lines.erase(std::remove(lines.begin(), lines.end(), "W_FW_GOLD_KERNEL seekpoint: 18" + kEnd), lines.end());
  EXPECT_TRUE(testenv::HasInOrder(DeviceLogText(kSlot), lines, &missing)) << "slot log lacks " << missing;
  EXPECT_TRUE(testenv::HasInOrder(DeviceLogText(kSlot),
                                  {"FW_FWTBL " + Line(" icon[3] : start block : %u", 0x3100),
                                   "emmc install FW_FWTBL  \r\n", "emmc install W_FW_GOLD_TABLE \r\n"}));

  // Every counter of a written piece is spent, the table's included although both of its
  // writes counted down copies; only the pieces that never go to the eMMC keep theirs.
  const RemainingBytes& rem = state().slots[kSlot].Remaining;
  for (int64_t v : rem.boot) EXPECT_EQ(v, 0);
  for (int i = 0; i < kFwEntryCount; ++i) {
    const bool kept = i == FW_PROFILE || i == FW_EFUSE_VERIFY || i == FW_EFUSE_PROGRAMMER;
    EXPECT_EQ(rem.entries[i], kept ? static_cast<int64_t>(entry(i).Size) : 0) << entry(i).Name;
  }
  for (int64_t v : rem.partitions) EXPECT_EQ(v, 0);
  for (int64_t v : rem.mbr) EXPECT_EQ(v, 0);

  // The command blocks: the hwsetting carries the part marker, every write the secure routing.
  const std::vector<boardsim::Exchange> ex = Board().board().exchanges();
  ASSERT_EQ(ex.size(), steps.size()) << "compare mode is off: nothing is read back";
  for (size_t i = 0; i < ex.size(); ++i) {
    SCOPED_TRACE(steps[i].writeLabel);
    EXPECT_EQ(ex[i].opcode, 0xF4);
    EXPECT_EQ(ex[i].subCode, 1);
    EXPECT_EQ(ex[i].flashType, 2);
    EXPECT_EQ(ex[i].partMarker, i == 0 ? 0x55 : 0);
    EXPECT_EQ(ex[i].routingA, 1);
    EXPECT_EQ(ex[i].routingB, 0);
    EXPECT_EQ(ex[i].eccCode, 0);
    EXPECT_EQ(ex[i].pageSize, 0);
  }
}

TEST_F(EmmcSteps, FailedWriteEndsTheInstallationUnderItsStepName) {
  const std::vector<Step> steps = FullImage();
  for (size_t k = 0; k < steps.size(); ++k) {
    SCOPED_TRACE(steps[k].writeLabel);
    Board().board().clearExchanges();
    Board().SetFaults([k](boardsim::Faults& f) { f.failStatusExchange = static_cast<int>(k); });

    EXPECT_EQ(Run(), 7);
    EXPECT_EQ(Board().board().exchanges().size(), k + 1) << "nothing is written after the failure";
    const std::string log = testenv::TakeErrorLogs(appDir);
    const std::string tail = steps[k].writeLabel + "\r\nError - (CSW) Stat failed !\r\n";
    EXPECT_TRUE(log.size() >= tail.size() && log.compare(log.size() - tail.size(), tail.size(), tail) == 0) << log;
    EXPECT_EQ(state().mainDlg.Picture(SlotButtonId(kSlot)), kPictureFailedBase + 7);
  }
}

TEST_F(EmmcSteps, FailedReadBackEndsTheInstallationUnderTheComparesName) {
  const std::vector<Step> steps = FullImage();
  BurnOption option;
  option.compareMode = 1;
  ASSERT_EQ(Run(option), kResultDone);
  EXPECT_TRUE(testenv::HasInOrder(MainLogText(), {"emmc start compare \r\n"}));
  EXPECT_TRUE(testenv::HasInOrder(DeviceLogText(kSlot), {"icon[3] : uboot hwstting start compare \r\n ",
                                                         "icon[3] :  MBR1 start compare \r\n "}));
  // Each piece is written in one exchange and read back right after it, in one or more.
  std::vector<size_t> firstRead;
  const std::vector<boardsim::Exchange> clean = Board().board().exchanges();
  for (size_t i = 0; i < clean.size(); ++i)
    if (clean[i].opcode == 0xF6 && clean[i - 1].opcode == 0xF4) firstRead.push_back(i);
  ASSERT_EQ(firstRead.size(), steps.size());

  for (size_t k = 0; k < steps.size(); ++k) {
    SCOPED_TRACE(steps[k].compareLabel);
    Board().board().clearExchanges();
    Board().SetFaults([&](boardsim::Faults& f) { f.failStatusExchange = static_cast<int>(firstRead[k]); });

    EXPECT_EQ(Run(option), 7);
    const std::vector<boardsim::Exchange> ex = Board().board().exchanges();
    ASSERT_EQ(ex.size(), firstRead[k] + 1) << "nothing is sent after the failed read";
    EXPECT_EQ(ex.back().opcode, 0xF6);
    EXPECT_EQ(ex.back().address, steps[k].sector);
    const std::string log = testenv::TakeErrorLogs(appDir);
    const std::string tail = steps[k].compareLabel + " data compare\r\nError - (CSW) Stat failed !\r\n";
    EXPECT_TRUE(log.size() >= tail.size() && log.compare(log.size() - tail.size(), tail.size(), tail) == 0) << log;
  }
}

TEST_F(EmmcSteps, BootChainEndsAtTheFirstMissingPiece) {
  SetEntry(FW_KERNEL, 0x100000, 0x200);  // sector 0x800: the firmware entries follow
  struct Case {
    const char* name;
    uint32_t sizes[kBootPieceCount];  // hw, boot, fsbl, tee, bl31, rsa fw, rsa tee
    bool onlyBootloader;
    std::vector<uint32_t> sectors;
  };
  const Case cases[] = {
      {"no hwsetting: no boot area at all", {0, 4096, 4096, 4096, 4096, 4096, 4096}, false, {0x800}},
      {"no hwsetting, only boot loader", {0, 4096, 4096, 4096, 4096, 4096, 4096}, true, {0x800}},
      {"1000-byte hwsetting takes two sectors, no FSBL", {1000, 600, 0, 512, 512, 512, 512}, false, {256, 258, 0x800}},
      {"no FSBL, only boot loader", {1000, 600, 0, 512, 512, 512, 512}, true, {256, 258}},
      {"no RSA keys, only boot loader", {512, 513, 1024, 100, 4096, 0, 0}, true, {256, 257, 259, 261, 262}},
      {"no RSA keys", {512, 513, 1024, 100, 4096, 0, 0}, false, {256, 257, 259, 261, 262, 0x800}},
      {"RSA TEE key without the firmware key", {512, 512, 512, 512, 512, 0, 512}, false, {256, 257, 258, 259, 260, 0x800}},
      {"all seven, only boot loader", {512, 512, 512, 512, 512, 512, 1}, true, {256, 257, 258, 259, 260, 261, 262}},
      {"all seven", {512, 512, 512, 512, 512, 512, 1}, false, {256, 257, 258, 259, 260, 261, 262, 0x800}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::vector<uint8_t>> data;
    for (int k = 0; k < kBootPieceCount; ++k) data.push_back(SetBoot(k, c.sizes[k]));
    Board().board().clearExchanges();
    SetDeviceLogText(kSlot, "");
    BurnOption option;
    option.onlyUpgradeBootloader = c.onlyBootloader;

    EXPECT_EQ(Run(option), kResultDone);
    EXPECT_EQ(WriteSectors(), c.sectors);
    // The boot pieces that went out are the first ones of the chain, in chain order.
    for (size_t k = 0; k < c.sectors.size() && c.sectors[k] != 0x800; ++k)
      EXPECT_EQ(FlashAt(c.sectors[k], c.sizes[k]), data[k]) << "piece " << k;
    const bool skipped = c.sizes[0] == 0;
    EXPECT_EQ(DeviceLogText(kSlot).find("uboot hwsetting length:=0 , start writing the fw kernel.\r\n") !=
                  std::string::npos,
              skipped);
    if (skipped) {
      EXPECT_NE(MainLogText().find("uboot hwsetting length:=0,start writing the fw kernel.\r\n"), std::string::npos);
    }
  }
}

TEST_F(EmmcSteps, SecureFirmwareUpgradeEndsAfterTheGoldEntries) {
  std::vector<Step> steps = FullImage();
  BurnOption option;
  option.onlyUpgradeSecureFirmware = 1;

  EXPECT_EQ(Run(option), kResultDone);
  while (steps.back().writeLabel != "emmc install FW_GOLD_AKERNEL ") steps.pop_back();
  EXPECT_EQ(WriteSectors(), Sectors(steps)) << "no partition, no MBR";
}

TEST_F(EmmcSteps, PartitionPiecesFollowEachOtherUntilTheNextPartition) {
  boardBytes = 512ull << 20;
  // A partition of 0x3000000 + 512 bytes at 0x10000000 comes in two pieces.
  const std::vector<uint8_t> first = AddPiece(" PART3", 0x10000000, 0x3000000);
  const std::vector<uint8_t> second = AddPiece(" PART3", 0x10000000, 512);
  const std::vector<uint8_t> next = AddPiece(" PART4", 0x14000000, 512);

  ASSERT_EQ(Run(), kResultDone);
  EXPECT_TRUE(testenv::HasInOrder(DeviceLogText(kSlot), {" PART3 icon[3] : start block : 524288" + kEnd,
                                                         " PART3 icon[3] : start block : 622592" + kEnd,
                                                         " PART4 icon[3] : start block : 655360" + kEnd}));
  EXPECT_EQ(FlashAt(0x80000, first.size()), first);
  EXPECT_EQ(FlashAt(0x98000, 512), second);
  EXPECT_EQ(FlashAt(0xA0000, 512), next);
}

TEST_F(EmmcSteps, CounterThatDoesNotDescribeItsPieceFailsWithoutSendingIt) {
  const std::vector<Step> steps = FullImage();
  auto indexOf = [&](const std::string& label) {
    for (size_t i = 0; i < steps.size(); ++i)
      if (steps[i].writeLabel == label) return i;
    ADD_FAILURE() << label;
    return size_t{0};
  };
  struct Case {
    const char* name;
    std::function<void(RemainingBytes&)> tweak;
    std::string label;  // the step that fails
  };
  const Case cases[] = {
      {"counter beyond the buffer", [](RemainingBytes& r) { r.entries[FW_KERNEL] += 4096; }, "emmc install FW_KERNEL "},
      {"counter short of the piece", [](RemainingBytes& r) { r.boot[kBootFsbl] = 100; }, "emmc install  fsbl"},
      {"no counters for the partition pieces", [](RemainingBytes& r) { r.partitions.clear(); }, "emmc install  PART0"},
      {"fewer MBR counters than images", [](RemainingBytes& r) { r.mbr.pop_back(); }, "emmc install  MBR1"},
      {"table counter beyond the table", [](RemainingBytes& r) { r.entries[FW_FWTBL] = 0x1000; }, "emmc install FW_FWTBL "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Board().board().clearExchanges();

    EXPECT_EQ(Run({}, c.tweak), 3);
    const size_t failed = indexOf(c.label);
    const std::vector<uint32_t> all = Sectors(steps);
    EXPECT_EQ(WriteSectors(), std::vector<uint32_t>(all.begin(), all.begin() + failed))
        << "the step's piece and everything after it stay unsent";
    const std::string log = testenv::TakeErrorLogs(appDir);
    EXPECT_NE(log.find(c.label + "\r\nError - Write device data size error !\r\n"), std::string::npos) << log;
  }
}

}  // namespace
}  // namespace station

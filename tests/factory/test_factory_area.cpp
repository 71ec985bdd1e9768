// A board's factory data written into its flash by the factory-area writer, against a
// simulated board, with the real archiver and key-bag tools: what lies in the storage area
// and the two factory copies is read back from the board's flash by the test itself (stamped
// heads, archive members, the key under the board's own key), on eMMC and NAND, for the key,
// blank and only-upgrade roads, and the failures that must leave no key on two boards.
#include "factory/factory_area.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <memory>

#include "factory/area_positions.h"
#include "factory/area_write.h"
#include "factory/factory_work_files.h"
#include "factory/key_and_efuse.h"
#include "foundation/image_buffers.h"
#include "foundation/log_boxes.h"
#include "foundation/result_messages.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "package/layout_file.h"
#include "package/package_loading.h"
#include "package/settings_files.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "support/area_check.h"
#include "support/factory_env.h"
#include "support/install_env.h"
#include "support/usb_sim.h"
#include "usblink/bbt_burn.h"

namespace station {
namespace {

namespace fs = std::filesystem;
using boardsim::FlashKind;

constexpr int kSlot = 2;
const std::array<uint8_t, 16> kBoardKey = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                                           0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

struct Road {
  bool burnFactory = true;
  bool seStorage = false;
  bool enKtee = false;
};

class FactoryArea : public ::testing::Test, public testenv::FactoryFixture {
 protected:
  static boardsim::BoardConfig Emmc() {
    boardsim::BoardConfig cfg;
    cfg.flash = FlashKind::Emmc;
    cfg.emmcBytes = 16ull << 20;
    cfg.requireDdrEnable = false;
    cfg.key = kBoardKey;
    return cfg;
  }
  static boardsim::BoardConfig Nand(uint32_t blockK = 128, uint32_t page = 2048) {
    boardsim::BoardConfig cfg;
    cfg.blockSizeK = blockK;
    cfg.pageSize = page;
    cfg.nandSizeM = 128;
    cfg.requireDdrEnable = false;
    cfg.key = kBoardKey;
    return cfg;
  }

  // The package unpacked for the board, a key bag, the board plugged in and described.
  void Prepare(const boardsim::BoardConfig& cfg, mkpackage::PackageOptions o = {}) {
    o.emmc = cfg.flash == FlashKind::Emmc;
    o.nandBlockBytes = uint64_t(cfg.blockSizeK) * 1024;
    pkg = BuildUnpacked(o);
    state().PackageSubdir = "/" + o.packageFolder;
    bag = MakeKeyBag(4, {"--first-mac", "001020304050"});
    ASSERT_FALSE(bag.empty());
    board = std::make_unique<testenv::SimBoard>(cfg);
    testenv::DescribeFlash(cfg);
    state().optionsDlg.SetText(kFlashTotalSizeEdit, "");
    info = testenv::FlashInfoOf(cfg, kSlot);
  }
  void TearDown() override {
    state().slots[kSlot].DeviceHandle = kInvalidHandle;
    FreeImageBuffers();  // a package a case loaded
  }
  static BurnOption Options(const Road& r) {
    BurnOption o;
    o.burnFactory = r.burnFactory;
    o.useSecureStorage = r.seStorage;
    return o;
  }
  ResultCode Write(const BurnOption& o, bool enKtee = false) {
    state().optionsDlg.SetChecked(option_id::kEnKtee, enKtee);
    DeviceSlot& dev = state().slots[kSlot];
    dev.DeviceHandle = board->handle();
    return WriteFactoryArea(kSlot, dev, info, o, bbt);
  }
  std::string Emmc(uint32_t sector, uint64_t length = kFactoryCopyMaxBytes) {
    return testenv::EmmcArea(board->board(), sector, length);
  }
  std::string Ini(const char* key) { return plat::GetProfileString("FACTORY", key, "?", UsbMpToolIniPath()); }
  size_t Writes() { return board->Exchanges(OpByte(VendorOpcode::WriteFlash)).size(); }
  bool KeyWaiting() { return fs::exists(workPaths().TempToolSigEncFile); }
  fs::path Into(const std::string& name) { return dir / "check" / name; }

  mkpackage::PackageInfo pkg;
  std::string bag;
  std::unique_ptr<testenv::SimBoard> board;
  FlashInfo info;
  NandBbt bbt;
};

// Copy 0 as the builder stamped it, copy 1 stamped again by the writer after copy 0: its
// head has flag 1 and copy 0's whole length, and it is copy 0 with that head and its copy.
void ExpectTwoCopies(const std::string& area0, const std::string& area1) {
  const std::string copy0 = testenv::StampedArchive(area0);
  const std::string copy1 = testenv::StampedArchive(area1);
  ASSERT_FALSE(copy0.empty());
  ASSERT_FALSE(copy1.empty());
  EXPECT_EQ(testenv::HeadOf(copy0).flag, 0u);
  EXPECT_EQ(copy0.size(), testenv::HeadOf(copy0).length + 1536u);
  EXPECT_EQ(testenv::HeadOf(copy1).flag, 1u);
  EXPECT_EQ(testenv::HeadOf(copy1).length, copy0.size());
  EXPECT_EQ(copy1.size(), copy0.size() + 512);
  EXPECT_EQ(copy1.substr(512, copy0.size() - 512), copy0.substr(512));
}

TEST_F(FactoryArea, EmmcKeyRoadWithStorageAndTheBoardsKey) {
  Prepare(Emmc());
  ASSERT_EQ(Write(Options({true, true}), true), kResultDone);

  // The storage area at sector 0x1100 holds the key under the board's own key.
  const std::string storage = testenv::StampedArchive(Emmc(0x1100, kStorageMaxBytes));
  ASSERT_FALSE(storage.empty());
  EXPECT_EQ(testenv::HeadOf(storage).flag, 0u);
  std::string boardKey;
  EXPECT_EQ(testenv::StoredSecureKey(storage, Into("storage"), &boardKey), BagRecord(bag, 0, "key"));
  EXPECT_EQ(boardKey, std::string(kBoardKey.begin(), kBoardKey.end()));

  // The copies behind it, without the key, with the bag's MAC and SN.
  const std::string area0 = Emmc(0x3100), area1 = Emmc(0x4100);
  ExpectTwoCopies(area0, area1);
  const std::string copy0 = testenv::StampedArchive(area0);
  const std::string env = testenv::ArchiveMember(copy0, Into("factory"), "tmp/factory/env.txt");
  EXPECT_NE(env.find(std::string("ethaddr=00:10:20:30:40:50") + '\0'), std::string::npos);
  EXPECT_EQ(testenv::ReadFile(Into("factory") / "tmp/factory/sn.txt"), BagRecord(bag, 0, "sn"));
  EXPECT_FALSE(fs::exists(Into("factory") / "tmp/factory/key_bag_final_sig_enc.bin"));

  EXPECT_EQ(Ini("KEY CONT"), "1");
  EXPECT_EQ(state().mainDlg.Text(kKeyCounterEdit), "1");
  EXPECT_EQ(SlotStorageText(kSlot), "");
  EXPECT_FALSE(KeyWaiting());
  EXPECT_FALSE(fs::exists(workPaths().TempToolDecFile)) << "the key's check decryption went with it";
  EXPECT_FALSE(KeySpent());
  EXPECT_FALSE(fs::exists(tempDir + "/factory_" + std::to_string(kSlot) + "_tmp.tar"));
}

// Where the copies go and what they carry, by road; blank mode leaves the key bag alone.
TEST_F(FactoryArea, EmmcRoads) {
  struct Case {
    const char* name;
    Road road;
    uint32_t copy0, copy1;
    bool carriesKey;
    const char* keysUsed;
  } cases[] = {{"key mode", {true, false}, 0x1100, 0x2100, true, "1"},
               {"blank mode", {false, false}, 0x1100, 0x2100, false, "0"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Prepare(Emmc());
    plat::WriteProfileString("FACTORY", "KEY CONT", "0", UsbMpToolIniPath());
    ASSERT_EQ(Write(Options(c.road)), kResultDone);
    const std::string area0 = Emmc(c.copy0), area1 = Emmc(c.copy1);
    ExpectTwoCopies(area0, area1);
    EXPECT_TRUE(Emmc(0x3100, 512) == std::string(512, '\xFF')) << "nothing written behind the copies";
    const std::string copy0 = testenv::StampedArchive(area0);
    const std::string key = testenv::ArchiveMember(copy0, Into(c.name), "tmp/factory/key_bag_final_sig_enc.bin");
    EXPECT_EQ(key, c.carriesKey ? BagRecord(bag, 0, "key") : "");
    EXPECT_EQ(testenv::ReadFile(Into(c.name) / "tmp/factory/layout.txt"),
              testenv::ReadFile(fs::path(pkg.treeDir) / "layout.txt"));
    EXPECT_EQ(Ini("KEY CONT"), c.keysUsed);
    board.reset();
  }
}

TEST_F(FactoryArea, SingleModeShowsItsProgress) {
  Prepare(Emmc());
  std::vector<std::string> labels;
  const int token = state().mainDlg.Subscribe([&](int id) {
    if (id == SlotPercentId(kSlot)) labels.push_back(state().mainDlg.Text(id));
  });
  BurnOption o = Options({true, false});
  o.singleMode = 1;
  state().mainDlg.SetText(SlotPercentId(kSlot), "");
  labels.clear();
  EXPECT_EQ(Write(o), kResultDone);
  state().mainDlg.Unsubscribe(token);
  EXPECT_EQ(labels, (std::vector<std::string>{"10", "30", "40", "40", "80", "100"}));
}

// Only upgrading the firmware: the board's own MAC, SN and key come back in the new copies,
// and no key is taken from the bag.
TEST_F(FactoryArea, OnlyUpgradeCarriesTheBoardsFactoryData) {
  Prepare(Emmc());
  ASSERT_EQ(Write(Options({true, false})), kResultDone);
  BurnOption upgrade;
  upgrade.onlyUpgradeFirmware = 1;
  // The new package's copies must replace the old: mark the old ones.
  board->board().WriteFlash(0x2100 * 512 + 4096, std::vector<uint8_t>(16, 0xAB));
  ASSERT_EQ(Write(upgrade), kResultDone);
  const std::string area0 = Emmc(0x1100), area1 = Emmc(0x2100);
  ExpectTwoCopies(area0, area1);
  const std::string copy0 = testenv::StampedArchive(area0);
  EXPECT_EQ(testenv::ArchiveMember(copy0, Into("up"), "tmp/factory/key_bag_final_sig_enc.bin"),
            BagRecord(bag, 0, "key"));
  EXPECT_EQ(testenv::ReadFile(Into("up") / "tmp/factory/sn.txt"), BagRecord(bag, 0, "sn"));
  const std::string env = testenv::ReadFile(Into("up") / "tmp/factory/env.txt");
  EXPECT_NE(env.find(std::string("ethaddr=00:10:20:30:40:50") + '\0'), std::string::npos);
  EXPECT_EQ(Ini("KEY CONT"), "1");
  EXPECT_FALSE(fs::exists(workPaths().TempToolTmpDir));
}

// A bad block inside copy 0's area: its part of the copy lands in the last block of the
// flash, the table says so, and both copies read back whole through it.
TEST_F(FactoryArea, NandCopiesAroundABadBlock) {
  boardsim::BoardConfig cfg = Nand();
  const uint32_t copy0Page = 4736, pagesPerBlock = 64;
  cfg.badBlocks = {copy0Page / pagesPerBlock};
  Prepare(cfg);
  ASSERT_EQ(Write(Options({true, false})), kResultDone);
  ASSERT_EQ(bbt.remapCount, 1);
  ASSERT_EQ(BurnBBT(kSlot, state().slots[kSlot], info, bbt.table.get(), bbt.remapCount, bbt.lastIndex), kResultDone);
  const auto remaps = testenv::BurntRemaps(board->board());
  ASSERT_EQ(remaps.size(), 1u);
  EXPECT_EQ(remaps[0].first, copy0Page / pagesPerBlock);
  EXPECT_EQ(remaps[0].second, 128u * 1024 / 128 - 1);
  const uint64_t page = cfg.pageSize;
  ExpectTwoCopies(testenv::NandArea(board->board(), copy0Page * page, kFactoryCopyMaxBytes, remaps),
                  testenv::NandArea(board->board(), 5760 * page, kFactoryCopyMaxBytes, remaps));
}

// A write that carried the key went out, then the step failed: the board may hold the key, so
// it is never handed to the next board, which gets the bag's next key.
TEST_F(FactoryArea, AKeyThatReachedABoardIsNotHandedOutAgain) {
  struct Case {
    const char* name;
    Road road;
    bool corrupt;  // the write's data arrives damaged (the compare fails), else the board refuses it
    ResultCode result;
  } cases[] = {{"storage write refused", {true, true}, false, 7},
               {"factory copy 0 differs", {true, false}, true, 21}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Prepare(Emmc());
    board->SetFaults([&](boardsim::Faults& f) { (c.corrupt ? f.corruptWriteExchange : f.failStatusExchange) = 0; });
    EXPECT_EQ(Write(Options(c.road)), c.result);
    EXPECT_FALSE(KeyWaiting());
    if (c.road.seStorage) {
      EXPECT_TRUE(Emmc(0x3100, 512) == std::string(512, '\xFF')) << "factory area untouched";
    }
    ASSERT_EQ(Write(Options(c.road)), kResultDone);
    const std::string area = c.road.seStorage ? Emmc(0x1100, kStorageMaxBytes) : Emmc(0x1100);
    const std::string archive = testenv::StampedArchive(area);
    const std::string key = c.road.seStorage
                                ? testenv::StoredSecureKey(archive, Into(c.name))
                                : testenv::ArchiveMember(archive, Into(c.name), "tmp/factory/key_bag_final_sig_enc.bin");
    EXPECT_EQ(key, BagRecord(bag, 1, "key"));
    EXPECT_EQ(Ini("KEY CONT"), "2");
    board.reset();
  }
}

// The station dies (SIGKILL) once a write that carries the key has gone out, before it hears
// back from the board and before any clean-up: the station started again never hands that
// key to another board. The next board gets the bag's next key, and the counters show both.
TEST_F(FactoryArea, AKeyThatReachedABoardIsSpentAlsoAfterACrash) {
  struct Case {
    const char* name;
    Road road;
  } cases[] = {{"in factory copy 0", {true, false}}, {"in the storage archive", {true, true}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Prepare(Emmc());
    const std::string sent = (dir / "sent").string();
    fs::remove(sent);
    const std::vector<std::string> args = {KILLED_FACTORY_JOB, appDir, tempDir, state().PackageSubdir,
                                           std::to_string(kSlot), c.road.seStorage ? "storage" : "factory", sent};
    const pid_t pid = plat::SpawnProcess(KILLED_FACTORY_JOB, args, "");
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(plat::WaitProcess(pid, -1, &status), plat::WaitOutcome::Exited);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
    ASSERT_TRUE(fs::exists(sent)) << "the write that carries the key went out";
    EXPECT_TRUE(KeyWaiting()) << "the dead station left its key behind";
    EXPECT_TRUE(KeySpent());
    EXPECT_EQ(Ini("KEY CONT"), "1");

    SetDeviceLogText(kSlot, "");
    ASSERT_EQ(Write(Options(c.road)), kResultDone);
    EXPECT_NE(DeviceLogText(kSlot).find("the secure key reached a board before the station stopped"),
              std::string::npos);
    const std::string key =
        c.road.seStorage
            ? testenv::StoredSecureKey(testenv::StampedArchive(Emmc(0x1100, kStorageMaxBytes)), Into(c.name))
            : testenv::ArchiveMember(testenv::StampedArchive(Emmc(0x1100)), Into(c.name),
                                     "tmp/factory/key_bag_final_sig_enc.bin");
    EXPECT_EQ(key, BagRecord(bag, 1, "key"));
    EXPECT_NE(key, BagRecord(bag, 0, "key"));
    EXPECT_EQ(Ini("KEY CONT"), "2");
    EXPECT_EQ(state().mainDlg.Text(kKeyCounterEdit), "2");
    EXPECT_FALSE(KeyWaiting());
    EXPECT_FALSE(KeySpent());
    board.reset();
  }
}

// Failures before any key reached the board: nothing is sent to the areas, and the key the
// bag handed out (if any) waits for the next board.
TEST_F(FactoryArea, RefusedBeforeAnythingIsSent) {
  Prepare(Emmc());
  // With "Nf write skip" the key command is not sent: no key came back, so none is used.
  state().optionsDlg.SetChecked(option_id::kNfWriteSkip, true);
  state().SlotKteeKey[kSlot].fill(0x5A);
  EXPECT_EQ(Write(Options({true, true}), true), 17);
  state().optionsDlg.SetChecked(option_id::kNfWriteSkip, false);
  EXPECT_EQ(Writes(), 0u);
  EXPECT_EQ(state().SlotKteeKey[kSlot], (std::array<uint8_t, 17>{}));
  EXPECT_NE(testenv::TakeErrorLogs(appDir).find("get storage.tar :GET_KTEE_KEY_FAIL"), std::string::npos);
  EXPECT_EQ(Ini("KEY CONT"), "?") << "no key taken";

  // A NAND geometry without a page size gives no position: nothing at all goes out.
  board.reset();
  Prepare(Nand());
  info.PageSize = 0;
  board->board().clearExchanges();
  EXPECT_EQ(Write(Options({true, false})), 17);
  EXPECT_TRUE(board->board().exchanges().empty());
  EXPECT_EQ(Ini("KEY CONT"), "?") << "no key taken";

  // The note that the key goes out cannot be made (a folder in its place): no key is sent.
  board.reset();
  Prepare(Emmc());
  FakeArchiver("mkdir -p key_spent\nexec " + stationFiles.archiver + " \"$@\"");
  EXPECT_EQ(Write(Options({true, false})), 18);
  EXPECT_EQ(Writes(), 0u);
  EXPECT_NE(testenv::TakeErrorLogs(appDir).find("the secure key could not be noted as spent"), std::string::npos);
}

// On NAS NAND with 256 KiB blocks factory copy 1 would start on the storage area: the
// areas are refused before anything is written, and the key waits for the next board.
TEST_F(FactoryArea, NasAreasThatWouldOverlapAreRefused) {
  Prepare(Nand(256, 4096));
  BurnOption o = Options({true, true});
  o.nasEnable = 1;
  EXPECT_EQ(Write(o), 17);
  EXPECT_EQ(Writes(), 0u);
  EXPECT_TRUE(KeyWaiting());
}

// The areas must stay clear of what the loaded package's installation occupies: an area over
// a boot copy, an entry or a partition ends with 17 before anything is sent (no key taken,
// nothing on the board), with a line that names both ranges; the usual geometries pass.
TEST_F(FactoryArea, AreasOverTheInstallationAreRefusedBeforeAnythingIsSent) {
  struct Case {
    const char* name;
    boardsim::BoardConfig cfg;
    Road road;
    uint64_t bootPieceBytes;  // each of the seven boot pieces
    uint64_t firstOffset;     // where the layout's entries start; 0: clear of the factory data
    const char* line;         // nullptr: the areas are clear and the write succeeds
  };
  const Case cases[] = {
      {"NAND 256K, storage in the boot area", Nand(256, 4096), {true, true}, 4096, 0,
       "storage area (blocks 28 - 43) overlaps the installation's boot area (blocks 6 - 33)"},
      {"NAND 512K, storage in the boot area", Nand(512, 4096), {true, true}, 4096, 0,
       "storage area (blocks 20 - 27) overlaps the installation's boot area (blocks 6 - 33)"},
      {"NAND 128K, blank copy 0 in a boot area of 3-block copies", Nand(), {false, false}, 300 * 1024, 0,
       "factory copy 0 (blocks 74 - 89) overlaps the installation's boot area (blocks 6 - 89)"},
      {"eMMC, copy 0 in a large boot area", Emmc(), {true, false}, 320 * 1024, 0,
       "factory copy 0 (sectors 4352 - 8447) overlaps the installation's boot area (sectors 256 - 4735)"},
      {"eMMC, the kernel in copy 1", Emmc(), {false, false}, 4096, 0x500000,
       "factory copy 1 (sectors 8448 - 12543) overlaps the installation's FW_KERNEL (sectors 10240 - "},
      {"NAND 128K with storage", Nand(), {true, true}, 4096, 0, nullptr},
      {"eMMC with storage (copy 0 replaces the table's first copy)", Emmc(), {true, true}, 4096, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    mkpackage::PackageOptions o;
    o.bootPieceSize = c.bootPieceBytes;
    o.firstOffset = c.firstOffset;
    Prepare(c.cfg, o);
    ChooseFlash(c.cfg.flash == FlashKind::Emmc ? "EMMC" : "NAND");
    ASSERT_EQ(ReadUntarTempFiles(), 1) << MainLogText();
    plat::WriteProfileString("FACTORY", "KEY CONT", "0", UsbMpToolIniPath());
    bbt = NandBbt{};

    const ResultCode result = Write(Options(c.road));
    FreeImageBuffers();  // the next case loads its own package

    if (!c.line) {
      EXPECT_EQ(result, kResultDone);
      board.reset();
      continue;
    }
    EXPECT_EQ(result, kFactoryError);
    EXPECT_TRUE(board->board().exchanges().empty());
    EXPECT_EQ(Ini("KEY CONT"), "0") << "no key taken";
    const std::string logs = testenv::TakeErrorLogs(appDir);
    EXPECT_NE(logs.find(c.line), std::string::npos) << logs;
    EXPECT_NE(logs.find("factory area over the installation"), std::string::npos);
    board.reset();
  }
}

}  // namespace
}  // namespace station

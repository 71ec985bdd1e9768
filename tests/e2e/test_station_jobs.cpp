// Twelve simulated eMMC boards plugged in one after the other, bound to slots by the device
// binder and programmed at once by auto burn from one loaded package, while the percentage
// display reads every slot: each board's flash is checked against a picture this test draws
// itself from the package's description, and its two blank factory copies for their stamps.
// Then the same twelve boards with factory data: each takes its own key of one key bag, stored
// in its storage area under the board's own key, and its MAC and SN in both factory copies;
// also when one board fails in the middle of its factory data. A board pulled out in the middle
// of its job and plugged in again.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "boardsim/board_sim.h"
#include "factory/key_and_efuse.h"
#include "factory/key_bag.h"
#include "foundation/log_boxes.h"
#include "foundation/result_messages.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "package/settings_files.h"
#include "package/type_lists.h"
#include "platform/profile.h"
#include "station/device_binding.h"
#include "station/slot_buttons.h"
#include "station/slot_jobs.h"
#include "support/area_check.h"
#include "support/emmc_picture.h"
#include "support/factory_env.h"
#include "support/install_env.h"
#include "support/usb_sim.h"
#include "usblink/flash_options.h"
#include "usblink/usb_wrappers.h"

namespace station {
namespace {

// The blank factory copies a normal job writes last, over what the installation put there.
constexpr uint64_t kCopyBytes = 0x200000;
constexpr uint32_t kBlankCopySector[] = {0x1100, 0x2100};

// With "burn se_storage" the storage area comes first and the factory copies move behind it.
constexpr uint64_t kStorageSector = 0x1100;
constexpr uint64_t kStorageBytes = 0x400000;
constexpr uint64_t kFactorySector[] = {0x3100, 0x4100};
// One key more than there are boards: a key handed out twice would still find one left.
constexpr int kBagKeys = kSlotCount + 1;

namespace fs = std::filesystem;

struct BagRecord {
  std::string key, mac, sn;
};

// "ethaddr=" takes the MAC with colons between its bytes.
std::string WithColons(const std::string& mac) {
  std::string out;
  for (size_t i = 0; i < mac.size(); i += 2) out += (i ? ":" : "") + mac.substr(i, 2);
  return out;
}

class StationJobs : public ::testing::Test, public testenv::InstallFixture {
 protected:
  static boardsim::BoardConfig Emmc() {
    boardsim::BoardConfig cfg;
    cfg.flash = boardsim::FlashKind::Emmc;
    cfg.emmcBytes = 128ull << 20;
    return cfg;
  }
  // Board n's own key: no other board's, no byte of it zero.
  static std::array<uint8_t, 16> BoardKey(int n) {
    std::array<uint8_t, 16> key;
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>((n + 1) * 16 + i);
    return key;
  }

  // A key bag of kBagKeys keys chosen with the key "open" button, which shows its counters on
  // the main dialog, and the options of factory data with the storage area under the boards'
  // own keys.
  void ChooseKeyBag() {
    bag = (dir / "keys.bin").string();
    ASSERT_TRUE(testenv::MakeKeyBagAt(stationFiles.toolDir, bag, kBagKeys));
    host->QueueFile(bag);
    gen_Key_header();
    ASSERT_EQ(s().mainDlg.Text(kKeyPathEdit), bag);
    ASSERT_EQ(s().mainDlg.Text(kKeyCounterEdit), "0");
    ASSERT_EQ(s().mainDlg.Text(kKeyMaximumEdit), std::to_string(kBagKeys));
    std::set<std::string> keys, macs, sns;
    for (int i = 0; i < kBagKeys; ++i) {
      const fs::path scratch = dir / "record";
      records.push_back({testenv::BagRecordAt(stationFiles.toolDir, bag, i, "key", scratch),
                         testenv::BagRecordAt(stationFiles.toolDir, bag, i, "mac", scratch),
                         testenv::BagRecordAt(stationFiles.toolDir, bag, i, "sn", scratch)});
      keys.insert(records.back().key);
      macs.insert(records.back().mac);
      sns.insert(records.back().sn);
    }
    ASSERT_EQ(keys.size() + macs.size() + sns.size(), 3u * kBagKeys) << "the bag's records differ in all three";
    for (int id : {option_id::kBurnFactory, option_id::kBurnSeStorage, option_id::kEnKtee})
      s().optionsDlg.SetChecked(id, true);
  }

  // Twelve boards, board n with key BoardKey(n), plugged one after the other and programmed by
  // auto burn from one package while the percentage display reads every slot; returns once
  // every slot's job ended. `beforePlug` sees each board before it is plugged in.
  void ProgramTwelveBoards(const std::function<void(int, boardsim::Board&)>& beforePlug = {}) {
    pkg = Load(testenv::RichEmmcPackage(), "EMMC");
    std::vector<uint64_t> starts;
    for (int slot = 0; slot < kSlotCount; ++slot) starts.push_back(SlotJobStarts(slot));
    s().mainDlg.SetText(kImagePathEdit, pkg.imagePath);
    testenv::DescribeFlash(Emmc());

    testenv::ScopedEnv deviceRoot("USB_DEVICE_ROOT", (dir / "devices").string());
    s().optionsDlg.SetText(kMaxUsbConnectionEdit, "12");
    s().optionsDlg.SetChecked(kAutoBurnCheck, true);
    DeviceBinder binder;
    ASSERT_EQ(binder.Start(), StartupBinding::NoDevices);
    {
      // The percentage display reads the slots' counters the whole time.
      std::jthread percentages([](std::stop_token st) {
        plat::RealClock real;
        while (!st.stop_requested()) {
          for (int slot = 0; slot < kSlotCount; ++slot) ShowProgressPercent(slot, 1);
          real.SleepMs(1, st);
        }
      });
      for (int n = 0; n < kSlotCount; ++n) {
        boardsim::BoardConfig cfg = Emmc();
        cfg.key = BoardKey(n);
        jobBoards.push_back(std::make_unique<boardsim::Board>(cfg));
        if (beforePlug) beforePlug(n, *jobBoards.back());
        ASSERT_FALSE(jobBoards.back()->Plug(testenv::BoardClassFolder(), "simboard-" + std::to_string(n + 1)).empty());
      }
      EXPECT_TRUE(testenv::Eventually([&] { return binder.Idle() && SlotJobStarts(kSlotCount - 1) > starts.back(); }));
      for (int slot = 0; slot < kSlotCount; ++slot)
        EXPECT_TRUE(testenv::Eventually([slot] { return !SlotJobRunning(slot); }, 300));
    }
    for (int slot = 0; slot < kSlotCount; ++slot) {
      SCOPED_TRACE(slot);
      ASSERT_EQ(SlotDevicePath(slot), jobBoards[slot]->path()) << "the boards take the slots in the order they came";
      EXPECT_EQ(SlotJobStarts(slot), starts[slot] + 1) << "one job per board, a failed one included";
      EXPECT_EQ(s().slots[slot].DeviceHandle, kInvalidHandle);
      EXPECT_EQ(s().slots[slot].Busy.load(), 0);
    }
    binder.Stop();
    StopAllSlotJobs();
    EXPECT_FALSE(s().MutexFactory.Held());
    EXPECT_FALSE(s().MutexGoDdr.Held());
    EXPECT_TRUE(s().mainDlg.Enabled(kFlashTypeList));
  }

  // The bag record whose key the storage area of board `slot` holds, stored under the board's
  // own key (ktee.bin); -1 when it holds none of the bag's keys.
  int StoredRecord(int slot) {
    const std::string storage =
        testenv::StampedArchive(testenv::EmmcArea(*jobBoards[slot], kStorageSector, kStorageBytes));
    EXPECT_FALSE(storage.empty()) << "no stamped storage archive";
    std::string boardKey;
    const std::string key = testenv::StoredSecureKey(storage, dir / "check" / ("storage" + std::to_string(slot)),
                                                     &boardKey);
    const std::array<uint8_t, 16> own = BoardKey(slot);
    EXPECT_EQ(boardKey, std::string(own.begin(), own.end())) << "ktee.bin is the board's own key";
    for (int i = 0; i < kBagKeys; ++i)
      if (key == records[i].key) return i;
    ADD_FAILURE() << "the storage area holds no key of the bag";
    return -1;
  }

  // Both factory copies of board `slot` stamped (copy 1 after copy 0's stamp), each with the
  // MAC and SN of `record`, the record of the key the board got.
  void ExpectFactoryCopies(int slot, const BagRecord& record) {
    for (int copy = 0; copy < 2; ++copy) {
      SCOPED_TRACE(copy);
      const std::string archive =
          testenv::StampedArchive(testenv::EmmcArea(*jobBoards[slot], kFactorySector[copy], kCopyBytes));
      ASSERT_FALSE(archive.empty()) << "no stamped factory copy";
      EXPECT_EQ(testenv::HeadOf(archive).flag, uint32_t(copy));
      const fs::path into = dir / "check" / ("factory" + std::to_string(slot) + "-" + std::to_string(copy));
      const std::string env = testenv::ArchiveMember(archive, into, "tmp/factory/env.txt");
      EXPECT_NE(env.find("ethaddr=" + WithColons(record.mac) + '\0'), std::string::npos);
      EXPECT_EQ(testenv::ReadFile(into / "tmp/factory/sn.txt"), record.sn);
    }
  }

  // Every key that went out is counted, in USBMPTOOL.ini and on the main dialog, and no work
  // file of a board stays behind for the next one.
  void ExpectKeysCountedAndWorkFilesGone() {
    const std::string used = std::to_string(kSlotCount);
    EXPECT_EQ(plat::GetProfileString("FACTORY", "KEY CONT", "?", UsbMpToolIniPath()), used);
    EXPECT_EQ(s().mainDlg.Text(kKeyCounterEdit), used);
    EXPECT_FALSE(fs::exists(workPaths().TempToolSigEncFile));
    std::vector<std::string> left;
    for (const auto& e : fs::recursive_directory_iterator(workPaths().TempDir)) {
      const std::string name = e.path().filename().string();
      const bool slotArchive = name.rfind("factory_", 0) == 0 || name.rfind("storage_", 0) == 0;
      if (slotArchive && name.size() > 8 && name.compare(name.size() - 8, 8, "_tmp.tar") == 0)
        left.push_back(e.path().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{});
  }

  // Programs the twelve boards with factory data, board `failing` (none when -1) failing in
  // its factory data, and reads back what each board got.
  void FactoryDataOnTwelveBoards(int failing) {
    ASSERT_NO_FATAL_FAILURE(ChooseKeyBag());
    ASSERT_NO_FATAL_FAILURE(ProgramTwelveBoards([&](int n, boardsim::Board& board) {
      if (n == failing) CorruptCopy0(board, corruptedAt);
    }));
    if (failing >= 0) {
      ASSERT_EQ(corruptedAt.load(), kFactorySector[0]) << "the fault hit copy 0's first write";
    }

    std::set<int> given;
    for (int slot = 0; slot < kSlotCount; ++slot) {
      SCOPED_TRACE(slot);
      const int record = StoredRecord(slot);
      EXPECT_TRUE(given.insert(record).second) << "record " << record << " went to two boards";
      if (slot == failing) {
        EXPECT_NE(s().SlotResult[slot].load(), kResultDone);
        const std::string copy1 = testenv::EmmcArea(*jobBoards[slot], kFactorySector[1], kCopyBytes);
        EXPECT_TRUE(testenv::StampedArchive(copy1).empty()) << "nothing written after the failed copy 0";
        continue;
      }
      EXPECT_EQ(s().SlotResult[slot].load(), kResultDone);
      if (record >= 0) ExpectFactoryCopies(slot, records[record]);
    }
    ExpectKeysCountedAndWorkFilesGone();
  }

  // Flips a byte of the board's first factory write, copy 0 at 0x3100: the board makes its key
  // (en ktee), the storage archive is written and read back, and the next write is copy 0.
  // The fault counts exchanges, so it is set again after each exchange of the read-back until
  // that write came; `corruptedAt` then tells where it went.
  static void CorruptCopy0(boardsim::Board& board, std::atomic<uint32_t>& corruptedAt) {
    auto phase = std::make_shared<int>(0);  // 0 before the key, 1 storage write, 2 armed, 3 done
    board.SetExchangeHook([&board, &corruptedAt, phase](const boardsim::Exchange& ex) {
      if (*phase == 0 && ex.opcode == OpByte(VendorOpcode::GenKey)) *phase = 1;
      if (*phase == 1 && ex.opcode == OpByte(VendorOpcode::ReadFlash)) *phase = 2;
      if (*phase == 2 && ex.opcode == OpByte(VendorOpcode::WriteFlash)) {
        corruptedAt = ex.address;
        *phase = 3;
      }
      if (*phase != 2) return;
      std::lock_guard g(board.lock());
      board.faults().corruptWriteExchange = 0;
    });
  }

  mkpackage::PackageInfo pkg;
  std::string bag;
  std::vector<BagRecord> records;
  std::atomic<uint32_t> corruptedAt{0};  // where the fault of CorruptCopy0 went
  std::vector<std::unique_ptr<boardsim::Board>> jobBoards;
};

TEST_F(StationJobs, TwelveBoardsAtOnceFromOnePackage) {
  ASSERT_NO_FATAL_FAILURE(ProgramTwelveBoards());
  const std::vector<uint8_t> picture = testenv::DrawInstallation(pkg, Emmc().emmcBytes);
  for (int slot = 0; slot < kSlotCount; ++slot) {
    SCOPED_TRACE(slot);
    EXPECT_EQ(s().SlotResult[slot].load(), kResultDone);
    std::vector<uint8_t> flash = jobBoards[slot]->Flash(0, picture.size());
    for (uint32_t sector : kBlankCopySector) {
      const uint64_t at = uint64_t(sector) * 512;
      const std::vector<uint8_t> copy = jobBoards[slot]->Flash(at, kCopyBytes);
      EXPECT_FALSE(testenv::StampedArchive(std::string(copy.begin(), copy.end())).empty());
      std::copy(picture.begin() + at, picture.begin() + at + kCopyBytes, flash.begin() + at);
    }
    EXPECT_EQ(testenv::Differences(flash, picture), std::vector<uint64_t>{});
  }
}

// Each board gets one record of the bag, its key in the storage area under the board's own key
// and the record's MAC and SN in both factory copies; no record goes to two boards.
TEST_F(StationJobs, TwelveBoardsGetTheirOwnFactoryData) { FactoryDataOnTwelveBoards(-1); }

// Board 5's copy 0 reads back wrong after its storage area got a key: its slot fails, its key
// stays spent (no other board gets it, the counter counts it) and the other eleven are whole.
TEST_F(StationJobs, ABoardFailingInItsFactoryDataKeepsItsKey) { FactoryDataOnTwelveBoards(5); }

// A board pulled out while its job pauses under the factory stage's lock, as the device watcher
// and the binder see it: the job fails with its square and error log and lets the lock go
// before the binder frees the slot. Plugged in again, the board is programmed anew by auto burn,
// its hardware setting included, and ends done with one history line.
TEST_F(StationJobs, ABoardPulledOutInItsFactoryStageIsProgrammedAnewWhenItComesBack) {
  pkg = Load(testenv::RichEmmcPackage(), "EMMC");
  s().mainDlg.SetText(kImagePathEdit, pkg.imagePath);
  testenv::DescribeFlash(Emmc());
  testenv::ScopedEnv deviceRoot("USB_DEVICE_ROOT", (dir / "devices").string());
  s().optionsDlg.SetText(kMaxUsbConnectionEdit, "12");
  s().optionsDlg.SetChecked(kAutoBurnCheck, true);
  const uint64_t starts = SlotJobStarts(0);

  boardsim::Board board(Emmc());
  std::promise<void> pull;
  // In the factory stage's pause the job has the test pull the board out, and waits (at most a
  // minute of real time) until the binder has told it that the board has gone.
  testenv::HookedClock<plat::FastClock> hooked(1000, [&] {
    pull.set_value();
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock l(m);
    cv.wait_for(l, plat::CurrentWaitToken(), std::chrono::minutes(1), [] { return false; });
  });
  testenv::ScopedClock scoped(hooked, clock.get());
  DeviceBinder binder;
  ASSERT_EQ(binder.Start(), StartupBinding::NoDevices);
  const std::string path = board.Plug(testenv::BoardClassFolder(), "simboard-1");
  ASSERT_FALSE(path.empty());

  pull.get_future().wait();
  board.Unplug();
  ASSERT_TRUE(testenv::Eventually([&] { return binder.Idle() && SlotDevicePath(0).empty(); }, 300));
  EXPECT_FALSE(SlotJobRunning(0)) << "the job ended before the slot was freed";
  EXPECT_EQ(s().SlotResult[0].load(), kResultCbwWrite);
  EXPECT_NE(testenv::TakeErrorLogs(appDir).find(ResultMessage(kResultCbwWrite)), std::string::npos);
  EXPECT_FALSE(s().MutexFactory.Held());
  EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(0)), kPictureIdle);
  EXPECT_EQ(s().HwsettingPending[0].load(), 1);

  ASSERT_EQ(board.Plug(testenv::BoardClassFolder(), "simboard-1"), path);
  ASSERT_TRUE(testenv::Eventually(
      [&] { return binder.Idle() && SlotJobStarts(0) == starts + 2 && !SlotJobRunning(0); }, 300));
  EXPECT_EQ(s().SlotResult[0].load(), kResultDone) << testenv::TakeErrorLogs(appDir);
  EXPECT_TRUE(board.hwsettingDone());
  EXPECT_EQ(s().mainDlg.Picture(SlotButtonId(0)), kPictureConnected);
  std::string history;
  for (const auto& e : fs::directory_iterator(fs::path(appDir) / "log" / "history_log"))
    history += testenv::ReadFile(e.path());
  EXPECT_EQ(testenv::CountOf(history, "\r\n"), 1) << history;
  binder.Stop();
  StopAllSlotJobs();
}

}  // namespace
}  // namespace station

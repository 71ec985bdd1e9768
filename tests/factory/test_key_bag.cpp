// The key bag and the key counters: the key thread behind the key "open" button with the real
// viewer and with viewers that fail in each way, its writes under MY_MUTEX_FACTORY, and the
// key step of the archive builders.
#include "factory/key_bag.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <thread>

#include "factory/external_tools.h"
#include "factory/key_and_efuse.h"
#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "package/settings_files.h"
#include "platform/profile.h"
#include "support/factory_env.h"

namespace station {
namespace {

namespace fs = std::filesystem;

struct Keys {
  std::string path, counter, maximum;
  bool operator==(const Keys&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Keys& k) {
  return o << "[" << k.path << "|" << k.counter << "|" << k.maximum << "]";
}

class KeyBag : public ::testing::Test, public testenv::FactoryFixture {
 protected:
  Keys Fields() {
    const ui::Dialog& m = state().mainDlg;
    return {m.Text(kKeyPathEdit), m.Text(kKeyCounterEdit), m.Text(kKeyMaximumEdit)};
  }
  Keys Ini() {
    const std::string ini = UsbMpToolIniPath();
    return {plat::GetProfileString("FACTORY", "KEY PATH", "?", ini), plat::GetProfileString("FACTORY", "KEY CONT", "?", ini),
            plat::GetProfileString("FACTORY", "KEY MAX", "?", ini)};
  }
  void SetKeys(const Keys& k) {
    state().mainDlg.SetText(kKeyPathEdit, k.path);
    state().mainDlg.SetText(kKeyCounterEdit, k.counter);
    state().mainDlg.SetText(kKeyMaximumEdit, k.maximum);
    const std::string ini = UsbMpToolIniPath();
    plat::WriteProfileString("FACTORY", "KEY PATH", k.path, ini);
    plat::WriteProfileString("FACTORY", "KEY CONT", k.counter, ini);
    plat::WriteProfileString("FACTORY", "KEY MAX", k.maximum, ini);
  }
  // A viewer of our own in place of the real one.
  void FakeViewer(const std::string& body) {
    const std::string viewer = KeyBagViewerExe();
    fs::remove(viewer);
    testenv::WriteFile(viewer, "#!/bin/sh\n" + body + "\n");
    fs::permissions(viewer, fs::perms::owner_all);
  }
  std::vector<std::string> Boxes() {
    std::vector<std::string> texts;
    for (const auto& p : host->Prompts()) texts.push_back(p.caption + ": " + p.text);
    return texts;
  }
  const WorkPaths& p = workPaths();
};

TEST_F(KeyBag, ChosenBagShowsItsCounters) {
  const std::string bag = MakeKeyBag(5, {"--used", "2"});
  SetKeys({"an older bag", "9", "9"});
  host->QueueFile(bag);
  EXPECT_EQ(gen_Key_header(), 0);
  EXPECT_EQ(Fields(), (Keys{bag, "2", "5"}));
  EXPECT_EQ(Ini(), (Keys{bag, "2", "5"}));
  EXPECT_FALSE(fs::exists(KeyIndexFile()));
  EXPECT_TRUE(host->Prompts().empty());
  ASSERT_EQ(host->FileDialogs().size(), 1u);
  const ui::FileDialogSpec spec = host->FileDialogs()[0];
  EXPECT_EQ(spec.title, "binary file");
  EXPECT_EQ(spec.initialName, "key binary");
  EXPECT_EQ(spec.defaultExt, "bin");
  EXPECT_EQ(spec.filter, "key binary (*.bin)|*.bin||");
  EXPECT_TRUE(spec.mustExist);

  // Cancelling the dialog leaves no bag chosen.
  host->QueueFile(std::nullopt);
  gen_Key_header();
  EXPECT_EQ(Fields(), (Keys{}));
  EXPECT_EQ(Ini(), (Keys{}));
}

TEST_F(KeyBag, ViewersThatGiveNoReading) {
  const Keys none{};
  const std::string kUsedUp = "WARNING: has been unable to use! , please replace the next set of security keys!";
  const std::string kNoReading = "WARNING: get key bag key idx fail!";
  struct Case {
    const char* name;
    std::string viewer;
    Keys after;
    std::vector<std::string> boxes;
  } cases[] = {
      {"counter at the maximum", "printf '100\\n100\\n' > keytemp/nowidx.txt", {"", "100", "100"}, {}},
      {"counter past the maximum", "printf '101\\n100\\n' > keytemp/nowidx.txt", none, {kUsedUp}},
      {"one line only", "printf '7\\n' > keytemp/nowidx.txt", none, {kUsedUp}},
      {"placeholders", "printf 'ed_counter\\ned_max\\n' > keytemp/nowidx.txt", none, {}},
      {"no file", "exit 0", none, {kNoReading}},
      {"a reading but a failed run", "printf '1\\n5\\n' > keytemp/nowidx.txt; exit 3", none, {kNoReading}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host->Clear();
    SetDeviceLogText(0, "");
    FakeViewer(c.viewer);
    // A reading an earlier run left behind never counts.
    testenv::WriteFile(KeyIndexFile(), "1\n5\n");
    const std::string bag = (dir / "bag.bin").string();
    host->QueueFile(bag);
    gen_Key_header();
    Keys want = c.after;
    if (!want.counter.empty()) want.path = bag;
    EXPECT_EQ(Fields(), want);
    EXPECT_EQ(Ini(), want);
    EXPECT_EQ(Boxes(), c.boxes);
    if (std::string(c.name) == "placeholders") {
      for (int t = 0; t < 4; ++t)
        EXPECT_NE(DeviceLogText(0).find("gen nowidx.txt fail!!! retry count : " + std::to_string(t)), std::string::npos);
    }
  }
}

TEST_F(KeyBag, HungViewerIsEndedEachTry) {
  FakeViewer("touch started; exec sleep 600");
  testenv::UntilStartedClock hang(stationFiles.toolDir + "/started");
  plat::SetClock(&hang);
  host->QueueFile((dir / "bag.bin").string());
  gen_Key_header();
  plat::SetClock(&clock.get());
  const std::string timeout = "ERROR: Decompress_Keybag_Count : wait timeout !";
  EXPECT_EQ(Boxes(), (std::vector<std::string>{timeout, timeout, timeout, timeout, "WARNING: get key bag key idx fail!"}));
  EXPECT_EQ(Fields(), (Keys{}));
}

// While a slot's factory-data step holds MY_MUTEX_FACTORY the key thread neither writes the
// counters nor runs the viewer; stopped meanwhile, it leaves everything as it was.
TEST_F(KeyBag, KeyThreadWaitsForTheFactoryStep) {
  FakeViewer("touch viewer-ran; printf '1\\n5\\n' > keytemp/nowidx.txt");
  SetKeys({"the bag in use", "3", "5"});
  std::promise<void> held, release;
  std::jthread slot([&] {
    plat::NamedMutexLock lock(state().MutexFactory);
    held.set_value();
    release.get_future().wait();
  });
  held.get_future().wait();
  std::stop_source stop;
  stop.request_stop();
  host->QueueFile((dir / "bag.bin").string());
  EXPECT_EQ(gen_Key_header(stop.get_token()), 0);
  {
    plat::ScopedStopToken stopped(stop.get_token());
    EXPECT_FALSE(Decompress_Keybag_Count());
  }
  release.set_value();
  slot.join();
  EXPECT_EQ(Fields(), (Keys{"the bag in use", "3", "5"}));
  EXPECT_EQ(Ini(), (Keys{"the bag in use", "3", "5"}));
  EXPECT_FALSE(fs::exists(stationFiles.toolDir + "/viewer-ran"));

  // Once the mutex is free the same thread goes through.
  host->QueueFile((dir / "bag.bin").string());
  std::jthread keys([](std::stop_token t) { gen_Key_header(t); });
  keys.join();
  EXPECT_EQ(Fields(), (Keys{(dir / "bag.bin").string(), "1", "5"}));
}

TEST(KeyBagLines, FirstTwoLines) {
  testenv::ScratchDir dir;
  struct Case {
    std::string text, one, two;
  } cases[] = {{"1\n5\n", "1", "5"}, {"1\r\n5\r\nmore\n", "1", "5"}, {"7", "7", ""}, {"", "", ""}};
  for (const Case& c : cases) {
    testenv::WriteFile(dir / "f.txt", c.text);
    std::string one = "x", two = "x";
    EXPECT_TRUE(ReadTextFileLines((dir / "f.txt").string(), one, two));
    EXPECT_EQ(one, c.one);
    EXPECT_EQ(two, c.two);
  }
  std::string one, two;
  EXPECT_FALSE(ReadTextFileLines((dir / "none.txt").string(), one, two));
}

class KeyStepTest : public KeyBag {
 protected:
  void SetUp() override {
    fs::create_directories(workDir);
    bag = MakeKeyBag(3);
  }
  std::string bag;
};

TEST_F(KeyStepTest, NextKeyOfTheBagIntoTheWorkFolder) {
  EXPECT_EQ(PrepareSingleSecureKey(1, KeyStep::Factory), "");
  EXPECT_EQ(testenv::ReadFile(p.TempToolSigEncFile), BagRecord(bag, 0, "key"));
  EXPECT_EQ(testenv::ReadFile(p.TempToolEnvFile), BagRecord(bag, 0, "mac"));
  EXPECT_EQ(testenv::ReadFile(p.TempToolSnFile), BagRecord(bag, 0, "sn"));
  EXPECT_FALSE(fs::exists(p.KeyTempSigEncFile));
  EXPECT_EQ(Ini().counter, "1");
  EXPECT_EQ(Ini().maximum, "3");

  // The key in the work folder is used again, and the bag is not asked for another.
  EXPECT_EQ(PrepareSingleSecureKey(1, KeyStep::Storage), "");
  EXPECT_EQ(testenv::ReadFile(p.TempToolSigEncFile), BagRecord(bag, 0, "key"));
  EXPECT_NE(DeviceLogText(1).find("because pc temp file  exist single enc key so not gen new key \r\n"), std::string::npos);
  ASSERT_TRUE(RunKeyBagViewer().Succeeded());
  EXPECT_EQ(testenv::ReadFile(KeyIndexFile()), "1\n3\n");
}

TEST_F(KeyStepTest, KeyWaitingInTheKeyFolderIsTakenFirst) {
  testenv::WriteFile(p.KeyTempSigEncFile, "waiting key");
  testenv::WriteFile(p.KeyTempIdxFile, "2\n3\n");
  EXPECT_EQ(PrepareSingleSecureKey(1, KeyStep::Factory), "");
  EXPECT_EQ(testenv::ReadFile(p.TempToolSigEncFile), "waiting key");
  EXPECT_EQ(Ini().counter, "2");
  ASSERT_TRUE(RunKeyBagViewer().Succeeded());
  EXPECT_EQ(testenv::ReadFile(KeyIndexFile()), "0\n3\n") << "no key was taken from the bag";
}

TEST_F(KeyStepTest, Failures) {
  struct Case {
    const char* name;
    std::function<void()> set;
    KeyStep step;
    std::string tag;
    const char* logged;
  } cases[] = {
      {"an empty bag", [&] { MakeKeyBag(1, {"--used", "1"}); }, KeyStep::Factory, "CALL_PROCESS_GEN_SINGLE_KEY_FAIL", ""},
      {"a generator that leaves no key",
       [&] {
         fs::remove(p.KeyBagGeneratorExe);
         testenv::WriteFile(p.KeyBagGeneratorExe, "#!/bin/sh\nexit 0\n");
         fs::permissions(p.KeyBagGeneratorExe, fs::perms::owner_all);
       },
       KeyStep::Factory, "GEN_SINGLE_KEY_FAIL", ""},
      {"a waiting key without counters, factory", [&] { testenv::WriteFile(p.KeyTempSigEncFile, "k"); },
       KeyStep::Factory, "MOVE_SECURE_KEY_TO_PC_TEMP_FAIL", "move raw secure key to pc temp failed\r\n"},
      {"a waiting key without counters, storage", [&] { testenv::WriteFile(p.KeyTempSigEncFile, "k"); },
       KeyStep::Storage, "MOVE_FILE_FAIL", "move raw secure key to pc temp failr\n"},
      {"no settings file",
       [&] {
         testenv::WriteFile(p.TempToolSigEncFile, "k");
         fs::remove(UsbMpToolIniPath());
       },
       KeyStep::Factory, "READ_KEY_IDX_FAIL", "read idx.txt data , write to ini  failed\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetDeviceLogText(1, "");
    c.set();
    EXPECT_EQ(PrepareSingleSecureKey(1, c.step), c.tag);
    EXPECT_NE(DeviceLogText(1).find(c.logged), std::string::npos) << DeviceLogText(1);
    fs::remove(p.KeyTempSigEncFile);
    fs::remove(p.TempToolSigEncFile);
  }
}

}  // namespace
}  // namespace station

// The storage archive of a board with "burn se_storage": the key as handed out or encrypted
// under the board's own key, a key that CBC cannot take whole, the archiver finishing late,
// hanging and failing, and the whole se_storage road with its factory archive.
#include "factory/storage_archive.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <filesystem>

#include "factory/factory_archive.h"
#include "foundation/aes128.h"
#include "foundation/log_boxes.h"
#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "package/layout_file.h"
#include "package/settings_files.h"
#include "platform/profile.h"
#include "support/factory_env.h"

namespace station {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;
constexpr int kSlot = 9;
const uint8_t kBoardKey[kBoardKeySize] = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                                          0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};

class StorageArchive : public ::testing::Test, public testenv::FactoryFixture {
 protected:
  void SetUp() override {
    bag = MakeKeyBag(2, {"--first-mac", "0A0B0C0D0E0F"});
    ASSERT_FALSE(bag.empty());
  }
  static BurnOption Options() {
    BurnOption o;
    o.burnFactory = 1;
    o.useSecureStorage = 1;
    return o;
  }
  StatusTag Build(const uint8_t* key) { return Gen_storage_tar_file(kSlot, StorageTexts(), Options(), key); }
  Names Unpacked(const std::string& archive) { return testenv::UnpackedMembers(archive, dir / "unpacked"); }
  std::string Member(const std::string& name) { return testenv::ReadFile(dir / "unpacked" / "tmp/se_storage" / name); }
  std::string Archive() { return tempDir + "/" + StorageArchiveName(kSlot); }
  std::string bag;
  const WorkPaths& p = workPaths();
};

TEST_F(StorageArchive, KeyAsHandedOut) {
  const StatusTag tag = Build(nullptr);
  ASSERT_TRUE(tag.Built()) << tag.text;
  EXPECT_EQ(tag.text, Archive());
  EXPECT_EQ(Unpacked(tag.text), (Names{"tmp/", "tmp/se_storage/", "tmp/se_storage/key_bag_final_sig_enc.bin"}));
  EXPECT_EQ(Member("key_bag_final_sig_enc.bin"), BagRecord(bag, 0, "key"));
  EXPECT_EQ(SlotStorageText(kSlot), StorageArchiveName(kSlot));
  EXPECT_EQ(testenv::ReadFile(tag.text).substr(508, 3), "MVX");
}

// The key under the board's key: decrypting it with the ktee.bin of the archive and a zero IV
// gives the handed-out key back, the same as the check copy.
TEST_F(StorageArchive, KeyEncryptedUnderTheBoardsKey) {
  const StatusTag tag = Build(kBoardKey);
  ASSERT_TRUE(tag.Built()) << tag.text;
  EXPECT_EQ(Unpacked(tag.text), (Names{"tmp/", "tmp/se_storage/", "tmp/se_storage/key_bag_final_sig_enc.bin",
                                       "tmp/se_storage/ktee.bin"}));
  const std::string ktee = Member("ktee.bin");
  ASSERT_EQ(ktee.size(), kBoardKeySize);
  EXPECT_EQ(ktee, std::string(reinterpret_cast<const char*>(kBoardKey), kBoardKeySize));
  const std::string cipher = Member("key_bag_final_sig_enc.bin");
  const std::string plain = BagRecord(bag, 0, "key");
  ASSERT_EQ(cipher.size(), plain.size());
  EXPECT_NE(cipher, plain);
  std::string back(cipher.size(), '\0');
  const uint8_t iv[16] = {};
  Aes128CbcDecrypt(reinterpret_cast<uint8_t*>(back.data()), reinterpret_cast<const uint8_t*>(cipher.data()),
                   cipher.size(), reinterpret_cast<const uint8_t*>(ktee.data()), iv);
  EXPECT_EQ(back, plain);
  EXPECT_EQ(testenv::ReadFile(workDir + "/dec.bin"), plain);
}

// Every file that holds the key, or the board's key, is its owner's alone from the start,
// also under a umask that takes nothing away: the key files of the work and storage folders,
// the plain-text check copy and the archive in TempDir.
TEST_F(StorageArchive, KeyFilesAndArchiveArePrivate) {
  testenv::ScopedUmask open(0);
  struct Case {
    const char* name;
    const uint8_t* key;
    std::vector<std::string> files;
  } cases[] = {
      {"as handed out", nullptr, {p.TempToolSigEncFile, p.SeStorageSigEncFile}},
      {"under the board's key", kBoardKey,
       {p.TempToolSigEncFile, p.SeStorageSigEncFile, p.SeStorageKteeFile, p.TempToolDecFile}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const StatusTag tag = Build(c.key);
    ASSERT_TRUE(tag.Built()) << tag.text;
    EXPECT_EQ(testenv::ModeOf(tag.text), 0600);
    for (const std::string& f : c.files) EXPECT_EQ(testenv::ModeOf(f), 0600) << f;
    testenv::WriteFile(p.SeStorageSigEncFile, "an earlier board's");
    fs::permissions(p.SeStorageSigEncFile, fs::perms::all);
  }
}

// CBC takes whole blocks only: a key file cut elsewhere is refused, not written short.
TEST_F(StorageArchive, KeyThatIsNoWholeNumberOfBlocks) {
  bag = MakeKeyBag(2, {"--key-bytes", "20"});
  const StatusTag tag = Build(kBoardKey);
  EXPECT_TRUE(tag.Failed());
  EXPECT_EQ(tag.text, "CBC_ENCRYPTION_KEY_FAIL");
  EXPECT_FALSE(fs::exists(Archive()));
  EXPECT_FALSE(fs::exists(p.SeStorageSigEncFile));
  // Handed out as it is, the same key needs no blocks.
  EXPECT_TRUE(Build(nullptr).Built());
  EXPECT_EQ(testenv::ReadFile(p.SeStorageSigEncFile).size(), 20u);
}

// The archiver is waited for: one that takes its time gives a whole archive, stamped once.
TEST_F(StorageArchive, ArchiverFinishingLate) {
  FakeArchiver("sleep 1\nexec " + stationFiles.archiver + " \"$@\"");
  const StatusTag tag = Build(nullptr);
  ASSERT_TRUE(tag.Built()) << tag.text;
  EXPECT_EQ(Unpacked(tag.text), (Names{"tmp/", "tmp/se_storage/", "tmp/se_storage/key_bag_final_sig_enc.bin"}));
  const std::string archive = testenv::ReadFile(tag.text);
  uint32_t size = 0;
  for (int i = 3; i >= 0; --i) size = size << 8 | static_cast<uint8_t>(archive[504 + i]);
  EXPECT_EQ(archive.size(), size + 512 + 1024u);
  EXPECT_EQ(size % 10240, 0u) << "the archive as tar finished it";
}

TEST_F(StorageArchive, ArchiverHangingOrFailing) {
  FakeArchiver("echo $$ > started.tmp; mv started.tmp started; exec sleep 600");
  // A key already handed out: the archiver is the only tool that runs on the hanging clock.
  testenv::WriteFile(p.TempToolSigEncFile, std::string(32, 'k'));
  testenv::WriteFile(p.TempToolIdxFile, "1\n2\n");
  testenv::UntilStartedClock hang(workDir + "/started");
  plat::SetClock(&hang);
  const StatusTag hung = Build(nullptr);
  plat::SetClock(&clock.get());
  EXPECT_TRUE(hung.Failed());
  EXPECT_EQ(hung.text, "CALL_PROCESS_FAIL_GEN_STORAGE_COMMAND");
  EXPECT_FALSE(fs::exists(Archive()));
  const pid_t pid = std::stoi(testenv::ReadFile(workDir + "/started"));
  EXPECT_TRUE(::kill(pid, 0) != 0 && errno == ESRCH);

  FakeArchiver("exit 2");
  const StatusTag failed = Build(nullptr);
  EXPECT_EQ(failed.text, "CALL_PROCESS_FAIL_GEN_STORAGE_COMMAND");
  EXPECT_FALSE(fs::exists(Archive()));
}

TEST_F(StorageArchive, OldKeyFilesThatWillNotGo) {
  fs::create_directories(workDir);
  fs::permissions(workDir, fs::perms::owner_all);
  testenv::WriteFile(p.SeStorageKteeFile + "/stuck", "a folder where the file goes");
  const StatusTag tag = Build(kBoardKey);
  EXPECT_EQ(tag.text, "DELETE_FILE_FAIL");
  EXPECT_FALSE(fs::exists(Archive()));
}

// "burn se_storage": the storage archive first, then the factory archive of the same board in
// the same step; both are built, one key is taken, and only the storage archive holds it.
TEST_F(StorageArchive, SeStorageRoadSucceeds) {
  BuildUnpacked({});
  state().optionsDlg.SetText(kFlashTotalSizeEdit, "");
  const StatusTag storage = Build(kBoardKey);
  ASSERT_TRUE(storage.Built()) << storage.text;
  const StatusTag factory = Gen_factory_tar_file(kSlot, MacTexts(), SnTexts(), Options(), nullptr);
  ASSERT_TRUE(factory.Built()) << factory.text;
  EXPECT_EQ(testenv::UnpackedMembers(factory.text, dir / "factory"),
            (Names{"tmp/", "tmp/factory/", "tmp/factory/000BootParam.h", "tmp/factory/env.txt",
                   "tmp/factory/layout.txt", "tmp/factory/sn.txt"}));
  EXPECT_EQ(SlotMacText(kSlot), "0A:0B:0C:0D:0E:0F");
  EXPECT_EQ(SlotStorageText(kSlot), StorageArchiveName(kSlot));
  EXPECT_EQ(plat::GetProfileString("FACTORY", "KEY CONT", "?", UsbMpToolIniPath()), "1");
}

}  // namespace
}  // namespace station

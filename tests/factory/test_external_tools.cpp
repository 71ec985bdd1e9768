// The archiver and the key-bag tools as the factory data runs them: the archiver's exact
// words, its ustar archives, its status; an archiver that fails or hangs; the generator and
// the viewer from the tool folder.
#include "factory/external_tools.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <filesystem>

#include "factory/work_folder.h"
#include "foundation/log_boxes.h"
#include "foundation/work_paths.h"
#include "support/factory_env.h"

namespace station {
namespace {

namespace fs = std::filesystem;
constexpr int kSlot = 3;

class ExternalTools : public ::testing::Test, public testenv::FactoryFixture {};

TEST_F(ExternalTools, ArchiverGetsTheExactWordsInTheWorkFolder) {
  FakeArchiver("for a in \"$@\"; do echo \"[$a]\"; done > args.txt; echo \"$TAR_OPTIONS\" >> args.txt; pwd >> args.txt");
  EXPECT_TRUE(RunTarArchiver(" cvf  ./factory_3_tmp.tar  tmp/factory", kSlot));
  EXPECT_EQ(testenv::ReadFile(workDir + "/args.txt"),
            "[cvf]\n[./factory_3_tmp.tar]\n[tmp/factory]\n--format=ustar\n" + workDir + "\n");
  EXPECT_EQ(std::getenv("TAR_OPTIONS"), nullptr) << "the option is the child's only";
}

TEST_F(ExternalTools, ArchiverWritesUstarArchives) {
  ASSERT_TRUE(PrepareWorkFolder(kSlot));
  fs::copy_file(workPaths().KeyTempTarExe, workPaths().TempToolTarExe);
  testenv::WriteFile(workDir + "/tmp/factory/sn.txt", "SN1");
  ASSERT_TRUE(RunTarArchiver(" cvf ./out.tar tmp/factory", kSlot));
  const std::string archive = testenv::ReadFile(workDir + "/out.tar");
  ASSERT_GE(archive.size(), 512u);
  EXPECT_EQ(archive.substr(257, 8), std::string("ustar\0" "00", 8)) << "POSIX ustar, not GNU's own format";
  EXPECT_EQ(testenv::UnpackedMembers(workDir + "/out.tar", dir / "out"),
            (std::vector<std::string>{"tmp/", "tmp/factory/", "tmp/factory/sn.txt"}));
}

TEST_F(ExternalTools, ArchiverThatFailsOrIsMissing) {
  FakeArchiver("exit 2");
  EXPECT_FALSE(RunTarArchiver(" xvf ./factory.tar -C tmp/factory", kSlot));
  EXPECT_NE(DeviceLogText(kSlot).find("call_createProcess exit code : 2\r\n"), std::string::npos);
  fs::remove(workPaths().TempToolTarExe);
  EXPECT_FALSE(RunTarArchiver(" xvf ./factory.tar -C tmp/factory", kSlot));
}

// An archiver that never ends is ended after its two minutes, and the run has failed.
TEST_F(ExternalTools, HungArchiverIsEndedAfterItsTimeOut) {
  FakeArchiver("echo $$ > started.tmp; mv started.tmp started; exec sleep 600");
  testenv::UntilStartedClock hang(workDir + "/started");
  plat::SetClock(&hang);
  const bool ok = RunTarArchiver(" cvf ./x.tar tmp/factory", kSlot);
  plat::SetClock(&clock.get());
  EXPECT_FALSE(ok);
  EXPECT_NE(DeviceLogText(kSlot).find("call_createProcess timeout , time : 120\r\n"), std::string::npos);
  const pid_t pid = std::stoi(testenv::ReadFile(workDir + "/started"));
  EXPECT_TRUE(::kill(pid, 0) != 0 && errno == ESRCH) << "the archiver still runs";
}

TEST_F(ExternalTools, KeyBagToolsRunInTheToolFolder) {
  const std::string bag = MakeKeyBag(1);
  ASSERT_FALSE(bag.empty());
  EXPECT_TRUE(RunKeyBagViewer().Succeeded());
  EXPECT_EQ(testenv::ReadFile(KeyIndexFile()), "0\n1\n");
  EXPECT_TRUE(RunKeyBagGenerator(kSlot));
  EXPECT_EQ(testenv::ReadFile(workPaths().KeyTempSigEncFile), BagRecord(bag, 0, "key"));
  EXPECT_FALSE(RunKeyBagGenerator(kSlot)) << "the bag is empty";
  EXPECT_EQ(KeyBagViewerExe(), stationFiles.toolDir + "/keybag-view");
}

}  // namespace
}  // namespace station

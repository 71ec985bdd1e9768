// A board's MAC in its environment image and in its parameter file: the MAC texts accepted
// and refused, the image's entries and CRC, templates that do not fit, the parameter record.
#include "factory/board_env_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "foundation/crc32.h"
#include "foundation/work_paths.h"
#include "support/factory_env.h"

namespace station {
namespace {

namespace fs = std::filesystem;
constexpr int kSlot = 4;

// The NUL-ended entries of an image's data area, up to the zeros behind them.
std::vector<std::string> Entries(const std::string& image) {
  std::vector<std::string> out;
  for (size_t at = 4; at < image.size() && image[at] != '\0';) {
    const size_t end = image.find('\0', at);
    out.push_back(image.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return out;
}

class BoardEnvFiles : public ::testing::Test, public testenv::FactoryFixture {
 protected:
  void SetUp() override {
    fs::create_directories(workDir);
    SetSlotMacText(kSlot, "before");
  }
  void MacFile(const std::string& text) { testenv::WriteFile(workPaths().TempToolEnvFile, text); }
  void Template(const std::string& data) { testenv::WriteFile(DefaultEnvTemplatePath(), data); }
  std::string Env() { return testenv::ReadFile(workPaths().TempToolEnvFile); }
};

TEST_F(BoardEnvFiles, MacTexts) {
  struct Case {
    const char* name;
    std::string file;
    bool accepted;
  } cases[] = {
      {"twelve digits", "001020304050", true},
      {"a line end behind", "001020304050\n", true},
      {"blanks and line ends around", " \r\n001020304050\r\n ", true},
      {"upper and lower case", "0A1b2C3d4E5f", true},
      {"empty", "", false},
      {"eleven digits", "00102030405", false},
      {"thirteen digits", "0010203040506", false},
      {"not hexadecimal", "00102030405g", false},
      {"written with colons", "00:10:20:30:40:50", false},
      {"a line end inside", "001020\n304050", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MacFile(c.file);
    std::string mac;
    EXPECT_EQ(MacTextFromFile(workPaths().TempToolEnvFile, mac), c.accepted);
    EXPECT_EQ(MakeDefaultEnvFile(MacTexts(), kSlot), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(mac.size(), 17u);
      EXPECT_EQ(SlotMacText(kSlot), mac);
      EXPECT_EQ(Env().size(), kEnvImageSize);
      EXPECT_EQ(testenv::ReadFile(workPaths().TempToolBkEnvFile), c.file) << "the MAC file is kept";
    } else {
      EXPECT_EQ(Env(), c.file) << "nothing written over a MAC file without a MAC";
    }
    SetSlotMacText(kSlot, "before");
  }
  MacFile("001020304050");
  std::string mac;
  ASSERT_TRUE(MacTextFromFile(workPaths().TempToolEnvFile, mac));
  EXPECT_EQ(mac, "00:10:20:30:40:50");
}

TEST_F(BoardEnvFiles, ImageOfTheShippedTemplate) {
  const std::string data = testenv::ReadFile(DefaultEnvTemplatePath());
  MacFile("001020304050\r\n");
  testenv::WriteFile(workPaths().TempToolBkEnvFile, "an earlier board's MAC");
  ASSERT_TRUE(MakeDefaultEnvFile(MacTexts(), kSlot));
  const std::string image = Env();
  ASSERT_EQ(image.size(), kEnvImageSize);
  uint32_t crc = 0;
  for (int i = 3; i >= 0; --i) crc = crc << 8 | static_cast<uint8_t>(image[i]);
  EXPECT_EQ(crc, Crc32(image.data() + 4, kEnvDataSize));

  std::vector<std::string> want;
  for (const std::string& e : Entries(std::string(4, 'x') + data))
    want.push_back(e.rfind("ethaddr=", 0) == 0 ? "ethaddr=00:10:20:30:40:50" : e);
  EXPECT_EQ(Entries(image), want);
  EXPECT_EQ(image.find_first_not_of('\0', 4 + data.size()), std::string::npos);
  EXPECT_EQ(SlotMacText(kSlot), "00:10:20:30:40:50");
  EXPECT_EQ(testenv::ReadFile(workPaths().TempToolBkEnvFile), "001020304050\r\n");
}

TEST_F(BoardEnvFiles, TemplatesOfOtherShapes) {
  const std::string tail = std::string("ipaddr=1.2.3.4") + '\0';
  struct Case {
    const char* name;
    std::string data;
    bool ok;
    std::vector<std::string> entries;
  } cases[] = {
      {"no ethaddr", tail, true, {"ipaddr=1.2.3.4"}},
      {"a short ethaddr value", std::string("ethaddr=") + '\0' + tail, true, {"ethaddr=00:10:20:30:40:50", "ipaddr=1.2.3.4"}},
      {"a long ethaddr value", std::string("ethaddr=00:00:00:00:00:00:00") + '\0' + tail, true,
       {"ethaddr=00:10:20:30:40:50", "ipaddr=1.2.3.4"}},
      {"filling the image", std::string(kEnvDataSize, 'a'), true, {std::string(kEnvDataSize, 'a')}},
      {"longer than the image", std::string(kEnvDataSize + 1, 'a'), false, {}},
      {"ethaddr too near the end", std::string(kEnvDataSize - 12, 'a') + "ethaddr=" + '\0', false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Template(c.data);
    MacFile("001020304050");
    EXPECT_EQ(MakeDefaultEnvFile(MacTexts(), kSlot), c.ok);
    if (c.ok) {
      ASSERT_EQ(Env().size(), kEnvImageSize);
      EXPECT_EQ(Entries(Env()), c.entries);
    } else {
      EXPECT_EQ(Env(), "001020304050");
    }
  }
  fs::remove(DefaultEnvTemplatePath());
  EXPECT_FALSE(MakeDefaultEnvFile(MacTexts(), kSlot));
  EXPECT_EQ(Env(), "001020304050");
}

TEST_F(BoardEnvFiles, ParameterFileWithTheMac) {
  MacFile("0A1B2C3D4E5F\n");
  ASSERT_TRUE(SetSysParamEthaddr(MacTexts(), kSlot));
  const std::string file = testenv::ReadFile(workPaths().TempToolSysParamFile);
  ASSERT_EQ(file.size(), 4096u);
  EXPECT_EQ(testenv::CountOf(file, "ethaddr"), 1);
  const size_t at = file.find("ethaddr");
  EXPECT_EQ(file.substr(at + 8, 17), "0A:1B:2C:3D:4E:5F");
  EXPECT_EQ(file.find_first_not_of('\0', at + 8 + 20), std::string::npos) << "the last record";
  EXPECT_EQ(SlotMacText(kSlot), "0A:1B:2C:3D:4E:5F");
  EXPECT_EQ(Env(), "0A1B2C3D4E5F\n");

  fs::remove(workPaths().TempToolSysParamFile);
  MacFile("not a mac");
  EXPECT_FALSE(SetSysParamEthaddr(MacTexts(), kSlot));
  EXPECT_FALSE(fs::exists(workPaths().TempToolSysParamFile));
  EXPECT_EQ(SlotMacText(kSlot), "0A:1B:2C:3D:4E:5F");
}

}  // namespace
}  // namespace station

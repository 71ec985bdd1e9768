#include "platform/profile.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/test_env.h"

namespace {

using plat::GetProfileString;
using plat::WriteProfileString;

class ProfileTest : public ::testing::Test {
 protected:
  std::string Path() const { return (dir_ / "SYSTEM.ini").string(); }
  void Put(const std::string& content) { testenv::WriteFile(dir_ / "SYSTEM.ini", content); }
  std::string Get() const { return testenv::ReadFile(dir_ / "SYSTEM.ini"); }
  testenv::ScratchDir dir_;
};

const char kSample[] =
    "; station settings\r\n"
    "[NAND FLASH TYPE]\r\n"
    "NAME=MX30LF4G\r\n"
    "  Block Size =  128 \r\n"
    "\r\n"
    "[System]\r\n"
    "AUTO BURN=1\n"
    ";COMPARE DATA=1\n"
    "QUOTED=\"a b \"\r\n"
    "SINGLE='x'\r\n"
    "NOVALUE\r\n"
    "[ MULTI FLASH TYPE ]\r\n"
    "DDR TYPE=DDR4\r\n"
    "[system]\r\n"
    "AUTO BURN=0\r\n"
    "LAST=end";

TEST_F(ProfileTest, ReadsKeysTheWayTheProfileFunctionsDo) {
  Put(kSample);
  struct Case {
    const char* section;
    const char* key;
    const char* def;
    const char* want;
  } cases[] = {
      {"NAND FLASH TYPE", "NAME", "", "MX30LF4G"},
      {"nand flash type", "name", "", "MX30LF4G"},           // case does not matter
      {"NAND FLASH TYPE", "BLOCK SIZE", "", "128"},          // blanks around name and value
      {"  NAND FLASH TYPE ", " BLOCK SIZE ", "", "128"},     // blanks around the asked names
      {"SYSTEM", "AUTO BURN", "", "1"},                      // the first [system] counts
      {"SYSTEM", "LAST", "d", "d"},                          // ... so keys of the second are not seen
      {"SYSTEM", "COMPARE DATA", "0", "0"},                  // a comment is no key
      {"SYSTEM", "QUOTED", "", "a b "},                      // matching quotes are dropped
      {"SYSTEM", "SINGLE", "", "x"},
      {"SYSTEM", "NOVALUE", "d", ""},                        // a key without "=" reads empty
      {"MULTI FLASH TYPE", "DDR TYPE", "", "DDR4"},          // blanks inside the brackets
      {"NAND FLASH TYPE", "AUTO BURN", "none", "none"},      // key of another section
      {"INFORMATION", "IMAGE PATH", "dflt  ", "dflt"},       // blanks at the default's end dropped
      {"NAND", "NAME", "", ""},                              // a section name is matched whole
  };
  for (const Case& c : cases)
    EXPECT_EQ(GetProfileString(c.section, c.key, c.def, Path()), c.want) << c.section << "/" << c.key;
}

TEST_F(ProfileTest, FileMarkedAsUtf8) {
  Put("\xEF\xBB\xBF[SYSTEM]\r\nAUTO BURN=1\r\n");
  EXPECT_EQ(GetProfileString("SYSTEM", "AUTO BURN", "", Path()), "1");
  ASSERT_TRUE(WriteProfileString("SYSTEM", "AUTO BURN", "0", Path()));
  EXPECT_EQ(Get(), "\xEF\xBB\xBF[SYSTEM]\r\nAUTO BURN=0\r\n");
}

TEST_F(ProfileTest, MissingFileGivesTheDefault) {
  EXPECT_EQ(GetProfileString("SYSTEM", "AUTO BURN", "0", Path()), "0");
}

TEST_F(ProfileTest, ReadIsCutToTheBuffer) {
  std::string longValue(300, 'v');
  Put("[S]\nK=" + longValue + "\n");
  EXPECT_EQ(GetProfileString("S", "K", "", Path()), std::string(259, 'v'));
  EXPECT_EQ(GetProfileString("S", "K", "", Path(), 5), "vvvv");
  EXPECT_EQ(GetProfileString("S", "K", "", Path(), 0), "");
  EXPECT_EQ(GetProfileString("S", "MISSING", "default", Path(), 4), "def");
}

TEST_F(ProfileTest, WriteChangesOnlyTheLineOfItsKey) {
  Put(kSample);
  ASSERT_TRUE(WriteProfileString("system", "auto burn", "0", Path()));
  ASSERT_TRUE(WriteProfileString("NAND FLASH TYPE", "BLOCK SIZE", "256", Path()));
  ASSERT_TRUE(WriteProfileString("SYSTEM", "NOVALUE", "7", Path()));
  std::string want = kSample;
  want.replace(want.find("AUTO BURN=1"), 11, "AUTO BURN=0");
  want.replace(want.find("  Block Size =  128 "), 20, "  Block Size =  256");
  want.replace(want.find("NOVALUE"), 7, "NOVALUE=7");
  EXPECT_EQ(Get(), want);
  EXPECT_EQ(GetProfileString("SYSTEM", "NOVALUE", "", Path()), "7");
}

TEST_F(ProfileTest, NewKeyGoesAtTheEndOfItsSection) {
  Put("[A]\r\nX=1\r\n; note\r\n\r\n[B]\nY=2\n");
  ASSERT_TRUE(WriteProfileString("a", "Z", "3", Path()));
  ASSERT_TRUE(WriteProfileString("B", "W", "", Path()));
  EXPECT_EQ(Get(), "[A]\r\nX=1\r\n; note\r\nZ=3\r\n\r\n[B]\nY=2\nW=\n");
  EXPECT_EQ(GetProfileString("A", "Z", "", Path()), "3");
  EXPECT_EQ(GetProfileString("B", "W", "d", Path()), "");
}

TEST_F(ProfileTest, NewSectionGoesAtTheEndOfTheFile) {
  Put("[A]\nX=1");  // last line without its ending
  ASSERT_TRUE(WriteProfileString("FACTORY", "KEY PATH", "/keys/bag.bin", Path()));
  EXPECT_EQ(Get(), "[A]\nX=1\n[FACTORY]\nKEY PATH=/keys/bag.bin\n");

  Put("[A]");
  ASSERT_TRUE(WriteProfileString("A", "K", "v", Path()));
  EXPECT_EQ(Get(), "[A]\r\nK=v\r\n");
}

TEST_F(ProfileTest, FirstWriteCreatesTheFile) {
  ASSERT_TRUE(WriteProfileString("SYSTEM", "AUTO BURN", "1", Path()));
  EXPECT_EQ(Get(), "[SYSTEM]\r\nAUTO BURN=1\r\n");
  EXPECT_FALSE(WriteProfileString("SYSTEM", "AUTO BURN", "1", (dir_ / "no" / "such.ini").string()));
}

// A write that could not be read back as written changes nothing: a key line that read as a
// header "[B]" ahead of the real one would hide B's keys, one that read as a comment would be
// lost itself.
TEST_F(ProfileTest, RefusesWhatCouldNotBeReadBackAsWritten) {
  const std::string file = "[A]\nX=1\n[B]\nY=2\n";
  struct Case {
    const char* section;
    const char* key;
    const char* value;
  } cases[] = {
      {"A", "X", "a\nb"},
      {"A", "X", "a\rb"},
      {"A", "X=J", "1"},
      {"", "X", "1"},
      {"  ", "X", "1"},
      {"A", " ", "1"},
      {"A\n", "X", "1"},
      {"A", "X\n", "1"},
      {"A", "[B]", "v"},
      {"A", "  [B]  ", "v"},
      {"A", "[B", "]"},
      {"A", ";Y", "1"},
      {"A", " ; Y", "1"},
      {"B]", "Y", "3"},
      {"A]x", "Y", "3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.section) + "/" + c.key + "=" + c.value);
    Put(file);
    EXPECT_FALSE(WriteProfileString(c.section, c.key, c.value, Path()));
    EXPECT_EQ(Get(), file);
    EXPECT_EQ(GetProfileString("B", "Y", "missing", Path()), "2");
  }
  // Such characters further in are kept as they are.
  Put(file);
  ASSERT_TRUE(WriteProfileString("A", "K[1];x", "[v];w", Path()));
  EXPECT_EQ(GetProfileString("A", "K[1];x", "", Path()), "[v];w");
  EXPECT_EQ(GetProfileString("B", "Y", "missing", Path()), "2");
}

TEST_F(ProfileTest, ConcurrentWritersLoseNoKey) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([this, t] {
      for (int i = 0; i < 20; ++i)
        WriteProfileString("S" + std::to_string(t % 2), "K" + std::to_string(t) + "_" + std::to_string(i),
                           std::to_string(i), Path());
    });
  for (auto& th : threads) th.join();
  for (int t = 0; t < 8; ++t)
    for (int i = 0; i < 20; ++i)
      EXPECT_EQ(GetProfileString("S" + std::to_string(t % 2), "K" + std::to_string(t) + "_" + std::to_string(i),
                                 "missing", Path()),
                std::to_string(i));
}

}  // namespace

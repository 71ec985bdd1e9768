#include "package/board_param_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/crc32.h"
#include "support/test_env.h"

namespace station {
namespace {

uint32_t Le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}
uint16_t Le16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8);
}

struct Parsed {
  size_t offset;
  std::string name, value;
  bool crcOk;
};

// Walks the records of a saved file the way a board reads it, checking every CRC.
std::vector<Parsed> ParseFile(const std::string& file) {
  std::vector<Parsed> out;
  size_t r = 0;
  while (r + 16 <= file.size() && file.compare(r, 4, "PSYS") == 0) {
    const uint16_t n = Le16(file, r + 12), v = Le16(file, r + 14);
    const size_t paddedName = (n + 3u) & ~3u, paddedValue = (v + 3u) & ~3u;
    const size_t end = r + 16 + paddedName + paddedValue;
    const uint32_t crc = Crc32(file.data() + r + 8, end - r - 8);
    out.push_back({r, file.substr(r + 16, n), file.substr(r + 16 + paddedName, v), crc == Le32(file, r + 4)});
    r = end;
  }
  return out;
}

class ParamFile : public ::testing::Test {
 protected:
  void SetUp() override {
    file.SysParamInit();
    path = (dir / "sysparam").string();
    file.SetPath(path);
    file.SysParamClear();
    file.SysParamFreeAll();  // the list is process-wide: start every test from nothing
  }
  void TearDown() override { file.SysParamRelease(); }

  testenv::ScratchDir dir;
  std::string path;
  SysParamFile file;
};

TEST_F(ParamFile, DefaultsFillTheFirst340BytesInTableOrder) {
  ASSERT_EQ(file.SysParamSetDefaults(), kSysParamOk);
  ASSERT_EQ(file.SysParamSave(), kSysParamOk);
  const std::string saved = testenv::ReadFile(path);
  ASSERT_EQ(saved.size(), kSysParamFileSize);

  const std::vector<Parsed> records = ParseFile(saved);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"kernel_loadaddr", "0x03000000"}, {"fdt_loadaddr", "0x02100000"},   {"rootfs_loadaddr", "0x02200000"},
      {"audio_loadaddr", "0x0f900000"},  {"ethaddr", "00:10:20:30:40:50"}, {"gatewayip", "192.168.100.254"},
      {"ipaddr", "192.168.100.1"},       {"netmask", "255.255.255.0"}};
  ASSERT_EQ(records.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(records[i].name, expected[i].first);
    EXPECT_EQ(records[i].value, expected[i].second);
    EXPECT_TRUE(records[i].crcOk) << records[i].name;
  }
  const size_t used = 340;
  EXPECT_EQ(saved.find_first_not_of('\0', used), std::string::npos) << "zeros behind the last record";
  EXPECT_EQ(records.back().offset + 16 + 8 + 16, used);
}

TEST_F(ParamFile, DefaultEthaddrRecordIsByteExact) {
  ASSERT_EQ(file.SysParamSetDefaults(), kSysParamOk);
  ASSERT_EQ(file.SysParamSave(), kSysParamOk);
  const std::string saved = testenv::ReadFile(path);
  const size_t at = 44 + 40 + 44 + 44;  // behind the four load addresses
  std::string expected("PSYS", 4);
  expected += std::string("\x03\x27\xF9\x2E", 4);  // CRC-32 0x2EF92703
  expected += std::string("\0\0\0\0", 4);
  expected += std::string("\x07\0\x11\0", 4);
  expected += std::string("ethaddr\0", 8);
  expected += std::string("00:10:20:30:40:50\0\0\0", 20);
  EXPECT_EQ(saved.substr(at, 44), expected);
}

TEST_F(ParamFile, SettingAnExistingNameMovesItToTheEnd) {
  ASSERT_EQ(file.SysParamSetDefaults(), kSysParamOk);
  ASSERT_EQ(file.SysParamSet("ethaddr", "00:11:22:33:44:55"), kSysParamOk);
  ASSERT_EQ(file.SysParamSave(), kSysParamOk);
  const std::vector<Parsed> records = ParseFile(testenv::ReadFile(path));
  ASSERT_EQ(records.size(), 8u);
  EXPECT_EQ(records[4].name, "gatewayip");
  EXPECT_EQ(records.back().name, "ethaddr");
  EXPECT_EQ(records.back().value, "00:11:22:33:44:55");
  EXPECT_TRUE(records.back().crcOk);
  int ethaddrs = 0;
  for (const Parsed& p : records) ethaddrs += p.name == "ethaddr";
  EXPECT_EQ(ethaddrs, 1);
}

TEST_F(ParamFile, NamesMatchExactlyAndCaseCounts) {
  ASSERT_EQ(file.SysParamSetDefaults(), kSysParamOk);
  EXPECT_EQ(file.SysParamFind("ETHADDR"), nullptr);
  EXPECT_EQ(file.SysParamFind("eth"), nullptr);
  ASSERT_NE(file.SysParamFind("ethaddr"), nullptr);
  EXPECT_EQ(file.SysParamFind("ethaddr")->valueLength, 17u);
}

TEST_F(ParamFile, SaveWithoutChangesWritesNothing) {
  ASSERT_EQ(file.SysParamSetDefaults(), kSysParamOk);
  ASSERT_EQ(file.SysParamSave(), kSysParamOk);
  std::filesystem::remove(path);
  EXPECT_EQ(file.SysParamSave(), kSysParamOk);
  EXPECT_FALSE(std::filesystem::exists(path)) << "a second save without a change writes again";
  ASSERT_EQ(file.SysParamSet("ipaddr", "10.0.0.2"), kSysParamOk);
  EXPECT_EQ(file.SysParamSave(), kSysParamOk);
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_F(ParamFile, FileCapacityIsExactly4096Bytes) {
  struct Case {
    size_t valueLength;  // one record named "a": 16 + 4 + padded value
    int result;
  };
  for (const Case c : {Case{4076, kSysParamOk}, Case{4080, kSysParamNoSpace}}) {
    SCOPED_TRACE(c.valueLength);
    file.SysParamFreeAll();
    std::filesystem::remove(path);
    const std::vector<uint8_t> value(c.valueLength, 0x5A);
    ASSERT_EQ(file.SysParamSet("a", value.data(), value.size()), kSysParamOk);
    EXPECT_EQ(file.SysParamSave(), c.result);
    if (c.result == kSysParamOk) {
      const std::string saved = testenv::ReadFile(path);
      ASSERT_EQ(saved.size(), kSysParamFileSize);
      EXPECT_EQ(saved.back(), '\x5A');
      EXPECT_TRUE(ParseFile(saved).at(0).crcOk);
      EXPECT_FALSE(SysParamFile::Changed());
    } else {
      EXPECT_FALSE(std::filesystem::exists(path));
      EXPECT_TRUE(SysParamFile::Changed()) << "a save that did not fit must be possible again";
    }
  }
}

TEST_F(ParamFile, DeletingAMissingNameLeavesTheMarkAlone) {
  EXPECT_EQ(file.SysParamDelete("ethaddr"), kSysParamNotFound);
  EXPECT_FALSE(SysParamFile::Changed());
  ASSERT_EQ(file.SysParamSetDefaults(), kSysParamOk);
  ASSERT_EQ(file.SysParamSave(), kSysParamOk);
  EXPECT_EQ(file.SysParamDelete("nothere"), kSysParamNotFound);
  EXPECT_FALSE(SysParamFile::Changed());
  EXPECT_EQ(file.SysParamDelete("netmask"), kSysParamOk);
  EXPECT_TRUE(SysParamFile::Changed());
  EXPECT_EQ(SysParamFile::Records().size(), 7u);
}

TEST_F(ParamFile, UnwritablePathGives44AndIsNotRetriedUntilAChange) {
  file.SetPath((dir / "missing-folder" / "sysparam").string());
  ASSERT_EQ(file.SysParamSetDefaults(), kSysParamOk);
  EXPECT_EQ(file.SysParamSave(), kSysParamOpenFailed);
  EXPECT_FALSE(SysParamFile::Changed());
  EXPECT_EQ(file.SysParamSave(), kSysParamOk);
}

TEST_F(ParamFile, NameOfFourCharactersHasNoPadding) {
  ASSERT_EQ(file.SysParamSet("boot", "1"), kSysParamOk);
  ASSERT_EQ(file.SysParamSave(), kSysParamOk);
  const std::string saved = testenv::ReadFile(path);
  EXPECT_EQ(saved.substr(16, 5), std::string("boot1", 5));
  EXPECT_TRUE(ParseFile(saved).at(0).crcOk);
}

// Every record checks against a CRC taken over its bytes as they stand in the file, whatever
// the lengths of its name and value, an empty value included.
TEST_F(ParamFile, EveryRecordCarriesTheCrcOfItsBytes) {
  const std::vector<std::pair<std::string, std::string>> records = {
      {"a", ""}, {"ab", "x"}, {"abc", ""}, {"boot", ""}, {"bootx", "12345"}, {"ethaddr", ""}, {"n", "1234"}};
  for (const auto& [name, value] : records) ASSERT_EQ(file.SysParamSet(name, value), kSysParamOk) << name;
  ASSERT_EQ(file.SysParamSave(), kSysParamOk);
  const std::vector<Parsed> parsed = ParseFile(testenv::ReadFile(path));
  ASSERT_EQ(parsed.size(), records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(parsed[i].name, records[i].first);
    EXPECT_EQ(parsed[i].value, records[i].second);
    EXPECT_TRUE(parsed[i].crcOk) << records[i].first;
  }
}

TEST(Crc32Update, ChainedCallsEqualOneCall) {
  std::vector<uint8_t> bytes(1000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
  const uint32_t whole = Crc32Update(0, bytes.data(), bytes.size());
  EXPECT_EQ(whole, Crc32(bytes.data(), bytes.size()));
  for (size_t cut : {0u, 1u, 7u, 8u, 9u, 500u, 999u, 1000u}) {
    const uint32_t first = Crc32Update(0, bytes.data(), cut);
    EXPECT_EQ(Crc32Update(first, bytes.data() + cut, bytes.size() - cut), whole) << cut;
  }
  EXPECT_EQ(Crc32Update(0, "123456789", 9), 0xCBF43926u);
  EXPECT_EQ(Crc32Update(0x12345678, nullptr, 4), 0u);
}

}  // namespace
}  // namespace station

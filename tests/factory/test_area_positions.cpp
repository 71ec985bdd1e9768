// Where the factory copies and the storage archive lie, for eMMC and the NAND geometries the
// station's boards use, with and without "NAS enable" and "burn se_storage".
#include "factory/area_positions.h"

#include "factory/area_write.h"

#include <gtest/gtest.h>

namespace station {
namespace {

FlashInfo Flash(uint8_t type, uint32_t blockK = 0, uint32_t page = 0) {
  FlashInfo f;
  f.FlashType = type;
  f.BlockSizeK = blockK;
  f.PageSize = page;
  return f;
}

BurnOption Options(bool nas, bool seStorage) {
  BurnOption o;
  o.nasEnable = nas ? 1 : 0;
  o.useSecureStorage = seStorage ? 1 : 0;
  return o;
}

TEST(AreaPositions, NandFactoryCopiesAndStorage) {
  struct Case {
    uint32_t blockK, page;
    uint32_t copy0, copy1, nasCopy0, nasCopy1, storage;
  } cases[] = {
      {128, 2048, 4736, 5760, 2432, 2560, 2816},
      {256, 4096, 3200, 3712, 1664, 1792, 1792},
      {512, 4096, 6400, 6912, 2816, 3072, 2560},
      {4096, 16384, 12800, 12928, 4608, 5120, 4608},  // the first terms of the forms stay 0 up to 4 MiB
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.blockK << " KiB / " << c.page);
    const FlashInfo f = Flash(0, c.blockK, c.page);
    for (bool se : {false, true}) {  // "burn se_storage" moves only eMMC copies
      EXPECT_EQ(GetFactoryAreaOffset(f, Options(false, se), 0), c.copy0);
      EXPECT_EQ(GetFactoryAreaOffset(f, Options(false, se), 1), c.copy1);
      EXPECT_EQ(GetFactoryAreaOffset(f, Options(true, se), 0), c.nasCopy0);
      EXPECT_EQ(GetFactoryAreaOffset(f, Options(true, se), 1), c.nasCopy1);
    }
    EXPECT_EQ(GetFactoryAreaOffset(f, Options(false, false), 7), c.copy0) << "another copy number is copy 0";
    EXPECT_EQ(GetStorageAreaOffset(c.page, c.blockK * 1024, 0), c.storage);
  }
}

TEST(AreaPositions, EmmcNorAndTheRest) {
  const FlashInfo emmc = Flash(2, 512, 4096);
  EXPECT_EQ(GetFactoryAreaOffset(emmc, Options(false, false), 0), 0x1100u);
  EXPECT_EQ(GetFactoryAreaOffset(emmc, Options(false, false), 1), 0x2100u);
  EXPECT_EQ(GetFactoryAreaOffset(emmc, Options(true, true), 0), 0x3100u);
  EXPECT_EQ(GetFactoryAreaOffset(emmc, Options(false, true), 1), 0x4100u);
  EXPECT_EQ(GetFactoryAreaOffset(emmc, Options(false, false), 2), kNoPosition);
  EXPECT_EQ(GetStorageAreaOffset(4096, 512 * 1024, 2), 0x1100u);

  EXPECT_EQ(GetStorageAreaOffset(2048, 128 * 1024, 1), 0x1830C000u);
  EXPECT_EQ(GetFactoryAreaOffset(Flash(1, 128, 2048), Options(false, false), 0), kNoPosition);
  EXPECT_EQ(GetFactoryAreaOffset(Flash(3, 128, 2048), Options(false, false), 0), kNoPosition);
  EXPECT_EQ(GetStorageAreaOffset(2048, 128 * 1024, 3), kNoPosition);
  // A NAND geometry without a page size has no page numbers.
  EXPECT_EQ(GetFactoryAreaOffset(Flash(0, 128, 0), Options(false, false), 0), kNoPosition);
  EXPECT_EQ(GetStorageAreaOffset(0, 128 * 1024, 0), kNoPosition);
}

// The bytes an area may take before the next area in use begins: on NAS NAND the copies lie
// two blocks apart, and at 256 KiB blocks copy 1 starts where the storage area does.
TEST(AreaPositions, RoomBeforeTheNextArea) {
  struct Case {
    const char* name;
    uint8_t type;
    uint32_t blockK, page;
    bool nas, se;
    uint32_t copy0, copy1, storage;
  } cases[] = {
      {"NAND", 0, 128, 2048, false, false, 0x200000, 0x200000, 3932160},
      {"NAND, se_storage", 0, 128, 2048, false, true, 0x200000, 0x200000, 3932160},
      {"NAS NAND", 0, 128, 2048, true, false, 262144, 0x200000, 0x400000},
      {"NAS NAND, se_storage", 0, 128, 2048, true, true, 262144, 524288, 0x400000},
      {"NAS NAND 256K, se_storage", 0, 256, 4096, true, true, 524288, 0, 0},
      {"NAS NAND 256K", 0, 256, 4096, true, false, 524288, 0x200000, 0},
      {"eMMC, se_storage", 2, 512, 4096, false, true, 0x200000, 0x200000, 0x400000},
      {"no page size", 0, 128, 0, false, true, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FlashInfo f = Flash(c.type, c.blockK, c.page);
    BurnOption o = Options(c.nas, c.se);
    o.burnFactory = 1;
    EXPECT_EQ(FactoryCopyRoom(f, o, 0), c.copy0);
    EXPECT_EQ(FactoryCopyRoom(f, o, 1), c.copy1);
    EXPECT_EQ(StorageAreaRoom(f, o), c.storage);
  }
}

}  // namespace
}  // namespace station

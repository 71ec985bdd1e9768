#include <gtest/gtest.h>

#include <functional>

#include "foundation/image_buffers.h"
#include "foundation/slot_display.h"
#include "support/test_env.h"

namespace {

using namespace station;

class ImageBuffersTest : public ::testing::Test {
 protected:
  void TearDown() override { FreeFwEntryBuffers(); }
  ImageBuffers& img() { return fx.station->images; }
  FwEntryTable& entries() { return *fx.station->fwEntries; }

  static void Fill(ImageBuffer& b, size_t n) {
    b.data.assign(n, 0xA5);
    b.length = static_cast<uint32_t>(n);
  }

  // A loaded image with something in every buffer and list.
  void LoadEverything() {
    Fill(img().usbHwsetting, 16);
    for (auto& b : img().boot) Fill(b, 32);
    Fill(img().norImage, 64);
    for (auto& b : img().singleMode) Fill(b, 8);
    img().entryList.resize(2);
    for (auto& e : img().entryList) {
      e.name = "entry";
      e.buffer.assign(4, 1);
      e.length = 4;
    }
    img().mbrImages.resize(3);
    for (auto& m : img().mbrImages) {
      m.name = "mbr";
      m.heap.assign(513, 0);
      m.length = 512;
      m.offset = 0x200;
      m.layoutSize = 0x1000;
    }
    img().partitionPieces.resize(2);
    for (auto& p : img().partitionPieces) {
      p.name = " PART1";
      ASSERT_TRUE(p.pages.Reserve(8192));
      p.length = 8192;
      p.offset = 0x100000;
      p.layoutSize = 0x200000;
    }
    for (FwEntry& e : entries()) {
      ASSERT_TRUE(e.Buffer.Reserve(4096));
      e.Size = 4096;
      e.Offset = 0x8000;
      e.Target = 0x1500000;
    }
  }

  void ExpectSinglesEmpty() {
    std::vector<const ImageBuffer*> all = {&img().usbHwsetting, &img().norImage};
    for (auto& b : img().boot) all.push_back(&b);
    for (auto& b : img().singleMode) all.push_back(&b);
    for (const ImageBuffer* b : all) {
      EXPECT_TRUE(b->data.empty());
      EXPECT_EQ(b->data.capacity(), 0u) << "the bytes are given back, not only forgotten";
      EXPECT_EQ(b->length, 0u);
    }
  }

  void ExpectEntriesEmpty() {
    for (const FwEntry& e : entries()) {
      EXPECT_EQ(e.Size, 0u) << e.Name;
      EXPECT_EQ(e.Offset, 0u) << e.Name;
      EXPECT_TRUE(e.Buffer.empty()) << e.Name;
      EXPECT_FALSE(e.Name.empty()) << "names belong to the table, not to the load";
    }
  }

  testenv::StationFixture fx;
};

TEST_F(ImageBuffersTest, ReleasesEveryBufferAndList) {
  LoadEverything();
  FreeImageBuffers();
  ExpectSinglesEmpty();
  ExpectEntriesEmpty();
  EXPECT_TRUE(img().entryList.empty());
  EXPECT_TRUE(img().mbrImages.empty());
  EXPECT_TRUE(img().partitionPieces.empty());
}

TEST_F(ImageBuffersTest, ReleasingTwiceIsHarmless) {
  LoadEverything();
  FreeImageBuffers();
  FreeImageBuffers();
  FreeEntryList();
  FreeFwEntryBuffers();
  FreeLayoutBuffers();
  FreePartitionList();
  ExpectSinglesEmpty();
  ExpectEntriesEmpty();
  EXPECT_TRUE(img().partitionPieces.empty());
}

TEST_F(ImageBuffersTest, ReleaseOnAFreshStateFindsNothing) {
  FreeImageBuffers();
  ExpectSinglesEmpty();
  ExpectEntriesEmpty();
}

TEST_F(ImageBuffersTest, EntryReleaseKeepsTheDdrTargets) {
  LoadEverything();
  FreeFwEntryBuffers();
  for (const FwEntry& e : entries()) EXPECT_EQ(e.Target, 0x1500000u) << e.Name;
}

// Each list releaser empties its own list and nothing else.
struct ListCase {
  const char* name;
  std::function<void()> release;
  bool entryList, fwEntries, pieces, mbr;  // which ones end up empty
};

class ListReleasers : public ImageBuffersTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(ListReleasers, EmptyOnlyTheirOwnList) {
  const ListCase& c = GetParam();
  LoadEverything();
  c.release();
  EXPECT_EQ(img().entryList.empty(), c.entryList);
  EXPECT_EQ(entries()[FW_KERNEL].Buffer.empty(), c.fwEntries);
  EXPECT_EQ(img().partitionPieces.empty(), c.pieces);
  EXPECT_EQ(img().mbrImages.empty(), c.mbr);
  EXPECT_EQ(img().norImage.length, 64u) << "single buffers go only with FreeImageBuffers";
}

INSTANTIATE_TEST_SUITE_P(
    EachList, ListReleasers,
    ::testing::Values(ListCase{"entryList", [] { FreeEntryList(); }, true, false, false, false},
                      ListCase{"fwEntries", [] { FreeFwEntryBuffers(); }, false, true, false, false},
                      ListCase{"layout", [] { FreeLayoutBuffers(); }, false, false, true, false},
                      ListCase{"partitions", [] { FreePartitionList(); }, false, false, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ImageBuffersTest, AfterReleaseEverySlotShowsZeroPercent) {
  LoadEverything();
  for (int slot = 0; slot < kSlotCount; ++slot) {
    DeviceSlot& d = fx.station->slots[slot];
    d.Busy = 1;
    d.Remaining.entries[FW_KERNEL] = 1000;  // a job's counters left over from the old image
  }
  ShowProgressPercent(0, 1);
  EXPECT_NE(fx.station->mainDlg.Text(SlotPercentId(0)), "0");

  FreeImageBuffers();
  for (int slot = 0; slot < kSlotCount; ++slot) {
    ShowProgressPercent(slot, 1);
    EXPECT_EQ(fx.station->mainDlg.Text(SlotPercentId(slot)), "0") << slot;
  }
}

}  // namespace

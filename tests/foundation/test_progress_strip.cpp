#include <gtest/gtest.h>

#include "foundation/progress_strip.h"
#include "support/test_env.h"

namespace {

using namespace station;

struct PlaceCase {
  const char* name;
  ui::Rect main;
  ui::Rect strip;
};

class StripPlacement : public ::testing::TestWithParam<PlaceCase> {};

TEST_P(StripPlacement, SitsATenthInAndHalfwayDown) {
  EXPECT_EQ(ProgressStripPlacement(GetParam().main), GetParam().strip);
}

INSTANTIATE_TEST_SUITE_P(
    Windows, StripPlacement,
    ::testing::Values(
        PlaceCase{"even", {100, 50, 1000, 600}, {200, 350, 900, 25}},
        // The half height is taken from the bottom edge and truncated toward zero, so an odd
        // height puts the strip one pixel lower than top + height / 2 would.
        PlaceCase{"oddHeight", {100, 50, 1000, 601}, {200, 351, 900, 25}},
        PlaceCase{"leftMonitor", {-1920, -10, 1915, 1080}, {-1729, 530, 900, 25}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProgressStrip, ExistsForTheUnpackerOnlyBetweenCreateAndDestroy) {
  testenv::StationFixture fx;
  ProgressStrip& strip = fx.station->progress;
  EXPECT_EQ(strip.BarDialog(), nullptr);

  strip.Create();
  ASSERT_EQ(strip.BarDialog(), &fx.station->progressDlg);
  EXPECT_FALSE(fx.station->progressDlg.Shown()) << "created hidden; the loader shows it";
  strip.Place({0, 0, 1000, 800});
  strip.Show(true);
  EXPECT_TRUE(fx.station->progressDlg.Shown());
  EXPECT_EQ(fx.station->progressDlg.WindowRect(), (ui::Rect{100, 400, 900, 25}));

  // The unpacker drives the bar by dialog and control id.
  ui::Dialog* bar = strip.BarDialog();
  bar->SetRange(kProgressBarId, 0, 65535);
  bar->SetPos(kProgressBarId, 17);
  EXPECT_EQ(strip.RangeMax(), 65535);
  EXPECT_EQ(strip.Pos(), 17);

  strip.Destroy();
  EXPECT_EQ(strip.BarDialog(), nullptr);
  EXPECT_FALSE(fx.station->progressDlg.Shown());
  strip.Destroy();  // a second destroy is harmless

  strip.Create();  // the next load starts with a fresh bar
  EXPECT_EQ(strip.Pos(), 0);
  EXPECT_EQ(strip.RangeMax(), 100);
}

}  // namespace

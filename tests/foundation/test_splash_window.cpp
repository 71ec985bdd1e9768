#include <gtest/gtest.h>

#include <map>
#include <thread>
#include <vector>

#include "foundation/splash_window.h"
#include "support/test_env.h"

namespace {

using namespace station;

// A bitmap drawn from rows of letters: 'k' is the key colour (white), 'r' red, 'b' blue,
// 'w' a near-white that differs from the key only in its last byte.
BitmapPtr Picture(const std::vector<std::string>& rows) {
  static const std::map<char, uint32_t> kColours = {{'k', 0xFFFFFF}, {'r', 0xFF0000}, {'b', 0x0000FF}, {'w', 0xFFFFFE}};
  auto b = std::make_shared<Bitmap>();
  b->height = static_cast<int>(rows.size());
  b->width = static_cast<int>(rows[0].size());
  for (const std::string& row : rows)
    for (char c : row) {
      const uint32_t v = kColours.at(c);
      b->rgb.push_back(static_cast<uint8_t>(v >> 16));
      b->rgb.push_back(static_cast<uint8_t>(v >> 8));
      b->rgb.push_back(static_cast<uint8_t>(v));
    }
  return b;
}

struct ShapeCase {
  const char* name;
  std::vector<std::string> rows;
  std::vector<ui::Rect> region;
};

class Shape : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(Shape, CoversEveryPixelThatIsNotTheKeyColour) {
  const ShapeCase& c = GetParam();
  BitmapPtr b = Picture(c.rows);
  EXPECT_EQ(ShapeFromKeyColour(b->rgb.data(), b->width, b->height, 0xFFFFFF), c.region);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, Shape,
    ::testing::Values(
        ShapeCase{"keyRowAddsNothing", {"kkkk", "krrk", "kkkk"}, {{1, 1, 2, 1}}},
        ShapeCase{"innerKeyPixelsAreHoles", {"rrrr", "rkkr", "rrrr"}, {{0, 0, 4, 1}, {0, 1, 1, 1}, {3, 1, 1, 1}, {0, 2, 4, 1}}},
        ShapeCase{"runsReachTheRowEnd", {"kbrb", "bbkk"}, {{1, 0, 3, 1}, {0, 1, 2, 1}}},
        ShapeCase{"nearKeyIsNotKey", {"kwk"}, {{1, 0, 1, 1}}},
        ShapeCase{"allKey", {"kk", "kk"}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ShapeFromKeyColour, EmptyPictureHasNoShape) {
  EXPECT_TRUE(ShapeFromKeyColour(nullptr, 10, 10, 0).empty());
  uint8_t px[3] = {1, 2, 3};
  EXPECT_TRUE(ShapeFromKeyColour(px, 0, 1, 0).empty());
}

TEST(StationBitmaps, TwoDifferentFramesWithAKeyedCorner) {
  BitmapPtr a = LoadStationBitmap(kSplashFrameA);
  BitmapPtr b = LoadStationBitmap(kSplashFrameB);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->width, 200);
  EXPECT_EQ(a->height, 200);
  EXPECT_EQ(b->width, 200);
  EXPECT_NE(a->rgb, b->rgb);
  for (BitmapPtr f : {a, b}) {
    const uint32_t key = f->Pixel(0, 0);
    EXPECT_EQ(f->Pixel(199, 199), key) << "the corners are outside the shape";
    EXPECT_NE(f->Pixel(100, 100), key);
  }
  EXPECT_EQ(LoadStationBitmap(184), nullptr);
}

class Splash : public ::testing::Test {
 protected:
  Splash() { fx.station->mainDlg.SetWindowRect({0, 0, 1000, 800}); }
  SplashWindow& splash() { return fx.station->splash; }
  ui::Dialog& window() { return fx.station->splashDlg; }
  testenv::StationFixture fx;
};

TEST_F(Splash, CreateShapesTheWindowFromTheFirstFrame) {
  splash().Create();
  EXPECT_EQ(splash().FrameIndex(), 0);
  EXPECT_EQ(splash().FrameBitmapId(), kSplashFrameA);
  EXPECT_FALSE(window().Shown());
  EXPECT_EQ(window().WindowRect(), (ui::Rect{400, 300, 200, 200})) << "frame size, centred over the main window";
  BitmapPtr f = splash().FrameBitmap();
  ASSERT_TRUE(splash().Region().has_value());
  EXPECT_EQ(*splash().Region(), ShapeFromKeyColour(f->rgb.data(), 200, 200, f->Pixel(0, 0)));
}

TEST_F(Splash, EveryRepaintShowsTheOtherFrame) {
  splash().Create();
  splash().ShowSplash();  // showing paints at once
  std::vector<int> drawn = {splash().LastDrawnId()};
  for (int i = 0; i < 3; ++i) {
    splash().Redraw();
    drawn.push_back(splash().LastDrawnId());
  }
  EXPECT_EQ(drawn, (std::vector<int>{186, 185, 186, 185}));
}

TEST_F(Splash, HiddenWindowIsNotRepainted) {
  splash().Create();
  splash().Redraw();
  EXPECT_EQ(splash().PaintCount(), 0);
  splash().ShowSplash();
  EXPECT_TRUE(window().Shown());
  splash().HideSplash();
  EXPECT_FALSE(window().Shown());
  splash().Redraw();
  EXPECT_EQ(splash().PaintCount(), 1);
}

TEST_F(Splash, ShowCentresOverWhereTheMainWindowIsNow) {
  splash().Create();
  fx.station->mainDlg.SetWindowRect({1000, 200, 600, 400});
  splash().ShowSplash();
  EXPECT_EQ(window().WindowRect(), (ui::Rect{1200, 300, 200, 200}));
}

TEST_F(Splash, KeepsExactlyOneFrameLoaded) {
  std::vector<std::weak_ptr<const Bitmap>> handedOut;
  splash().SetLoader([&](int id) {
    BitmapPtr b = LoadStationBitmap(id);
    handedOut.push_back(b);
    return b;
  });
  splash().Create();
  splash().ShowSplash();
  for (int i = 0; i < 6; ++i) splash().Redraw();
  ASSERT_EQ(handedOut.size(), 8u);
  int alive = 0;
  for (auto& w : handedOut) alive += !w.expired();
  EXPECT_EQ(alive, 1);
}

TEST_F(Splash, MissingBitmapsLeaveTheWindowUnshapedAndDrawNothing) {
  splash().SetLoader([](int) { return BitmapPtr{}; });
  const ui::Rect before = window().WindowRect();
  splash().Create();
  splash().ShowSplash();
  splash().Redraw();
  EXPECT_FALSE(splash().Region().has_value());
  EXPECT_EQ(splash().FrameBitmap(), nullptr);
  EXPECT_EQ(splash().LastDrawnId(), 0);
  EXPECT_EQ(window().WindowRect().w, before.w);
  EXPECT_EQ(window().WindowRect().h, before.h);
}

TEST_F(Splash, AMissingSecondFrameKeepsTheFirstFrameAndItsShape) {
  BitmapPtr only = Picture({"kkr", "rrr"});
  splash().SetLoader([&](int id) { return id == kSplashFrameA ? only : BitmapPtr{}; });
  splash().Create();
  const auto shape = splash().Region();
  splash().ShowSplash();  // frame 1 is missing: the window keeps what it had
  EXPECT_EQ(splash().FrameIndex(), 1);
  EXPECT_EQ(splash().FrameBitmap(), only);
  EXPECT_EQ(splash().Region(), shape);
  EXPECT_EQ(splash().LastDrawnId(), kSplashFrameA) << "the old frame is drawn again, nothing new";
  EXPECT_EQ(window().WindowRect(), (ui::Rect{498, 399, 3, 2}));
}

TEST_F(Splash, HotPlugThreadsShowAndHideWhileTheTimerRedraws) {
  splash().Create();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        splash().ShowSplash();
        splash().HideSplash();
      }
    });
  for (int i = 0; i < 200; ++i) splash().Redraw();
  for (auto& t : threads) t.join();
  EXPECT_GE(splash().PaintCount(), 200);
  const int id = splash().FrameBitmapId();
  EXPECT_TRUE(id == kSplashFrameA || id == kSplashFrameB);
}

}  // namespace

#pragma once
// The splash window: a shaped, two-frame animation shown while a newly connected board is
// bound to a slot. Each repaint shows the other frame; the window's shape is every pixel of
// the frame that is not the frame's key colour (the colour of its top-left pixel). This is the
// window's model: the frame in use, its shape and where the window sits. The Qt view draws
// the frame from it.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/ui.h"

namespace station {

// A 24-bit bitmap: rows top to bottom, each pixel three bytes R, G, B, no row padding.
struct Bitmap {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
  // The pixel at (x, y) as 0xRRGGBB.
  uint32_t Pixel(int x, int y) const;
};
using BitmapPtr = std::shared_ptr<const Bitmap>;
// Finds a bitmap resource by id; nullptr when there is none.
using BitmapLoader = std::function<BitmapPtr(int resourceId)>;

constexpr int kSplashFrameA = 185;
constexpr int kSplashFrameB = 186;
constexpr int kSplashFrameSize = 200;

// The station's own bitmap resources: the two 200 x 200 splash frames. Other ids give nullptr.
BitmapPtr LoadStationBitmap(int resourceId);

// The window shape of a frame: for each row, one rectangle (one row high) per run of pixels
// whose colour differs from `keyColour` (0xRRGGBB), left to right, rows top to bottom. Pixels
// of the key colour inside the picture become holes; a row of key colour adds nothing.
// `rgb` holds width * height pixels as in Bitmap.
std::vector<ui::Rect> ShapeFromKeyColour(const uint8_t* rgb, int width, int height, uint32_t keyColour);

class SplashWindow {
 public:
  SplashWindow(ui::Dialog& window, ui::Dialog& mainWindow, BitmapLoader loader = LoadStationBitmap);
  SplashWindow(const SplashWindow&) = delete;
  SplashWindow& operator=(const SplashWindow&) = delete;

  // Where the bitmaps come from (tests give their own).
  void SetLoader(BitmapLoader loader);

  // Creates the window (hidden) and loads and applies the current frame.
  void Create();
  // Hides the window; the loaded frame stays until the object goes.
  void Destroy();
  bool Created() const;

  // Centres the window over the main window, shows it and paints it at once.
  void ShowSplash();
  // Hides it.
  void HideSplash();
  // The 300 ms timer's redraw: paints the window when it is shown (a hidden window gets no
  // paint), which moves it to the other frame.
  void Redraw();

  // One paint: the other frame becomes current, is loaded and shapes the window, then the
  // loaded frame is drawn.
  void OnPaint();
  // Loads the current frame's bitmap. When there is none, nothing changes (false). Otherwise
  // the new bitmap replaces the one held before, the window takes its shape and size and is
  // centred over the main window.
  bool LoadFrameBitmap();

  // What the view draws.
  int FrameIndex() const;
  BitmapPtr FrameBitmap() const;
  int FrameBitmapId() const;  // resource id of the loaded frame, 0 before the first load
  // The window's shape; nothing while no frame has shaped it.
  std::optional<std::vector<ui::Rect>> Region() const;
  // The resource id the last paint drew, 0 when it drew nothing; and how many paints ran.
  int LastDrawnId() const;
  int PaintCount() const;

 private:
  std::optional<ui::Rect> LoadFrameBitmapLocked();
  ui::Rect CenteredOverMain(int width, int height) const;

  ui::Dialog& window_;
  ui::Dialog& main_;
  mutable std::mutex m_;
  BitmapLoader loader_;
  BitmapPtr bitmap_;
  int bitmapId_ = 0;
  int width_ = 0, height_ = 0;
  const int frames_[2] = {kSplashFrameA, kSplashFrameB};
  int frameIndex_ = 0;
  std::optional<std::vector<ui::Rect>> region_;
  bool created_ = false;
  int lastDrawn_ = 0;
  int paints_ = 0;
};

}  // namespace station

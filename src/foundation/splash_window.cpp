#include "foundation/splash_window.h"

#include <cmath>

namespace station {

uint32_t Bitmap::Pixel(int x, int y) const {
  const size_t i = (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
  return (uint32_t{rgb[i]} << 16) | (uint32_t{rgb[i + 1]} << 8) | uint32_t{rgb[i + 2]};
}

namespace {

constexpr uint32_t kFrameKey = 0xFF00FF;  // magenta never appears in the picture

// A waiting wheel: a dark disc with eight dots on a ring; every other dot is lit, and the two
// frames light the two halves in turn.
BitmapPtr MakeWheelFrame(int phase) {
  auto b = std::make_shared<Bitmap>();
  const int n = kSplashFrameSize;
  b->width = n;
  b->height = n;
  b->rgb.resize(static_cast<size_t>(n) * n * 3);
  const double c = (n - 1) / 2.0;
  const double kPi = 3.14159265358979323846;
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < n; ++x) {
      uint32_t colour = kFrameKey;
      const double dx = x - c, dy = y - c;
      if (dx * dx + dy * dy <= 95.0 * 95.0) {
        colour = 0x1E3A5F;
        for (int k = 0; k < 8; ++k) {
          const double a = k * kPi / 4;
          const double px = c + 60 * std::cos(a), py = c + 60 * std::sin(a);
          if ((x - px) * (x - px) + (y - py) * (y - py) <= 14.0 * 14.0)
            colour = (k % 2 == phase) ? 0xF2C14E : 0x50657D;
        }
      }
      uint8_t* p = &b->rgb[(static_cast<size_t>(y) * n + x) * 3];
      p[0] = static_cast<uint8_t>(colour >> 16);
      p[1] = static_cast<uint8_t>(colour >> 8);
      p[2] = static_cast<uint8_t>(colour);
    }
  }
  return b;
}

}  // namespace

BitmapPtr LoadStationBitmap(int resourceId) {
  if (resourceId == kSplashFrameA) return MakeWheelFrame(0);
  if (resourceId == kSplashFrameB) return MakeWheelFrame(1);
  return nullptr;
}

std::vector<ui::Rect> ShapeFromKeyColour(const uint8_t* rgb, int width, int height, uint32_t keyColour) {
  std::vector<ui::Rect> region;
  if (!rgb || width <= 0 || height <= 0) return region;
  auto pixel = [&](int x, int y) {
    const uint8_t* p = rgb + (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
    return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | uint32_t{p[2]};
  };
  for (int y = 0; y < height; ++y) {
    int x = 0;
    while (x < width) {
      while (x < width && pixel(x, y) == keyColour) ++x;
      if (x == width) break;
      const int start = x;
      while (x < width && pixel(x, y) != keyColour) ++x;
      region.push_back(ui::Rect{start, y, x - start, 1});
    }
  }
  return region;
}

SplashWindow::SplashWindow(ui::Dialog& window, ui::Dialog& mainWindow, BitmapLoader loader)
    : window_(window), main_(mainWindow), loader_(std::move(loader)) {}

void SplashWindow::SetLoader(BitmapLoader loader) {
  std::lock_guard lock(m_);
  loader_ = std::move(loader);
}

void SplashWindow::Create() {
  window_.Show(false);
  std::optional<ui::Rect> place;
  {
    std::lock_guard lock(m_);
    created_ = true;
    place = LoadFrameBitmapLocked();
  }
  if (place) window_.SetWindowRect(*place);
}

void SplashWindow::Destroy() {
  window_.Show(false);
  std::lock_guard lock(m_);
  created_ = false;
}

bool SplashWindow::Created() const {
  std::lock_guard lock(m_);
  return created_;
}

ui::Rect SplashWindow::CenteredOverMain(int width, int height) const {
  const ui::Rect m = main_.WindowRect();
  return ui::Rect{m.x + (m.w - width) / 2, m.y + (m.h - height) / 2, width, height};
}

void SplashWindow::ShowSplash() {
  {
    std::lock_guard lock(m_);
    if (!created_) return;
  }
  const ui::Rect r = window_.WindowRect();
  window_.SetWindowRect(CenteredOverMain(r.w, r.h));
  window_.Show(true);
  OnPaint();
}

void SplashWindow::HideSplash() { window_.Show(false); }

void SplashWindow::Redraw() {
  if (!window_.Shown()) return;
  OnPaint();
}

void SplashWindow::OnPaint() {
  std::optional<ui::Rect> place;
  {
    std::lock_guard lock(m_);
    if (!created_) return;
    frameIndex_ = (frameIndex_ + 1) % 2;
    place = LoadFrameBitmapLocked();
    lastDrawn_ = bitmap_ ? bitmapId_ : 0;
    ++paints_;
  }
  if (place) window_.SetWindowRect(*place);
}

bool SplashWindow::LoadFrameBitmap() {
  std::optional<ui::Rect> place;
  {
    std::lock_guard lock(m_);
    place = LoadFrameBitmapLocked();
  }
  if (place) window_.SetWindowRect(*place);
  return place.has_value();
}

// The window's new place is handed back so that the caller moves the window after letting go
// of the lock (a view listening to the window may read the frame back at once).
std::optional<ui::Rect> SplashWindow::LoadFrameBitmapLocked() {
  const int id = frames_[frameIndex_];
  BitmapPtr loaded = loader_ ? loader_(id) : nullptr;
  if (!loaded || loaded->width <= 0 || loaded->height <= 0 ||
      loaded->rgb.size() < static_cast<size_t>(loaded->width) * static_cast<size_t>(loaded->height) * 3)
    return std::nullopt;
  bitmap_ = std::move(loaded);  // the frame held before is released here
  bitmapId_ = id;
  width_ = bitmap_->width;
  height_ = bitmap_->height;
  region_ = ShapeFromKeyColour(bitmap_->rgb.data(), width_, height_, bitmap_->Pixel(0, 0));
  return CenteredOverMain(width_, height_);
}

int SplashWindow::FrameIndex() const {
  std::lock_guard lock(m_);
  return frameIndex_;
}

BitmapPtr SplashWindow::FrameBitmap() const {
  std::lock_guard lock(m_);
  return bitmap_;
}

int SplashWindow::FrameBitmapId() const {
  std::lock_guard lock(m_);
  return bitmap_ ? bitmapId_ : 0;
}

std::optional<std::vector<ui::Rect>> SplashWindow::Region() const {
  std::lock_guard lock(m_);
  return region_;
}

int SplashWindow::LastDrawnId() const {
  std::lock_guard lock(m_);
  return lastDrawn_;
}

int SplashWindow::PaintCount() const {
  std::lock_guard lock(m_);
  return paints_;
}

}  // namespace station

#include "gui/window_views.h"

#include <QPainter>

#include "gui/pictures.h"

namespace gui {

namespace {

constexpr Qt::WindowFlags kBusyWindowFlags =
    Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus;

DialogView::Setup SplashSetup() { return {}; }

// The strip's rectangle is its outer one, sizing frame included, as its users place it.
DialogView::Setup StripSetup() {
  DialogView::Setup s;
  s.frame = QMargins(5, 7, 5, 8);
  return s;
}

}  // namespace

SplashView::SplashView(ui::Dialog& dialog, station::SplashWindow& splash, QWidget* parent)
    : DialogView(dialog, SplashSetup(), parent, kBusyWindowFlags), splash_(splash) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  ApplyWindow();
}

void SplashView::ApplyWindow() {
  // Each frame the model loads moves the window, so a new frame arrives here.
  station::BitmapPtr bitmap = splash_.FrameBitmap();
  if (bitmap != bitmap_) {
    bitmap_ = bitmap;
    frame_ = bitmap ? ToImage(*bitmap) : QImage();
    QRegion shape;
    if (auto region = splash_.Region()) {
      QList<QRect> rects;
      rects.reserve(static_cast<qsizetype>(region->size()));
      for (const ui::Rect& r : *region) rects.append(QRect(r.x, r.y, r.w, r.h));
      shape.setRects(rects.constData(), static_cast<int>(rects.size()));
    }
    shape_ = shape;
    if (shape_.isEmpty())
      clearMask();
    else
      setMask(shape_);
    update();
  }
  DialogView::ApplyWindow();
}

void SplashView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  if (!frame_.isNull()) p.drawImage(0, 0, frame_);
}

ProgressStripView::ProgressStripView(ui::Dialog& dialog, QWidget* parent)
    : DialogView(dialog, StripSetup(), parent, kBusyWindowFlags) {
  setAttribute(Qt::WA_ShowWithoutActivating);
}

void ProgressStripView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QRect r = rect();
  p.fillRect(r, palette().window());
  p.setPen(palette().color(QPalette::Light));
  p.drawLine(r.topLeft(), r.topRight());
  p.drawLine(r.topLeft(), r.bottomLeft());
  p.setPen(palette().color(QPalette::Dark));
  p.drawLine(r.bottomLeft(), r.bottomRight());
  p.drawLine(r.topRight(), r.bottomRight());
}

}  // namespace gui

#pragma once
// The two small windows that tell the operator the station is busy: the splash window, shaped
// like its frame and drawn from the splash model, and the progress strip, a thin bar over the
// main window while an image loads.
#include <QImage>
#include <QRegion>

#include "foundation/splash_window.h"
#include "gui/dialog_view.h"

namespace gui {

class SplashView : public DialogView {
  Q_OBJECT

 public:
  SplashView(ui::Dialog& dialog, station::SplashWindow& splash, QWidget* parent = nullptr);
  // The frame drawn now and the window's shape (empty while no frame shaped it).
  QImage frame() const { return frame_; }
  QRegion shape() const { return shape_; }

 protected:
  void ApplyWindow() override;
  void paintEvent(QPaintEvent* event) override;

 private:
  station::SplashWindow& splash_;
  station::BitmapPtr bitmap_;
  QImage frame_;
  QRegion shape_;
};

class ProgressStripView : public DialogView {
  Q_OBJECT

 public:
  explicit ProgressStripView(ui::Dialog& dialog, QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace gui

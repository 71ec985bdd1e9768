#include "foundation/progress_strip.h"

namespace station {

ui::Rect ProgressStripPlacement(const ui::Rect& mainWindow) {
  const int left = mainWindow.x, top = mainWindow.y;
  const int right = mainWindow.x + mainWindow.w, bottom = mainWindow.y + mainWindow.h;
  ui::Rect r;
  r.x = left + (right - left) / 10;
  r.y = bottom + (top - bottom) / 2;
  r.w = kProgressStripWidth;
  r.h = kProgressStripHeight;
  return r;
}

void ProgressStrip::Create() {
  dialog_.Show(false);
  dialog_.SetRange(kProgressBarId, 0, 100);
  dialog_.SetPos(kProgressBarId, 0);
  dialog_.SetVisible(kProgressBarId, true);
  created_ = true;
}

void ProgressStrip::Destroy() {
  created_ = false;
  dialog_.Show(false);
}

void ProgressStrip::Place(const ui::Rect& mainWindow) { dialog_.SetWindowRect(ProgressStripPlacement(mainWindow)); }

void ProgressStrip::Show(bool on) { dialog_.Show(on); }

void ProgressStrip::SetRange(uint16_t max) { dialog_.SetRange(kProgressBarId, 0, max); }

void ProgressStrip::SetPos(int pos) { dialog_.SetPos(kProgressBarId, pos); }

int ProgressStrip::Pos() const { return dialog_.Pos(kProgressBarId); }

int ProgressStrip::RangeMax() const {
  auto s = dialog_.Snapshot(kProgressBarId);
  return s ? s->rangeMax : 0;
}

}  // namespace station

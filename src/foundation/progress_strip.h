#pragma once
// The progress strip: a thin, always-on-top bar shown while an installation image is unpacked
// and loaded. Its bar (control 1144) takes a range and positions from the unpacker and the
// folder delete, the way a progress-bar control takes its range and position messages. The
// strip has no logic of its own beyond that; the Qt view draws the bar from the model.
#include <atomic>
#include <cstdint>

#include "platform/ui.h"

namespace station {

constexpr int kProgressBarId = 1144;
constexpr int kProgressStripWidth = 900;
constexpr int kProgressStripHeight = 25;

// Where the loaders put the strip over the main window: a tenth of the main window's width in
// from its left edge, half its height down (counted from the bottom edge, halves truncated
// toward zero), 900 x 25 pixels.
ui::Rect ProgressStripPlacement(const ui::Rect& mainWindow);

class ProgressStrip {
 public:
  explicit ProgressStrip(ui::Dialog& dialog) : dialog_(dialog) {}
  ProgressStrip(const ProgressStrip&) = delete;
  ProgressStrip& operator=(const ProgressStrip&) = delete;

  // Creates the window from its template, hidden, with the bar at range 0..100, position 0.
  // Creating an existing strip starts it afresh.
  void Create();
  // Hides the window; the bar is gone until the next Create. Harmless when none exists.
  void Destroy();
  bool Created() const { return created_.load(); }

  // Moves the strip to its place over `mainWindow` (see ProgressStripPlacement).
  void Place(const ui::Rect& mainWindow);
  void Show(bool on);

  // The dialog that holds the bar, for code that drives a bar by dialog and control id (the
  // unpacker, the folder delete); nullptr while no strip exists.
  ui::Dialog* BarDialog() { return created_.load() ? &dialog_ : nullptr; }

  // The bar's range message carries its maximum in 16 bits; the minimum is always 0.
  void SetRange(uint16_t max);
  void SetPos(int pos);
  int Pos() const;
  int RangeMax() const;

  // The bar's custom-draw notification: the result 0 asks for default drawing.
  int OnCustomDraw() const { return 0; }

 private:
  ui::Dialog& dialog_;
  std::atomic<bool> created_{false};
};

}  // namespace station

#pragma once
// The pictures the station names by number, drawn here: the slot pictures (139 connected, 140
// connected and selected, 141 the idle gear, 142 running, 153 to 177 the red failure squares
// with their numbers 0 to 24, 183 the key of a finished single-mode operation), the splash
// frames 185 and 186 (the splash window's own bitmaps) and the application icon (128).
#include <QIcon>
#include <QImage>

#include "foundation/splash_window.h"

namespace gui {

constexpr int kIconPicture = 128;

// The picture `id` (slot pictures 100 x 100, the key 105 x 100, the splash frames 200 x 200, the
// icon 256 x 256); a null image for a number that names no picture. Drawn once and kept; may be
// called from any thread once the application object exists.
QImage StationPicture(int id);

// The application icon at the sizes a window manager asks for.
QIcon StationIcon();

// A station bitmap as an image.
QImage ToImage(const station::Bitmap& bitmap);

}  // namespace gui

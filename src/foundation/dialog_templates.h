#pragma once
// The station's dialog templates: every control of the main dialog (102), the options dialog
// (189), the progress strip (190) and the splash window (184) with its id, kind, caption and
// place, as the windows are created. Places are pixels in the dialog's client area; the
// dialog's window rectangle holds its client size.
namespace ui {
class Dialog;
}

namespace station {

void BuildMainDialog(ui::Dialog& d);
void BuildOptionsDialog(ui::Dialog& d);
void BuildProgressDialog(ui::Dialog& d);  // the progress strip (190): its bar 1144
void BuildSplashDialog(ui::Dialog& d);    // the splash window (184): no controls

// The main dialog's client size in the template: the base its controls are scaled against
// until the window is first resized.
constexpr int kMainDialogWidth = 1280;
constexpr int kMainDialogHeight = 720;

// The options dialog's group frames and captions (static texts in the template; ids of our
// own). The frames of the geometry edits and of the single-mode boxes, and the captions of
// the edits, have ids in the range that the reduced form of the dialog hides with the
// controls they frame; the frame of the function boxes stays.
constexpr int kFlashTypeGroupId = 1145;  // "Input flash type"
constexpr int kDebugGroupId = 1146;      // "debug check box"
constexpr int kFunctionGroupId = 2103;   // "funcion check box"
constexpr int kFlashSizeCaptionId = 1135;     // "flash size :"
constexpr int kMaxUsbCaptionId = 1138;        // "max usb connection :"
// The caption of the n-th geometry edit (0 to 12, in the order of the group).
constexpr int FlashEditCaptionId(int n) { return 1118 + n; }

}  // namespace station

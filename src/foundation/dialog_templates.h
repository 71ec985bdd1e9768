#pragma once
// The station's dialog templates: every control of the main dialog (102), the options dialog
// (189), the progress strip (190) and the splash window (184) with its id, kind and caption,
// as the windows are created.
namespace ui {
class Dialog;
}

namespace station {

void BuildMainDialog(ui::Dialog& d);
void BuildOptionsDialog(ui::Dialog& d);
void BuildProgressDialog(ui::Dialog& d);  // the progress strip (190): its bar 1144
void BuildSplashDialog(ui::Dialog& d);    // the splash window (184): no controls

// The options dialog's three group frames (static frames in the template; ids of our own).
constexpr int kFlashTypeGroupId = 2101;  // "Input flash type"
constexpr int kDebugGroupId = 2102;      // "debug check box"
constexpr int kFunctionGroupId = 2103;   // "funcion check box"

}  // namespace station

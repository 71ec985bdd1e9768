#pragma once
// The station's dialog templates: every control of the main dialog (102) and the options
// dialog (189) with its id, kind and caption, as the windows are created.
namespace ui {
class Dialog;
}

namespace station {

void BuildMainDialog(ui::Dialog& d);
void BuildOptionsDialog(ui::Dialog& d);

}  // namespace station

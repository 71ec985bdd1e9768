#pragma once
// The on-screen logs: the main log (the options dialog's edit 1005) and one device log per
// slot (the main dialog's hidden edits). Texts carry their own "\r\n"; nothing is added.
#include <string>

namespace ui {
class Dialog;
}

namespace station {

constexpr int kLogBufferSize = 1024;  // a formatted line keeps at most 1023 characters

// Where the logs go; a null dialog swallows the text.
void SetMainLogTarget(ui::Dialog* dialog, int controlId);
void SetDeviceLogTarget(int icon, ui::Dialog* dialog, int controlId);

void PrintLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintDeviceLog(int icon, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The whole text of a log, and emptying it; empty for a log without a target.
std::string MainLogText();
std::string DeviceLogText(int icon);
void SetDeviceLogText(int icon, const std::string& text);

}  // namespace station

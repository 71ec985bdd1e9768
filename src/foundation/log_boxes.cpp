#include "foundation/log_boxes.h"

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "platform/ui.h"

namespace station {

namespace {
struct Target {
  std::atomic<ui::Dialog*> dialog{nullptr};
  std::atomic<int> id{0};
};
Target g_main;
std::array<Target, 12> g_device;

Target* DeviceTarget(int icon) {
  if (icon < 0 || icon >= static_cast<int>(g_device.size())) return nullptr;
  return &g_device[icon];
}

void Append(Target* t, const char* format, va_list args) {
  if (!t) return;
  ui::Dialog* d = t->dialog.load();
  if (!d) return;
  char buffer[kLogBufferSize] = {};
  vsnprintf(buffer, sizeof buffer, format, args);  // cuts a longer text at 1023 characters
  d->AppendText(t->id.load(), buffer);
}
}  // namespace

void SetMainLogTarget(ui::Dialog* dialog, int controlId) {
  g_main.id = controlId;
  g_main.dialog = dialog;
}

void SetDeviceLogTarget(int icon, ui::Dialog* dialog, int controlId) {
  if (Target* t = DeviceTarget(icon)) {
    t->id = controlId;
    t->dialog = dialog;
  }
}

void PrintLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Append(&g_main, format, args);
  va_end(args);
}

void PrintDeviceLog(int icon, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Append(DeviceTarget(icon), format, args);
  va_end(args);
}

std::string MainLogText() {
  ui::Dialog* d = g_main.dialog.load();
  return d ? d->Text(g_main.id.load()) : std::string{};
}

std::string DeviceLogText(int icon) {
  Target* t = DeviceTarget(icon);
  ui::Dialog* d = t ? t->dialog.load() : nullptr;
  return d ? d->Text(t->id.load()) : std::string{};
}

void SetDeviceLogText(int icon, const std::string& text) {
  Target* t = DeviceTarget(icon);
  ui::Dialog* d = t ? t->dialog.load() : nullptr;
  if (d) d->SetText(t->id.load(), text);
}

}  // namespace station

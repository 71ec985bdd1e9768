#include "station/slot_buttons.h"

#include "foundation/log_boxes.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "package/type_lists.h"
#include "platform/ui.h"
#include "station/slot_jobs.h"

namespace station {

bool CheckTypesSelected(int slot) {
  if (slot < 0 || slot >= kSlotCount) return false;
  if (state().ImageLoading.load()) {
    ui::MessageBox("Please wait while loading", "WARNING");
    return false;
  }
  const int flashType = GetFlashTypeIndex(1);
  if (flashType < 0) {
    ui::MessageBox("Please select flash type first!", "WARNING");
    return false;
  }
  if (GetDdrTypeIndex(1) < 0 && flashType >= kFlashEmmc) {
    ui::MessageBox("Please select ddr type first!", "WARNING");
    return false;
  }
  return true;
}

void PrepareSlotForJob(int slot) {
  if (slot < 0 || slot >= kSlotCount) return;
  StationState& s = state();
  SetDeviceLogText(slot, "");
  SetSlotMacText(slot, "");
  s.mainDlg.SetText(SlotMacId(slot), "");
  SetSlotSnText(slot, "");
  s.mainDlg.SetText(SlotSnId(slot), "-");
  DeviceSlot& dev = s.slots[slot];
  dev.Busy = 1;
  std::lock_guard g(dev.lock);
  std::vector<int64_t>().swap(dev.PartRemaining);
}

void OnSlotButton(int slot) {
  if (!CheckTypesSelected(slot)) return;
  StartSlotJob(slot);
}

void BindSlotButtons() {
  for (int i = 0; i < kSlotCount; ++i) state().mainDlg.OnClick(SlotButtonId(i), [i] { OnSlotButton(i); });
}

}  // namespace station

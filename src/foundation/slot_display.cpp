#include "foundation/slot_display.h"

#include <cstdio>

namespace station {

namespace {

bool ValidSlot(int slot) { return slot >= 0 && slot < kSlotCount; }

void LoadPictures(StationState& s, int slot, int normal, int selected = 0, int focus = 0) {
  SlotButton& b = s.slotButtons[slot];
  b.normal = normal;
  b.selected = selected;
  b.focus = focus;
  s.mainDlg.SetPicture(SlotButtonId(slot), normal);
}

// The button takes the size of its picture; a button without a picture keeps its size.
void SizeToPicture(StationState& s, int slot) {
  const int id = SlotButtonId(slot);
  const int picture = s.mainDlg.Picture(id);
  if (picture == 0) return;
  ui::Rect r = s.mainDlg.GetRect(id);
  r.w = picture == kPictureSingleDone ? 105 : 100;
  r.h = 100;
  s.mainDlg.SetRect(id, r);
}

}  // namespace

int ShowSlotMac(int slot, int show, const std::array<std::string, kSlotCount>& macTexts) {
  if (!ValidSlot(slot)) return show ? 0 : 1;
  StationState& s = state();
  if (show) {
    const std::string& mac = macTexts[slot];
    s.mainDlg.SetText(SlotMacId(slot), mac.empty() ? kNoMac : mac);
    return 0;
  }
  s.mainDlg.SetText(SlotMacId(slot), "");
  return 1;
}

void SetSlotState(int slot, int slotState, int code) {
  if (!ValidSlot(slot)) return;
  StationState& s = state();
  ui::Dialog& d = s.mainDlg;
  const int button = SlotButtonId(slot);
  switch (slotState) {
    case kSlotInitial:
      s.slotButtons[slot].bound = true;
      LoadPictures(s, slot, kPictureIdle);
      d.SetEnabled(button, false);
      d.SetText(SlotMacId(slot), "");
      d.SetText(SlotSnId(slot), "-");
      break;
    case kSlotRemoved:
      LoadPictures(s, slot, kPictureIdle);
      d.SetEnabled(button, false);
      d.SetText(SlotMacId(slot), "");
      SetSlotMacText(slot, "");
      d.SetText(SlotSnId(slot), "-");
      SetSlotSnText(slot, "");
      s.HwsettingPending[slot] = 1;
      break;
    case kSlotConnected: {
      LoadPictures(s, slot, kPictureConnected, kPictureConnectedSelected, kPictureConnected);
      d.SetEnabled(button, true);
      const std::string mac = SlotMacText(slot), sn = SlotSnText(slot);
      d.SetText(SlotMacId(slot), mac.empty() ? kNoMac : mac);
      d.SetText(SlotSnId(slot), sn.empty() ? std::string("-") : sn);
      break;
    }
    case kSlotRunning:
      LoadPictures(s, slot, kPictureRunning);
      d.SetEnabled(button, false);
      break;
    case kSlotFailed:
      // Only the squares 0 to 24 exist; another number leaves the button without a picture.
      LoadPictures(s, slot, code >= 0 && code <= 24 ? kPictureFailedBase + code : 0);
      d.SetEnabled(button, false);
      d.SetText(SlotMacId(slot), "");
      d.SetText(SlotSnId(slot), "-");
      d.SetEnabled(1068, true);  // key "open"
      d.SetEnabled(1067, true);  // install image "open"
      d.SetEnabled(1064, true);  // flash type
      break;
    case kSlotSingleDone:
      LoadPictures(s, slot, kPictureSingleDone);
      d.SetEnabled(button, false);
      break;
    default:
      break;
  }
  // Every change of the model repaints what shows it; only the size is left to do here.
  SizeToPicture(s, slot);
}

int SlotPercent(const StationState& s, int slot) {
  if (!ValidSlot(slot)) return 0;
  const DeviceSlot& dev = s.slots[slot];
  // Only a busy slot's job holds the package, so only then are the image's sizes settled.
  if (dev.Busy.load() != 1) return 0;
  const ImageBuffers& img = s.images;
  std::lock_guard g(dev.lock);
  const RemainingBytes& rem = dev.Remaining;
  auto sum = [](const auto& counters) {
    int64_t n = 0;
    for (const int64_t& v : counters) n += LoadCounter(v);
    return n;
  };

  uint64_t total = 0;
  int64_t remaining = 0;
  if (s.optionsDlg.Checked(1069) && s.optionsDlg.Checked(1070)) {
    // Single mode with burn factory counts the entry list alone.
    for (const EntryRecord& e : img.entryList) total += e.length;
    remaining = sum(rem.entryList);
  } else {
    for (const FwEntry& e : *s.fwEntries) total += e.Size;
    for (const ImageBuffer& b : img.boot) total += b.length;
    total += img.norImage.length;
    for (const ImageBuffer& b : img.singleMode) total += b.length;
    for (const PartitionPiece& p : img.partitionPieces) total += p.length;
    for (const MbrImage& m : img.mbrImages) total += m.length;
    for (const EntryRecord& e : img.entryList) total += e.length;

    remaining = sum(rem.boot) + sum(rem.entries) + sum(rem.partitions) + sum(rem.mbr) + sum(rem.entryList) +
                sum(rem.singleMode) + LoadCounter(rem.norImage) + sum(dev.PartRemaining);
  }

  if (total == 0) return 0;
  double percent = (static_cast<double>(total) - static_cast<double>(remaining)) / static_cast<double>(total) * 100.0;
  // Counters that do not match the loaded image (more left than was loaded, or sent past the
  // end) must not show a share outside 0..100, nor overflow the conversion.
  if (!(percent >= 0.0)) percent = 0.0;
  if (percent > 100.0) percent = 100.0;
  return static_cast<int>(percent);
}

void ShowProgressPercent(int slot, int show) {
  if (!ValidSlot(slot)) return;
  StationState& s = state();
  char text[kPathMax] = {};
  if (!show)
    snprintf(text, sizeof text, "Disable");
  else
    snprintf(text, sizeof text, "%d", SlotPercent(s, slot));
  s.mainDlg.SetText(SlotPercentId(slot), text);
  s.mainDlg.SetFont(SlotPercentId(slot), StationState::LargeFont);
}

}  // namespace station

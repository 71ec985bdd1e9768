// The dialogs' places: every control an operator can see lies inside its dialog, clear of
// every other one, and a control that meets a group frame lies wholly inside it. Checked for
// the templates as they are, for the widest slot picture, and for the reduced options dialog
// the start-up gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/dialog_templates.h"
#include "foundation/slot_display.h"
#include "foundation/station_state.h"
#include "package/type_lists.h"
#include "support/test_env.h"

namespace {

using namespace station;

bool Overlap(const ui::Rect& a, const ui::Rect& b) {
  return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}
bool Inside(const ui::Rect& inner, const ui::Rect& outer) {
  return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.w <= outer.x + outer.w &&
         inner.y + inner.h <= outer.y + outer.h;
}

// Every fault of the dialog's visible controls, one line each.
std::vector<std::string> LayoutFaults(const ui::Dialog& d) {
  const ui::Rect client{0, 0, d.WindowRect().w, d.WindowRect().h};
  std::vector<ui::ControlState> shown, groups;
  for (int id : d.Ids()) {
    const ui::ControlState c = *d.SnapshotWithoutText(id);
    if (!c.visible) continue;
    (c.kind == ui::Kind::Group ? groups : shown).push_back(c);
  }
  std::vector<std::string> faults;
  for (const auto* list : {&shown, &groups})
    for (const ui::ControlState& c : *list) {
      if (c.rect.w <= 0 || c.rect.h <= 0) faults.push_back(std::to_string(c.id) + " has no size");
      if (!Inside(c.rect, client)) faults.push_back(std::to_string(c.id) + " leaves the dialog");
    }
  for (size_t i = 0; i < shown.size(); ++i) {
    for (size_t j = i + 1; j < shown.size(); ++j)
      if (Overlap(shown[i].rect, shown[j].rect))
        faults.push_back(std::to_string(shown[i].id) + " overlaps " + std::to_string(shown[j].id));
    for (const ui::ControlState& g : groups)
      if (Overlap(shown[i].rect, g.rect) && !Inside(shown[i].rect, g.rect))
        faults.push_back(std::to_string(shown[i].id) + " crosses the frame " + std::to_string(g.id));
  }
  return faults;
}

class DialogTemplates : public ::testing::Test {
 protected:
  StationState& s() { return *fx.station; }
  testenv::StationFixture fx;
};

TEST_F(DialogTemplates, MainDialogControlsStandApart) {
  ui::Dialog& d = s().mainDlg;
  EXPECT_EQ(d.WindowRect(), (ui::Rect{0, 0, kMainDialogWidth, kMainDialogHeight}));
  EXPECT_EQ(LayoutFaults(d), std::vector<std::string>{});

  // The key picture is the widest; every slot may show it at once.
  for (int slot = 0; slot < kSlotCount; ++slot) SetSlotState(slot, kSlotSingleDone, 0);
  EXPECT_EQ(d.GetRect(SlotButtonId(0)).w, 105);
  EXPECT_EQ(LayoutFaults(d), std::vector<std::string>{});

  // The erase boxes and the slot logs are never shown; shown, the boxes still fit their tiles.
  for (int slot = 0; slot < kSlotCount; ++slot) d.SetVisible(1196 + slot, true);
  EXPECT_EQ(LayoutFaults(d), std::vector<std::string>{});
}

TEST_F(DialogTemplates, SlotTilesRunInTwoRowsOfSix) {
  ui::Dialog& d = s().mainDlg;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    SCOPED_TRACE(slot);
    const ui::Rect button = d.GetRect(SlotButtonId(slot));
    EXPECT_EQ(button.w, 100);
    EXPECT_EQ(button.h, 100);
    // Number, percentage, picture, MAC and SN of a slot stack top to bottom in one column.
    const ui::Rect number = d.GetRect(SlotNumberId(slot)), mac = d.GetRect(SlotMacId(slot)),
                   sn = d.GetRect(SlotSnId(slot)), percent = d.GetRect(SlotPercentId(slot));
    EXPECT_LE(number.y + number.h, button.y);
    EXPECT_LE(percent.y + percent.h, button.y);
    EXPECT_LE(button.y + button.h, mac.y);
    EXPECT_LE(mac.y + mac.h, sn.y);
    EXPECT_LE(mac.x, button.x);
    EXPECT_GE(mac.x + mac.w, button.x + 105);
    if (slot % 6) {
      EXPECT_EQ(button.y, d.GetRect(SlotButtonId(slot - 1)).y);
      EXPECT_GT(button.x, d.GetRect(SlotMacId(slot - 1)).x + d.GetRect(SlotMacId(slot - 1)).w);
    }
  }
  EXPECT_GT(d.GetRect(SlotButtonId(6)).y, d.GetRect(SlotSnId(0)).y) << "the second row lies under the first";
  // The lists and buttons lie under the tiles.
  const int tilesEnd = d.GetRect(SlotSnId(11)).y + d.GetRect(SlotSnId(11)).h;
  for (int id : {1064, 1152, 1048, 1065, 1067, 1145, 1141, 1160, 1066, 1068, 1110, 1111})
    EXPECT_GT(d.GetRect(id).y, tilesEnd) << id;
}

TEST_F(DialogTemplates, OptionsDialogControlsStandApart) {
  ui::Dialog& d = s().optionsDlg;
  EXPECT_EQ(LayoutFaults(d), std::vector<std::string>{}) << "the full form";
  // Left to right: the three groups, the log, the list view, the flash size and the limit.
  const int order[] = {kFlashTypeGroupId, kDebugGroupId, kFunctionGroupId, kMainLogControlId, 1184, 1149};
  for (size_t i = 1; i < std::size(order); ++i) {
    const ui::Rect a = d.GetRect(order[i - 1]), b = d.GetRect(order[i]);
    EXPECT_LE(a.x + a.w, b.x) << order[i - 1] << " before " << order[i];
  }
  for (int id : {1183, 1182}) EXPECT_GT(d.GetRect(id).y, d.GetRect(kMainLogControlId).y + d.GetRect(kMainLogControlId).h);
  // Each geometry edit has its caption on its left, in the range the reduced form hides.
  for (int n = 0; n < 13; ++n) {
    const ui::ControlState caption = *d.Snapshot(FlashEditCaptionId(n));
    EXPECT_EQ(caption.kind, ui::Kind::Label);
    EXPECT_FALSE(caption.text.empty()) << n;
  }
  EXPECT_EQ(d.Text(FlashEditCaptionId(6)), "Transmission Size (K):");

  // The reduced form the start-up gives, with and without the factory switches.
  for (bool factory : {false, true}) {
    SCOPED_TRACE(factory ? "burn factory" : "no burn factory");
    d.SetChecked(1070, factory);
    ArrangeOptionsDialog(false);
    ToggleSimpleLayout();
    EXPECT_EQ(LayoutFaults(d), std::vector<std::string>{});
    for (int id : {kFlashTypeGroupId, kDebugGroupId, FlashEditCaptionId(0), FlashEditCaptionId(12), kFlashSizeCaptionId,
                   kMaxUsbCaptionId})
      EXPECT_FALSE(d.Visible(id)) << id << ": a caption or frame of hidden controls";
    EXPECT_TRUE(d.Visible(kFunctionGroupId));
    EXPECT_EQ(d.Visible(1070), factory);
  }
}

}  // namespace

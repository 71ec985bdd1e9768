#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <tuple>

#include "platform/ui.h"

namespace {

TEST(DialogModel, MissingControlsReadEmptyAndIgnoreWrites) {
  ui::Dialog d(1, "t");
  d.SetText(5, "x");
  EXPECT_EQ(d.Text(5), "");
  EXPECT_FALSE(d.Checked(5));
  EXPECT_EQ(d.Selected(5), -1);
}

TEST(DialogModel, ListSelectionSetsText) {
  ui::Dialog d(1, "t");
  d.Add(10, ui::Kind::List);
  d.AddItem(10, "NAND");
  d.AddItem(10, "NOR");
  EXPECT_EQ(d.SelectString(10, "NOR"), 1);
  EXPECT_EQ(d.Text(10), "NOR");
  EXPECT_EQ(d.SelectString(10, "EMMC"), -1);
  EXPECT_EQ(d.Selected(10), 1);
  d.SetSelected(10, -1);
  EXPECT_EQ(d.Selected(10), -1);
}

TEST(DialogModel, ConcurrentAppendsKeepEveryLine) {
  ui::Dialog d(1, "t");
  d.Add(7, ui::Kind::Edit);
  std::vector<std::thread> threads;
  for (int t = 0; t < 12; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) d.AppendText(7, "abcd\r\n");
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(d.Text(7).size(), 12u * 1000u * 6u);
}

// A view that shows a growing text reads only what was added since it last looked; any other
// change of the text gives it the whole text again.
TEST(DialogModel, GrowingTextIsReadFromWhereTheViewStopped) {
  ui::Dialog d(1, "t");
  d.Add(7, ui::Kind::Edit);
  d.SetText(7, "first\r\n");
  const ui::TextTail start = d.TextSince(7, 0, 0);
  ASSERT_TRUE(start.whole) << "a view that has seen nothing gets everything";
  EXPECT_EQ(start.text, "first\r\n");

  d.AppendText(7, "second\r\n");
  d.AppendText(7, "third");
  const ui::TextTail grown = d.TextSince(7, start.revision, start.size);
  EXPECT_FALSE(grown.whole);
  EXPECT_EQ(grown.revision, start.revision);
  EXPECT_EQ(grown.text, "second\r\nthird");
  EXPECT_EQ(grown.size, d.Text(7).size());

  struct Case {
    const char* name;
    std::function<void()> change;
    const char* whole;
  };
  const Case cases[] = {
      {"replaced by a longer text", [&] { d.SetText(7, "first\r\nsecond\r\nthird and more"); }, "first\r\nsecond\r\nthird and more"},
      {"emptied", [&] { d.SetText(7, ""); }, ""},
  };
  ui::TextTail seen = d.TextSince(7, grown.revision, grown.size);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.change();
    const ui::TextTail t = d.TextSince(7, seen.revision, seen.size);
    EXPECT_TRUE(t.whole);
    EXPECT_EQ(t.text, c.whole);
    seen = t;
  }
  EXPECT_TRUE(d.TextSince(7, seen.revision, seen.size + 1).whole) << "an offset past the end reads everything";

  // A list's text changes with its selection.
  d.Add(8, ui::Kind::List);
  d.AddItem(8, "NAND");
  d.AddItem(8, "NOR");
  const ui::TextTail list = d.TextSince(8, 0, 0);
  d.SetSelected(8, 1);
  EXPECT_TRUE(d.TextSince(8, list.revision, list.size).whole);
  const ui::TextTail nor = d.TextSince(8, 0, 0);
  d.SelectString(8, "NAND");
  EXPECT_EQ(d.TextSince(8, nor.revision, nor.size).text, "NAND");
}

TEST(DialogModel, SnapshotWithoutTextKeepsEverythingElse) {
  ui::Dialog d(1, "t");
  d.Add(9, ui::Kind::List, "", false);
  d.AddItem(9, "a");
  d.AddItem(9, "b");
  d.SetSelected(9, 1);
  d.SetChecked(9, true);
  d.SetEnabled(9, false);
  d.SetPicture(9, 141);
  d.SetRange(9, 3, 40);
  d.SetPos(9, 12);
  d.SetRect(9, {1, 2, 3, 4});
  d.SetFont(9, 22);
  d.SetTextLimit(9, 80);
  d.SetReadOnly(9, true);
  d.SelectText(9, 1, 0);
  const ui::ControlState full = *d.Snapshot(9);
  const ui::ControlState lean = *d.SnapshotWithoutText(9);
  EXPECT_EQ(full.text, "b");
  EXPECT_EQ(lean.text, "");
  ui::ControlState same = lean;
  same.text = full.text;
  auto fields = [](const ui::ControlState& c) {
    return std::make_tuple(c.id, c.kind, c.text, c.checked, c.enabled, c.visible, c.items, c.selected, c.picture,
                           c.rangeMin, c.rangeMax, c.pos, c.rect.x, c.rect.y, c.rect.w, c.rect.h, c.font, c.textLimit,
                           c.readOnly, c.textRevision, c.selectionAnchor, c.selectionCaret, c.selectionRevision);
  };
  EXPECT_EQ(fields(same), fields(full));
  EXPECT_FALSE(d.SnapshotWithoutText(10).has_value());
}

TEST(DialogModel, AnEditsSelectionLastsUntilItsTextChanges) {
  ui::Dialog d(1, "t");
  d.Add(4, ui::Kind::Edit);
  d.SetText(4, "/pkg/install.img");
  d.SelectText(4, 99, 0);  // past the end: the whole text, anchored at its end
  ui::ControlState c = *d.SnapshotWithoutText(4);
  EXPECT_EQ(c.selectionAnchor, 16u);
  EXPECT_EQ(c.selectionCaret, 0u);
  EXPECT_EQ(c.selectionRevision, 1u);
  d.SetText(4, "/other.img");
  c = *d.Snapshot(4);
  EXPECT_EQ(c.selectionAnchor, 0u);
  EXPECT_EQ(c.selectionCaret, 0u);
  EXPECT_EQ(c.selectionRevision, 1u) << "dropping it is no new selection for a view to apply";
  d.SelectText(4, 1, 3);
  EXPECT_EQ(d.Snapshot(4)->selectionRevision, 2u);
}

TEST(DialogModel, ClickTogglesCheckBoxAndRunsHandler) {
  ui::Dialog d(1, "t");
  d.Add(3, ui::Kind::CheckBox);
  int calls = 0;
  d.OnClick(3, [&] { ++calls; });
  EXPECT_TRUE(d.Click(3));
  EXPECT_TRUE(d.Checked(3));
  d.SetEnabled(3, false);
  EXPECT_FALSE(d.Click(3));
  EXPECT_EQ(calls, 1);
}

TEST(HeadlessHost, AnswersFromScriptThenDefault) {
  ui::ScopedHeadlessHost host;
  host->QueueAnswer(ui::IDCANCEL);
  EXPECT_EQ(ui::MessageBox("a", "WARNING", ui::MB_OKCANCEL), ui::IDCANCEL);
  EXPECT_EQ(ui::MessageBox("b", "ERROR"), ui::IDOK);
  auto p = host->Prompts();
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[1].caption, "ERROR");
  EXPECT_EQ(p[1].text, "b");
}

}  // namespace

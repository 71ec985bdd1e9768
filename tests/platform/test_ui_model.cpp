#include <gtest/gtest.h>

#include <thread>

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

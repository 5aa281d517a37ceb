#include "findings/listed_files.h"

#include <gtest/gtest.h>

#include "fakes/fake_machine.h"

namespace kestrix {
namespace {

using testing::FakeEngine;

TEST(DisplayCategory, MapsCategoryAndSizeToTextAndImage) {
  struct Case {
    std::int32_t category;
    std::int32_t size;
    std::string_view text;
    int image;
  };
  const Case cases[] = {
      {0, 10, "病毒", 0},   {1, 10, "危险", 1},   {2, 10, "可疑", 2},   {3, 10, "垃圾", 3},
      {4, 10, "垃圾", 0},   {5, 10, "垃圾", 1},   {7, 10, "垃圾", 3},   {57, 10, "垃圾", 1},
      {-1, 10, "垃圾", -1}, {-6, 10, "垃圾", -2}, {-16, 10, "垃圾", 0}, {2, 0, "垃圾", 3},
      {0, -1, "垃圾", 3},   {1, 1, "危险", 1},
  };
  for (const Case& c : cases) {
    const CategoryDisplay display = DisplayCategory(c.category, c.size);
    EXPECT_EQ(display.text, c.text) << c.category << " size " << c.size;
    EXPECT_EQ(display.image, c.image) << c.category << " size " << c.size;
  }
}

TEST(AddVirus, IgnoresAPathListedAlreadyWhateverItsCaseAndBlanks) {
  FakeEngine engine;
  engine.machine.AddFile("E:\\Autorun.inf", "[autorun]");
  engine.list.AddVirus("e:\\AUTORUN.INF ", 1);
  engine.list.AddVirus("b.exe", 0);
  ASSERT_EQ(engine.view.windowShown, 1);
  ASSERT_EQ(engine.view.totalNumber, "2");

  engine.list.AddVirus("E:\\Autorun.inf", 0);
  engine.list.AddVirus("\tB.EXE", 2);
  EXPECT_EQ(engine.list.Count(), 2u);
  EXPECT_EQ(engine.view.windowShown, 1);
  EXPECT_EQ(engine.view.totalNumber, "2");
  EXPECT_EQ(engine.list.Entry(0).path, "e:\\AUTORUN.INF ");
}

TEST(AddVirusAtLeast, RaisesAWeakerCategoryOnly) {
  const struct {
    std::int32_t first;
    std::int32_t then;
    std::string_view shown;
    std::string_view reason;
  } cases[] = {{1, 0, "病毒", "a rule; a decoy"}, {3, 0, "病毒", "a rule; a decoy"},
               {4, 0, "病毒", "a rule; a decoy"}, {0, 1, "病毒", "a rule"},
               {2, 1, "危险", "a rule; a decoy"}, {1, 2, "危险", "a rule"}};
  for (const auto& c : cases) {
    FakeEngine engine;
    engine.machine.AddFile("E:\\x.vbs", "x");
    engine.list.AddVirus("E:\\x.vbs", c.first, "a rule");
    engine.list.AddVirusAtLeast("e:\\X.VBS", c.then, "a decoy");
    ASSERT_EQ(engine.list.Count(), 1u);
    EXPECT_EQ(engine.list.Entry(0).category, c.shown) << c.first << " then " << c.then;
    EXPECT_EQ(engine.view.rows.at(0).category, c.shown) << c.first << " then " << c.then;
    EXPECT_EQ(engine.list.Entry(0).reason, c.reason) << c.first << " then " << c.then;
  }
  // After an entry leaves, the one that moved up is the one raised.
  FakeEngine engine;
  for (const char* path : {"E:\\a.exe", "E:\\b.exe"}) engine.machine.AddFile(path, "x");
  engine.list.AddVirus("E:\\a.exe", 1);
  engine.list.AddVirus("E:\\b.exe", 1);
  engine.list.Delete(0);
  engine.list.AddVirusAtLeast("E:\\b.exe", 0, "a decoy");
  EXPECT_EQ(engine.view.rows.at(0).category, "病毒");
}

TEST(AddVirus, FirstEntryAfterEmptyingShowsTheWindowAndNumbersCountFromOne) {
  FakeEngine engine;
  engine.machine.AddFile("E:\\a.exe", "0123456789");
  engine.list.AddVirus("E:\\a.exe", 2);
  engine.list.AddVirus("E:\\b.exe", 0);
  EXPECT_EQ(engine.view.windowShown, 1);
  EXPECT_EQ(engine.list.Entry(0).category, "可疑");
  EXPECT_EQ(engine.list.Entry(0).image, 2);
  EXPECT_EQ(engine.list.Entry(1).category, "垃圾") << "a missing file is junk";

  engine.list.Clear();
  EXPECT_TRUE(engine.view.rows.empty());
  engine.list.AddVirus("E:\\a.exe", 2);
  EXPECT_EQ(engine.view.windowShown, 2);
  EXPECT_EQ(engine.list.Entry(0).number, "1");
}

TEST(AddVirus, NumbersRepeatAfterAnEntryLeavesAndItsPathCanComeBack) {
  FakeEngine engine;
  for (const char* path : {"a", "b", "c"}) engine.list.AddVirus(path, 0);
  engine.list.Delete(0);
  ASSERT_EQ(engine.view.rows.size(), 2u);
  engine.list.AddVirus("d", 0);
  EXPECT_EQ(engine.list.Entry(2).number, "3");
  engine.list.AddVirus("A", 0);
  EXPECT_EQ(engine.list.Count(), 4u) << "a deleted entry no longer blocks its path";
}

}  // namespace
}  // namespace kestrix

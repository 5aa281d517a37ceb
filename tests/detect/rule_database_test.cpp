#include "detect/rule_database.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "detect/file_tests.h"
#include "fakes/fake_machine.h"

namespace kestrix {
namespace {

using ::testing::ElementsAre;
using testing::FakeEngine;

TEST(PosNoCase, FindsTheFirstOccurrenceIgnoringLetterCaseOnly) {
  testing::FakeFolding folding;
  struct Case {
    std::string_view pattern, text;
    std::size_t position;
  };
  const Case cases[] = {
      {"!all", "x.exe !ALL 2", 7},
      {"@WinPath", "x @WINPATH @winpath", 3},
      {"open=", "[autorun]", 0},
      {"ÉTÉ", "x été", 3},
      {"icon=", "defaulticon=", 8},
      {"!ALL", "x.exe ! ALL", 0},
      {"é", "xÉé", 2},
  };
  for (const Case& c : cases) EXPECT_EQ(PosNoCase(folding, c.pattern, c.text), c.position) << c.text;
}

TEST(RuleCategory, IsTheLastCharacterAsReadMinusZero) {
  EXPECT_EQ(RuleCategory("x.exe !ALL 2"), 2);
  EXPECT_EQ(RuleCategory("x.exe !ALL 2 "), -16);
  EXPECT_EQ(RuleCategory("x.exe !ALL 2\t"), -39);
  EXPECT_EQ(RuleCategory("x.exe !ALL A"), 17);
  EXPECT_EQ(RuleCategory("x.exe !ALL é"), 0xE9 - '0');
}

TEST(RulePass, MatchesTokensInAnyCaseAndSkipsBlankCommentAndMacroLines) {
  FakeEngine engine;
  for (const char* name : {"a.exe", "b.exe", "c.exe", "d.exe", "e.exe", "f.exe"}) {
    engine.machine.AddFile(std::string("E:\\") + name);
  }
  const RuleList rules = {
      "a.exe !all 0", "  # b.exe !ALL 1", "<WinPath>c.exe !ALL 1 :1", "", "   ", "d.exe !ALL 2\t",
      "!ALL 1",       "e.exe @winpath 3", "f.exe nothing 1",
  };
  RulePass(engine.context, rules, "E:\\", {"!ALL", "@WinPath"});
  EXPECT_THAT(engine.Listed(), ElementsAre("E:\\a.exe 病毒", "E:\\d.exe 垃圾", "E:\\e.exe 垃圾"));
  EXPECT_EQ(engine.list.Entry(1).image, -39 % 4) << "a trailing tab still matches, with category -39";
  EXPECT_EQ(engine.machine.pumps, static_cast<int>(rules.size())) << "messages are handled before every line";
}

TEST(RulePass, LaterTokenSearchesOnlyTextBeforeEarlierToken) {
  FakeEngine engine;
  engine.machine.AddFile("E:\\x.exe @SYSpath");
  engine.machine.AddFile("E:\\x.exe");
  RulePass(engine.context, {"x.exe @SYSpath !ALL 1"}, "E:\\",
           {"!ALL", "@WinPath", "@SYS32path", "@SYSpath", "@DSKROOT"});
  EXPECT_THAT(engine.Listed(), ElementsAre("E:\\x.exe @SYSpath 危险", "E:\\x.exe 危险"));

  // The text is cut at a found token even when no file is there, so a token
  // standing after it on the line is never found.
  FakeEngine cut;
  cut.machine.AddFile("E:\\y.exe !ALL");
  RulePass(cut.context, {"y.exe !ALL @SYSpath 1"}, "E:\\", {"!ALL", "@SYSpath"});
  EXPECT_THAT(cut.Listed(), ElementsAre());
}

TEST(RulePass, ResetsTheAttributesOfEveryFileItFindsAndListsNoLockedOne) {
  FakeEngine engine;
  testing::FakeFile& hidden = engine.machine.AddFile("E:\\hidden.exe");
  hidden.readOnly = hidden.hidden = hidden.system = true;
  engine.machine.AddFile("E:\\locked.exe").attributesLocked = true;
  RulePass(engine.context, {"HIDDEN.EXE !ALL 0", "locked.exe !ALL 0"}, "E:\\", {"!ALL"});
  EXPECT_THAT(engine.Listed(), ElementsAre("E:\\HIDDEN.EXE 病毒"));
  const testing::FakeFile* file = engine.machine.Find("E:\\hidden.exe");
  EXPECT_FALSE(file->readOnly || file->hidden || file->system);
}

TEST(ExpandRuleMacros, ReplacesEveryOccurrenceInAnyCaseWithoutSearchingTheReplacement) {
  testing::FakeFolding folding;
  RuleList rules = {"<winpath>a.exe :0", "<WinPath>b<WINPATH> :1", "", "# <WinPath>"};
  ExpandRuleMacros(folding, rules, "<WinPath>", "C:\\<WinPath>\\");
  EXPECT_THAT(rules, ElementsAre("C:\\<WinPath>\\a.exe :0", "C:\\<WinPath>\\bC:\\<WinPath>\\ :1", "",
                                 "# C:\\<WinPath>\\"));
}

TEST(FixedPathPass, LooksUpThePathBeforeTheMarkerAsWritten) {
  FakeEngine engine;
  for (const char* path : {"C:\\WINDOWS\\a.exe", "C:\\b.exe", "rel.exe", "C:\\e.exe"})
    engine.machine.AddFile(path);
  const RuleList rules = {
      "C:\\WINDOWS\\a.exe :0",  // expanded macro line
      "C:\\b.exe :1 !ALL 1",    // a directory rule with the marker too: the path ends at the marker
      "rel.exe :2",             // relative to the current directory
      "<Other>C:\\e.exe :0",    // unknown macro: skipped
      "C:\\e.exe: 0",           // no marker
  };
  FixedPathPass(engine.context, rules);
  EXPECT_THAT(engine.Listed(), ElementsAre("C:\\WINDOWS\\a.exe 病毒", "C:\\b.exe 危险", "rel.exe 可疑"));
}

TEST(LoadRuleDatabase, ReadsAfreshAndResetsTheFileAttributes) {
  testing::FakeMachine machine;
  EXPECT_TRUE(LoadRuleDatabase(machine, "").empty());
  EXPECT_TRUE(LoadRuleDatabase(machine, "C:\\K\\Kestrix.dat").empty());

  using namespace std::string_literals;
  testing::FakeFile& file = machine.AddFile("C:\\K\\Kestrix.dat", "a !ALL 1\r\nb !ALL 2\rc\nd\0e\nf"s);
  file.hidden = true;
  EXPECT_THAT(LoadRuleDatabase(machine, "C:\\K\\Kestrix.dat"), ElementsAre("a !ALL 1", "b !ALL 2", "c", "d"));
  EXPECT_FALSE(machine.Find("C:\\K\\Kestrix.dat")->hidden);

  // Loaded again into the list of an earlier load: only the file's lines,
  // with their numbers, whether the file grew, shrank or went.
  RuleList rules = {TextLine("stale long line of an earlier load", 9), "x", "y", "z", "w", "v"};
  LoadRuleDatabase(machine, "C:\\K\\Kestrix.dat", rules);
  EXPECT_THAT(rules, ElementsAre("a !ALL 1", "b !ALL 2", "c", "d"));
  EXPECT_EQ(rules[0].number, 1u);
  EXPECT_EQ(rules[3].number, 4u);
  file.content = "g\r\nh\r\ni\r\nj\r\nk\r\nl\r\n";
  LoadRuleDatabase(machine, "C:\\K\\Kestrix.dat", rules);
  EXPECT_THAT(rules, ElementsAre("g", "h", "i", "j", "k", "l"));
  LoadRuleDatabase(machine, "", rules);
  EXPECT_TRUE(rules.empty());

  file.unreadable = true;
  try {
    LoadRuleDatabase(machine, "C:\\K\\Kestrix.dat");
    FAIL() << "an unreadable rule database must end the sweep";
  } catch (const FileOpenError& error) {
    EXPECT_STREQ(error.what(),
                 "Cannot open file \"C:\\K\\Kestrix.dat\". The process cannot access the file because it is "
                 "being used by another process.");
  }
}

}  // namespace
}  // namespace kestrix

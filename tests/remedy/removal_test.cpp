#include "remedy/removal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_machine.h"
#include "remedy/list_actions.h"

namespace kestrix {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

struct RecordingRemovalView final : RemovalView {
  int closeRequests = 0;
  void RequestClose() override { ++closeRequests; }
};

class RemovalFixture : public ::testing::Test {
 protected:
  testing::FakeEngine engine;
  testing::FakeMachine& machine = engine.machine;
  testing::FakeDesktop desktop;
  testing::FakeProcessTable processes;
  RecordingRemovalView view;
  ProtectedList protectedList{machine, machine.folding};
  std::string title = "Kestrix";
  testing::FakeStoreFolder store;
  testing::FakeHashing hashing;
  Quarantine quarantine{{machine, machine, store, hashing}, kDefaultQuarantineLimit};
  Removal removal{{machine, machine.folding, machine, desktop, desktop, processes, &quarantine},
                  engine.list,
                  protectedList,
                  view,
                  title};

  void SetUp() override { protectedList.BuildProtectedList("C:\\WINDOWS\\"); }

  // Lists files that exist, in order.
  void List(std::initializer_list<std::string_view> paths) {
    for (const std::string_view path : paths) {
      if (!machine.Find(path)) machine.AddFile(path);
      engine.list.AddVirus(path, 0);
    }
  }
  void Select(std::initializer_list<std::size_t> indices) {
    for (const std::size_t index : indices) engine.list.SetSelected(index, true);
  }
  std::vector<std::string> Paths() const {
    std::vector<std::string> paths;
    for (const SuspectEntry& entry : engine.list.Entries()) paths.push_back(entry.path);
    return paths;
  }
  std::vector<std::string> BalloonTexts() const {
    std::vector<std::string> texts;
    for (const testing::FakeBalloon& balloon : desktop.balloons) texts.push_back(balloon.text);
    return texts;
  }
};

TEST_F(RemovalFixture, DeletesEveryFileFromTheLastAndSaysHowManyWent) {
  testing::FakeFile& marked = machine.AddFile("E:\\marked.exe");
  marked.readOnly = marked.hidden = marked.system = true;
  List({"E:\\a.exe", "E:\\marked.exe", "E:\\b.exe"});
  removal.KillVirusClick(Sender::kNone);

  EXPECT_THAT(machine.removed, ElementsAre("E:\\b.exe", "E:\\marked.exe", "E:\\a.exe"));
  EXPECT_TRUE(Paths().empty());
  ASSERT_EQ(desktop.balloons.size(), 1u);
  EXPECT_EQ(desktop.balloons[0].title, "Kestrix");
  EXPECT_EQ(desktop.balloons[0].text, "成功清除 3 個病毒.");
  EXPECT_EQ(desktop.balloons[0].kind, BalloonKind::kInfo);
  EXPECT_EQ(desktop.balloons[0].timeoutSeconds, 10);
  EXPECT_EQ(engine.view.totalNumber, "0");
  EXPECT_EQ(view.closeRequests, 0) << "automatic cleaning never hides the window";
  EXPECT_EQ(machine.pumps, 3) << "messages are handled after every entry removed";
  std::vector<std::string> kept;
  for (const QuarantineRecord& record : quarantine.List()) kept.push_back(record.path);
  EXPECT_THAT(kept, ElementsAre("E:\\b.exe", "E:\\marked.exe", "E:\\a.exe")) << "each kept before it went";
}

// A file is deleted only once it is kept: when keeping fails it stays, as
// a file that cannot be deleted stays, and the store holds only what went.
TEST_F(RemovalFixture, AFileTheQuarantineCannotKeepIsLeftOverWithItsReason) {
  const auto worm = [&]() -> testing::FakeFile& {
    return machine.files[testing::FakeMachine::Key("E:\\worm.exe")];
  };
  struct Case {
    std::string_view name;
    std::function<void()> setUp;
    std::string_view reason;
  };
  const Case cases[] = {
      {"a full store", [&] { store.full = true; }, "(/fake/quarantine): No space left on device"},
      {"a file changed between its two readings",
       [&] {
         machine.onOpen = [&, opens = 0](std::string_view path) mutable {
           if (++opens == 2) machine.AddFile(path, "ZM");  // same size
         };
       },
       "it changed while it was read"},
      {"a file that cannot be read", [&] { worm().unreadable = true; }, "being used by another process"},
      {"a file that cannot be deleted", [&] { worm().undeletable = true; },
       "it could not be deleted; it may be in use"},
  };
  for (const Case& c : cases) {
    store = {};
    machine.onOpen = nullptr;
    desktop.balloons.clear();
    engine.list.Clear();
    machine.files.clear();
    List({"E:\\worm.exe"});
    c.setUp();
    removal.KillVirusClick(Sender::kNone);
    EXPECT_TRUE(machine.Find("E:\\worm.exe")) << c.name;
    EXPECT_THAT(Paths(), ElementsAre("E:\\worm.exe")) << c.name;
    EXPECT_THAT(BalloonTexts(), ElementsAre("還有 1 個病毒未清除,請重試.")) << c.name;
    ASSERT_TRUE(removal.Failures().contains("E:\\worm.exe")) << c.name;
    EXPECT_THAT(removal.Failures().at("E:\\worm.exe"), HasSubstr(c.reason)) << c.name;
    EXPECT_TRUE(quarantine.List().empty()) << c.name;
  }
}

TEST_F(RemovalFixture, AProtectedFileIsKeptUnlessTheAnswerIsNo) {
  List({"E:\\a.exe", "C:\\WINDOWS\\Explorer.exe", "E:\\b.exe"});
  desktop.answers = {kAnswerYes};
  removal.KillVirusClick(Sender::kFlatButton);

  ASSERT_EQ(desktop.questions.size(), 1u);
  EXPECT_EQ(desktop.questions[0].text,
            "檔案 C:\\WINDOWS\\Explorer.exe 是Windows重要檔案。\r清除可能會導致系統無法啟動!");
  EXPECT_EQ(desktop.questions[0].caption, "要保留嗎?");
  EXPECT_EQ(desktop.questions[0].style, 0x24u);
  EXPECT_TRUE(machine.Find("C:\\WINDOWS\\explorer.exe")) << "Yes keeps the file";
  EXPECT_TRUE(Paths().empty()) << "and drops its entry";
  EXPECT_THAT(BalloonTexts(), ElementsAre("成功清除 3 個病毒."));
  EXPECT_EQ(view.closeRequests, 1);

  List({"C:\\WINDOWS\\explorer.exe"});
  desktop.answers = {kAnswerNo};
  removal.KillVirusClick(Sender::kNone);
  EXPECT_FALSE(machine.Find("C:\\WINDOWS\\explorer.exe")) << "No deletes it";
}

TEST_F(RemovalFixture, FilesLeftOverBringABalloonAndAQuestionAfterEveryPass) {
  List({"E:\\a.exe", "E:\\running.exe"});
  machine.Find("E:\\running.exe");
  machine.files[testing::FakeMachine::Key("E:\\running.exe")].undeletable = true;
  desktop.answers = {kAnswerYes, kAnswerYes, kAnswerNo};
  removal.KillVirusClick(Sender::kFlatButton);

  EXPECT_THAT(Paths(), ElementsAre("E:\\running.exe"));
  EXPECT_THAT(BalloonTexts(), ElementsAre("還有 1 個病毒未清除,請重試.", "還有 1 個病毒未清除,請重試.",
                                          "還有 1 個病毒未清除,請重試."));
  EXPECT_EQ(desktop.balloons[0].kind, BalloonKind::kWarning);
  ASSERT_EQ(desktop.questions.size(), 3u);
  EXPECT_EQ(desktop.questions[0].text, "還有 1 個未清除的病毒,可能已經執行.\r是否終止並清除它們?");
  EXPECT_EQ(desktop.questions[0].caption, "Kestrix");
  EXPECT_EQ(desktop.questions[0].style, 0x1024u);
  EXPECT_EQ(engine.view.totalNumber, "1");
  EXPECT_EQ(view.closeRequests, 0);
}

TEST_F(RemovalFixture, YesTerminatesTheRunningWormAndTheRepeatedPassDeletesIt) {
  List({"E:\\worm.exe", "E:\\a.exe"});
  machine.files[testing::FakeMachine::Key("E:\\worm.exe")].undeletable = true;
  processes.processes = {{10, "worm.exe", "E:\\WORM.EXE"}, {11, "worm.exe", "E:\\worm.exe"}};
  processes.onTerminate = [&](std::string_view) {
    machine.files[testing::FakeMachine::Key("E:\\worm.exe")].undeletable = false;
  };
  desktop.answers = {kAnswerYes};
  removal.KillVirusClick(Sender::kFlatButton);

  EXPECT_TRUE(processes.Running().empty());
  EXPECT_TRUE(Paths().empty());
  EXPECT_THAT(machine.removed, ElementsAre("E:\\a.exe", "E:\\worm.exe"));
  EXPECT_THAT(BalloonTexts(), ElementsAre("還有 1 個病毒未清除,請重試.", "成功清除 1 個病毒."));
  EXPECT_EQ(view.closeRequests, 1);
}

// The success balloon says, on a line of its own, how many files the pass
// kept; the balloon about files left over stays as it was.
TEST_F(RemovalFixture, TheCleansBalloonCountsTheFilesThePassKept) {
  struct Case {
    std::string_view name;
    bool quarantine;
    std::vector<std::string_view> listed;
    std::vector<int> answers;  // to the protected file's and the leftover questions
    std::vector<std::string> balloons;
  };
  const std::string keptTwo = "\n2 kept";
  const Case cases[] = {
      {"all deleted", true, {"E:\\a.exe", "E:\\b.exe"}, {}, {"成功清除 2 個病毒." + keptTwo}},
      {"deleted outright", false, {"E:\\a.exe", "E:\\b.exe"}, {}, {"成功清除 2 個病毒."}},
      {"a protected file kept as answered",
       true,
       {"C:\\WINDOWS\\Explorer.exe"},
       {kAnswerYes},
       {"成功清除 1 個病毒."}},
      {"one left over",
       true,
       {"E:\\a.exe", "E:\\b.exe", "E:\\running.exe"},
       {kAnswerNo},
       {"還有 1 個病毒未清除,請重試." + keptTwo}},
  };
  for (const Case& c : cases) {
    Removal counting{{machine, machine.folding, machine, desktop, desktop, processes,
                      c.quarantine ? &quarantine : nullptr, nullptr, nullptr, kKeptAsAnswered, "%d kept"},
                     engine.list,
                     protectedList,
                     view,
                     title};
    desktop.balloons.clear();
    for (const std::string_view path : c.listed) {
      List({path});
      if (path.ends_with("running.exe")) machine.files[testing::FakeMachine::Key(path)].undeletable = true;
    }
    desktop.answers.assign(c.answers.begin(), c.answers.end());
    counting.KillVirusClick(Sender::kNone);
    EXPECT_EQ(BalloonTexts(), c.balloons) << c.name;
    engine.list.Clear();
  }
}

TEST_F(RemovalFixture, AnEmptyListHidesTheWindowOnlyForTheButton) {
  removal.KillVirusClick(Sender::kNone);
  removal.KillVirusClick(Sender::kMenuItem);
  EXPECT_EQ(view.closeRequests, 0);
  removal.KillVirusClick(Sender::kFlatButton);
  EXPECT_EQ(view.closeRequests, 1);
  EXPECT_TRUE(desktop.balloons.empty());
}

TEST_F(RemovalFixture, TheSelectedPassCountsAKeptProtectedFileAsLeftOver) {
  List({"E:\\a.exe", "C:\\boot.ini", "E:\\b.exe"});
  Select({1});
  desktop.answers = {kAnswerYes, kAnswerNo};
  removal.KillSelectedClick(Sender::kMenuItem);

  EXPECT_THAT(Paths(), ElementsAre("E:\\a.exe", "E:\\b.exe"));
  EXPECT_TRUE(machine.Find("C:\\boot.ini"));
  ASSERT_EQ(desktop.questions.size(), 2u);
  EXPECT_EQ(desktop.questions[0].caption, "要保留吗?");
  EXPECT_EQ(desktop.questions[1].text, "還有 1 個被選中的病毒未清除,可能已經執行.\r是否終止並清除它們?");
  EXPECT_THAT(BalloonTexts(), ElementsAre("還有 1 個被選取的病毒未清除,請重試."));
  EXPECT_EQ(engine.view.totalNumber, "2");
}

TEST_F(RemovalFixture, TheSelectedPassTouchesOnlySelectedEntriesAndNeverClosesTheWindow) {
  List({"E:\\a.exe", "E:\\b.exe", "E:\\c.exe"});
  removal.KillSelectedClick(Sender::kFlatButton);
  EXPECT_TRUE(desktop.balloons.empty() && desktop.questions.empty());
  EXPECT_EQ(engine.view.totalNumber, "3");

  Select({0, 2});
  removal.KillSelectedClick(Sender::kFlatButton);
  EXPECT_THAT(Paths(), ElementsAre("E:\\b.exe"));
  EXPECT_THAT(BalloonTexts(), ElementsAre("成功清除 2 個病毒."));
  EXPECT_EQ(view.closeRequests, 0);
}

TEST_F(RemovalFixture, APassNeverActsOnAnEntryOtherThanTheOneItLookedAt) {
  // Each time messages are handled the user ignores the first entry.
  List({"E:\\a.exe", "E:\\b.exe", "E:\\c.exe", "E:\\d.exe"});
  machine.onPump = [&] {
    if (engine.list.Count() > 0) engine.list.Delete(0);
  };
  removal.KillVirusClick(Sender::kNone);
  EXPECT_THAT(machine.removed, ElementsAre("E:\\d.exe", "E:\\c.exe"));
  EXPECT_TRUE(machine.Find("E:\\a.exe") && machine.Find("E:\\b.exe")) << "ignored files stay on disk";

  // A sweep empties the list in the middle of a pass.
  List({"E:\\a.exe", "E:\\b.exe", "E:\\c.exe"});
  machine.removed.clear();
  machine.onPump = [&] { engine.list.Clear(); };
  removal.KillVirusClick(Sender::kNone);
  EXPECT_THAT(machine.removed, ElementsAre("E:\\c.exe"));
}

TEST_F(RemovalFixture, AnEntryIgnoredWhileItsQuestionIsUpIsLeftAlone) {
  List({"C:\\WINDOWS\\hh.exe", "E:\\a.exe"});
  desktop.answers = {kAnswerNo};
  desktop.whileAsking = [&] { engine.list.Delete(0); };
  removal.KillVirusClick(Sender::kNone);
  EXPECT_TRUE(machine.Find("C:\\WINDOWS\\hh.exe"))
      << "No must not delete a file that left the list meanwhile";
  EXPECT_THAT(machine.removed, ElementsAre("E:\\a.exe"));
}

TEST(KillProcessByFile, TerminatesEveryMatchOfTheWholePathIgnoringCaseOnly) {
  testing::FakeMachine machine;
  const testing::FakeFolding& folding = machine.folding;
  testing::FakeProcessTable table;
  table.processes = {
      {1, "worm.exe", "E:\\worm.exe"},         // first copy
      {2, "worm.exe", "e:\\WORM.EXE"},         // second copy, other case
      {3, "other.exe", "E:\\other.exe"},       // another file in the same folder
      {4, "worm.exe", "E:\\worm.exe "},        // a trailing blank is another name
      {5, "E:\\worm.exe", std::nullopt},       // no path: the snapshot's name must be the whole path
      {6, "worm.exe", std::nullopt},           // no path, bare name
      {7, "worm.exe", "E:\\worm.exe", false},  // cannot be opened
  };
  KillProcessByFile(table, machine, folding, "E:\\Worm.exe");
  EXPECT_THAT(table.Running(), ElementsAre(3, 4, 6, 7));
  EXPECT_THAT(table.privilegeChanges, ElementsAre(true, false));
  EXPECT_EQ(table.openHandles, 0);

  KillProcessByFile(table, machine, folding, "E:\\none.exe");
  EXPECT_THAT(table.Running(), ElementsAre(3, 4, 6, 7));
  EXPECT_THAT(table.privilegeChanges, ElementsAre(true, false, true, false));
}

// Where the process's file is known by identity, a name proves nothing.
TEST(KillProcessByFile, IdentityDecidesWhereTheBackendKnowsIt) {
  testing::FakeMachine machine;
  machine.AddFile("E:\\worm.exe").identity = 1;
  testing::FakeProcessTable table;
  table.processes = {
      {1, "Worm.exe", "E:\\Worm.exe", true, true, FileIdentity{1, 2}},  // another file of that name
      {2, "x", "F:\\x.exe", true, true, FileIdentity{1, 1}},            // the file under another name
  };
  KillProcessByFile(table, machine, machine.folding, "E:\\worm.exe");
  EXPECT_THAT(table.Running(), ElementsAre(1));
}

TEST_F(RemovalFixture, IgnoringDropsSelectedEntriesAndKeepsTheFiles) {
  List({"E:\\a.exe", "E:\\b.exe", "E:\\c.exe"});
  passitClick(engine.list, desktop, title);
  EXPECT_TRUE(desktop.balloons.empty()) << "nothing selected, nothing said";

  Select({0, 2});
  passitClick(engine.list, desktop, title);
  EXPECT_THAT(Paths(), ElementsAre("E:\\b.exe"));
  EXPECT_TRUE(machine.removed.empty());
  ASSERT_EQ(desktop.balloons.size(), 1u);
  EXPECT_EQ(desktop.balloons[0].text, "您忽略了 2 個病毒,要刪除,請重新掃毒.");
  EXPECT_EQ(desktop.balloons[0].kind, BalloonKind::kError);
  EXPECT_EQ(engine.view.totalNumber, "3") << "the count label is left as it was";
}

TEST_F(RemovalFixture, PropertiesOpenForTheFirstSelectedEntryOnly) {
  List({"E:\\a.exe", "E:\\b.exe", "E:\\c.exe"});
  thisattrClick(engine.list, desktop);
  EXPECT_TRUE(desktop.properties.empty());
  Select({1, 2});
  thisattrClick(engine.list, desktop);
  EXPECT_THAT(desktop.properties, ElementsAre("E:\\b.exe"));
}

}  // namespace
}  // namespace kestrix

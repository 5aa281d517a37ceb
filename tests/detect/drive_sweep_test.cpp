#include "detect/drive_sweep.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "detect/file_tests.h"
#include "fakes/fake_machine.h"
#include "support/shell_link_bytes.h"

namespace kestrix {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

struct RecordingSweepView final : SweepView {
  std::vector<std::string> shown;  // CurrentVirus, in order
  std::vector<int> progress;
  bool killVirusEnabled = true;
  int killVirusChanges = 0;

  void SetCurrentVirus(std::string_view text) override { shown.emplace_back(text); }
  void SetTotalProgress(int position) override { progress.push_back(position); }
  void SetKillVirusEnabled(bool enabled) override {
    killVirusEnabled = enabled;
    ++killVirusChanges;
  }
};

constexpr std::string_view kRules = "C:\\Kestrix\\Kestrix.dat";

struct SweepFixture : ::testing::Test {
  testing::FakeEngine engine;
  testing::FakeMachine& machine = engine.machine;
  RecordingSweepView view;
  ProtectedList protectedList{machine, machine.folding};
  SweepSettings settings{
      .skipFloppies = true, .programFilesDirectory = "", .ruleDatabasePath = std::string(kRules)};

  void SetUp() override { machine.drives['C'] = {DriveType::kFixed, 1 << 30}; }
  void Rules(std::string content) { machine.AddFile(kRules, std::move(content)); }

  DriveSweep MakeSweep() {
    return DriveSweep({machine, machine, machine.folding, machine}, settings, view, engine.list,
                      protectedList);
  }
  std::vector<std::string> Sweep() {
    MakeSweep().SweepDrives();
    return engine.Listed();
  }
};

TEST_F(SweepFixture, ShowsEveryLetterAndTheProgressOfEachStep) {
  settings.skipFloppies = false;
  Rules("");
  Sweep();
  std::vector<int> expected = {0};
  for (int letter = 0; letter < 26; ++letter) expected.push_back(letter * 3);
  for (int value : {81, 87, 93, 100}) expected.push_back(value);
  EXPECT_THAT(view.progress, ElementsAreArray(expected));

  std::vector<std::string> shown;
  for (char letter = 'A'; letter <= 'Z'; ++letter) shown.push_back(std::string{letter, ':', '\\'});
  for (const char* text : {"C:\\WINDOWS\\", "C:\\WINDOWS\\system32\\", "C:\\WINDOWS\\system\\",
                           "C:\\WINDOWS\\", "C:\\Program Files\\", "C:\\WINDOWS\\TEMP\\", "尋找完畢."}) {
    shown.emplace_back(text);
  }
  EXPECT_THAT(view.shown, ElementsAreArray(shown));
  EXPECT_EQ(engine.view.totalNumber, "0");
  EXPECT_TRUE(view.killVirusEnabled);
}

TEST_F(SweepFixture, SkippingFloppiesStartsAtC) {
  machine.drives['A'] = {DriveType::kRemovable, 1};
  machine.AddFile("A:\\Autorun.inf");
  Rules("");
  Sweep();
  EXPECT_EQ(view.shown.front(), "C:\\");
  EXPECT_THAT(std::vector<int>(view.progress.begin(), view.progress.begin() + 3), ElementsAre(0, 6, 9));
  EXPECT_EQ(engine.list.Count(), 0u);
}

TEST_F(SweepFixture, SweepsOnlyAcceptedDriveTypesWithAPositiveExtent) {
  const std::pair<char, testing::FakeDrive> drives[] = {
      {'D', {DriveType::kCdRom, 1}},     {'E', {DriveType::kRemovable, 1}}, {'F', {DriveType::kFixed, 1}},
      {'G', {DriveType::kRemote, 1}},    {'H', {DriveType::kRamDisk, 1}},   {'I', {DriveType::kUnknown, 1}},
      {'J', {DriveType::kRemovable, 0}}, {'K', {DriveType::kFixed, -1}},
  };
  for (const auto& [letter, drive] : drives) {
    machine.drives[letter] = drive;
    machine.AddFile(std::string{letter} + ":\\Autorun.inf", "[autorun]");
  }
  Rules("");
  EXPECT_THAT(Sweep(), ElementsAre("E:\\Autorun.inf 危险", "F:\\Autorun.inf 危险", "G:\\Autorun.inf 危险",
                                   "H:\\Autorun.inf 危险"));
}

TEST_F(SweepFixture, TheFirstPassToFindAFileDecidesItsCategory) {
  machine.drives['E'] = {DriveType::kRemovable, 1};
  machine.AddFile("E:\\Autorun.inf", "open=a.exe\r\nopen=b.exe\r\n");
  machine.AddFile("E:\\a.exe");
  machine.AddFile("E:\\b.exe");
  Rules("a.exe !DSKROOT 0\r\nb.exe !ALL 2\r\n");
  EXPECT_THAT(Sweep(), ElementsAre("E:\\a.exe 病毒", "E:\\Autorun.inf 危险", "E:\\b.exe 危险"));
}

TEST_F(SweepFixture, LooksInTheWindowsFoldersByToken) {
  const char* files[] = {
      "C:\\WINDOWS\\system\\d.exe",    "C:\\WINDOWS\\system\\at.exe", "C:\\WINDOWS\\at.exe",
      "C:\\WINDOWS\\system32\\at.exe", "C:\\WINDOWS\\w.exe",          "C:\\WINDOWS\\system32\\w.exe",
      "C:\\WINDOWS\\system\\w.exe",    "C:\\WINDOWS\\s.exe",          "C:\\WINDOWS\\system32\\s.exe"};
  for (const char* file : files) machine.AddFile(file);
  Rules("d.exe !DSKROOT 0\r\nat.exe @DSKROOT 0\r\nw.exe @WinPath 1\r\ns.exe !SYS32path 2\r\n");
  EXPECT_THAT(Sweep(), ElementsAre("C:\\WINDOWS\\at.exe 病毒", "C:\\WINDOWS\\system32\\at.exe 病毒",
                                   "C:\\WINDOWS\\system32\\w.exe 危险", "C:\\WINDOWS\\system32\\s.exe 可疑",
                                   "C:\\WINDOWS\\system\\d.exe 病毒", "C:\\WINDOWS\\system\\w.exe 危险"));
}

TEST_F(SweepFixture, ExpandsTheMacrosOfFixedPathRules) {
  machine.AddFile("C:\\WINDOWS\\a.exe");
  machine.AddFile("C:\\Program Files\\b.exe");
  machine.AddFile("D:\\Temp\\c.exe");
  machine.AddFile("D:\\Apps\\d.exe");
  machine.tempDirectory = "D:\\Temp\\\\";
  Rules("<winpath>a.exe :0\r\n<Program>b.exe :1\r\n<TMPROOT>c.exe :2\r\n<TMPROOT>x.exe\r\n");
  EXPECT_THAT(Sweep(), ElementsAre("C:\\WINDOWS\\a.exe 病毒", "C:\\Program Files\\b.exe 危险",
                                   "D:\\Temp\\c.exe 可疑"));

  settings.programFilesDirectory = " D:\\Apps ";
  Rules("<PROGRAM>d.exe :1\r\n");
  EXPECT_THAT(Sweep(), ElementsAre("D:\\Apps\\d.exe 危险"));
}

TEST_F(SweepFixture, WithoutRulesTheAutorunAnalysisStillRuns) {
  settings.ruleDatabasePath.clear();
  machine.drives['E'] = {DriveType::kRemovable, 1};
  machine.AddFile("E:\\Autorun.inf", "open=w.exe");
  machine.AddFile("E:\\w.exe");
  EXPECT_THAT(Sweep(), ElementsAre("E:\\Autorun.inf 危险", "E:\\w.exe 危险"));
}

// A file a decoy runs is a virus, whatever a rule or the Autorun.inf said.
TEST_F(SweepFixture, LooksForShortcutDecoysAfterTheAutorunOnSticksAndSharesOnly) {
  const std::string decoy =
      testing::ShellLinkBytes({.target = "C:\\WINDOWS\\system32\\cmd.exe", .arguments = "/c x.vbs"});
  for (const char letter : {'E', 'F', 'H'}) {
    const std::string root{letter, ':', '\\'};
    machine.AddFile(root + "Photos.lnk", decoy);
    machine.AddFile(root + "x.vbs");
    machine.AddFolder(root + "Photos", kAttributeHidden | kAttributeSystem);
  }
  machine.drives['E'] = {DriveType::kRemovable, 1};
  machine.drives['F'] = {DriveType::kFixed, 1};
  machine.drives['H'] = {DriveType::kRemote, 1};
  machine.AddFile("E:\\Autorun.inf", "open=x.vbs");
  Rules("x.vbs !DSKROOT 3\r\n");
  ShortcutRecovery recovery;
  recovery.Note({"C:\\left from an earlier sweep.lnk"}, {{"C:\\x", kAttributeHidden}});
  DriveSweep sweep = MakeSweep();
  sweep.SetShortcutRecovery(&recovery);
  sweep.SweepDrives();
  EXPECT_THAT(engine.Listed(), ElementsAre("E:\\x.vbs 病毒", "E:\\Autorun.inf 危险", "E:\\Photos.lnk 危险",
                                           "F:\\x.vbs 垃圾", "H:\\x.vbs 病毒", "H:\\Photos.lnk 危险"));
  for (const char* path : {"E:\\Photos.lnk", "H:\\Photos.lnk", "F:\\Photos.lnk"}) machine.RemoveFile(path);
  EXPECT_THAT(recovery.Recover(machine), ElementsAre("E:\\Photos", "H:\\Photos"));
}

TEST_F(SweepFixture, ReadsTheRulesAfreshForEveryGroupOfPasses) {
  machine.drives['E'] = {DriveType::kRemovable, 1};
  machine.AddFile("E:\\a.exe");
  machine.AddFile("E:\\Autorun.inf", "[autorun]");
  Rules("");
  // The rule file changes while the drive's Autorun.inf is read: the second
  // pass over the drive root already sees the new rule.
  machine.onPump = [&] {
    if (machine.reads.back() == "E:\\Autorun.inf") Rules("a.exe !ALL 2");
  };
  EXPECT_THAT(Sweep(), ElementsAre("E:\\Autorun.inf 危险", "E:\\a.exe 可疑"));
  EXPECT_EQ(std::count(machine.reads.begin(), machine.reads.end(), std::string(kRules)), 2 * 2 + 1);
}

TEST_F(SweepFixture, AnUnreadableAutorunInfIsListedAndTheSweepGoesOn) {
  machine.drives['E'] = {DriveType::kRemovable, 1};
  machine.drives['F'] = {DriveType::kRemovable, 1};
  machine.AddFile("E:\\Autorun.inf").unreadable = true;
  machine.AddFile("F:\\Autorun.inf", "open=x.exe");
  machine.AddFile("F:\\x.exe");
  Rules("");
  bool finished = false;
  DriveSweep sweep = MakeSweep();
  sweep.SetFinishedHandler([&] { finished = true; });
  sweep.RequestSweep();
  EXPECT_THAT(engine.Listed(), ElementsAre("E:\\Autorun.inf 危险", "F:\\Autorun.inf 危险", "F:\\x.exe 危险"));
  EXPECT_TRUE(view.killVirusEnabled);
  EXPECT_TRUE(finished);
}

TEST_F(SweepFixture, AnUnreadableRuleDatabaseEndsTheSweepKeepingWhatWasFound) {
  machine.drives['E'] = {DriveType::kRemovable, 1};
  machine.AddFile("E:\\Autorun.inf", "[autorun]");
  Rules("");
  // The rule file is taken away for the second pass over E:.
  machine.onPump = [&] { machine.files[testing::FakeMachine::Key(kRules)].unreadable = true; };
  bool cleaned = false;
  DriveSweep sweep = MakeSweep();
  sweep.SetFinishedHandler([&] { cleaned = true; });
  EXPECT_THROW(sweep.RequestSweep(), FileOpenError);
  EXPECT_THAT(engine.Listed(), ElementsAre("E:\\Autorun.inf 危险"));
  EXPECT_FALSE(view.killVirusEnabled);
  EXPECT_EQ(view.shown.back(), "E:\\");
  EXPECT_FALSE(cleaned);
  EXPECT_FALSE(sweep.Running());

  // Running out of memory ends the sweep the same way, never the program.
  machine.onPump = [] { throw std::bad_alloc(); };
  EXPECT_THROW(sweep.RequestSweep(), HandlerError);
  EXPECT_FALSE(sweep.Running());
}

TEST_F(SweepFixture, ResetsTheMarksOfEveryFileItTests) {
  machine.drives['E'] = {DriveType::kRemovable, 1};
  for (const char* path : {"E:\\Autorun.inf", "E:\\setup.exe", "E:\\x.exe", "C:\\WINDOWS\\x.exe"}) {
    testing::FakeFile& file = machine.AddFile(path, "open=setup");
    file.hidden = file.system = file.readOnly = true;
  }
  Rules("x.exe @SYSpath 0");
  machine.files[testing::FakeMachine::Key(kRules)].hidden = true;
  Sweep();
  for (const auto& [path, file] : machine.files)
    EXPECT_FALSE(file.hidden || file.system || file.readOnly) << path;
}

TEST_F(SweepFixture, RunsTheFinishedHandlerOnlyAfterACompleteSweep) {
  Rules("");
  int finished = 0;
  DriveSweep sweep = MakeSweep();
  sweep.SetFinishedHandler([&] {
    ++finished;
    EXPECT_EQ(view.shown.back(), kSweepFinished);
    EXPECT_TRUE(view.killVirusEnabled);
  });
  sweep.SweepDrives();
  EXPECT_EQ(finished, 1);
}

TEST_F(SweepFixture, RequestsDuringASweepGiveOneMoreSweepAfterIt) {
  machine.drives['E'] = {DriveType::kRemovable, 1};
  machine.AddFile("E:\\Autorun.inf", "[autorun]\r\nopen=x.exe\r\nicon=x.ico\r\n");
  Rules("");
  DriveSweep sweep = MakeSweep();
  int sweeps = 0;
  sweep.SetFinishedHandler([&] { ++sweeps; });
  // Three device arrivals handled while the first sweep reads the Autorun.inf.
  machine.onPump = [&] {
    if (sweeps == 0) sweep.RequestSweep();
    EXPECT_TRUE(sweep.Running());
    EXPECT_LE(engine.list.Count(), 1u) << "the list is never emptied under a running sweep";
  };
  sweep.RequestSweep();
  EXPECT_EQ(sweeps, 2);
  EXPECT_FALSE(sweep.Running());
}

}  // namespace
}  // namespace kestrix

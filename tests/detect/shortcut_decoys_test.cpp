#include "detect/shortcut_decoys.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "detect/command_line.h"
#include "fakes/fake_machine.h"
#include "support/shell_link_bytes.h"

namespace kestrix {
namespace {

using ::testing::ElementsAre;
using testing::FakeEngine;
using ::testing::IsEmpty;
using testing::LinkFields;
using testing::ShellLinkBytes;

constexpr std::string_view kCmd = "C:\\WINDOWS\\system32\\cmd.exe";

TEST(SplitArguments, SplitsAsWindowsProgramsDo) {
  const std::pair<std::string_view, std::vector<std::string>> cases[] = {
      {"/c start x.vbs", {"/c", "start", "x.vbs"}},
      {"  a\t b  ", {"a", "b"}},
      {"\"E:\\ \\run.js\" //B", {"E:\\ \\run.js", "//B"}},
      {"a\"b c\"d", {"ab cd"}},
      {"\"\"", {""}},
      {"a\\\\b \\\"q\\\" c\\\\\"d e\"", {"a\\\\b", "\"q\"", "c\\d e"}},
      {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
      {"x.dll,Entry", {"x.dll,Entry"}},
      {"", {}},
  };
  for (const auto& [line, arguments] : cases) EXPECT_EQ(SplitArguments(line), arguments) << line;
}

TEST(InterpreterOf, KnowsTheHostsWhateverTheirSpelling) {
  const testing::FakeFolding folding;
  for (const std::string_view name : {"cmd.exe", "C:\\WINDOWS\\system32\\CMD.EXE", "WScript.exe", "cscript",
                                      "RuNdLl32.eXe", "%windir%\\system32\\mshta.exe", "powershell.exe", "%ComSpec%", "cmd.exe. ",
                                      "\"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe\""}) {
    EXPECT_NE(InterpreterOf(folding, name), Interpreter::kNone) << name;
  }
  for (const std::string_view name :
       {"notepad.exe", "cmd.exe.lnk", "xcmd.exe", "explorer.exe", "", "E:\\cmd\\"}) {
    EXPECT_EQ(InterpreterOf(folding, name), Interpreter::kNone) << name;
  }
}

// Each case: shortcuts and files on the machine, the drive E: is, and what
// the pass lists.
struct DecoyCase {
  std::string_view name;
  std::vector<std::pair<std::string, LinkFields>> shortcuts;
  std::vector<std::string> files;
  std::vector<std::string> listed;
  DriveType type = DriveType::kRemovable;
  bool concealed = true;  // the files hidden, as worms hide theirs
};

TEST(FindShortcutDecoys, ListsDecoysByWhatTheyStartAndWhatTheyWouldRun) {
  const DecoyCase cases[] = {
      {"cmd with operators",
       {{"E:\\Photos.lnk",
         {.target = std::string(kCmd), .arguments = "/c start _\\x.vbs&start explorer Photos&exit"}}},
       {"E:\\_\\x.vbs"},
       {"E:\\Photos.lnk 危险", "E:\\_\\x.vbs 病毒"}},
      {"wscript, quoted path below a folder named by a no-break space",
       {{"E:\\Work.lnk",
         {.target = "C:\\WINDOWS\\System32\\WScript.exe", .arguments = "//B \"E:\\\xC2\xA0\\run.js\""}}},
       {"E:\\\xC2\xA0\\run.js"},
       {"E:\\Work.lnk 危险", "E:\\\xC2\xA0\\run.js 病毒"}},
      {"rundll32 entry cut off, mixed case",
       {{"E:\\USB.lnk",
         {.itemTarget = "C:\\WINDOWS\\system32\\RuNdLl32.eXe", .arguments = "~$WQWDW.FAT32,_dll1"}}},
       {"E:\\~$WQWDW.FAT32"},
       {"E:\\USB.lnk 危险", "E:\\~$WQWDW.FAT32 病毒"}},
      {"powershell relative to its working folder",
       {{"E:\\a.lnk",
         {.target = "C:\\WINDOWS\\system32\\WindowsPowerShell\\v1.0\\powershell.exe",
          .arguments = "-ExecutionPolicy Bypass -File .\\p.ps1",
          .workingDirectory = "E:\\sys"}}},
       {"E:\\sys\\p.ps1", "E:\\p.ps1"},
       {"E:\\a.lnk 危险", "E:\\sys\\p.ps1 病毒"}},
      {"mshta and cscript through the environment block",
       {{"E:\\m.lnk",
         {.environmentTarget = "%windir%\\system32\\mshta.exe", .arguments = "E:\\RECYCLER\\a.hta"}},
        {"E:\\c.lnk",
         {.environmentTarget = "%SystemRoot%\\system32\\cscript.exe", .arguments = "//nologo c.js"}}},
       {"E:\\RECYCLER\\a.hta", "E:\\c.js"},
       {"E:\\c.lnk 危险", "E:\\c.js 病毒", "E:\\m.lnk 危险", "E:\\RECYCLER\\a.hta 病毒"}},
      {"a program of the drive",
       {{"E:\\Docs.lnk", {.target = "E:\\RECYCLER\\worm.exe"}}},
       {"E:\\RECYCLER\\worm.exe"},
       {"E:\\Docs.lnk 危险", "E:\\RECYCLER\\worm.exe 病毒"}},
      {"a program of the drive named by another letter",
       {{"E:\\Docs.lnk", {.target = "F:\\worm.exe"}}},
       {"E:\\worm.exe", "F:\\worm.exe"},
       {}},
      {"harmless shortcuts",
       {{"E:\\Notes.lnk", {.target = "C:\\WINDOWS\\notepad.exe", .arguments = "E:\\readme.txt"}},
        {"E:\\Report.lnk", {.target = "E:\\report.doc"}},
        {"E:\\Prompt.lnk", {.target = std::string(kCmd), .workingDirectory = "E:\\"}},
        {"E:\\Dir.lnk", {.target = std::string(kCmd), .arguments = "/k dir C:\\x.bat"}}},
       {"E:\\readme.txt", "E:\\report.doc", "C:\\x.bat"},
       {}},
      {"the hidden namesake is the user's, never a payload",
       {{"E:\\Thesis.doc.lnk",
         {.target = std::string(kCmd), .arguments = "/c start x.vbs & start Thesis.doc"}}},
       {"E:\\x.vbs", "E:\\Thesis.doc"},
       {"E:\\Thesis.doc.lnk 危险", "E:\\x.vbs 病毒"}},
      {"in a hidden folder only",
       {{"E:\\hid\\x.lnk", {.target = std::string(kCmd), .arguments = "/c y.bat"}},
        {"E:\\open\\x.lnk", {.target = std::string(kCmd), .arguments = "/c y.bat"}}},
       {"E:\\hid\\y.bat", "E:\\open\\y.bat"},
       {"E:\\hid\\x.lnk 危险", "E:\\hid\\y.bat 病毒"}},
      {"a fixed drive is left alone",
       {{"E:\\Photos.lnk", {.target = std::string(kCmd), .arguments = "/c x.vbs"}}},
       {"E:\\x.vbs"},
       {},
       DriveType::kFixed},
      {"a share is looked at",
       {{"E:\\Photos.lnk", {.target = std::string(kCmd), .arguments = "/c x.vbs"}}},
       {"E:\\x.vbs"},
       {"E:\\Photos.lnk 危险", "E:\\x.vbs 病毒"},
       DriveType::kRemote},
      {"no shortcut at all", {{"E:\\Photos.lnk", {}}}, {}, {}},
      {"documents a decoy opens and a script's arguments are never run",
       {{"E:\\Thesis.lnk", {.target = std::string(kCmd), .arguments = "/c start x.vbs & start Thesis.docx&exit"}},
        {"E:\\Notes.lnk", {.target = "C:\\WINDOWS\\system32\\wscript.exe", .arguments = "y.vbs Notes.txt"}}},
       {"E:\\x.vbs", "E:\\y.vbs", "E:\\Thesis.docx", "E:\\Notes.txt"},
       {"E:\\Notes.lnk 危险", "E:\\y.vbs 病毒", "E:\\Thesis.lnk 危险", "E:\\x.vbs 病毒"}},
      {"nothing hidden: the user's own shortcuts on a share",
       {{"E:\\Backup.lnk", {.target = std::string(kCmd), .arguments = "/c backup.bat Thesis.docx"}},
        {"E:\\Firefox.lnk", {.target = "E:\\Apps\\Firefox.exe", .arguments = "E:\\start.html"}}},
       {"E:\\backup.bat", "E:\\Thesis.docx", "E:\\Apps\\Firefox.exe", "E:\\start.html"},
       {},
       DriveType::kRemote,
       false},
  };
  for (const DecoyCase& c : cases) {
    FakeEngine engine;
    engine.machine.AddFolder("E:\\hid", kAttributeHidden);
    engine.machine.AddFolder("E:\\open");
    for (const std::string& file : c.files) engine.machine.AddFile(file).hidden = c.concealed;
    for (const auto& [path, fields] : c.shortcuts) {
      engine.machine.AddFile(
          path, fields.target.empty() && fields.itemTarget.empty() && fields.environmentTarget.empty()
                    ? "not a shortcut"
                    : ShellLinkBytes(fields));
    }
    FindShortcutDecoys(engine.context, "E:\\", c.type, nullptr);
    EXPECT_EQ(engine.Listed(), c.listed) << c.name;
  }
}

TEST(FindShortcutDecoys, TheReasonNamesTheShortcutAndTheArgument) {
  FakeEngine engine;
  engine.machine.AddFile("E:\\x.vbs").hidden = true;
  engine.machine.AddFile("E:\\Photos.lnk",
                         ShellLinkBytes({.target = std::string(kCmd), .arguments = "/c x.vbs"}));
  FindShortcutDecoys(engine.context, "E:\\", DriveType::kRemovable, nullptr);
  ASSERT_EQ(engine.list.Count(), 2u);
  EXPECT_EQ(engine.list.Entry(0).reason, "a shortcut that starts cmd.exe /c x.vbs");
  EXPECT_EQ(engine.list.Entry(1).reason, "started by the shortcut E:\\Photos.lnk, argument \"x.vbs\"");
}

// Once shown again, the user's file no longer makes its own shortcut a decoy.
TEST(FindShortcutDecoys, ANamesakeCountsAsItIsNow) {
  FakeEngine engine;
  engine.machine.AddFile("E:\\song.mp3").original = kAttributeHidden;  // before an earlier sweep
  engine.machine.AddFile("E:\\play.bat");
  engine.machine.AddFile("E:\\song.mp3.lnk",
                         ShellLinkBytes({.target = std::string(kCmd), .arguments = "/c play.bat song.mp3"}));
  FindShortcutDecoys(engine.context, "E:\\", DriveType::kRemovable, nullptr);
  EXPECT_EQ(engine.list.Count(), 0u);
}

TEST(ShortcutRecovery, ShowsWhatTheWormHidOnceItsDecoysAreGone) {
  FakeEngine engine;
  testing::FakeMachine& machine = engine.machine;
  const std::uint32_t hiddenSystem = kAttributeHidden | kAttributeSystem;
  machine.AddFolder("E:\\Photos", hiddenSystem);
  machine.AddFolder("E:\\\xC2\xA0", hiddenSystem);     // a no-break space
  machine.AddFolder("E:\\Private", kAttributeHidden);  // the user's own, with no decoy
  machine.AddFolder("E:\\Music", 0);
  testing::FakeFile& thesis = machine.AddFile("E:\\Thesis.doc", "text");
  thesis.hidden = thesis.system = true;
  machine.AddFile("E:\\x.vbs").hidden = true;
  for (const std::string_view decoy : {"E:\\Photos.lnk", "E:\\Thesis.doc.lnk", "E:\\Music.lnk"}) {
    machine.AddFile(decoy, ShellLinkBytes({.target = std::string(kCmd), .arguments = "/c start x.vbs"}));
  }
  ShortcutRecovery recovery;
  FindShortcutDecoys(engine.context, "E:\\", DriveType::kRemovable, &recovery);
  EXPECT_EQ(engine.list.Count(), 4u);

  EXPECT_THAT(recovery.Recover(machine), IsEmpty()) << "decoys are still there";
  machine.RemoveFile("E:\\Photos.lnk");
  machine.RemoveFile("E:\\Thesis.doc.lnk");
  EXPECT_THAT(recovery.Recover(machine), IsEmpty()) << "one decoy is still there";
  machine.RemoveFile("E:\\Music.lnk");
  EXPECT_THAT(recovery.Recover(machine), ElementsAre("E:\\Photos", "E:\\Thesis.doc", "E:\\\xC2\xA0"));
  EXPECT_EQ(machine.folderAttributes["e:\\photos"], 0u);
  EXPECT_EQ(machine.folderAttributes["e:\\\xC2\xA0"], 0u);
  EXPECT_FALSE(machine.Find("E:\\Thesis.doc")->hidden || machine.Find("E:\\Thesis.doc")->system);
  EXPECT_EQ(machine.folderAttributes["e:\\private"], kAttributeHidden);
  EXPECT_THAT(recovery.Recover(machine), IsEmpty()) << "once per drive";
  EXPECT_EQ(recovery.Recovered().size(), 3u);
}

}  // namespace
}  // namespace kestrix

#include "detect/shortcut_decoys.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

// Plants "PATH" or "PATH|MARKS" (h hidden, s system, r read-only; a path
// ending in "\\" is a folder); a file without "|" gets `marks`.
void Plant(testing::FakeMachine& machine, std::string_view entry, std::string_view marks = "hs") {
  const std::size_t bar = entry.find('|');
  if (bar != std::string_view::npos) marks = entry.substr(bar + 1);
  const std::string path(entry.substr(0, bar));
  const auto has = [&](char mark) { return marks.find(mark) != std::string_view::npos; };
  if (path.ends_with('\\')) {
    machine.AddFolder(path.substr(0, path.size() - 1),
                      (has('h') ? kAttributeHidden : 0) | (has('s') ? kAttributeSystem : 0));
    return;
  }
  testing::FakeFile& file = machine.AddFile(path);
  file.hidden = has('h');
  file.system = has('s');
  file.readOnly = has('r');
}

// Each case: shortcuts and files on the machine (files hidden and system
// unless marked otherwise), the drive E: is, and what the pass lists.
struct DecoyCase {
  std::string_view name;
  std::vector<std::pair<std::string, LinkFields>> shortcuts;
  std::vector<std::string> files;
  std::vector<std::string> listed;
  DriveType type = DriveType::kRemovable;
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
       {{"E:\\Thesis.lnk",
         {.target = std::string(kCmd), .arguments = "/c start x.vbs & start Thesis.docx&exit"}},
        {"E:\\Notes.lnk", {.target = "C:\\WINDOWS\\system32\\wscript.exe", .arguments = "y.vbs Notes.txt"}}},
       {"E:\\x.vbs", "E:\\y.vbs", "E:\\Thesis.docx", "E:\\Notes.txt"},
       {"E:\\Notes.lnk 危险", "E:\\y.vbs 病毒", "E:\\Thesis.lnk 危险", "E:\\x.vbs 病毒"}},
      {"hidden alone is what any user sets: a backup script, a portable launcher, a password safe",
       {{"E:\\Backup.lnk",
         {.target = "C:\\WINDOWS\\system32\\WindowsPowerShell\\v1.0\\powershell.exe",
          .arguments = "-File .tools\\backup.ps1"}},
        {"E:\\Apps.lnk", {.target = "E:\\PortableApps\\Start.exe"}},
        {"E:\\KeePass.lnk", {.target = "E:\\KeePass\\KeePass.exe", .arguments = "..\\Passwords.kdbx"}},
        {"E:\\Passwords.lnk", {.target = "E:\\KeePassXC\\KeePassXC.exe", .arguments = "E:\\Passwords.kdbx"}},
        {"E:\\PortableApps.lnk", {.target = "E:\\Start.exe"}}},
       {"E:\\.tools\\|h", "E:\\.tools\\backup.ps1|h", "E:\\PortableApps\\|h", "E:\\PortableApps\\Start.exe|h",
        "E:\\KeePass\\|h", "E:\\KeePass\\KeePass.exe|", "E:\\Passwords.kdbx|h",
        "E:\\KeePassXC\\KeePassXC.exe|", "E:\\Start.exe|"},
       {}},
      {"what a worm hides: in a folder with a worm's name, or named like a hidden entry",
       {{"E:\\Photos.lnk", {.target = "C:\\WINDOWS\\system32\\wscript.exe", .arguments = "__\\a.vbs"}},
        {"E:\\Docs.lnk", {.target = "E:\\RECYCLER\\S-1-5-21\\x.exe"}},
        {"E:\\Report 2023.lnk", {.target = std::string(kCmd), .arguments = "/c start r.vbs&exit"}},
        {"E:\\Tools.lnk", {.target = "E:\\Tools\\run.exe"}}},
       {"E:\\__\\|h", "E:\\__\\a.vbs|", "E:\\RECYCLER\\|h", "E:\\RECYCLER\\S-1-5-21\\x.exe|", "E:\\r.vbs|h",
        "E:\\Report 2023.docx|h", "E:\\Tools\\|hs", "E:\\Tools\\run.exe|"},
       {"E:\\Docs.lnk 危险", "E:\\RECYCLER\\S-1-5-21\\x.exe 病毒", "E:\\Photos.lnk 危险",
        "E:\\__\\a.vbs 病毒", "E:\\Report 2023.lnk 危险", "E:\\r.vbs 病毒", "E:\\Tools.lnk 危险",
        "E:\\Tools\\run.exe 病毒"}},
      {"nothing hidden: the user's own shortcuts on a share",
       {{"E:\\Backup.lnk", {.target = std::string(kCmd), .arguments = "/c backup.bat Thesis.docx"}},
        {"E:\\Firefox.lnk", {.target = "E:\\Apps\\Firefox.exe", .arguments = "E:\\start.html"}}},
       {"E:\\backup.bat|", "E:\\Thesis.docx|", "E:\\Apps\\Firefox.exe|", "E:\\start.html|"},
       {},
       DriveType::kRemote},
      {"read-only entries",
       {{"E:\\Photos.lnk", {.target = std::string(kCmd), .arguments = "/c x.vbs"}},
        {"E:\\Backup.lnk", {.target = std::string(kCmd), .arguments = "/c backup.bat notes.txt"}}},
       {"E:\\Photos\\|hs", "E:\\x.vbs", "E:\\backup.bat|r", "E:\\notes.txt|rh"},
       {"E:\\Photos.lnk 危险", "E:\\x.vbs 病毒"}},
  };
  for (const DecoyCase& c : cases) {
    FakeEngine engine;
    engine.machine.AddFolder("E:\\hid", kAttributeHidden);
    engine.machine.AddFolder("E:\\open");
    for (const std::string& file : c.files) Plant(engine.machine, file);
    for (const auto& [path, fields] : c.shortcuts) {
      engine.machine.AddFile(
          path, fields.target.empty() && fields.itemTarget.empty() && fields.environmentTarget.empty()
                    ? "not a shortcut"
                    : ShellLinkBytes(fields));
    }
    // Judging only reads: a second look lists the same, and no mark changes.
    const auto marks = [&] {
      std::vector<std::optional<std::uint32_t>> all;
      for (const std::string& file : c.files) {
        const std::string path = file.substr(0, file.find('|'));
        all.push_back(engine.machine.CurrentAttributes(path.substr(0, path.find_last_not_of('\\') + 1)));
      }
      return all;
    };
    const auto before = marks();
    for (const char* look : {"first look", "second look"}) {
      engine.list.Clear();
      FindShortcutDecoys(engine.context, "E:\\", c.type, "", nullptr);
      EXPECT_EQ(engine.Listed(), c.listed) << c.name << ", " << look;
    }
    EXPECT_EQ(marks(), before) << c.name;
  }
}

TEST(FindShortcutDecoys, TheReasonNamesTheShortcutAndTheArgument) {
  FakeEngine engine;
  Plant(engine.machine, "E:\\x.vbs");
  engine.machine.AddFile("E:\\Photos.lnk",
                         ShellLinkBytes({.target = std::string(kCmd), .arguments = "/c x.vbs"}));
  FindShortcutDecoys(engine.context, "E:\\", DriveType::kRemovable, "", nullptr);
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
  FindShortcutDecoys(engine.context, "E:\\", DriveType::kRemovable, "", nullptr);
  EXPECT_EQ(engine.list.Count(), 0u);
}

// Each case: a stick, its volume label, what the pass lists, and what is
// shown again once every listed file is deleted.
struct RecoveryCase {
  std::string_view name;
  std::vector<std::pair<std::string, LinkFields>> shortcuts;
  std::vector<std::string> files;
  std::string_view label;
  std::vector<std::string> listed;
  std::vector<std::string> recovered;
};

TEST(FindShortcutDecoys, NotesWhatDecoysStandForAndNothingWindowsKeepsHidden) {
  const LinkFields startX{.target = std::string(kCmd), .arguments = "/c start x.vbs&exit"};
  const RecoveryCase cases[] = {
      {"a document whose decoy dropped its extension",
       {{"E:\\Report 2023.lnk", startX}},
       {"E:\\x.vbs", "E:\\Report 2023.docx|hs"},
       "",
       {"E:\\Report 2023.lnk 危险", "E:\\x.vbs 病毒"},
       {"E:\\Report 2023.docx"}},
      {"the folder a decoy opens",
       {{"E:\\USB.lnk",
         {.target = std::string(kCmd), .arguments = "/c start __ & __\\DeviceManager.exe & exit"}}},
       {"E:\\__\\|hs", "E:\\__\\DeviceManager.exe|", "E:\\__\\Photos\\|"},
       "",
       {"E:\\USB.lnk 危险", "E:\\__\\DeviceManager.exe 病毒"},
       {"E:\\__"}},
      {"decoys named like what Windows and the vaccine keep hidden",
       {{"E:\\System Volume Information.lnk", startX},
        {"E:\\..lnk", startX},
        {"E:\\$RECYCLE.BIN.lnk", startX},
        {"E:\\Autorun.inf.lnk", startX},
        {"E:\\desktop.lnk", startX}},
       {"E:\\x.vbs", "E:\\System Volume Information\\|hs", "E:\\$RECYCLE.BIN\\|hs", "E:\\Autorun.inf\\|hs",
        "E:\\desktop.ini|hs"},
       "",
       {"E:\\$RECYCLE.BIN.lnk 危险", "E:\\x.vbs 病毒", "E:\\..lnk 危险", "E:\\Autorun.inf.lnk 危险",
        "E:\\System Volume Information.lnk 危险", "E:\\desktop.lnk 危险"},
       {}},
      {"programs named like hidden folders",
       {},
       {"E:\\Photos\\|hs", "E:\\Photos.exe|", "E:\\Work\\|h", "E:\\Work.scr|"},
       "",
       {"E:\\Photos.exe 危险", "E:\\Work.scr 危险"},
       {"E:\\Photos", "E:\\Work"}},
      {"a program named like the volume beside folders a worm hid",
       {},
       {"E:\\KINGSTON.exe|", "E:\\Docs\\|hs", "E:\\System Volume Information\\|hs"},
       "KINGSTON",
       {"E:\\KINGSTON.exe 危险"},
       {"E:\\Docs"}},
      {"a program named as Windows shows a stick without a label",
       {},
       {"E:\\USB Drive.exe|", "E:\\Docs\\|hs"},
       "",
       {"E:\\USB Drive.exe 危险"},
       {"E:\\Docs"}},
      {"the user's programs: named like the volume, like a folder in sight or one hidden in Explorer",
       {},
       {"E:\\KeePass.exe|", "E:\\Data\\|h", "E:\\System Volume Information\\|hs", "E:\\Portable.exe|",
        "E:\\Portable\\|", "E:\\Backup.exe|", "E:\\Backup\\|h"},
       "KEEPASS",
       {},
       {}},
      {"folders and a file hidden behind decoys, beside the user's own hidden folder",
       {{"E:\\Photos.lnk", startX}, {"E:\\Thesis.doc.lnk", startX}, {"E:\\Music.lnk", startX}},
       {"E:\\x.vbs", "E:\\Photos\\|hs", "E:\\\xC2\xA0\\|hs", "E:\\Private\\|h", "E:\\Music\\|",
        "E:\\Thesis.doc|hs"},
       "",
       {"E:\\Music.lnk 危险", "E:\\x.vbs 病毒", "E:\\Photos.lnk 危险", "E:\\Thesis.doc.lnk 危险"},
       {"E:\\Photos", "E:\\Thesis.doc", "E:\\\xC2\xA0"}},
  };
  for (const RecoveryCase& c : cases) {
    FakeEngine engine;
    for (const std::string& file : c.files) Plant(engine.machine, file);
    for (const auto& [path, fields] : c.shortcuts) engine.machine.AddFile(path, ShellLinkBytes(fields));
    ShortcutRecovery recovery;
    FindShortcutDecoys(engine.context, "E:\\", DriveType::kRemovable, c.label, &recovery);
    EXPECT_EQ(engine.Listed(), c.listed) << c.name;
    for (const SuspectEntry& entry : engine.list.Entries()) engine.machine.RemoveFile(entry.path);
    EXPECT_EQ(recovery.Recover(engine.machine), c.recovered) << c.name;
  }
}

}  // namespace
}  // namespace kestrix

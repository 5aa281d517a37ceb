#include "detect/launched_files.h"

#include <gtest/gtest.h>

#include "fakes/fake_machine.h"

namespace kestrix {
namespace {

using testing::FakeEngine;

// Each case: a shortcut's line, the folders it is read in, what lies on the
// drive, and what the line runs and opens there.
struct LaunchCase {
  std::string_view line;
  std::vector<std::string> files;
  std::vector<std::string> run;
  std::vector<std::string> opened = {};
  std::vector<std::string> folders = {};
  std::vector<std::string> bases = {"E:\\"};
};

TEST(FindLaunches, ReadsALineAsCmdDoesAndOnlyLooksAtTheDrive) {
  std::string padded = "cmd /c ";
  for (int i = 0; i < 200; ++i) padded += "a&b" + std::to_string(i % 50) + "&";
  padded += "start x.exe";
  const LaunchCase cases[] = {
      // Quotes inside a token and ^ outside quotes are gone from the name cmd looks up.
      {"cmd /c start Windows\" \"Update.vbs", {"E:\\Windows Update.vbs"}, {"E:\\Windows Update.vbs"}},
      {"cmd /c s^tart x^.vbs ^& y.vbs", {"E:\\x.vbs", "E:\\y.vbs"}, {"E:\\x.vbs"}},
      {"cmd /c start x(1).exe & if exist y.vbs (start y.vbs) else (z.vbs)",
       {"E:\\x(1).exe", "E:\\y.vbs", "E:\\z.vbs"},
       {"E:\\x(1).exe", "E:\\y.vbs", "E:\\z.vbs"}},
      // The quotes around the whole command.
      {"cmd /c \"start x.exe && start Photos\"", {"E:\\x.exe"}, {"E:\\x.exe"}},
      {"cmd /c \"%cd%\\my app.exe\"",
       {"E:\\sub\\my app.exe", "E:\\sub\\my.exe"},
       {"E:\\sub\\my app.exe"},
       {},
       {},
       {"E:\\sub", "E:\\"}},
      {"cmd /s /c \"\"my app.exe\" a\"", {"E:\\my app.exe"}, {"E:\\my app.exe"}},
      {"cmd /c \"a.vbs\" & \"b.vbs\"",
       {"E:\\a.vbs", "E:\\b.vbs", "E:\\a.vbs & b.vbs"},
       {"E:\\a.vbs & b.vbs"}},
      // Variables, in any letter case; an unknown one stays as written.
      {"%ComSpec% /c %CD%\\x.bat & %x%.bat",
       {"E:\\sub\\x.bat", "E:\\%x%.bat"},
       {"E:\\sub\\x.bat", "E:\\%x%.bat"},
       {},
       {},
       {"E:\\sub", "E:\\"}},
      {"%SYSTEMROOT%\\system32\\cmd.exe /r wscript //B %cd%\\y.js", {"E:\\y.js"}, {"E:\\y.js"}},
      // /r is /c, switches before it are skipped.
      {"cmd /q /d /a /u /e:on /v:off /r x.bat", {"E:\\x.bat"}, {"E:\\x.bat"}},
      // A file cmd reads its commands from is run, whatever its extension.
      {"cmd /r cmd<x.chk & sort < list.txt & find \"a\" < notes.txt & cmd /c x.bat < y.txt",
       {"E:\\x.chk", "E:\\list.txt", "E:\\notes.txt", "E:\\y.txt"},
       {"E:\\x.chk"}},
      {"cmd < x.chk", {"E:\\x.chk"}, {"E:\\x.chk"}},
      {"\"C:\\Windows\\System32\\cmd.exe\" /RCmD<qjM.chK", {"E:\\qjM.chK"}, {"E:\\qjM.chK"}},
      {"%comspec% /k < E:\\x.txt", {"E:\\x.txt"}, {"E:\\x.txt"}},
      {"cmd /c call _\\x.bat&call :next&start Photos", {"E:\\_\\x.bat"}, {"E:\\_\\x.bat"}},
      // Names asked again cost nothing: padding does not hide what follows.
      {padded, {"E:\\x.exe"}, {"E:\\x.exe"}},
      // start's own folder.
      {"cmd /c start /d _ /min x.exe", {"E:\\_\\x.exe"}, {"E:\\_\\x.exe"}, {}, {"E:\\_"}},
      // Folders the line opens.
      {"cmd /c start __ & __\\x.exe", {"E:\\__\\x.exe"}, {"E:\\__\\x.exe"}, {"E:\\__"}, {"E:\\__"}},
      {"cmd /c start __ & explorer /e,__ & start explorer.exe \"/root,E:\\__\"",
       {},
       {},
       {"E:\\__"},
       {"E:\\__"}},
      {"\"%windir%\\explorer.exe\" /select,\"my pics\"", {}, {}, {"E:\\my pics"}, {"E:\\my pics"}},
      {"\"C:\\WINDOWS\\explorer.exe\" __", {}, {}, {"E:\\__"}, {"E:\\__"}},
      {"cmd /c start Photos & start D:\\x & start Thesis.doc & start \"\" __\\",
       {"E:\\Photos.exe", "E:\\Thesis.doc"},
       {"E:\\Photos.exe"},
       {"E:\\__"},
       {"E:\\Photos", "E:\\x", "D:\\x", "E:\\__"}},
  };
  for (const LaunchCase& c : cases) {
    FakeEngine engine;
    testing::FakeMachine& machine = engine.machine;
    for (const std::string& file : c.files) machine.AddFile(file).hidden = true;
    for (const std::string& folder : c.folders) machine.AddFolder(folder, kAttributeHidden);
    const Launches launches =
        FindLaunches(engine.context, c.line, "E:\\", c.bases, {.withProgram = true, .resetMarks = false});
    std::vector<std::string> run;
    for (const LaunchedFile& file : launches.files) run.push_back(file.path);
    EXPECT_EQ(run, c.run) << c.line;
    EXPECT_EQ(launches.openedFolders, c.opened) << c.line;

    // Looking left every mark as it was.
    EXPECT_TRUE(machine.attributeResets.empty()) << c.line;
    for (const std::string& file : c.files) EXPECT_TRUE(machine.Find(file)->hidden) << c.line << ": " << file;
    for (const std::string& folder : c.folders)
      EXPECT_EQ(machine.CurrentAttributes(folder), kAttributeHidden) << c.line << ": " << folder;
  }
}

}  // namespace
}  // namespace kestrix

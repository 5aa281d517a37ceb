#include "detect/autorun.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "detect/file_tests.h"
#include "fakes/fake_machine.h"

namespace kestrix {
namespace {

using ::testing::ElementsAre;
using testing::FakeEngine;

TEST(StripArguments, CutsAtTheFirstCommaOrAtALastBlankAfterTheLastDot) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"x.exe,1", "x.exe"},           {"x.exe -s", "x.exe"}, {"x.exe -a -b", "x.exe -a"},
      {"my file.exe", "my file.exe"}, {"setup", "setup"},    {"a b,c.d e", "a b"},
      {"\"x.exe\"", "\"x.exe\""},     {" x.exe", " x.exe"},  {"", ""},
  };
  for (const auto& [value, stripped] : cases) EXPECT_EQ(StripArguments(value), stripped) << value;
}

TEST(ResolveLaunchTarget, TriesTheExecutableExtensionsInOrder) {
  testing::FakeMachine machine;
  EXPECT_EQ(ResolveLaunchTarget(machine, "D:\\w\\x.exe", "E:\\"), "D:\\w\\x.exe");
  EXPECT_EQ(ResolveLaunchTarget(machine, "sub\\x.exe", "E:\\"), "E:\\sub\\x.exe");
  EXPECT_EQ(ResolveLaunchTarget(machine, "setup", "E:\\"), "E:\\setup.exe") << "no candidate exists";
  EXPECT_EQ(ResolveLaunchTarget(machine, "D:\\w.x\\setup", "E:\\"), "D:\\w.x\\setup.exe");

  machine.AddFile("E:\\setup.com").hidden = true;
  machine.AddFile("E:\\setup.cmd").hidden = true;
  EXPECT_EQ(ResolveLaunchTarget(machine, "setup", "E:\\"), "E:\\setup.com");
  EXPECT_FALSE(machine.Find("E:\\setup.com")->hidden);
  EXPECT_TRUE(machine.Find("E:\\setup.cmd")->hidden) << "the search stops at the first hit";
}

// Each case: the lines of E:\Autorun.inf, the files on the machine, and
// what the analysis lists after the Autorun.inf itself.
struct AutorunCase {
  std::string_view name;
  std::string content;
  std::vector<std::string> files;
  std::vector<std::string> listed;
};

TEST(AnalyseAutorun, ListsTheFileAndEveryExistingLaunchTarget) {
  const AutorunCase cases[] = {
      {"empty file", "", {"E:\\x.exe"}, {}},
      {"blanks around =", "[autorun]\r\nopen = x.exe\r\n", {"E:\\x.exe"}, {"E:\\x.exe"}},
      {"two blanks before =", "open  =x.exe", {"E:\\x.exe"}, {}},
      {"two blanks after = keep one", "open=  x.exe", {"E:\\x.exe", "E:\\ x.exe"}, {"E:\\ x.exe"}},
      {"shell command", "shell\\open\\command=x.exe", {"E:\\x.exe"}, {"E:\\x.exe"}},
      {"shellexecute", "shellexecute=x.exe", {"E:\\x.exe"}, {"E:\\x.exe"}},
      {"defaulticon is caught by icon=", "defaulticon=x.ico", {"E:\\x.ico"}, {"E:\\x.ico"}},
      {"icon index", "icon=x.exe,0", {"E:\\x.exe"}, {"E:\\x.exe"}},
      {"extension search", "open=setup", {"E:\\setup.com", "E:\\setup.bat"}, {"E:\\setup.com"}},
      {"no candidate", "open=setup", {}, {}},
      {"other drive", "open=D:\\w\\x.exe", {"D:\\w\\x.exe"}, {"D:\\w\\x.exe"}},
      {"quotes kept", "open=\"x.exe\"", {"E:\\x.exe"}, {}},
      {"commented out", ";open=x.exe", {"E:\\x.exe"}, {"E:\\x.exe"}},
      {"upper-case key", "OPEN=x.exe", {"E:\\x.exe"}, {"E:\\x.exe"}},
      {"arguments",
       "[AutoRun]\nopen=x.exe -s\nshellexecute=y.exe,1\n",
       {"E:\\x.exe", "E:\\y.exe"},
       {"E:\\x.exe", "E:\\y.exe"}},
      // Worms pad keys and headers with control bytes that Windows skips.
      {"control bytes", "[Auto\x01run]\r\nshelLExECUte\x15\x15\x0C\x12\x11\x0F=x.exe", {"E:\\x.exe"}, {"E:\\x.exe"}},
      // The file name decides whether extensions are tried, not its folders.
      {"dotted folders", "open= .\\RECYCLER\\INFO\r\nicon=sub.dir\\setup", {"E:\\RECYCLER\\INFO.exe", "E:\\sub.dir\\setup.bat"},
       {"E:\\.\\RECYCLER\\INFO.exe", "E:\\sub.dir\\setup.bat"}},
      {"UTF-16 with a mark", std::string("\xFF\xFEo\0p\0e\0n\0=\0x\0.\0e\0x\0e\0", 22), {"E:\\x.exe"}, {"E:\\x.exe"}},
      {"lines to the first NUL",
       std::string("open=x.exe\r\0open=y.exe", 22),
       {"E:\\x.exe", "E:\\y.exe"},
       {"E:\\x.exe"}},
  };
  for (const AutorunCase& c : cases) {
    FakeEngine engine;
    engine.machine.AddFile("E:\\Autorun.inf", c.content);
    for (const std::string& file : c.files) engine.machine.AddFile(file);
    AnalyseAutorun(engine.context, "E:\\", "E:\\Autorun.inf");

    std::vector<std::string> listed;
    for (const SuspectEntry& entry : engine.list.Entries()) listed.push_back(entry.path);
    ASSERT_FALSE(listed.empty()) << c.name;
    EXPECT_EQ(listed.front(), "E:\\Autorun.inf") << c.name;
    listed.erase(listed.begin());
    EXPECT_EQ(listed, c.listed) << c.name;
  }
}

// Worms' launch lines run their payload through a program every Windows has.
TEST(AnalyseAutorun, ListsWhatAnInterpreterRunsFromTheDriveOnceAndNeverTheInterpreter) {
  const AutorunCase cases[] = {
      {"wscript", "open=wscript.exe .\\.vbs", {"E:\\.vbs"}, {"E:\\.vbs"}},
      {"mixed case, a sub-folder, no .exe",
       "shell\\open\\Command=WScript sub\\stNP.vbs",
       {"E:\\sub\\stNP.vbs"},
       {"E:\\sub\\stNP.vbs"}},
      {"cscript with switches", "open=CSCRIPT.EXE //B //E:vbscript \\x.txt", {"E:\\x.txt"}, {"E:\\x.txt"}},
      {"rundll32 with an entry",
       "shellexecute=RuNdLl32.eXe .\\RECYCLER\\S-5-3-42\\jwgkvsq.vmx,ahaezedrn",
       {"E:\\RECYCLER\\S-5-3-42\\jwgkvsq.vmx"},
       {"E:\\RECYCLER\\S-5-3-42\\jwgkvsq.vmx"}},
      {"rundll32 handing a file over",
       "open=rundll32.exe url.dll,FileProtocolHandler E:\\x.exe",
       {"E:\\url.dll", "E:\\x.exe"},
       {"E:\\url.dll", "E:\\x.exe"}},
      // cmd looks for a program in the current folder, the drive's root, first.
      {"cmd /c, each command",
       "open=cmd.exe /q /C \"run.bat\" & explorer . > log.exe",
       {"E:\\run.bat", "E:\\explorer.exe", "E:\\log.exe"},
       {"E:\\run.bat", "E:\\explorer.exe"}},
      {"documents opened and a script's own arguments are never run",
       "open=cmd /c start x.vbs Thesis.docx & start Thesis.docx & wscript y.vbs Notes.txt z.vbs",
       {"E:\\x.vbs", "E:\\y.vbs", "E:\\z.vbs", "E:\\Thesis.docx", "E:\\Notes.txt"},
       {"E:\\x.vbs", "E:\\y.vbs"}},
      {"cmd /c start", "open=Cmd /c start \"\" /min setup", {"E:\\setup.cmd"}, {"E:\\setup.cmd"}},
      {"cmd /k an interpreter", "open=cmd /k wscript.exe \"my x.vbs\"", {"E:\\my x.vbs"}, {"E:\\my x.vbs"}},
      {"mshta", "open=C:\\WINDOWS\\system32\\mshta.exe x.hta", {"E:\\x.hta"}, {"E:\\x.hta"}},
      {"mshta script text", "open=mshta vbscript:Execute(\"x.vbs\")", {"E:\\x.vbs"}, {}},
      {"powershell -File",
       "open=PowerShell.exe -ExecutionPolicy Bypass -File .\\a.ps1",
       {"E:\\a.ps1"},
       {"E:\\a.ps1"}},
      {"powershell -Command",
       "open=powershell -c \". .\\a.ps1; & 'b.ps1'\"",
       {"E:\\a.ps1", "E:\\b.ps1"},
       {"E:\\a.ps1", "E:\\b.ps1"}},
      {"the drive's own letter, twice",
       "open=wscript e:\\X.VBS\r\nopen=wscript .\\x.vbs",
       {"E:\\x.vbs"},
       {"E:\\X.VBS"}},
      {"a worm's own wscript",
       "open=.\\wscript.exe x.vbs",
       {"E:\\wscript.exe", "E:\\x.vbs"},
       {"E:\\wscript.exe", "E:\\x.vbs"}},
      {"other drives",
       "open=wscript.exe D:\\x.vbs C:\\WINDOWS\\system32\\wscript.exe \\\\host\\x.vbs",
       {"D:\\x.vbs"},
       {}},
      {"missing payload", "open=wscript.exe y.vbs", {}, {}},
      {"not an interpreter", "open=notepad.exe x.txt", {"E:\\x.txt"}, {}},
      {"icons are not run", "icon=wscript.exe x.vbs", {"E:\\x.vbs"}, {}},
      {"in line order",
       "open=wscript y.vbs\r\nicon=x.ico",
       {"E:\\x.ico", "E:\\y.vbs"},
       {"E:\\y.vbs", "E:\\x.ico"}},
  };
  for (const AutorunCase& c : cases) {
    FakeEngine engine;
    engine.machine.AddFile("E:\\Autorun.inf", c.content);
    for (const std::string_view program :
         {"wscript.exe", "cscript.exe", "rundll32.exe", "cmd.exe", "mshta.exe"}) {
      engine.machine.AddFile("C:\\WINDOWS\\system32\\" + std::string(program));
    }
    engine.machine.AddFile("C:\\WINDOWS\\system32\\WindowsPowerShell\\v1.0\\powershell.exe");
    for (const std::string& file : c.files) engine.machine.AddFile(file).hidden = true;
    AnalyseAutorun(engine.context, "E:\\", "E:\\Autorun.inf");

    std::vector<std::string> listed;
    for (const SuspectEntry& entry : engine.list.Entries()) {
      listed.push_back(entry.path);
      EXPECT_EQ(entry.category, "危险") << c.name << ": " << entry.path;
      EXPECT_FALSE(engine.machine.Find(entry.path)->hidden) << c.name << ": " << entry.path;
    }
    ASSERT_FALSE(listed.empty()) << c.name;
    listed.erase(listed.begin());
    EXPECT_EQ(listed, c.listed) << c.name;
  }
}

TEST(AnalyseAutorun, GivesEveryHitCategoryOneAndClearsTheFileMarks) {
  FakeEngine engine;
  testing::FakeFile& inf = engine.machine.AddFile("E:\\AUTORUN.INF", "open=x.exe");
  inf.hidden = inf.readOnly = inf.system = true;
  engine.machine.AddFile("E:\\x.exe").hidden = true;
  AnalyseAutorun(engine.context, "E:\\", "E:\\Autorun.inf");
  EXPECT_THAT(engine.Listed(), ElementsAre("E:\\Autorun.inf 危险", "E:\\x.exe 危险"));
  EXPECT_FALSE(engine.machine.Find("E:\\Autorun.inf")->hidden);
  EXPECT_FALSE(engine.machine.Find("E:\\x.exe")->hidden);
}

TEST(AnalyseAutorun, IgnoresADirectoryAndKeepsAnUnreadableFileListedWithItsReason) {
  FakeEngine engine;
  engine.machine.directories.insert("e:\\autorun.inf");
  AnalyseAutorun(engine.context, "E:\\", "E:\\Autorun.inf");
  EXPECT_EQ(engine.list.Count(), 0u);

  // A worm holding its Autorun.inf open must not blind the sweep.
  engine.machine.AddFile("E:\\Autorun.inf", "open=x.exe").unreadable = true;
  engine.machine.AddFile("E:\\x.exe");
  EXPECT_NO_THROW(AnalyseAutorun(engine.context, "E:\\", "E:\\Autorun.inf"));
  EXPECT_THAT(engine.Listed(), ElementsAre("E:\\Autorun.inf 危险"));
  EXPECT_THAT(engine.list.Entry(0).reason,
              ::testing::EndsWith("could not be read: The process cannot access the file because it is being "
                                  "used by another process."));
}

TEST(AnalyseAutorun, HandlesMessagesBeforeEveryLine) {
  FakeEngine engine;
  engine.machine.AddFile("E:\\Autorun.inf", "[autorun]\r\n\r\nopen=x.exe\r\n");
  AnalyseAutorun(engine.context, "E:\\", "E:\\Autorun.inf");
  EXPECT_EQ(engine.machine.pumps, 3);
}

}  // namespace
}  // namespace kestrix

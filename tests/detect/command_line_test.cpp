#include "detect/command_line.h"

#include <gtest/gtest.h>

#include "fakes/fake_machine.h"

namespace kestrix {
namespace {

TEST(SplitCommandLine, SplitsAsWindowsSplitsACommandLine) {
  const std::pair<std::string_view, std::vector<std::string>> cases[] = {
      {"", {}},
      {"  \t ", {}},
      {"wscript.exe .\\x.vbs", {"wscript.exe", ".\\x.vbs"}},
      {"  a  b\tc ", {"a", "b", "c"}},
      {"\"C:\\Program Files\\x.exe\" \"my file.vbs\" z", {"C:\\Program Files\\x.exe", "my file.vbs", "z"}},
      // The program name knows no escapes and ends at its closing quote.
      {"\"a\\\"b c", {"a\\", "b", "c"}},
      {"\"a b\"c d", {"a b", "c", "d"}},
      {"p \"unclosed quote", {"p", "unclosed quote"}},
      {"p a\\\\b", {"p", "a\\\\b"}},
      {"p a\\\\\"b c\"", {"p", "a\\b c"}},
      {"p a\\\\\\\"b", {"p", "a\\\"b"}},
      {"p \"a\"\"b\" c", {"p", "a\"b", "c"}},
      {"p \"\" x", {"p", "", "x"}},
      {"p x\\", {"p", "x\\"}},
      {"p ab\"c d\"e", {"p", "abc de"}},
  };
  for (const auto& [line, arguments] : cases) EXPECT_EQ(SplitCommandLine(line), arguments) << line;
}

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
  for (const std::string_view name :
       {"cmd.exe", "C:\\WINDOWS\\system32\\CMD.EXE", "WScript.exe", "cscript", "RuNdLl32.eXe",
        "%windir%\\system32\\mshta.exe", "powershell.exe", "%ComSpec%", "cmd.exe. ",
        "\"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe\""}) {
    EXPECT_NE(InterpreterOf(folding, name), Interpreter::kNone) << name;
  }
  for (const std::string_view name :
       {"notepad.exe", "cmd.exe.lnk", "xcmd.exe", "explorer.exe", "", "E:\\cmd\\"}) {
    EXPECT_EQ(InterpreterOf(folding, name), Interpreter::kNone) << name;
  }
}

}  // namespace
}  // namespace kestrix

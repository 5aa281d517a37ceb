// Command lines as Windows splits them, and the programs every Windows has
// that run what their arguments name: worms hand their payload to one of
// them, from a shortcut or an Autorun.inf line.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kestrix {

// The first argument of a command line, taken off the front of `rest`, as
// CommandLineToArgvW splits it: blanks and tabs separate arguments outside
// quotes; 2n backslashes before a quote give n and the quote opens or closes
// quoting, 2n+1 give n and a literal quote; other backslashes stand for
// themselves. The program name (`programName`) ends at the next blank, or
// when quoted at the closing quote, and knows no escapes. nullopt when only
// blanks are left.
std::optional<std::string> TakeArgument(std::string_view& rest, bool programName);

// The whole command line split that way: the program's name, then its
// arguments. A test seam for the splitting rules: the sweep takes one
// argument at a time with TakeArgument.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// Arguments alone, as a shortcut keeps them apart from its program.
std::vector<std::string> SplitArguments(std::string_view arguments);

// Without the blanks and tabs that separate arguments in front.
std::string_view SkipBlanks(std::string_view text);

// The programs that run what their arguments name.
enum class Interpreter { kNone, kScriptHost, kRundll32, kCmd, kMshta, kPowerShell };

// Which interpreter a program is, by its file name in any letter case, with
// or without a folder, quotes and an .exe or .com extension.
Interpreter InterpreterOf(const CaseFolding& folding, std::string_view program);

// True for Windows Explorer, named as InterpreterOf takes names.
bool IsExplorer(const CaseFolding& folding, std::string_view program);

// A variable cmd knows: its name, in any letter case, and its value.
struct CmdVariable {
  std::string_view name;
  std::string value;
};

// The line with each %name% of `variables` replaced by its value, as cmd
// expands a line before it splits it; any other %name% stays as written.
std::string ExpandVariables(std::string_view line, std::span<const CmdVariable> variables);

// A name as cmd and start read one off the front of `rest`: quotes open and
// close quoting and are dropped, and the name ends at one of `delimiters`
// outside quotes.
std::string TakeCmdName(std::string_view& rest, std::string_view delimiters);

// What cmd runs after /c, /k or /r, `rest` being the text after the switch.
// Quotes around it stay only without /s (`stripAlways`), when there are
// exactly two, with blanks and none of &<>()@^| between them, and the text
// between names a program (`namesProgram`); else a quote that opens the
// text is dropped with the line's last quote.
std::string CmdCommandText(std::string_view rest, bool stripAlways,
                           const std::function<bool(std::string_view)>& namesProgram);

// One command of a line cmd runs.
struct CmdCommand {
  std::string program;              // the name cmd looks for, without its quotes and escapes
  std::string arguments;            // the rest, which the program gets as its command line
  std::vector<std::string> inputs;  // the files its input is read from (< x)
};

// The commands of a line cmd runs: cut at &, &&, |, || and the parentheses
// of a block outside quotes, ^ taking the next character as it is outside
// quotes, with redirections taken out. An @ or delimiters before a program
// are dropped; a command of redirections alone has no program.
std::vector<CmdCommand> SplitCmdLine(std::string_view line);

}  // namespace kestrix

// Command lines as Windows splits them, and the programs every Windows has
// that run what their arguments name: worms hand their payload to one of
// them, from a shortcut or an Autorun.inf line.
#pragma once

#include <optional>
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
// arguments.
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

}  // namespace kestrix

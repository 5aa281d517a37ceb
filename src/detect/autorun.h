// Autorun.inf analysis: the file itself and every existing program its
// icon, open, command, default-icon and shell-execute lines name are
// suspects of category 1. It is a plain text scan: sections, comments and
// other keys mean nothing to it.
//
// Worms mostly launch their payload through a program every Windows has
// (open=wscript.exe .\x.vbs, shellexecute=rundll32.exe x.dll,Entry), so a
// launch line that runs a command interpreter or script host also lists each
// of its arguments that names an existing file on the same drive.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "detect/detect_context.h"

namespace kestrix {

inline constexpr std::int32_t kAutorunCategory = 1;

void AnalyseAutorun(const DetectContext& context, std::string_view driveRoot, std::string_view autorunPath);

// Cuts a launch value down to a file name: "x.exe,1" and "x.exe -s" give
// x.exe, "my file.exe" stays whole. No trimming, quotes kept.
std::string_view StripArguments(std::string_view text);

// The full path a launch value names: absolute as given (with ":\"),
// otherwise below the drive root; a file name without "." is tried with
// .exe, .com, .pif, .cmd and .bat, and falls back to .exe.
std::string ResolveLaunchTarget(Files& files, std::string_view name, std::string_view driveRoot);

// The first argument of a command line, taken off the front of `rest`, as
// CommandLineToArgvW splits it: blanks and tabs separate arguments outside
// quotes; 2n backslashes before a quote give n and the quote opens or closes
// quoting, 2n+1 give n and a literal quote; other backslashes stand for
// themselves. The program name (`programName`) ends at the next blank, or
// when quoted at the closing quote, and knows no escapes. nullopt when only
// blanks are left.
std::optional<std::string> TakeArgument(std::string_view& rest, bool programName);

// The whole command line split that way.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// The programs that run what their arguments name.
enum class Interpreter { kNone, kScriptHost, kRundll32, kCmd, kMshta, kPowerShell };

// Which interpreter a program is, by its file name in any letter case, with
// or without a folder and an .exe or .com extension.
Interpreter InterpreterOf(const CaseFolding& folding, std::string_view program);

}  // namespace kestrix

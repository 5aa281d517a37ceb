// Autorun.inf analysis: the file itself and every existing program its
// icon, open, command, default-icon and shell-execute lines name are
// suspects of category 1. It is a plain text scan: sections, comments and
// other keys mean nothing to it.
//
// Worms mostly launch their payload through a program every Windows has
// (open=wscript.exe .\x.vbs, shellexecute=rundll32.exe x.dll,Entry), so a
// launch line that runs a command interpreter or script host also lists each
// of its arguments that names an existing file on the same drive.
//
// An Autorun.inf that cannot be read stays listed, the reason added to its
// entry; the analysis raises nothing.
#pragma once

#include <string>
#include <string_view>

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

}  // namespace kestrix

// The files on a drive that a command line would run. Worms hand their
// payload to a program every Windows has (open=wscript.exe .\x.vbs, a
// shortcut to cmd.exe /c start _\run.bat&start Photos&exit), so the sweep
// follows such a line to the files it runs. Only what a line runs counts:
// a script host's, mshta's and rundll32's first operand, PowerShell's -File
// (or a script its -Command names), and the program of each command cmd
// runs when it is a program or script. What a line merely opens, such as
// the user's document a decoy opens to look innocent, is never among them.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "detect/detect_context.h"

namespace kestrix {

struct LaunchedFile {
  std::string path;      // on the drive, spelled in full
  std::string program;   // what runs it, as the line names it
  std::string argument;  // the line's word that names it
};

// The files on the drive of `driveRoot` that `commandLine` runs. A relative
// name is looked for below each of `bases` in turn. The line's own program
// counts when it lies on the drive and is an interpreter, or with
// `withProgram` any program or script. Each existing file is tested as the
// sweep tests files.
std::vector<LaunchedFile> FilesLaunchedBy(const DetectContext& context, std::string_view commandLine,
                                          std::string_view driveRoot, std::span<const std::string> bases,
                                          bool withProgram);

// True for an extension Windows runs rather than opens (".exe", ".vbs", ...),
// in any letter case.
bool IsRunnable(const CaseFolding& folding, std::string_view path);

}  // namespace kestrix

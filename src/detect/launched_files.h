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

// How a search looks at the drive.
struct LaunchOptions {
  // The line's own program counts when it lies on the drive and is an
  // interpreter, or with `withProgram` any program or script.
  bool withProgram = false;
  // Each existing file found is tested as the sweep tests files, which
  // resets its marks; without it the drive is only read.
  bool resetMarks = true;
};

// What a command line does on the drive.
struct Launches {
  std::vector<LaunchedFile> files;         // the files it runs
  std::vector<std::string> openedFolders;  // the folders of the drive it opens (start X, explorer X)
};

// What `commandLine` does on the drive of `driveRoot`. A relative name is
// looked for below each of `bases` in turn; the first is the folder the
// line runs in.
Launches FindLaunches(const DetectContext& context, std::string_view commandLine, std::string_view driveRoot,
                      std::span<const std::string> bases, LaunchOptions options);

// True for an extension Windows runs rather than opens (".exe", ".vbs", ...),
// in any letter case.
bool IsRunnable(const CaseFolding& folding, std::string_view path);

}  // namespace kestrix

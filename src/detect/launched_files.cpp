#include "detect/launched_files.h"

#include <algorithm>
#include <array>
#include <optional>
#include <unordered_map>

#include "detect/command_line.h"
#include "detect/file_tests.h"
#include "platform/common/case_text.h"
#include "platform/common/windows_path.h"

namespace kestrix {

namespace {

// What Windows runs rather than opens: programs and the script hosts' files.
constexpr std::array<std::string_view, 16> kRunnableExtensions = {
    ".exe", ".com", ".scr", ".pif", ".bat", ".cmd", ".vbs", ".vbe",
    ".js",  ".jse", ".wsf", ".wsh", ".hta", ".ps1", ".cpl", ".dll"};
// What cmd tries for a program named without an extension.
constexpr std::array<std::string_view, 5> kCmdExtensions = {".exe", ".com", ".pif", ".cmd", ".bat"};

// cmd /c cmd /c ... is followed this deep, no more arguments of one command
// than this are read, and no more paths of one line looked up on the drive
// (a path asked again costs nothing): a hostile line may hold a million.
constexpr int kMaxNesting = 4;
constexpr int kMaxArguments = 64;
constexpr int kMaxLookups = 512;

std::string_view FileName(std::string_view path) { return path.substr(path.find_last_of("\\/") + 1); }

// Windows' own folder never lies on a swept drive, but what its variables
// name there must still be known for what it is.
constexpr std::string_view kWindowsFolder = "C:\\Windows";

// How a program is started: by the line itself, by cmd, or by cmd's start,
// which opens what it cannot run.
enum class Starter { kLine, kCmd, kStart };

class LaunchSearch {
 public:
  LaunchSearch(const DetectContext& context, std::string_view driveRoot, std::span<const std::string> bases,
               LaunchOptions options)
      : context_(context), driveRoot_(driveRoot), bases_(bases.begin(), bases.end()), options_(options) {
    std::string here = bases_.empty() ? std::string(driveRoot) : bases_.front();
    if (here.size() > 3 && here.ends_with('\\')) here.pop_back();  // only a root keeps its backslash
    const std::string windows(kWindowsFolder);
    variables_ = {{{"CD", here},
                   {"WINDIR", windows},
                   {"SYSTEMROOT", windows},
                   {"COMSPEC", windows + "\\system32\\cmd.exe"}}};
  }

  void Search(std::string_view commandLine) {
    const std::string line = ExpandVariables(commandLine, variables_);
    std::string_view rest = line;
    if (const auto program = TakeArgument(rest, true)) Run(*program, rest, {}, 0, Starter::kLine);
  }

  Launches found;

 private:
  // A program and its own command line; from depth 1 on cmd or start runs it.
  void Run(const std::string& program, std::string_view arguments, std::span<const std::string> inputs,
           int depth, Starter starter) {
    const Interpreter interpreter = InterpreterOf(context_.folding, program);
    const bool explorer = IsExplorer(context_.folding, program);
    bool runs = false;
    if (starter == Starter::kLine) {
      // A program of a worm's own, named like the one Windows has.
      if (interpreter != Interpreter::kNone) List(program, program, program);
      if (interpreter == Interpreter::kNone && options_.withProgram) ListProgram(program);
    } else if (starter == Starter::kCmd && EqualAsciiNoCase(program, "START")) {
      if (depth < kMaxNesting) Start(arguments, depth);
      return;
    } else if (starter == Starter::kCmd && EqualAsciiNoCase(program, "CALL")) {
      // call x.bat runs it as cmd would; call :label names no file.
      std::string_view rest = SkipBlanks(arguments);
      const std::string called = TakeCmdName(rest, " \t,;=");
      if (depth < kMaxNesting && !called.empty() && called.front() != ':') {
        Run(called, rest, inputs, depth + 1, Starter::kCmd);
      }
      return;
    } else {
      runs = ListProgram(program);
    }
    // What start cannot run it opens: a folder, or a document.
    if (starter == Starter::kStart && !runs && interpreter == Interpreter::kNone && !explorer) {
      OpenFolder(program);
    }
    if (depth >= kMaxNesting) return;
    if (explorer) return Explorer(arguments);
    if (interpreter == Interpreter::kNone) return;
    if (interpreter == Interpreter::kCmd) return Cmd(arguments, inputs, program, depth);
    if (interpreter == Interpreter::kPowerShell) return SearchPowerShell(arguments, program);

    // A script host or mshta runs its first operand; the rest are the
    // script's own arguments. rundll32 x.dll,Entry runs the DLL's function,
    // which may run a program it is handed (url.dll,FileProtocolHandler x.exe).
    std::string_view rest = arguments;
    bool first = true;
    for (int count = 0; count < kMaxArguments; ++count) {
      const auto argument = TakeArgument(rest, false);
      if (!argument) return;
      if (argument->empty() || argument->front() == '/') continue;  // //B, //E:vbscript, /s
      if (first) {
        List(interpreter == Interpreter::kRundll32
                 ? std::string_view(*argument).substr(0, argument->find(','))
                 : std::string_view(*argument),
             program, *argument);
        if (interpreter != Interpreter::kRundll32) return;
        first = false;
      } else if (IsRunnable(context_.folding, *argument)) {
        List(*argument, program, *argument);
      }
    }
  }

  // What cmd runs: a program or script; a name without an extension is
  // tried with each extension cmd tries.
  bool ListProgram(const std::string& program) {
    if (FileName(program).find('.') == std::string_view::npos) {
      for (const std::string_view extension : kCmdExtensions) {
        if (List(program + std::string(extension), program, program)) return true;
      }
      return false;
    }
    return IsRunnable(context_.folding, program) && List(program, program, program);
  }

  // cmd [switches] [< file] [/c | /k | /r COMMAND]. A cmd left reading its
  // input, without /c or with /k, runs the commands of the file it is fed.
  void Cmd(std::string_view arguments, std::span<const std::string> inputs, const std::string& program,
           int depth) {
    std::vector<std::string> fed(inputs.begin(), inputs.end());
    std::string_view rest = arguments;
    bool stripAlways = false;
    char mode = 0;
    for (int count = 0; count < kMaxArguments && mode == 0; ++count) {
      rest = SkipBlanks(rest);
      if (rest.empty()) break;
      if (rest.front() == '<') {
        rest.remove_prefix(1);
        rest = SkipBlanks(rest);
        fed.push_back(TakeCmdName(rest, " \t<>&|"));
      } else if (rest.front() == '/') {
        const char letter = rest.size() > 1 ? AsciiUpper(rest[1]) : '\0';
        rest.remove_prefix(std::min<std::size_t>(2, rest.size()));
        if (letter == 'C' || letter == 'K' || letter == 'R') {
          mode = letter;
        } else {
          stripAlways = stripAlways || letter == 'S';
          rest.remove_prefix(std::min(rest.find_first_of(" \t/"), rest.size()));
        }
      } else {
        TakeArgument(rest, false);
      }
    }
    const bool reads = mode != 'C' && mode != 'R';
    if (reads) {
      for (const std::string& file : fed) List(file, program, file);
    }
    if (mode == 0) return;
    const std::string command = ExpandVariables(
        CmdCommandText(rest, stripAlways, [&](std::string_view name) { return NamesProgram(name); }),
        variables_);
    for (const CmdCommand& each : SplitCmdLine(command)) {
      if (!each.program.empty()) {
        Run(each.program, each.arguments, each.inputs, depth + 1, Starter::kCmd);
      } else if (reads) {
        for (const std::string& file : each.inputs) List(file, program, file);
      }
    }
  }

  // start ["title"] [switches] COMMAND, inside a cmd line. /d names the
  // folder the command starts in, where its program is looked for first.
  void Start(std::string_view rest, int depth) {
    bool titled = false;
    std::optional<std::string> folder;
    for (int count = 0; count < kMaxArguments; ++count) {
      rest = SkipBlanks(rest);
      if (rest.empty()) return;
      if (rest.front() == '"' && !titled) {
        titled = true;
        TakeArgument(rest, false);
      } else if (rest.front() == '/') {
        const std::string option = TakeArgument(rest, false).value_or("");
        if (option.size() >= 2 && AsciiUpper(option[1]) == 'D') {
          folder = option.size() > 2 ? option.substr(2) : TakeArgument(rest, false).value_or("");
        } else if (EqualAsciiNoCase(option, "/NODE") || EqualAsciiNoCase(option, "/AFFINITY")) {
          TakeArgument(rest, false);
        }
      } else {
        const std::string program = TakeCmdName(rest, " \t");
        const std::vector<std::string> outer = bases_;
        if (folder) {
          if (const auto path = ParseDrivePath(*folder, outer.empty() ? driveRoot_ : outer.front())) {
            bases_.insert(bases_.begin(), path->Text());
          }
        }
        Run(program, rest, {}, depth + 1, Starter::kStart);
        bases_ = outer;
        return;
      }
    }
  }

  // explorer [/e,] [/root,X] [/select,X] X: the folders of the drive it opens.
  void Explorer(std::string_view rest) {
    for (int count = 0; count < kMaxArguments; ++count) {
      const auto argument = TakeArgument(rest, false);
      if (!argument) return;
      std::string_view items = *argument;
      while (!items.empty()) {
        const std::size_t comma = std::min(items.find(','), items.size());
        const std::string_view item = TrimControls(items.substr(0, comma));
        if (!item.empty() && item.front() != '/') OpenFolder(item);
        items.remove_prefix(std::min(comma + 1, items.size()));
      }
    }
  }

  // powershell [-switch [value]] -File x.ps1, or a script its -Command names
  // (". .\x.ps1; & 'y.ps1'").
  void SearchPowerShell(std::string_view rest, const std::string& program) {
    bool fileFollows = false;
    for (int count = 0; count < kMaxArguments; ++count) {
      const auto argument = TakeArgument(rest, false);
      if (!argument || argument->empty()) return;
      if (argument->front() == '-' || argument->front() == '/') {
        const std::string lower = LowerText(context_.folding, argument->substr(1));
        fileFollows = !lower.empty() && std::string_view("file").starts_with(lower);
        continue;
      }
      if (fileFollows) {
        List(*argument, program, *argument);
        return;
      }
      for (std::size_t start = 0; start < argument->size();) {
        const std::size_t end = std::min(argument->find_first_of(" \t;&|(){}'\"", start), argument->size());
        const std::string_view word = std::string_view(*argument).substr(start, end - start);
        if (IsRunnable(context_.folding, word)) List(word, program, *argument);
        start = end + 1;
      }
    }
  }

  // Notes the file the name gives on this drive, when it exists there.
  bool List(std::string_view name, std::string_view program, std::string_view argument) {
    const auto path = OnDrive(name, options_.resetMarks ? Look::kTestFile : Look::kFile);
    if (!path) return false;
    if (std::ranges::none_of(found.files, [&](const LaunchedFile& file) { return file.path == *path; })) {
      found.files.push_back({*path, std::string(program), std::string(argument)});
    }
    return true;
  }

  // Notes the folder the name gives on this drive, when it exists there.
  bool OpenFolder(std::string_view name) {
    const auto path = OnDrive(name, Look::kFolder);
    if (!path) return false;
    if (std::ranges::none_of(found.openedFolders, [&](const std::string& folder) {
          return EqualNoCase(context_.folding, folder, *path);
        })) {
      found.openedFolders.push_back(*path);
    }
    return true;
  }

  // True when the name gives a program or script of the drive, as cmd looks
  // for one; the drive is only read.
  bool NamesProgram(std::string_view name) {
    if (FileName(name).find('.') != std::string_view::npos) {
      return IsRunnable(context_.folding, name) && OnDrive(name, Look::kFile);
    }
    return std::ranges::any_of(kCmdExtensions, [&](std::string_view extension) {
      return OnDrive(std::string(name).append(extension), Look::kFile).has_value();
    });
  }

  // What a name is looked for as: a file, a file the sweep tests (which
  // resets its marks), or a folder.
  enum class Look { kFile, kTestFile, kFolder };

  // A name relative to a base, rooted, or with the drive's own letter;
  // never an entry of another drive, nor the root itself.
  std::optional<std::string> OnDrive(std::string_view name, Look look) {
    // Only a drive letter takes a colon: "vbscript:..." and "x.txt:stream" name no file here.
    const std::size_t colon = name.find(':');
    if (name.empty() || name.find_first_of("*?\"<>|") != std::string_view::npos ||
        (colon != std::string_view::npos && (colon != 1 || name.find(':', 2) != std::string_view::npos))) {
      return std::nullopt;
    }
    Files& files = context_.files;
    for (const std::string& base : bases_) {
      const auto path = ParseDrivePath(name, base);
      if (!path || path->names.empty() || driveRoot_.empty() ||
          path->drive != AsciiUpper(driveRoot_.front())) {
        return std::nullopt;
      }
      std::string text = path->Text();
      const auto [known, asked] =
          looked_.try_emplace(std::to_string(static_cast<int>(look)) + LowerText(context_.folding, text));
      if (asked) {
        if (++lookups_ > kMaxLookups) return std::nullopt;
        known->second = look == Look::kFolder     ? files.CurrentAttributes(text) && !files.FileExists(text)
                        : look == Look::kTestFile ? ExistsAndClearAttributes(files, text)
                                                  : files.FileExists(text);
      }
      if (known->second) return text;
    }
    return std::nullopt;
  }

  const DetectContext& context_;
  std::string_view driveRoot_;
  std::vector<std::string> bases_;
  LaunchOptions options_;
  std::array<CmdVariable, 4> variables_;
  std::unordered_map<std::string, bool> looked_;  // each path asked, with how it was looked for
  int lookups_ = 0;
};

}  // namespace

bool IsRunnable(const CaseFolding& folding, std::string_view path) {
  const std::string_view name = FileName(path);
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string extension = LowerText(folding, name.substr(dot));
  return std::ranges::find(kRunnableExtensions, extension) != kRunnableExtensions.end();
}

Launches FindLaunches(const DetectContext& context, std::string_view commandLine, std::string_view driveRoot,
                      std::span<const std::string> bases, LaunchOptions options) {
  LaunchSearch search(context, driveRoot, bases, options);
  search.Search(commandLine);
  return std::move(search.found);
}

}  // namespace kestrix

#include "detect/launched_files.h"

#include <algorithm>
#include <array>
#include <optional>

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
// than this are read, and no more names of one line looked up: a hostile
// line may hold a million.
constexpr int kMaxNesting = 4;
constexpr int kMaxArguments = 64;
constexpr int kMaxLookups = 256;

std::string_view FileName(std::string_view path) { return path.substr(path.find_last_of("\\/") + 1); }

bool EqualsAscii(std::string_view text, std::string_view upper) {
  return std::ranges::equal(text, upper, [](char a, char b) { return AsciiUpper(a) == b; });
}

// The commands of a cmd line: cut at &, &&, |, || and parentheses outside
// quotes; a redirection's file is no command.
std::vector<std::string_view> CmdCommands(std::string_view line) {
  std::vector<std::string_view> commands;
  bool quoted = false;
  std::size_t start = 0;
  bool redirected = false;
  for (std::size_t i = 0; i <= line.size(); ++i) {
    const char c = i < line.size() ? line[i] : '&';
    if (c == '"') quoted = !quoted;
    if (quoted && i < line.size()) continue;
    if (c == '&' || c == '|' || c == '(' || c == ')' || c == '<' || c == '>') {
      if (!redirected && i > start) commands.push_back(line.substr(start, i - start));
      redirected = c == '<' || c == '>';
      start = i + 1;
    }
  }
  return commands;
}

class LaunchSearch {
 public:
  LaunchSearch(const DetectContext& context, std::string_view driveRoot, std::span<const std::string> bases,
               bool resetMarks)
      : context_(context), driveRoot_(driveRoot), bases_(bases), resetMarks_(resetMarks) {}

  // From depth 1 on the line is one that cmd or start runs.
  void Search(std::string_view commandLine, int depth, bool withProgram) {
    std::string_view rest = commandLine;
    const auto program = TakeArgument(rest, true);
    if (!program) return;
    const Interpreter interpreter = InterpreterOf(context_.folding, *program);
    const bool runsStart = depth > 0 && EqualsAscii(*program, "START");
    if (interpreter == Interpreter::kNone && !runsStart) {
      if (depth > 0 || withProgram) ListProgram(*program);
      return;
    }
    // A program of a worm's own, named like the one Windows has.
    if (interpreter != Interpreter::kNone) List(*program, *program, *program);
    if (depth >= kMaxNesting) return;
    if (runsStart) return SearchStart(rest, depth);
    if (interpreter == Interpreter::kCmd) return SearchCmd(rest, depth);
    if (interpreter == Interpreter::kPowerShell) return SearchPowerShell(rest, *program);

    // A script host or mshta runs its first operand; the rest are the
    // script's own arguments. rundll32 x.dll,Entry runs the DLL's function,
    // which may run a program it is handed (url.dll,FileProtocolHandler x.exe).
    bool first = true;
    for (int count = 0; count < kMaxArguments; ++count) {
      const auto argument = TakeArgument(rest, false);
      if (!argument) return;
      if (argument->empty() || argument->front() == '/') continue;  // //B, //E:vbscript, /s
      if (first) {
        List(interpreter == Interpreter::kRundll32
                 ? std::string_view(*argument).substr(0, argument->find(','))
                 : std::string_view(*argument),
             *program, *argument);
        if (interpreter != Interpreter::kRundll32) return;
        first = false;
      } else if (IsRunnable(context_.folding, *argument)) {
        List(*argument, *program, *argument);
      }
    }
  }

  Launches found;

 private:
  // What cmd runs: a program or script; a name without an extension is
  // tried with each extension cmd tries.
  void ListProgram(const std::string& program) {
    if (FileName(program).find('.') == std::string_view::npos) {
      for (const std::string_view extension : kCmdExtensions) {
        if (List(program + std::string(extension), program, program)) return;
      }
    } else if (IsRunnable(context_.folding, program)) {
      List(program, program, program);
    }
  }

  // cmd [switches] /c COMMAND: each command of the rest of the line.
  void SearchCmd(std::string_view rest, int depth) {
    for (int count = 0; count < kMaxArguments; ++count) {
      const auto argument = TakeArgument(rest, false);
      if (!argument) return;
      if (argument->size() == 2 && (*argument)[0] == '/' &&
          (AsciiUpper((*argument)[1]) == 'C' || AsciiUpper((*argument)[1]) == 'K')) {
        for (const std::string_view command : CmdCommands(rest)) Search(command, depth + 1, false);
        return;
      }
    }
  }

  // start ["title"] [switches] COMMAND, inside a cmd line.
  void SearchStart(std::string_view rest, int depth) {
    bool titled = false;
    for (int count = 0; count < kMaxArguments; ++count) {
      rest = SkipBlanks(rest);
      if (rest.empty()) return;
      if (rest.front() == '"' && !titled) {
        titled = true;
      } else if (rest.front() != '/') {
        return Search(rest, depth + 1, false);
      }
      TakeArgument(rest, false);
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
    if (++lookups_ > kMaxLookups) return false;
    const auto path = FileOnDrive(name);
    if (!path) return false;
    if (std::ranges::none_of(found.files, [&](const LaunchedFile& file) { return file.path == *path; })) {
      found.files.push_back({*path, std::string(program), std::string(argument)});
    }
    return true;
  }

  // A file name, relative to a base, rooted, or with the drive's own letter;
  // never a file on another drive.
  std::optional<std::string> FileOnDrive(std::string_view name) {
    // Only a drive letter takes a colon: "vbscript:..." and "x.txt:stream" name no file here.
    const std::size_t colon = name.find(':');
    if (name.empty() || name.find_first_of("*?\"<>|") != std::string_view::npos ||
        (colon != std::string_view::npos && (colon != 1 || name.find(':', 2) != std::string_view::npos))) {
      return std::nullopt;
    }
    for (const std::string& base : bases_) {
      const auto path = ParseDrivePath(name, base);
      if (!path || path->names.empty() || driveRoot_.empty() ||
          path->drive != AsciiUpper(driveRoot_.front())) {
        return std::nullopt;
      }
      std::string text = path->Text();
      if (resetMarks_ ? ExistsAndClearAttributes(context_.files, text) : context_.files.FileExists(text))
        return text;
    }
    return std::nullopt;
  }

  const DetectContext& context_;
  std::string_view driveRoot_;
  std::span<const std::string> bases_;
  bool resetMarks_;
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
  LaunchSearch search(context, driveRoot, bases, options.resetMarks);
  search.Search(commandLine, 0, options.withProgram);
  return std::move(search.found);
}

}  // namespace kestrix

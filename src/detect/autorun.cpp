#include "detect/autorun.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "detect/command_line.h"
#include "detect/file_tests.h"
#include "platform/common/case_text.h"
#include "platform/common/windows_path.h"

namespace kestrix {

namespace {

constexpr std::array<std::string_view, 5> kKeys = {
    "icon=", "open=", "command=", "defaulticon=", "shellexecute="};
constexpr std::array<std::string_view, 5> kExtensions = {".exe", ".com", ".pif", ".cmd", ".bat"};
// The keys whose value Windows runs as a command line.
constexpr std::array<std::string_view, 3> kLaunchKeys = {"open=", "command=", "shellexecute="};

// cmd /c cmd /c ... is followed this deep, no more arguments of one command
// than this are read, and no more names of one line looked up: a hostile
// line may hold a million.
constexpr int kMaxNesting = 4;
constexpr int kMaxArguments = 64;
constexpr int kMaxLookups = 256;

// One left-to-right pass replacing `from` by `to`; what it puts in is not
// searched again.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  std::string result;
  result.reserve(text.size());
  std::size_t copied = 0;
  for (std::size_t at = text.find(from); at != std::string_view::npos; at = text.find(from, copied)) {
    result.append(text.substr(copied, at - copied)).append(to);
    copied = at + from.size();
  }
  result.append(text.substr(copied));
  return result;
}

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Finds what one launch line runs from the drive, for one Autorun.inf line.
class PayloadSearch {
 public:
  // `where` says which line and key, `line` is the line's text: both go into the reason.
  PayloadSearch(const DetectContext& context, std::string_view driveRoot, std::string where,
                std::string_view line)
      : context_(context), driveRoot_(driveRoot), where_(std::move(where)), line_(line) {}

  // Lists the files on the drive that the command line hands to an
  // interpreter. From depth 1 on the line is one that cmd or start runs,
  // whose own program is listed when it lies on the drive.
  void Search(std::string_view commandLine, int depth) {
    std::string_view rest = commandLine;
    const auto program = TakeArgument(rest, true);
    if (!program) return;
    const Interpreter interpreter = InterpreterOf(context_.folding, *program);
    const bool runsStart = depth > 0 && IsStart(*program);
    if (depth > 0 && interpreter == Interpreter::kNone && !runsStart) {
      // Run as cmd runs it: a name without extension is tried with each.
      const std::string_view fileName = std::string_view(*program).substr(program->find_last_of("\\/") + 1);
      if (fileName.find('.') != std::string_view::npos) {
        List(*program, *program);
      } else {
        for (const std::string_view extension : kExtensions) {
          if (List(*program + std::string(extension), *program)) break;
        }
      }
      return;
    }
    // A program of a worm's own, named like the one Windows has.
    if (interpreter != Interpreter::kNone) List(*program, *program);
    if (depth >= kMaxNesting) return;
    if (runsStart) return SearchStart(rest, depth);
    if (interpreter == Interpreter::kCmd) return SearchCmd(rest, depth);
    if (interpreter == Interpreter::kNone) return;

    bool first = true;
    for (int count = 0; count < kMaxArguments; ++count) {
      const auto argument = TakeArgument(rest, false);
      if (!argument) break;
      std::string_view name = *argument;
      // Switches: //B, /s, -File, -ExecutionPolicy.
      if (name.empty() || name.front() == '/' ||
          (interpreter == Interpreter::kPowerShell && name.front() == '-')) {
        continue;
      }
      // rundll32 x.dll,Entry: the DLL and the function it calls.
      if (interpreter == Interpreter::kRundll32 && first) name = name.substr(0, name.find(','));
      first = false;
      if (List(name, *program) || interpreter != Interpreter::kPowerShell) continue;
      // -Command text names its script among other words: ". .\x.ps1; & 'y.ps1'".
      for (std::size_t start = 0; start < name.size();) {
        const std::size_t end = std::min(name.find_first_of(" \t;&|(){}'\"", start), name.size());
        if (end > start) List(name.substr(start, end - start), *program);
        start = end + 1;
      }
    }
  }

 private:
  static bool IsStart(std::string_view program) {
    return program.size() == 5 && std::ranges::equal(program, std::string_view("start"), [](char a, char b) {
             return AsciiUpper(a) == AsciiUpper(b);
           });
  }

  // cmd [switches] /c COMMAND: the rest of the line is the command cmd runs.
  void SearchCmd(std::string_view rest, int depth) {
    for (int count = 0; count < kMaxArguments; ++count) {
      const auto argument = TakeArgument(rest, false);
      if (!argument) return;
      if (argument->size() == 2 && (*argument)[0] == '/' &&
          (AsciiUpper((*argument)[1]) == 'C' || AsciiUpper((*argument)[1]) == 'K')) {
        return Search(rest, depth + 1);
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
        return Search(rest, depth + 1);
      }
      TakeArgument(rest, false);
    }
  }

  // Lists the file the name gives on this drive, when it exists there.
  bool List(std::string_view name, std::string_view program) {
    if (++lookups_ > kMaxLookups) return false;
    const auto path = FileOnDrive(name);
    if (!path) return false;
    for (const SuspectEntry& entry : context_.list.Entries()) {
      if (EqualNoCase(context_.folding, NormalizePathSpelling(entry.path), *path)) return true;
    }
    context_.list.AddVirus(*path, kAutorunCategory,
                           where_ + ", run by " + std::string(program) + ": " + std::string(line_));
    return true;
  }

  // A file name, relative to the drive root, rooted, or with the drive's
  // own letter; never a file on another drive.
  std::optional<std::string> FileOnDrive(std::string_view name) {
    // Only a drive letter takes a colon: "vbscript:..." and "x.txt:stream" name no file here.
    const std::size_t colon = name.find(':');
    if (name.empty() || name.find_first_of("*?\"<>|") != std::string_view::npos ||
        (colon != std::string_view::npos && (colon != 1 || name.find(':', 2) != std::string_view::npos))) {
      return std::nullopt;
    }
    const auto path = ParseDrivePath(name, driveRoot_);
    if (!path || path->names.empty() || driveRoot_.empty() || path->drive != AsciiUpper(driveRoot_.front())) {
      return std::nullopt;
    }
    std::string text = path->Text();
    if (!ExistsAndClearAttributes(context_.files, text)) return std::nullopt;
    return text;
  }

  const DetectContext& context_;
  std::string_view driveRoot_;
  std::string where_;
  std::string_view line_;
  int lookups_ = 0;
};

}  // namespace

std::string_view StripArguments(std::string_view text) {
  if (const auto comma = text.find(','); comma != std::string_view::npos) return text.substr(0, comma);
  const auto lastBlank = text.rfind(' ');
  const auto lastDot = text.rfind('.');
  if (lastBlank != std::string_view::npos && lastDot != std::string_view::npos && lastBlank > lastDot) {
    return text.substr(0, lastBlank);
  }
  return text;
}

std::string ResolveLaunchTarget(Files& files, std::string_view name, std::string_view driveRoot) {
  std::string base = name.find(":\\") != std::string_view::npos ? std::string() : std::string(driveRoot);
  base += name;
  // Windows tries the extensions when the file's own name has none, whatever
  // dots its folders hold (.\RECYCLER\INFO, sub.dir\setup).
  const std::string_view fileName = name.substr(name.find_last_of("\\/") + 1);
  if (fileName.find('.') != std::string_view::npos) return base;
  for (const std::string_view extension : kExtensions) {
    std::string candidate = base + std::string(extension);
    if (ExistsAndClearAttributes(files, candidate)) return candidate;
  }
  return base + ".exe";
}

void AnalyseAutorun(const DetectContext& context, std::string_view driveRoot, std::string_view autorunPath) {
  if (!ExistsAndClearAttributes(context.files, autorunPath)) return;
  context.list.AddVirus(autorunPath, kAutorunCategory, "the drive's Autorun.inf, which Windows reads to run programs");

  // Read as a stream: a stick may hold an Autorun.inf of gigabytes.
  ReadTextFile(context.files, autorunPath, [&](std::string_view line, std::size_t number) {
    context.pump.PumpMessages();
    // Worms pad keys and section headers with control bytes that Windows'
    // reader skips ("shellexecute\x15\x0C=..."); so does this one.
    std::string text;
    std::ranges::copy_if(TrimControls(line), std::back_inserter(text),
                         [](char c) { return static_cast<unsigned char>(c) >= 0x20; });
    if (text.empty()) return;
    const std::string lineText = text;
    text = ReplaceAll(ReplaceAll(text, " =", "="), "= ", "=");
    bool firstKey = true;
    for (const std::string_view key : kKeys) {
      if (!FindNoCase(context.folding, text, key)) continue;
      // The value runs from the first "=" of the text, wherever the key stood.
      text = text.substr(text.find('=') + 1);
      // What an interpreter on a launch line runs comes after the line's own entry.
      std::optional<std::string> launched;
      if (firstKey && std::ranges::find(kLaunchKeys, key) != kLaunchKeys.end()) launched = text;
      firstKey = false;
      text = std::string(StripArguments(text));
      text = ResolveLaunchTarget(context.files, text, driveRoot);
      if (ExistsAndClearAttributes(context.files, text)) {
        context.list.AddVirus(text, kAutorunCategory,
                              "Autorun.inf line " + std::to_string(number) + ", key " + std::string(key) + ": " + lineText);
      }
      if (launched) {
        PayloadSearch(context, driveRoot,
                      "Autorun.inf line " + std::to_string(number) + ", key " + std::string(key), lineText)
            .Search(*launched, 0);
      }
    }
  });
}

}  // namespace kestrix

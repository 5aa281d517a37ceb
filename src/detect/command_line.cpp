#include "detect/command_line.h"

#include "platform/common/case_text.h"

namespace kestrix {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string_view SkipBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

std::optional<std::string> TakeArgument(std::string_view& rest, bool programName) {
  rest = SkipBlanks(rest);
  if (rest.empty()) return std::nullopt;
  std::string argument;
  std::size_t at = 0;
  if (programName) {
    if (rest.front() == '"') {
      const std::size_t close = rest.find('"', 1);
      argument = rest.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
      at = close == std::string_view::npos ? rest.size() : close + 1;
    } else {
      while (at < rest.size() && !IsBlank(rest[at])) ++at;
      argument = rest.substr(0, at);
    }
    rest.remove_prefix(at);
    return argument;
  }
  bool quoted = false;
  std::size_t backslashes = 0;
  for (; at < rest.size(); ++at) {
    const char c = rest[at];
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      argument.append(backslashes / 2, '\\');
      const bool escaped = backslashes % 2 != 0;
      backslashes = 0;
      if (escaped) {
        argument += '"';
      } else if (quoted && at + 1 < rest.size() && rest[at + 1] == '"') {
        argument += '"';  // "" inside quotes is one quote, and quoting goes on
        ++at;
      } else {
        quoted = !quoted;
      }
      continue;
    }
    argument.append(backslashes, '\\');
    backslashes = 0;
    if (IsBlank(c) && !quoted) break;
    argument += c;
  }
  argument.append(backslashes, '\\');
  rest.remove_prefix(at);
  return argument;
}

std::vector<std::string> SplitCommandLine(std::string_view commandLine) {
  std::vector<std::string> arguments;
  for (auto argument = TakeArgument(commandLine, true); argument;
       argument = TakeArgument(commandLine, false)) {
    arguments.push_back(std::move(*argument));
  }
  return arguments;
}

std::vector<std::string> SplitArguments(std::string_view text) {
  std::vector<std::string> arguments;
  while (auto argument = TakeArgument(text, false)) arguments.push_back(std::move(*argument));
  return arguments;
}

Interpreter InterpreterOf(const CaseFolding& folding, std::string_view program) {
  program = TrimControls(program);
  while (!program.empty() && program.back() == '"') program = TrimControls(program.substr(0, program.size() - 1));
  std::string name = LowerText(folding, program.substr(program.find_last_of("\\/\"") + 1));
  // Windows drops trailing dots and blanks from a file name.
  while (name.ends_with('.') || name.ends_with(' ')) name.pop_back();
  if (name.ends_with(".exe") || name.ends_with(".com")) name.resize(name.size() - 4);
  if (name == "%comspec%") return Interpreter::kCmd;
  if (name == "wscript" || name == "cscript") return Interpreter::kScriptHost;
  if (name == "rundll32") return Interpreter::kRundll32;
  if (name == "cmd" || name == "command") return Interpreter::kCmd;
  if (name == "mshta") return Interpreter::kMshta;
  if (name == "powershell" || name == "pwsh") return Interpreter::kPowerShell;
  return Interpreter::kNone;
}

}  // namespace kestrix

#include "detect/command_line.h"

#include <algorithm>

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

namespace {

// A program's file name in lower case, without folder, quotes, trailing dots
// and blanks, or an .exe or .com extension.
std::string ProgramName(const CaseFolding& folding, std::string_view program) {
  program = TrimControls(program);
  while (!program.empty() && program.back() == '"')
    program = TrimControls(program.substr(0, program.size() - 1));
  std::string name = LowerText(folding, program.substr(program.find_last_of("\\/\"") + 1));
  // Windows drops trailing dots and blanks from a file name.
  while (name.ends_with('.') || name.ends_with(' ')) name.pop_back();
  if (name.ends_with(".exe") || name.ends_with(".com")) name.resize(name.size() - 4);
  return name;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A redirection's file at `at`: quotes go, ^ escapes outside them, and it
// ends at a blank or an operator outside quotes.
std::string TakeRedirectTarget(std::string_view line, std::size_t& at, bool inBlock) {
  while (at < line.size() && IsBlank(line[at])) ++at;
  std::string target;
  bool quoted = false;
  for (; at < line.size(); ++at) {
    const char c = line[at];
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (!quoted) {
      if (IsBlank(c) || c == '&' || c == '|' || c == '<' || c == '>' || (c == ')' && inBlock)) break;
      if (c == '^' && at + 1 < line.size()) {
        target += line[++at];
        continue;
      }
    }
    target += c;
  }
  return target;
}

}  // namespace

Interpreter InterpreterOf(const CaseFolding& folding, std::string_view program) {
  const std::string name = ProgramName(folding, program);
  if (name == "%comspec%") return Interpreter::kCmd;
  if (name == "wscript" || name == "cscript") return Interpreter::kScriptHost;
  if (name == "rundll32") return Interpreter::kRundll32;
  if (name == "cmd" || name == "command") return Interpreter::kCmd;
  if (name == "mshta") return Interpreter::kMshta;
  if (name == "powershell" || name == "pwsh") return Interpreter::kPowerShell;
  return Interpreter::kNone;
}

bool IsExplorer(const CaseFolding& folding, std::string_view program) {
  return ProgramName(folding, program) == "explorer";
}

std::string ExpandVariables(std::string_view line, std::span<const CmdVariable> variables) {
  // Past cmd's longest line nothing more is expanded, so that a hostile line
  // cannot grow without bound.
  constexpr std::size_t kLongestLine = 32768;
  std::string expanded;
  std::size_t at = 0;
  while (at < line.size() && expanded.size() < kLongestLine) {
    const std::size_t open = line.find('%', at);
    const std::size_t close = open == std::string_view::npos ? open : line.find('%', open + 1);
    if (close == std::string_view::npos) break;
    expanded.append(line.substr(at, open - at));
    const std::string_view name = line.substr(open + 1, close - open - 1);
    const auto known = std::ranges::find_if(
        variables, [&](const CmdVariable& variable) { return EqualAsciiNoCase(name, variable.name); });
    if (known != variables.end() && !name.empty()) {
      expanded.append(known->value);
      at = close + 1;
    } else {
      // An unknown name stays, and its closing % may open the next one.
      expanded.append(line.substr(open, close - open));
      at = close;
    }
  }
  expanded.append(line.substr(std::min(at, line.size())));
  return expanded;
}

std::string TakeCmdName(std::string_view& rest, std::string_view delimiters) {
  std::string name;
  bool quoted = false;
  std::size_t at = 0;
  for (; at < rest.size(); ++at) {
    const char c = rest[at];
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && delimiters.find(c) != std::string_view::npos) {
      break;
    } else {
      name += c;
    }
  }
  rest.remove_prefix(at);
  return name;
}

std::string CmdCommandText(std::string_view rest, bool stripAlways,
                           const std::function<bool(std::string_view)>& namesProgram) {
  rest = SkipBlanks(rest);
  if (rest.empty() || rest.front() != '"') return std::string(rest);
  const std::size_t last = rest.rfind('"');
  if (!stripAlways && last > 0 && std::ranges::count(rest, '"') == 2) {
    const std::string_view quoted = rest.substr(1, last - 1);
    if (quoted.find_first_of("&<>()@^|") == std::string_view::npos &&
        quoted.find_first_of(" \t") != std::string_view::npos && namesProgram(quoted)) {
      return std::string(rest);
    }
  }
  if (last == 0) return std::string(rest.substr(1));
  return std::string(rest.substr(1, last - 1)).append(rest.substr(last + 1));
}

namespace {

// The program cmd looks for ends at a blank, at , ; = or at a switch's /.
CmdCommand ParseCmdCommand(std::string_view text, std::vector<std::string> inputs) {
  while (!text.empty() && std::string_view(" \t,;=@").find(text.front()) != std::string_view::npos) {
    text.remove_prefix(1);
  }
  std::string program = TakeCmdName(text, " \t,;=/");
  return {std::move(program), std::string(text), std::move(inputs)};
}

// A parenthesis opens a block at a command's start or after if, for, do and
// else; elsewhere it is part of a name, as in x(1).exe. `text` is the
// command so far, without the blanks and @ before it; only its head is
// read, so that a line of parentheses takes linear time.
bool OpensBlock(std::string_view text) {
  const std::string_view head = text.substr(0, 5);
  const std::string_view word = head.substr(0, head.find_first_of(" \t"));
  const auto is = [&](std::string_view keyword) { return EqualAsciiNoCase(word, keyword); };
  return word.empty() || is("IF") || is("FOR") || is("DO") || is("ELSE");
}

}  // namespace

std::vector<CmdCommand> SplitCmdLine(std::string_view line) {
  std::vector<CmdCommand> commands;
  std::string text;
  std::vector<std::string> inputs;
  const auto finish = [&] {
    CmdCommand command = ParseCmdCommand(text, std::move(inputs));
    if (!command.program.empty() || !command.inputs.empty()) commands.push_back(std::move(command));
    text.clear();
    inputs.clear();
  };
  bool quoted = false;
  int blocks = 0;
  for (std::size_t at = 0; at < line.size(); ++at) {
    const char c = line[at];
    if (c == '"') quoted = !quoted;
    if (quoted || c == '"') {
      text += c;
      continue;
    }
    switch (c) {
      case '^':
        if (at + 1 < line.size()) text += line[++at];
        break;
      case '&':
      case '|':
        finish();
        break;
      case '(':
        if (OpensBlock(text)) {
          ++blocks;
          text.clear();
        } else {
          text += c;
        }
        break;
      case ')':
        if (blocks > 0) {
          --blocks;
          finish();
        } else {
          text += c;
        }
        break;
      case '<':
      case '>': {
        // 2>nul: the handle's number belongs to the redirection.
        if (!text.empty() && IsDigit(text.back()) && (text.size() == 1 || IsBlank(text[text.size() - 2]))) {
          text.pop_back();
        }
        if (c == '>' && at + 1 < line.size() && line[at + 1] == '>') ++at;
        if (at + 1 < line.size() && line[at + 1] == '&') {  // >&1: a handle, no file
          ++at;
          while (at + 1 < line.size() && IsDigit(line[at + 1])) ++at;
          break;
        }
        ++at;
        std::string target = TakeRedirectTarget(line, at, blocks > 0);
        --at;
        if (c == '<') inputs.push_back(std::move(target));
        break;
      }
      default:
        if (!text.empty() || !(IsBlank(c) || c == '@')) text += c;
    }
  }
  finish();
  return commands;
}

}  // namespace kestrix

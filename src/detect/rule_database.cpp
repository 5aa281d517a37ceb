#include "detect/rule_database.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "detect/file_tests.h"
#include "platform/common/case_text.h"
#include "platform/common/text_file.h"

namespace kestrix {

namespace {

// The trimmed line when it is a rule; empty for blanks, comments and macro lines.
std::string_view RuleText(std::string_view line) {
  const std::string_view text = TrimControls(line);
  if (text.empty() || text.front() == '#' || text.front() == '<') return {};
  return text;
}

// The code point the line ends with; a stray byte stands for itself.
char32_t LastCharacter(std::string_view line) {
  std::size_t start = line.size() - 1;
  while (start > 0 && line.size() - start < 4 && (static_cast<unsigned char>(line[start]) & 0xC0) == 0x80) {
    --start;
  }
  const auto lead = static_cast<unsigned char>(line[start]);
  const std::size_t length = line.size() - start;
  const std::size_t expected = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : 4;
  if (lead < 0x80 || lead < 0xC0 || expected != length) return static_cast<unsigned char>(line.back());
  char32_t cp = lead & (0x7F >> length);
  for (std::size_t i = start + 1; i < line.size(); ++i) cp = (cp << 6) | (line[i] & 0x3F);
  return cp;
}

// Why a rule's hit is listed: the rule's line.
std::string RuleReason(const TextLine& line, std::string_view rule) {
  // Made for every hit, so in one allocation.
  std::array<char, 24> digits{};
  const char* digitsEnd = line.number > 0
                              ? std::to_chars(digits.data(), digits.data() + digits.size(), line.number).ptr
                              : digits.data();
  const std::string_view number(digits.data(), static_cast<std::size_t>(digitsEnd - digits.data()));
  const std::string_view lineWord = number.empty() ? "" : " line ";
  std::string reason;
  reason.reserve(kRuleDatabaseName.size() + lineWord.size() + number.size() + 2 + rule.size());
  reason.append(kRuleDatabaseName).append(lineWord).append(number);
  return reason.append(": ").append(rule);
}

}  // namespace

RuleList LoadRuleDatabase(Files& files, std::string_view ruleDatabasePath) {
  RuleList rules;
  LoadRuleDatabase(files, ruleDatabasePath, rules);
  return rules;
}

void LoadRuleDatabase(Files& files, std::string_view ruleDatabasePath, RuleList& rules) {
  std::size_t count = 0;
  if (!ruleDatabasePath.empty() && ExistsAndClearAttributes(files, ruleDatabasePath)) {
    try {
      ReadTextFile(files, ruleDatabasePath, [&](std::string_view line, std::size_t number) {
        if (count < rules.size()) {
          rules[count].text.assign(line);
          rules[count].number = number;
        } else {
          rules.emplace_back(std::string(line), number);
        }
        ++count;
      });
    } catch (...) {
      rules.clear();  // never half of one load and half of another
      throw;
    }
  }
  rules.resize(count, TextLine(""));
}

std::int32_t RuleCategory(std::string_view line) {
  if (line.empty()) return 0;
  return static_cast<std::int32_t>(LastCharacter(line)) - '0';
}

void RulePass(const DetectContext& context, const RuleList& rules, std::string_view root,
              std::initializer_list<std::string_view> tokens) {
  // Nearly every rule is ASCII: such a rule is lower-cased once, and its
  // tokens are found by a plain search of that.
  std::vector<std::string> lowerTokens;
  for (const std::string_view token : tokens) lowerTokens.push_back(LowerText(context.folding, token));
  const bool asciiTokens = std::ranges::all_of(lowerTokens, IsAscii);
  std::string lowerRule;
  std::string candidate;  // one buffer for every path tested
  for (const TextLine& line : rules) {
    context.pump.PumpMessages();
    const std::string_view rule = RuleText(line.text);
    std::string_view text = rule;
    if (text.empty()) continue;
    const bool ascii = asciiTokens && IsAscii(rule);
    if (ascii) {
      lowerRule.assign(rule);
      std::ranges::transform(lowerRule, lowerRule.begin(), AsciiLower);
    }
    for (std::size_t i = 0; i < tokens.size(); ++i) {
      // What is left of the rule is always the start of it.
      std::size_t begin = std::string_view::npos;
      if (ascii) {
        begin = std::string_view(lowerRule).substr(0, text.size()).find(lowerTokens[i]);
      } else if (const auto match = FindNoCase(context.folding, text, tokens.begin()[i])) {
        begin = match->begin;
      }
      if (begin == std::string_view::npos) continue;
      text = TrimControls(text.substr(0, begin));
      candidate.assign(root).append(text);
      if (ExistsAndClearAttributes(context.files, candidate))
        context.list.AddVirus(candidate, RuleCategory(line.text), RuleReason(line, rule));
    }
  }
}

void ExpandRuleMacros(const CaseFolding& folding, RuleList& rules, std::string_view macro,
                      std::string_view replacement) {
  for (TextLine& line : rules) line.text = ReplaceAllNoCase(folding, line.text, macro, replacement);
}

void FixedPathPass(const DetectContext& context, const RuleList& rules) {
  for (const TextLine& line : rules) {
    context.pump.PumpMessages();
    const std::string_view text = RuleText(line.text);
    if (text.empty()) continue;
    const auto marker = FindNoCase(context.folding, text, " :");
    if (!marker) continue;
    const std::string_view path = TrimControls(text.substr(0, marker->begin));
    if (ExistsAndClearAttributes(context.files, path))
      context.list.AddVirus(path, RuleCategory(line.text), RuleReason(line, text));
  }
}

}  // namespace kestrix

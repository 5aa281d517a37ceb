// The rule database Kestrix.dat: one rule per line naming a file, where to
// look for it, and the category digit as the line's last character.
//
//   x.exe !ALL 2                  a directory rule: x.exe wherever !ALL looks
//   <WinPath>system32\y.exe :0    a fixed-path rule, after its macro is expanded
//
// Lines are kept as read; blanks, "#" comments and "<" macro lines are told
// apart on the trimmed line.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "detect/detect_context.h"
#include "detect/file_tests.h"

namespace kestrix {

using RuleList = std::vector<TextLine>;

inline constexpr std::string_view kRuleDatabaseName = "Kestrix.dat";

// The lines of the rule database, read afresh; empty when the path is empty
// or names no file. A file that cannot be read raises FileOpenError. A test
// seam: the sweep uses the form below.
RuleList LoadRuleDatabase(Files& files, std::string_view ruleDatabasePath);
// The same into `rules`, whose lines' storage is used again: a sweep loads
// the database for every group of passes. `rules` is empty after a failure.
void LoadRuleDatabase(Files& files, std::string_view ruleDatabasePath, RuleList& rules);

// The category of a line: the code of its last character, as read, minus
// the code of "0". A trailing blank therefore gives -16.
std::int32_t RuleCategory(std::string_view line);

// Looks for each rule's file below `root` (ending in "\") for every token
// the rule holds, trying the tokens in the order given. Each token found
// cuts the rule text before it, so later tokens search only what is left.
void RulePass(const DetectContext& context, const RuleList& rules, std::string_view root,
              std::initializer_list<std::string_view> tokens);

// Replaces every occurrence of `macro`, ignoring case, in the list's text.
void ExpandRuleMacros(const CaseFolding& folding, RuleList& rules, std::string_view macro,
                      std::string_view replacement);

// Looks for the file each "path :digit" rule names, as written.
void FixedPathPass(const DetectContext& context, const RuleList& rules);

}  // namespace kestrix

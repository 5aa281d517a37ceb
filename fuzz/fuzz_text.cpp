// Text as it comes off a stick: the first byte picks the ANSI code page,
// the rest is a text file decoded by the POSIX backend, and its pieces
// (split at LF) go through the case-insensitive text operations and the
// Windows path spelling.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/case_text.h"
#include "platform/common/text_file.h"
#include "platform/common/windows_path.h"
#include "platform/posix/ansi_decoder.h"
#include "platform/posix/posix_machine.h"

namespace {

// The code pages of Windows users, a few that glibc lacks, and nonsense.
constexpr int kCodePages[] = {1252, 936, 950, 932, 65001, 949,   1250,  1251, 1253,  1254,  1255, 1256, 1257,
                              1258, 874, 437, 850, 866,   20127, 54936, 1200, 65000, 50220, 0,    -1};

// A broken promise: says which, then crashes for libFuzzer to keep the input.
void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}

std::vector<std::string_view> Pieces(std::string_view text) {
  std::vector<std::string_view> pieces;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

void CheckCaseText(const kestrix::CaseFolding& folding, std::string_view text, std::string_view pattern,
                   std::string_view replacement) {
  const std::string lower = kestrix::LowerText(folding, text);
  Check(!kestrix::IsValidUtf8(text) || kestrix::IsValidUtf8(lower), "LowerText keeps UTF-8 valid");

  const std::size_t from = pattern.size() % (text.size() + 2);
  if (const auto match = kestrix::FindNoCase(folding, text, pattern, from)) {
    Check(from <= match->begin && match->begin <= match->end && match->end <= text.size(),
          "FindNoCase matches inside the text");
    Check(kestrix::EqualNoCase(folding, text.substr(match->begin, match->end - match->begin), pattern),
          "FindNoCase matches the pattern");
  }
  const auto whole = kestrix::FindNoCase(folding, text, pattern);
  const bool same = whole && whole->begin == 0 && whole->end == text.size();
  Check(same == kestrix::EqualNoCase(folding, text, pattern), "FindNoCase agrees with EqualNoCase");

  const std::string replaced = kestrix::ReplaceAllNoCase(folding, text, pattern, replacement);
  Check((whole && !pattern.empty()) || replaced == text, "ReplaceAllNoCase leaves a text without matches");

  const std::string_view trimmed = kestrix::TrimControls(text);
  Check(trimmed.empty() || (static_cast<unsigned char>(trimmed.front()) > 32 &&
                            static_cast<unsigned char>(trimmed.back()) > 32),
        "TrimControls trims");
}

void CheckPath(std::string_view path, std::string_view currentDirectory) {
  const auto full = kestrix::ParseDrivePath(path, currentDirectory);
  const std::string spelled = kestrix::NormalizePathSpelling(path, currentDirectory);
  if (!full) {
    Check(spelled == path, "an unparsed path keeps its spelling");
    return;
  }
  Check(full->drive >= 'A' && full->drive <= 'Z', "drive letters are upper case");
  for (const std::string& name : full->names) {
    Check(!name.empty() && name != "." && name != ".." && name.find_first_of("\\/") == std::string::npos &&
              name.back() != '.' && name.back() != ' ',
          "names are plain");
  }
  // The full spelling spells itself.
  Check(spelled == full->Text(), "NormalizePathSpelling spells ParseDrivePath");
  Check(kestrix::NormalizePathSpelling(spelled, currentDirectory) == spelled &&
            kestrix::NormalizePathSpelling(spelled) == spelled,
        "NormalizePathSpelling spells its result alike");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const kestrix::posix::PosixMachine machine({}, 1252);
  if (size == 0) return 0;
  const int codePage = kCodePages[data[0] % std::size(kCodePages)];
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

  const auto decode = [codePage](std::string_view ansi) {
    return kestrix::posix::DecodeAnsi(ansi, codePage);
  };
  for (const std::string& line : kestrix::TextFileLines(text, decode)) {
    // Every line is UTF-8, whatever the file's encoding was.
    Check(kestrix::IsValidUtf8(line), "text lines are UTF-8");
    Check(codePage != 1252 || line.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos,
          "text lines hold no line end or NUL");
  }

  const std::vector<std::string_view> pieces = Pieces(text);
  const std::string_view pattern = pieces.size() > 1 ? pieces[1] : std::string_view();
  const std::string_view replacement = pieces.size() > 2 ? pieces[2] : std::string_view();
  CheckCaseText(machine, pieces[0], pattern, replacement);
  CheckPath(pieces[0], pattern);
  return 0;
}

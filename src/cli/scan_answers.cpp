#include "cli/scan_answers.h"

namespace kestrix {

ScanAnswers::ScanAnswers(ProtectedAnswer protectedAnswer, bool terminate, const SuspectList& list,
                         std::FILE* out, KeepPrompt prompt)
    : protectedAnswer_(protectedAnswer),
      terminate_(terminate),
      list_(list),
      out_(out),
      prompt_(std::move(prompt)) {}

void ScanAnswers::Print(std::string_view text) {
  std::string line(text);
  for (char& c : line) c = c == '\r' ? '\n' : c;  // a message box's line break
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

int ScanAnswers::ShowMessage(std::string_view text, std::string_view caption, unsigned style) {
  if (style == kQuestionYesNoSystemModal) {
    // The question about files left over.
    const std::size_t left = list_.Count();
    const bool progress = !leftAtLastQuestion_ || left < *leftAtLastQuestion_;
    leftAtLastQuestion_ = left;
    const bool yes = terminate_ && progress;
    Print(std::string(text) + (yes ? " 是" : " 否"));
    return yes ? kAnswerYes : kAnswerNo;
  }
  // Whether to keep a protected Windows file.
  bool keep = protectedAnswer_ != ProtectedAnswer::kDelete;
  if (protectedAnswer_ == ProtectedAnswer::kAsk) {
    keep = prompt_(std::string(caption) + " " + std::string(text)).value_or(true);
  } else {
    Print(std::string(caption) + " " + std::string(text) + (keep ? " 是" : " 否"));
  }
  return keep ? kAnswerYes : kAnswerNo;
}

bool ScanAnswers::ShowBalloon(std::string_view, std::string_view text, BalloonKind kind, int) {
  balloons_.push_back({std::string(text), static_cast<int>(kind)});
  Print(text);
  return true;
}

}  // namespace kestrix

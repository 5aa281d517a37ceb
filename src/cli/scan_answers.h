// How kestrix-scan --clean answers the questions a removal pass asks, and
// what it prints of them and of the balloons.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/scan_report.h"
#include "findings/listed_files.h"
#include "platform/platform.h"
#include "remedy/removal.h"

namespace kestrix {

// The answer to "keep this Windows file?".
enum class ProtectedAnswer { kAsk, kKeep, kDelete };

class ScanAnswers final : public MessageBoxes, public Balloons, public Shell, public RemovalView {
 public:
  // Asks the user whether to keep a protected file; nullopt without a terminal.
  using KeepPrompt = std::function<std::optional<bool>(std::string_view question)>;

  // `terminate` answers Yes to the question whether to end the processes of
  // files left over, but No once a repeated pass removed nothing, since the
  // passes would otherwise repeat for ever. Questions and balloons are
  // printed to `out`.
  ScanAnswers(ProtectedAnswer protectedAnswer, bool terminate, const SuspectList& list, std::FILE* out,
              KeepPrompt prompt);

  int ShowMessage(std::string_view text, std::string_view caption, unsigned style) override;
  bool ShowBalloon(std::string_view title, std::string_view text, BalloonKind kind,
                   int timeoutSeconds) override;
  void ShowProperties(std::string_view) override {}
  void RequestClose() override {}

  const std::vector<ReportedBalloon>& Balloons() const { return balloons_; }

 private:
  void Print(std::string_view text);

  ProtectedAnswer protectedAnswer_;
  bool terminate_;
  const SuspectList& list_;
  std::FILE* out_;
  KeepPrompt prompt_;
  std::optional<std::size_t> leftAtLastQuestion_;
  std::vector<ReportedBalloon> balloons_;
};

}  // namespace kestrix

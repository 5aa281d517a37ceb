#include "cli/scan_report.h"

#include <nlohmann/json.hpp>

namespace kestrix {

std::string FormatTextReport(const ScanOutcome& outcome) {
  std::string text;
  for (const SuspectEntry& entry : outcome.entries) {
    std::string number = entry.number;
    if (number.size() < 4) number.insert(0, 4 - number.size(), ' ');
    text.append(number).append("  ").append(entry.category).append("  ").append(entry.path);
    if (!entry.reason.empty()) text.append("  (").append(entry.reason).append(")");
    text.append("\n");
  }
  text.append("病毒數量：").append(std::to_string(outcome.entries.size())).append("\n");
  if (outcome.clean) {
    for (const KeptFile& kept : outcome.clean->kept) {
      text.append("kept: ").append(kept.path).append(" (").append(kept.reason).append(")\n");
    }
  }
  return text;
}

std::string FormatJsonReport(const ScanOutcome& outcome) {
  auto entries = nlohmann::json::array();
  for (const SuspectEntry& entry : outcome.entries) {
    entries.push_back({{"number", std::stoll(entry.number)},
                       {"path", entry.path},
                       {"category", entry.category},
                       {"image", entry.image},
                       {"reason", entry.reason}});
  }
  nlohmann::json report = {{"entries", std::move(entries)}, {"finished", !outcome.error}, {"error", nullptr}};
  if (outcome.error) report["error"] = *outcome.error;
  if (outcome.clean) {
    report["removed"] = outcome.clean->removed;
    auto balloons = nlohmann::json::array();
    for (const ReportedBalloon& balloon : outcome.clean->balloons) {
      balloons.push_back({{"text", balloon.text}, {"kind", balloon.kind}});
    }
    report["balloons"] = std::move(balloons);
    auto kept = nlohmann::json::array();
    for (const KeptFile& file : outcome.clean->kept) kept.push_back({{"path", file.path}, {"reason", file.reason}});
    report["kept"] = std::move(kept);
  }
  // Paths from a stick are not always valid UTF-8; never fail on them.
  return report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

int ScanExitStatus(const ScanOutcome& outcome) {
  if (outcome.error) return 2;
  const bool kept = outcome.clean && !outcome.clean->kept.empty();
  return outcome.entries.empty() && !kept ? 0 : 1;
}

}  // namespace kestrix

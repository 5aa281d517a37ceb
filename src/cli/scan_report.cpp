#include "cli/scan_report.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace kestrix {

namespace {

// Paths from a stick are not always valid UTF-8; never fail on them.
std::string Dump(const nlohmann::json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace

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
    for (const std::string& path : outcome.clean->recovered) {
      text.append("made visible again: ").append(path).append("\n");
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
    report["recovered"] = outcome.clean->recovered;
  }
  return Dump(report);
}

int ScanExitStatus(const ScanOutcome& outcome) {
  if (outcome.error) return 2;
  const bool kept = outcome.clean && !outcome.clean->kept.empty();
  return outcome.entries.empty() && !kept ? 0 : 1;
}

std::string FormatQuarantineList(const std::vector<QuarantineListing>& listings, bool json) {
  if (json) {
    nlohmann::json stores = nlohmann::json::array();
    for (const QuarantineListing& listing : listings) {
      auto list = nlohmann::json::array();
      for (const QuarantineRecord& record : listing.records) {
        nlohmann::json item = {{"id", record.id},         {"path", record.path},
                               {"size", record.size},     {"sha256", record.sha256},
                               {"time", record.time},     {"category", record.category},
                               {"reason", record.reason}, {"attributes", record.attributes}};
        if (!record.damage.empty()) item["damage"] = record.damage;
        list.push_back(std::move(item));
      }
      stores.push_back({{"store", listing.store}, {"records", std::move(list)}});
    }
    if (stores.empty()) return Dump({});
    nlohmann::json first = stores[0];
    stores.erase(stores.begin());
    if (!stores.empty()) first["otherStores"] = std::move(stores);
    return Dump(first);
  }
  const auto row = [](std::string_view id, std::string_view time, std::string_view size,
                      std::string_view category, std::string_view path, std::string_view reason) {
    char columns[64];
    std::snprintf(columns, sizeof columns, "%6.*s  %-20.*s  %12.*s  ", static_cast<int>(id.size()), id.data(),
                  static_cast<int>(time.size()), time.data(), static_cast<int>(size.size()), size.data());
    std::string line = std::string(columns).append(category).append("  ").append(path);
    if (!reason.empty()) line.append("  (").append(reason).append(")");
    return line;
  };
  std::string text;
  for (const QuarantineListing& listing : listings) {
    if (!text.empty()) text.append("\n");
    text += row("ID", "KEPT (UTC)", "BYTES", "KIND", "PATH", "WHY IT WAS LISTED") + "\n";
    std::uint64_t bytes = 0;
    for (const QuarantineRecord& record : listing.records) {
      text += row(record.id, record.time, std::to_string(record.size), record.category, record.path,
                  record.reason);
      if (!record.damage.empty()) text.append("  [cannot be restored: ").append(record.damage).append("]");
      text.append("\n");
      if (record.damage.empty()) bytes += record.size;
    }
    text.append(std::to_string(listing.records.size()))
        .append(listing.records.size() == 1 ? " file kept, " : " files kept, ")
        .append(std::to_string(bytes))
        .append(" bytes, in ")
        .append(listing.store)
        .append("\n");
  }
  return text;
}

std::string FormatQuarantineActions(std::string_view done, const std::vector<QuarantineAction>& actions,
                                    bool json) {
  if (json) {
    auto succeeded = nlohmann::json::array();
    auto failed = nlohmann::json::array();
    for (const QuarantineAction& action : actions) {
      if (action.failure) {
        failed.push_back({{"id", action.id}, {"path", action.path}, {"reason", *action.failure}});
      } else {
        succeeded.push_back({{"id", action.id}, {"path", action.path}});
      }
    }
    return Dump({{done, std::move(succeeded)}, {"failed", std::move(failed)}});
  }
  std::string text;
  for (const QuarantineAction& action : actions) {
    if (action.failure) text.append("not ");
    text.append(done).append(": ").append(action.id);
    if (!action.path.empty()) text.append(" ").append(action.path);
    if (action.failure) text.append(" (").append(*action.failure).append(")");
    text.append("\n");
  }
  return text;
}

std::string FormatVaccineActions(std::string_view done, const std::vector<VaccineAction>& actions,
                                 bool json) {
  if (json) {
    auto succeeded = nlohmann::json::array();
    auto failed = nlohmann::json::array();
    for (const VaccineAction& action : actions) {
      (action.done ? succeeded : failed)
          .push_back({{"drive", action.drive},
                      {"path", action.path},
                      {action.done ? "note" : "reason", action.note}});
    }
    return Dump({{done, std::move(succeeded)}, {"failed", std::move(failed)}});
  }
  std::string text;
  for (const VaccineAction& action : actions) {
    text.append(action.done ? "" : "not ").append(done).append(": ").append(action.drive);
    text.append(" (").append(action.note).append(")\n");
  }
  return text;
}

}  // namespace kestrix

#include "remedy/event_reports.h"

#include <utility>

namespace kestrix {

namespace {

constexpr std::string_view kEllipsis = "…";

// UTF-16 units of the character a UTF-8 lead byte starts; 0 for a
// continuation byte.
std::size_t Utf16Units(unsigned char byte) {
  if ((byte & 0xC0) == 0x80) return 0;
  return byte >= 0xF0 ? 2 : 1;
}

std::size_t CountUtf16Units(std::string_view text) {
  std::size_t units = 0;
  for (const char c : text) units += Utf16Units(static_cast<unsigned char>(c));
  return units;
}

EventSeverity SeverityOf(std::uint32_t id) {
  switch (id & kErrorBits) {
    case kErrorBits:
      return EventSeverity::kError;
    case kWarningBits:
      return EventSeverity::kWarning;
    default:
      return EventSeverity::kInformation;
  }
}

std::string FoundLine(const SuspectEntry& entry) {
  return entry.path + " (" + entry.category + "): " + CapUtf16Units(entry.reason, kMaxReasonUnits);
}

}  // namespace

std::string CapUtf16Units(std::string_view text, std::size_t maxUnits) {
  if (CountUtf16Units(text) <= maxUnits) return std::string(text);
  const std::size_t room = maxUnits - CountUtf16Units(kEllipsis);
  std::size_t units = 0;
  std::size_t end = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t next = Utf16Units(static_cast<unsigned char>(text[i]));
    if (next == 0) continue;
    if (units + next > room) break;
    units += next;
    end = i + 1;
    while (end < text.size() && Utf16Units(static_cast<unsigned char>(text[end])) == 0) ++end;
  }
  return std::string(text.substr(0, end)) + std::string(kEllipsis);
}

EventReports::EventReports(EventLog& log, std::string storeLocation)
    : log_(log), storeLocation_(std::move(storeLocation)) {}

void EventReports::Report(std::uint32_t id, std::vector<std::string> strings) {
  for (std::string& text : strings) text = CapUtf16Units(text, kMaxEventStringUnits);
  log_.Report(SeverityOf(id), id, strings);
}

void EventReports::SweepFound(const std::vector<SuspectEntry>& entries) {
  const std::string count = std::to_string(entries.size());
  std::size_t next = 0;
  for (std::size_t event = 1; next < entries.size(); ++event) {
    const std::size_t first = next;
    std::string lines;
    std::size_t units = 0;
    // Each event lists at least one file, however long its line.
    while (next < entries.size()) {
      const std::string line = CapUtf16Units(FoundLine(entries[next]), kMaxFoundListUnits);
      const std::size_t lineUnits = CountUtf16Units(line) + 2;
      if (next > first && units + lineUnits > kMaxFoundListUnits) break;
      lines += (lines.empty() ? "" : "\r\n") + line;
      units += lineUnits;
      ++next;
    }
    const bool last = event == kMaxFoundEvents && next < entries.size();
    if (last) lines += "\r\n… " + std::to_string(entries.size() - next) + " more not listed";
    Report(kEventSweepFound, {count, std::to_string(first + 1), std::to_string(next), lines});
    if (last) return;
  }
}

void EventReports::SweepFailed(std::string_view error) { Report(kEventSweepFailed, {std::string(error)}); }

void EventReports::FileRestored(const QuarantineRecord& record, std::string_view restoredTo) {
  Report(kEventFileRestored, {record.id, record.path, std::string(restoredTo)});
}

void EventReports::FileRemoved(const SuspectEntry& entry, const QuarantineRecord* kept) {
  Report(kEventFileRemoved, {entry.path, entry.category, CapUtf16Units(entry.reason, kMaxReasonUnits)});
  if (kept != nullptr) Report(kEventFileQuarantined, {entry.path, storeLocation_, kept->id, kept->sha256});
}

void EventReports::FileLeftOver(const SuspectEntry& entry, std::string_view reason) {
  Report(kEventFileLeftOver, {entry.path, entry.category, CapUtf16Units(reason, kMaxReasonUnits)});
}

}  // namespace kestrix

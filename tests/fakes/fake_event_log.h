// An event log that keeps what is reported, in order.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kestrix::testing {

struct FakeEvent {
  EventSeverity severity = EventSeverity::kInformation;
  std::uint32_t id = 0;
  std::vector<std::string> strings;
  bool operator==(const FakeEvent&) const = default;
};

inline void PrintTo(const FakeEvent& event, std::ostream* out) {
  *out << "{" << static_cast<int>(event.severity) << ", " << (event.id & 0xFFFF);
  for (const std::string& text : event.strings) *out << ", \"" << text << "\"";
  *out << "}";
}

struct FakeEventLog final : EventLog {
  std::vector<FakeEvent> events;
  bool Report(EventSeverity severity, std::uint32_t eventId,
              const std::vector<std::string>& strings) override {
    events.push_back({severity, eventId, strings});
    return true;
  }
};

}  // namespace kestrix::testing

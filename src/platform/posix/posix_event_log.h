// Elsewhere there is no Windows event log: events go nowhere.
#pragma once

#include "platform/platform.h"

namespace kestrix::posix {

class NoEventLog final : public EventLog {
 public:
  bool Report(EventSeverity, std::uint32_t, const std::vector<std::string>&) override { return false; }
};

}  // namespace kestrix::posix

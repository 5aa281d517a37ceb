// The Application log on Windows, under the event source "Kestrix".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kestrix::win32 {

inline constexpr wchar_t kEventSourceName[] = L"Kestrix";

// Opens the source at the first event and keeps it open for the life of
// the program. Any user may write to the Application log. A machine
// without the installer's registration of the source still takes the
// events; Event Viewer then finds no message table and shows the raw
// strings.
class Win32EventLog final : public EventLog {
 public:
  Win32EventLog() = default;
  ~Win32EventLog() override;
  Win32EventLog(const Win32EventLog&) = delete;
  Win32EventLog& operator=(const Win32EventLog&) = delete;

  bool Report(EventSeverity severity, std::uint32_t eventId,
              const std::vector<std::string>& strings) override;

 private:
  void* source_ = nullptr;  // the HANDLE RegisterEventSourceW gave
  bool opened_ = false;     // tried once: a refused source is not asked again
};

}  // namespace kestrix::win32

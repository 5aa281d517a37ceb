#include "platform/win32/win32_event_log.h"

#include <windows.h>

#include "platform/win32/win32_machine.h"

namespace kestrix::win32 {

namespace {

WORD EventType(EventSeverity severity) {
  switch (severity) {
    case EventSeverity::kError:
      return EVENTLOG_ERROR_TYPE;
    case EventSeverity::kWarning:
      return EVENTLOG_WARNING_TYPE;
    case EventSeverity::kInformation:
      break;
  }
  return EVENTLOG_INFORMATION_TYPE;
}

}  // namespace

Win32EventLog::~Win32EventLog() {
  if (source_ != nullptr) DeregisterEventSource(source_);
}

bool Win32EventLog::Report(EventSeverity severity, std::uint32_t eventId,
                           const std::vector<std::string>& strings) {
  if (!opened_) {
    opened_ = true;
    source_ = RegisterEventSourceW(nullptr, kEventSourceName);
  }
  if (source_ == nullptr) return false;
  std::vector<std::wstring> wide;
  wide.reserve(strings.size());
  for (const std::string& text : strings) wide.push_back(Widen(text));
  std::vector<LPCWSTR> pointers;
  for (const std::wstring& text : wide) pointers.push_back(text.c_str());
  return ReportEventW(source_, EventType(severity), 0, eventId, nullptr, static_cast<WORD>(pointers.size()),
                      0, pointers.empty() ? nullptr : pointers.data(), nullptr) != FALSE;
}

}  // namespace kestrix::win32

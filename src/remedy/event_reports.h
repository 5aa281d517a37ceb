// What the programs write to the machine's event log, for administrators
// who watch many PCs: what sweeps found, what was removed, kept, left over
// and restored, and errors that ended a sweep. A sweep that found nothing
// writes nothing.
//
// The ids are the message ids of the message table both programs carry
// (assets/kestrix-events.mc): the severity in the top two bits, the number
// Event Viewer shows in the low sixteen. They never change meaning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "findings/listed_files.h"
#include "platform/platform.h"
#include "remedy/quarantine.h"
#include "remedy/removal.h"

namespace kestrix {

inline constexpr std::uint32_t kInformationBits = 0x4000'0000;
inline constexpr std::uint32_t kWarningBits = 0x8000'0000;
inline constexpr std::uint32_t kErrorBits = 0xC000'0000;

// %1 how many files the sweep found, %2 and %3 the first and last of them
// this event lists, %4 a line per file: path (category): reason.
inline constexpr std::uint32_t kEventSweepFound = kWarningBits | 1000;
// %1 the path, %2 its category, %3 why it was listed.
inline constexpr std::uint32_t kEventFileRemoved = kInformationBits | 1001;
// %1 the path, %2 the quarantine's folder, %3 the record's id, %4 the SHA-256 of the bytes.
inline constexpr std::uint32_t kEventFileQuarantined = kInformationBits | 1002;
// %1 the path, %2 its category, %3 why it is still there.
inline constexpr std::uint32_t kEventFileLeftOver = kWarningBits | 1003;
// %1 the record's id, %2 where the file was, %3 where it was put back.
inline constexpr std::uint32_t kEventFileRestored = kInformationBits | 1004;
// %1 the error.
inline constexpr std::uint32_t kEventSweepFailed = kErrorBits | 1005;

// Every event this module writes, for tests that tie them to the message table.
inline constexpr std::uint32_t kEventIds[] = {kEventSweepFound,   kEventFileRemoved,  kEventFileQuarantined,
                                              kEventFileLeftOver, kEventFileRestored, kEventSweepFailed};

// The event log takes at most this many UTF-16 units in one string.
inline constexpr std::size_t kMaxEventStringUnits = 31'839;
// A found list longer than this goes on in another event, up to
// kMaxFoundEvents events; the last then says how many it leaves out.
inline constexpr std::size_t kMaxFoundListUnits = 16'000;
inline constexpr std::size_t kMaxFoundEvents = 8;
// A reason can be a whole line of an Autorun.inf, of any length.
inline constexpr std::size_t kMaxReasonUnits = 2'000;

// The text cut, at a whole character, to `maxUnits` UTF-16 units, an
// ellipsis marking the cut.
std::string CapUtf16Units(std::string_view text, std::size_t maxUnits);

class EventReports final : public RemovalEvents {
 public:
  // `storeLocation` is the quarantine's folder, named in the events of kept files.
  EventReports(EventLog& log, std::string storeLocation);

  // The list a sweep ended with; nothing when it is empty.
  void SweepFound(const std::vector<SuspectEntry>& entries);
  void SweepFailed(std::string_view error);
  void FileRestored(const QuarantineRecord& record, std::string_view restoredTo);

  void FileRemoved(const SuspectEntry& entry, const QuarantineRecord* kept) override;
  void FileLeftOver(const SuspectEntry& entry, std::string_view reason) override;

 private:
  // The severity is the one the id carries; every string is capped.
  void Report(std::uint32_t id, std::vector<std::string> strings);

  EventLog& log_;
  std::string storeLocation_;
};

}  // namespace kestrix

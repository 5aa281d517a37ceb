// What kestrix-scan prints about a sweep, and the status it exits with.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "remedy/suspect_list.h"

namespace kestrix {

struct ScanOutcome {
  std::vector<SuspectEntry> entries;
  std::optional<std::string> error;  // set when the sweep was ended by an error
};

// One line per entry (number, category, path), then the count.
std::string FormatTextReport(const ScanOutcome& outcome);

// {"entries":[{"number":1,"path":"E:\\Autorun.inf","category":"危险","image":1}],
//  "finished":true,"error":null}
std::string FormatJsonReport(const ScanOutcome& outcome);

// 0 finished with nothing found, 1 finished with entries, 2 ended by an error.
int ScanExitStatus(const ScanOutcome& outcome);

inline constexpr int kUsageExitStatus = 2;

}  // namespace kestrix

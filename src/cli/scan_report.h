// What kestrix-scan prints about a sweep, and the status it exits with.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "findings/listed_files.h"
#include "remedy/quarantine.h"

namespace kestrix {

struct ReportedBalloon {
  std::string text;
  int kind = 0;
};

// A listed file that cleaning left where it was.
struct KeptFile {
  std::string path;
  std::string reason;
};

// What cleaning did, when it ran.
struct CleanOutcome {
  std::vector<std::string> removed;  // paths deleted, in order
  std::vector<ReportedBalloon> balloons;
  std::vector<KeptFile> kept;  // in list order
  std::vector<std::string> recovered{};  // files and folders a shortcut worm hid, made visible again
};

struct ScanOutcome {
  std::vector<SuspectEntry> entries;  // the list as it ended, after any cleaning
  std::optional<std::string> error;   // set when the sweep was ended by an error
  std::optional<CleanOutcome> clean;
};

// One line per entry (number, category, path, why it is listed), then the count, then a
// line for each file cleaning kept and each entry it made visible.
std::string FormatTextReport(const ScanOutcome& outcome);

// {"entries":[{"number":1,"path":"E:\\Autorun.inf","category":"危险","image":1,"reason":"..."}],
//  "finished":true,"error":null}, with "removed", "balloons",
//  "kept":[{"path","reason"}] and "recovered":["E:\\Photos"] after cleaning.
std::string FormatJsonReport(const ScanOutcome& outcome);

// 0 finished with nothing found or everything cleaned, 1 finished with
// entries or with listed files that cleaning kept, 2 ended by an error.
int ScanExitStatus(const ScanOutcome& outcome);

inline constexpr int kUsageExitStatus = 2;

// The records of one store, oldest first.
struct QuarantineListing {
  std::string store;
  std::vector<QuarantineRecord> records;
};

// A table of the kept files and where the store is, store after store; a
// record that cannot be restored says why. In JSON the first store as
// {"store":"...","records":[{"id","path","size","sha256","time","category","reason","attributes"}]}
// ("damage" in a record that cannot be restored), any other in "otherStores":[{"store","records"}].
std::string FormatQuarantineList(const std::vector<QuarantineListing>& listings, bool json);

// What --restore or --purge did with one kept file.
struct QuarantineAction {
  std::string id;
  std::string path;  // where it was restored to, else the record's path; empty for an unknown id
  std::optional<std::string> failure;
};

// "restored: 3 E:\x.exe" or "not restored: 3 E:\x.exe (REASON)" per file
// (`done` is "restored" or "purged"); in JSON {"restored":[{"id","path"}],
// "failed":[{"id","path","reason"}]}.
std::string FormatQuarantineActions(std::string_view done, const std::vector<QuarantineAction>& actions,
                                    bool json);

// What --immunize or --unimmunize did with one drive.
struct VaccineAction {
  std::string drive;  // "E:"
  std::string path;   // its Autorun.inf
  bool done = false;
  std::string note;  // what was done or found; why not, when not done
};

// "immunized: E: (NOTE)" or "not immunized: E: (NOTE)" per drive (`done` is
// "immunized" or "unimmunized"); in JSON {"immunized":[{"drive","path","note"}],
// "failed":[{"drive","path","reason"}]}.
std::string FormatVaccineActions(std::string_view done, const std::vector<VaccineAction>& actions, bool json);

}  // namespace kestrix

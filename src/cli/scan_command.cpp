#include "cli/scan_command.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "cli/scan_report.h"
#include "detect/drive_sweep.h"
#include "detect/file_tests.h"
#include "findings/protected_list.h"
#include "platform/common/forwarding_files.h"
#include "remedy/event_reports.h"
#include "remedy/removal.h"
#include "remedy/vaccine.h"
#include "repair/disk_class_repair.h"

namespace kestrix {
namespace {

constexpr std::string_view kScanTitle = "Kestrix";

// The main window's banner and list, as a terminal shows them: a progress
// line on stderr when stderr is a terminal, nothing otherwise.
class ConsoleView final : public SweepView, public SuspectListView, public MessagePump {
 public:
  ConsoleView(bool showProgress, bool escapes) : showProgress_(showProgress), escapes_(escapes) {}
  ~ConsoleView() override { EndProgress(); }

  void SetCurrentVirus(std::string_view text) override {
    current_ = text;
    Draw();
  }
  void SetTotalProgress(int position) override {
    position_ = position;
    Draw();
  }
  void SetKillVirusEnabled(bool) override {}
  void ListCleared() override {}
  void ListAppended(const SuspectEntry&) override {}
  void ListDeleted(std::size_t) override {}
  void ListChanged(std::size_t, const SuspectEntry&) override {}
  void SetTotalNumber(std::string_view) override {}
  void ShowMainWindow() override {}
  void PumpMessages() override {}

  void EndProgress() {
    if (drawn_) {
      std::fputs(escapes_ ? "\r\033[K" : ("\r" + std::string(drawnLength_, ' ') + "\r").c_str(), stderr);
    }
    drawn_ = false;
    drawnLength_ = 0;
  }

 private:
  void Draw() {
    if (!showProgress_) return;
    constexpr int kWidth = 30;
    const int filled = std::clamp(position_, 0, 100) * kWidth / 100;
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3d%%", position_);
    const std::string line =
        "[" + std::string(filled, '#') + std::string(kWidth - filled, ' ') + "] " + percent + " " + current_;
    // Without ESC[K, blanks cover what is left of the longer line before;
    // a UTF-8 line never takes more columns than it has bytes.
    const std::string rest(escapes_ ? 0 : drawnLength_ - std::min(drawnLength_, line.size()), ' ');
    std::fputs(((escapes_ ? "\r\033[K" : "\r") + line + rest).c_str(), stderr);
    std::fflush(stderr);
    drawn_ = true;
    drawnLength_ = std::max(line.size(), drawnLength_);
  }

  bool showProgress_;
  bool escapes_;
  bool drawn_ = false;
  std::size_t drawnLength_ = 0;  // the longest line since the last erase
  int position_ = 0;
  std::string current_;
};

// The machine's files, keeping a note of every file deleted.
class RecordingFiles final : public ForwardingFiles {
 public:
  using ForwardingFiles::ForwardingFiles;
  bool RemoveFile(std::string_view path) override {
    if (!ForwardingFiles::RemoveFile(path)) return false;
    removed.emplace_back(path);
    return true;
  }

  std::vector<std::string> removed;
};

// Why each listed file is still there after cleaning: it stayed listed
// because deleting it failed, or it left the list as a protected file kept.
std::vector<KeptFile> KeptFiles(const std::vector<SuspectEntry>& before, const SuspectList& after,
                                const RecordingFiles& files, const Removal& removal,
                                std::string_view protectedReason) {
  std::vector<KeptFile> kept;
  for (const SuspectEntry& entry : before) {
    if (std::ranges::find(files.removed, entry.path) != files.removed.end()) continue;
    const bool listed = std::ranges::any_of(after.Entries(), [&](const SuspectEntry& left) {
      return left.path == entry.path;
    });
    const auto failure = removal.Failures().find(entry.path);
    std::string reason = !listed                               ? std::string(protectedReason)
                         : failure != removal.Failures().end() ? failure->second
                                                               : "it could not be deleted";
    kept.push_back({entry.path, std::move(reason)});
  }
  return kept;
}

// --quarantine-list, --restore or --purge.
int RunQuarantineCommand(const ScanOptions& options, const ScanMachine& machine, Quarantine& quarantine,
                         EventReports* reports) {
  const std::vector<QuarantineRecord> records = quarantine.List();
  if (options.quarantineList) {
    std::vector<QuarantineListing> listings{{machine.store.Location(), records}};
    if (machine.otherStore != nullptr) {
      Quarantine other({machine.files, machine.volumes, *machine.otherStore, machine.hashing},
                       options.quarantineLimit);
      // A standard user cannot read the machine's store: it is left out.
      if (auto kept = other.List(); !kept.empty())
        listings.push_back({machine.otherStore->Location(), std::move(kept)});
    }
    std::cout << FormatQuarantineList(listings, options.json);
    return 0;
  }
  const bool restoring = options.restore.has_value();
  const std::string& wanted = restoring ? *options.restore : *options.purge;
  const bool all = wanted == "all";
  ProtectedList guarded(machine.files, machine.folding);
  if (restoring) guarded.BuildProtectedList(machine.volumes.WindowsDirectory() + "\\");
  std::vector<QuarantineAction> actions;
  const auto act = [&](const QuarantineRecord& record) {
    QuarantineAction action{record.id, restoring ? RestorePath(record, options.restoreTo) : record.path, {}};
    std::string reason;
    if (!restoring) {
      if (!quarantine.Purge(record)) action.failure = "its files could not be removed from the store";
    } else if (const auto refusal =
                   RestoreRefusal(guarded, all, options.force, action.path, "--force puts it back")) {
      action.failure = refusal;
    } else if (!quarantine.Restore(record, options.restoreTo, options.force, reason)) {
      action.failure = reason;
    } else if (reports != nullptr) {
      reports->FileRestored(record, action.path);
    }
    actions.push_back(std::move(action));
  };
  if (all) {
    for (const QuarantineRecord& record : records) act(record);
  } else if (const auto found = std::ranges::find(records, wanted, &QuarantineRecord::id);
             found != records.end()) {
    act(*found);
  } else {
    actions.push_back({wanted, {}, "no kept file has this id"});
  }
  std::cout << FormatQuarantineActions(restoring ? "restored" : "purged", actions, options.json);
  return std::ranges::any_of(actions,
                             [](const QuarantineAction& action) { return action.failure.has_value(); })
             ? 1
             : 0;
}

// --immunize or --unimmunize, drive by drive.
int RunVaccineCommand(const ScanOptions& options, const ScanMachine& machine) {
  const bool immunizing = !options.immunize.empty();
  std::vector<VaccineAction> actions;
  for (const std::string& drive : immunizing ? options.immunize : options.unimmunize) {
    const char letter = *VaccineDriveLetter(drive);  // checked when parsed
    const VaccineResult result = immunizing ? Immunize(machine.files, machine.volumes, letter)
                                            : Unimmunize(machine.files, machine.volumes, letter);
    actions.push_back({std::string(1, letter) + ":", result.path, result.done, result.note});
  }
  std::cout << FormatVaccineActions(immunizing ? "immunized" : "unimmunized", actions, options.json);
  return std::ranges::all_of(actions, &VaccineAction::done) ? 0 : 1;
}

// Asks on the terminal whether to keep a protected file; Enter keeps it.
std::optional<bool> AskKeepOnTerminal(bool terminal, std::string_view question) {
  if (!terminal) return std::nullopt;
  std::string text(question);
  for (char& c : text) c = c == '\r' ? '\n' : c;
  std::cerr << text << " [Y/n] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return std::nullopt;
  return !(answer.starts_with('n') || answer.starts_with('N') || answer.starts_with("否"));
}

}  // namespace

void AddScanOptions(CLI::App& app, ScanOptions& options) {
  app.add_option("--program-files", options.programFiles, "The Program Files directory");
  app.add_option("--rules", options.rulesPath, "The rule database")->capture_default_str();
  app.add_flag("--floppies", options.floppies, "Sweep from A: instead of C:");
  app.add_flag("--json", options.json, "Print the result as JSON");
  app.add_flag("--clean", options.clean, "Delete what the sweep found");
  app.add_option("--protected", options.protectedAnswer, "With --clean: keep or delete Windows files, or ask")
      ->transform(CLI::CheckedTransformer(
          std::map<std::string, ProtectedAnswer>{{"ask", ProtectedAnswer::kAsk},
                                                 {"keep", ProtectedAnswer::kKeep},
                                                 {"delete", ProtectedAnswer::kDelete}}))
      ->default_str("ask");
  app.add_flag("--terminate", options.terminate,
               "With --clean: end the processes that run files left over, and try again");

  app.add_option("--quarantine", options.quarantineFolder,
                 "The quarantine's folder, where deleted files are kept")
      ->capture_default_str();
  app.add_option("--quarantine-limit", options.quarantineLimit,
                 "The most bytes the quarantine keeps; the oldest kept files go first")
      ->check(CLI::Validator(
          [](std::string& text) {
            // Digits only: CLI11 would wrap a minus sign around into a huge limit.
            const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
            return digits ? std::string() : "not a number of bytes: " + text;
          },
          "BYTES"))
      ->capture_default_str();
  app.add_flag("--no-quarantine", options.noQuarantine, "With --clean: delete without keeping")
      ->needs("--clean");
  auto* list =
      app.add_flag("--quarantine-list", options.quarantineList, "List the files the quarantine keeps");
  auto* restore =
      app.add_option("--restore", options.restore, "Put a kept file back where it was, or all of them")
          ->type_name("ID|all");
  app.add_option("--to", options.restoreTo, "With --restore: into this Windows folder instead")
      ->type_name("DIR")
      ->needs(restore);
  app.add_flag("--force", options.force, "With --restore: replace a file that is there")->needs(restore);
  auto* purge =
      app.add_option("--purge", options.purge, "Forget a kept file, or all of them")->type_name("ID|all");
  const auto driveLetter = CLI::Validator(
      [](std::string& text) {
        return VaccineDriveLetter(text) ? std::string() : "not a drive letter (E or E:): " + text;
      },
      "L:");
  auto* immunize = app.add_option("--immunize", options.immunize,
                                  "Make the drive's Autorun.inf a folder that worms cannot replace")
                       ->type_name("L:")
                       ->check(driveLetter);
  auto* unimmunize =
      app.add_option("--unimmunize", options.unimmunize, "Take away the folder --immunize made")
          ->type_name("L:")
          ->check(driveLetter);
  auto* clean = app.get_option("--clean");
  list->excludes(restore)->excludes(purge)->excludes(clean);
  restore->excludes(purge)->excludes(clean);
  purge->excludes(clean);
  for (auto* vaccine : {immunize, unimmunize})
    vaccine->excludes(clean)->excludes(list)->excludes(restore)->excludes(purge);
  immunize->excludes(unimmunize);
}

int RunScan(const ScanOptions& options, const ScanMachine& machine, ScanTerminal terminal) {
  ConsoleView view(terminal.progress, terminal.escapes);
  RecordingFiles files(machine.files);
  Quarantine quarantine({files, machine.volumes, machine.store, machine.hashing}, options.quarantineLimit);
  std::optional<EventReports> reports;
  if (machine.eventLog != nullptr) reports.emplace(*machine.eventLog, machine.store.Location());
  EventReports* const events = reports ? &*reports : nullptr;
  if (options.quarantineList || options.restore || options.purge) {
    return RunQuarantineCommand(options, machine, quarantine, events);
  }
  if (!options.immunize.empty() || !options.unimmunize.empty()) return RunVaccineCommand(options, machine);

  SuspectList list(files, machine.folding, view);
  ProtectedList protectedList(files, machine.folding);

  SweepSettings settings{.skipFloppies = !options.floppies,
                         .programFilesDirectory = options.programFiles,
                         .ruleDatabasePath = options.rulesPath};
  if (!ExistsAndClearAttributes(files, settings.ruleDatabasePath)) {
    std::cerr << "kestrix-scan: no rule database at " << settings.ruleDatabasePath
              << "; sweeping without rules\n";
    settings.ruleDatabasePath.clear();
  }

  DriveSweep sweep({files, machine.volumes, machine.folding, view}, settings, view, list, protectedList);
  ShortcutRecovery recovery;
  sweep.SetShortcutRecovery(&recovery);
  ScanOutcome outcome;
  try {
    sweep.RequestSweep();
  } catch (const HandlerError& error) {
    outcome.error = error.what();
  }
  view.EndProgress();
  // A sweep an error cut short reports the error alone: its list may be partial.
  if (events != nullptr && outcome.error) {
    events->SweepFailed(*outcome.error);
  } else if (events != nullptr) {
    events->SweepFound(list.Entries());
  }

  // Only a finished sweep's list is cleaned: a cut-short one may be partial.
  if (options.clean && !outcome.error) {
    if (!options.json)
      std::cout << FormatTextReport({.entries = list.Entries(), .error = {}, .clean = {}}) << std::flush;
    ScanAnswers answers(
        options.protectedAnswer, options.terminate, list, options.json ? stderr : stdout,
        [&](std::string_view question) { return AskKeepOnTerminal(terminal.input, question); });
    const std::string title(kScanTitle);
    const std::string_view protectedReason =
        options.protectedAnswer == ProtectedAnswer::kKeep ? "a protected Windows file; --protected=keep"
        : terminal.input                                  ? kKeptAsAnswered
                         : "a protected Windows file; no terminal to ask whether to delete it";
    Removal removal({files, machine.folding, view, answers, answers, machine.processes,
                     options.noQuarantine ? nullptr : &quarantine, &recovery, events, protectedReason},
                    list, protectedList, answers, title);
    const std::vector<SuspectEntry> listed = list.Entries();
    removal.KillVirusClick(Sender::kNone);
    outcome.clean =
        CleanOutcome{files.removed, answers.Balloons(),
                     KeptFiles(listed, list, files, removal, protectedReason), recovery.Recovered()};
  }
  outcome.entries = list.Entries();
  std::cout << (options.json ? FormatJsonReport(outcome) : FormatTextReport(outcome));
  if (outcome.error && !options.json) std::cerr << "kestrix-scan: " << *outcome.error << "\n";
  return ScanExitStatus(outcome);
}

int RunDiskClassRestore(Registry& registry, bool json) {
  const DiskClassRestore result = RestoreDiskClassKey(registry);
  const bool done = result.backupFound && result.keyOpened && result.failed.empty();
  if (json) {
    std::cout << nlohmann::json{{"backup", result.backupFound},
                                {"restored", result.restored},
                                {"deleted", result.deleted},
                                {"failed", result.failed}}
                     .dump()
              << "\n";
  } else if (!result.backupFound) {
    std::cout << "No saved disk-class values to put back (HKLM" << kDiskClassBackupKey << ").\n";
  } else {
    for (const std::string& name : result.restored) std::cout << "restored  " << name << "\n";
    for (const std::string& name : result.deleted)
      std::cout << "deleted   " << name << " (not there before)\n";
    for (const std::string& name : result.failed) std::cout << "failed    " << name << "\n";
    if (result.restored.empty() && result.deleted.empty() && result.failed.empty()) {
      std::cout << "The saved backup holds no values.\n";
    }
  }
  if (result.backupFound && !result.keyOpened) {
    std::cerr
        << "kestrix-scan: the disk-drive class key cannot be opened for writing; run as an administrator\n";
  }
  return done ? 0 : 1;
}

}  // namespace kestrix

// The options, as the registry holds them. An option is on when its
// value exists as non-empty text ("TRUE" is written; the text itself is
// never looked at) and off when the value is deleted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "settings/policy.h"

namespace kestrix {

inline constexpr std::string_view kSettingsKey = "\\Software\\Halvorn";
inline constexpr std::string_view kAutoKillValue = "AutoKill";
inline constexpr std::string_view kSkipFloopyValue = "SkipFloopy";
inline constexpr std::string_view kAutoImmunizeValue = "AutoImmunize";
inline constexpr std::string_view kRunKey = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr std::string_view kRunValue = "Kestrix";
inline constexpr std::string_view kCurrentVersionKey = "\\Software\\Microsoft\\Windows\\CurrentVersion";
inline constexpr std::string_view kProgramFilesValue = "ProgramFilesDir";
inline constexpr std::string_view kOptionOn = "TRUE";
inline constexpr std::string_view kQuarantineLimitValue = "QuarantineLimit";

// Read once at start-up. Changes made while the program runs are stored at
// once but reach these flags only at the next start. A managed option holds
// the policy's value.
struct ScanSettings {
  bool startWithWindows = false;
  bool autoClean = false;
  bool skipFloppies = true;
  // Immunizes each removable drive a sweep found clean.
  bool autoImmunize = false;
  Policy policy;
};

// The Run value that starts the running program with Windows: its full
// path in double quotes.
std::string RunCommand(std::string_view executablePath);

// The settings key's options as the boxes show them; nullopt for an option
// the policy manages, which is never stored.
struct ShownOptions {
  std::optional<bool> autoClean = {};
  std::optional<bool> skipFloppies = {};
  std::optional<bool> autoImmunize = {};
};

// Stores the option `name` (kAutoKillValue, kSkipFloopyValue or
// kAutoImmunizeValue) as `shown`
// has it. Without the settings key SkipFloopy reads as on, but in a key a
// missing value reads as off: so every change creates the key, an unticked
// SkipFloopy too, and stores every shown option with it. RegistryError as
// StoreOption.
void StoreShownOption(Registry& registry, const ShownOptions& shown, std::string_view name);

// Reads the policy, the options and the Program Files directory, and points a
// Run value that names a file that is gone at the running program. An option
// the policy manages takes the policy's value and its own value is not read;
// a managed start with Windows writes or deletes the Run value to match.
// Keys that cannot be opened (for writing, to mend the Run value) are
// skipped; a value of the wrong type raises RegistryError, and what was read
// before it, the policy first, stays read.
void ReadScanSettings(Registry& registry, Files& files, const CaseFolding& folding,
                      std::string_view executablePath, ScanSettings& settings,
                      std::string& programFilesDirectory);

// The quarantine's limit in bytes: the policy's when it manages one, else
// the settings key's QuarantineLimit, a decimal number as text;
// kDefaultQuarantineLimit when the value is missing, not text or not a
// number. Never raises: the program starts either way.
std::uint64_t ReadQuarantineLimit(Registry& registry);

}  // namespace kestrix

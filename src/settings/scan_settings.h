// The three options, as the registry holds them. An option is on when its
// value exists as non-empty text ("TRUE" is written; the text itself is
// never looked at) and off when the value is deleted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kestrix {

inline constexpr std::string_view kSettingsKey = "\\Software\\Halvorn";
inline constexpr std::string_view kAutoKillValue = "AutoKill";
inline constexpr std::string_view kSkipFloopyValue = "SkipFloopy";
inline constexpr std::string_view kRunKey = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr std::string_view kRunValue = "Kestrix";
inline constexpr std::string_view kCurrentVersionKey = "\\Software\\Microsoft\\Windows\\CurrentVersion";
inline constexpr std::string_view kProgramFilesValue = "ProgramFilesDir";
inline constexpr std::string_view kOptionOn = "TRUE";
inline constexpr std::string_view kQuarantineLimitValue = "QuarantineLimit";

// Read once at start-up. Changes made while the program runs are stored at
// once but reach these flags only at the next start.
struct ScanSettings {
  bool startWithWindows = false;
  bool autoClean = false;
  bool skipFloppies = true;
};

// The Run value that starts the running program with Windows: its full
// path in double quotes.
std::string RunCommand(std::string_view executablePath);

// Reads the options and the Program Files directory, and points a Run value
// that names a file that is gone at the running program. Keys that cannot be
// opened (for writing, to mend the Run value) are skipped; a value of the wrong type raises RegistryError,
// and what was read before it stays read.
void ReadScanSettings(Registry& registry, Files& files, const CaseFolding& folding,
                      std::string_view executablePath, ScanSettings& settings,
                      std::string& programFilesDirectory);

// The quarantine's limit in bytes: the settings key's QuarantineLimit, a
// decimal number as text; kDefaultQuarantineLimit when the value is missing,
// not text or not a number. Never raises: the program starts either way.
std::uint64_t ReadQuarantineLimit(Registry& registry);

}  // namespace kestrix

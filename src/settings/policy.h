// What the administrator decides for every user of the machine, through
// Group Policy or by hand: values below the policy key win over the user's
// own options. A value that is missing is not managed, and so is one of
// another type or length than a 4-byte REG_DWORD: a broken policy falls
// back to the user's option rather than stopping the program.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/platform.h"

namespace kestrix {

inline constexpr std::string_view kPolicyKey = "\\Software\\Policies\\Halvorn\\Kestrix";
inline constexpr std::string_view kAutoStartPolicyValue = "AutoStart";
inline constexpr std::uint32_t kRegDword = 4;

// Each option the administrator manages; nullopt where the user decides.
struct Policy {
  std::optional<bool> autoClean = {};                 // AutoKill, any non-zero number is on
  std::optional<bool> skipFloppies = {};              // SkipFloopy
  std::optional<bool> startWithWindows = {};          // AutoStart
  std::optional<std::uint64_t> quarantineLimit = {};  // bytes; the value holds megabytes

  bool operator==(const Policy&) const = default;
};

// Reads the policy key; never raises: a missing key manages nothing.
Policy ReadPolicy(Registry& registry);

}  // namespace kestrix

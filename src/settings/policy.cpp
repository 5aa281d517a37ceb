#include "settings/policy.h"

#include "settings/scan_settings.h"

namespace kestrix {

namespace {

constexpr std::uint64_t kMegabyte = std::uint64_t{1} << 20;

// The number of a REG_DWORD value, stored little-endian. Longer values are
// refused too: Windows stores what a writer gives, and a guess at eight
// bytes would manage an option the administrator's template never wrote.
std::optional<std::uint32_t> ReadDword(RegistryKey& key, std::string_view name) {
  const auto value = key.ReadValue(name);
  if (!value || value->type != kRegDword || value->bytes.size() != 4) return std::nullopt;
  std::uint32_t number = 0;
  for (int i = 3; i >= 0; --i) number = (number << 8) | static_cast<unsigned char>(value->bytes[i]);
  return number;
}

std::optional<bool> ReadSwitch(RegistryKey& key, std::string_view name) {
  const auto number = ReadDword(key, name);
  if (!number) return std::nullopt;
  return *number != 0;
}

}  // namespace

Policy ReadPolicy(Registry& registry) {
  Policy policy;
  const auto key = registry.OpenKey(kPolicyKey);
  if (!key) return policy;
  policy.autoClean = ReadSwitch(*key, kAutoKillValue);
  policy.skipFloppies = ReadSwitch(*key, kSkipFloopyValue);
  policy.startWithWindows = ReadSwitch(*key, kAutoStartPolicyValue);
  // A limit of nothing would keep nothing, and so let cleaning delete
  // nothing: it is taken for a slip, not managed.
  if (const auto megabytes = ReadDword(*key, kQuarantineLimitValue); megabytes && *megabytes > 0)
    policy.quarantineLimit = *megabytes * kMegabyte;
  return policy;
}

}  // namespace kestrix

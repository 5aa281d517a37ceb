#include "settings/scan_settings.h"

#include <charconv>

#include "detect/file_tests.h"
#include "platform/common/case_text.h"
#include "remedy/quarantine.h"
#include "settings/registry_values.h"

namespace kestrix {

std::string RunCommand(std::string_view executablePath) {
  std::string command = "\"";
  command.append(executablePath).append("\"");
  return command;
}

void StoreShownOption(Registry& registry, const ShownOptions& shown, std::string_view name) {
  const std::pair<std::string_view, const std::optional<bool>*> options[] = {
      {kAutoKillValue, &shown.autoClean},
      {kSkipFloopyValue, &shown.skipFloppies},
      {kAutoImmunizeValue, &shown.autoImmunize}};
  if (registry.KeyExists(kSettingsKey) != false) {
    for (const auto& [option, value] : options) {
      if (option == name) StoreOption(registry, kSettingsKey, name, value->value());
    }
    return;
  }
  StoreKey(registry, kSettingsKey, name);
  for (const auto& [option, value] : options) {
    if (*value) StoreOption(registry, kSettingsKey, option, **value);
  }
}

void ReadScanSettings(Registry& registry, Files& files, const CaseFolding& folding,
                      std::string_view executablePath, ScanSettings& settings,
                      std::string& programFilesDirectory) {
  const Policy& policy = settings.policy = ReadPolicy(registry);
  settings.autoClean = policy.autoClean.value_or(settings.autoClean);
  settings.skipFloppies = policy.skipFloppies.value_or(settings.skipFloppies);
  settings.startWithWindows = policy.startWithWindows.value_or(settings.startWithWindows);
  if (const auto key = registry.OpenKey(kSettingsKey)) {
    if (!policy.autoClean) settings.autoClean = !ReadTextValue(*key, kAutoKillValue).empty();
    if (!policy.skipFloppies) settings.skipFloppies = !ReadTextValue(*key, kSkipFloopyValue).empty();
    settings.autoImmunize = !ReadTextValue(*key, kAutoImmunizeValue).empty();
  }
  if (const auto key = registry.OpenKey(kCurrentVersionKey)) {
    programFilesDirectory = ReadTextValue(*key, kProgramFilesValue);
  }
  const auto run = registry.OpenKey(kRunKey);
  const std::string command = run ? ReadTextValue(*run, kRunValue) : "";
  if (!policy.startWithWindows) {
    if (!run) return;
    settings.startWithWindows = !command.empty();
  }
  // Off: only a policy's off finds a value here, and takes it away.
  if (!settings.startWithWindows) {
    if (!command.empty()) {
      if (const auto writable = registry.OpenOrCreateKey(kRunKey)) writable->DeleteValue(kRunValue);
    }
    return;
  }

  const std::string expected = RunCommand(executablePath);
  if (LowerText(folding, TrimControls(command)) == LowerText(folding, TrimControls(expected))) return;
  // Another copy of the program that still exists keeps its entry, unless
  // the policy starts this one (as the start push does for a user's choice).
  std::string named = command;
  std::erase(named, '"');
  if (!policy.startWithWindows && ExistsAndClearAttributes(files, named)) return;
  // A standard user may not change it: the entry stays as it is.
  const auto writable = registry.OpenOrCreateKey(kRunKey);
  if (!writable) return;
  writable->DeleteValue(kRunValue);
  WriteTextValue(*writable, kRunValue, expected);
}

std::uint64_t ReadQuarantineLimit(Registry& registry) {
  if (const auto managed = ReadPolicy(registry).quarantineLimit) return *managed;
  const auto key = registry.OpenKey(kSettingsKey);
  const std::string text = key ? key->ReadText(kQuarantineLimitValue).value_or("") : "";
  std::uint64_t limit = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), limit);
  return text.empty() || error != std::errc() || end != text.data() + text.size() ? kDefaultQuarantineLimit
                                                                                  : limit;
}

}  // namespace kestrix

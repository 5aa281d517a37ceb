#include "settings/registry_values.h"

#include "platform/common/format_text.h"

namespace kestrix {

std::string ReadTextValue(RegistryKey& key, std::string_view name) {
  auto text = key.ReadText(name);
  if (!text) throw RegistryError(FormatText("Invalid data type for '%s'", name));
  return std::move(*text);
}

void WriteTextValue(RegistryKey& key, std::string_view name, std::string_view text) {
  if (!key.WriteText(name, text)) throw RegistryError(FormatText("Failed to set data for '%s'", name));
}

void StoreValue(Registry& registry, std::string_view keyPath, std::string_view name, std::string_view text) {
  const auto key = registry.OpenOrCreateKey(keyPath);
  if (!key) return;
  if (text.empty()) {
    key->DeleteValue(name);
  } else {
    WriteTextValue(*key, name, text);
  }
}

}  // namespace kestrix

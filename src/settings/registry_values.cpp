#include "settings/registry_values.h"

#include "platform/common/format_text.h"
#include "settings/scan_settings.h"

namespace kestrix {

namespace {

// Said when a change of an option cannot be stored, typically because a
// standard user may not write below HKEY_LOCAL_MACHINE.
constexpr std::string_view kNotStored =
    "無法儲存 '%s'：Kestrix 無法寫入登錄檔 HKEY_LOCAL_MACHINE，這項變更沒有儲存。"
    "請以系統管理員身分執行 Kestrix 再變更選項。";

// Writes `text`, or deletes the value when it is empty, unless `same` says
// the stored value already means it.
void Store(Registry& registry, std::string_view keyPath, std::string_view name, std::string_view text,
           bool (*same)(RegistryKey& key, std::string_view name, std::string_view text)) {
  if (const auto key = registry.OpenKey(keyPath); key && same(*key, name, text)) return;
  // Nothing to delete where there is no key.
  if (text.empty() && registry.KeyExists(keyPath) == false) return;
  const auto key = registry.OpenOrCreateKey(keyPath);
  if (!key) throw RegistryError(FormatText(kNotStored, name));
  if (!text.empty()) {
    WriteTextValue(*key, name, text);
  } else if (!key->DeleteValue(name)) {
    throw RegistryError(FormatText(kNotStored, name));
  }
}

bool Missing(RegistryKey& key, std::string_view value) { return !key.ReadValue(value).has_value(); }

// The value is REG_SZ with this text; or, for no text, missing.
bool HoldsText(RegistryKey& key, std::string_view value, std::string_view text) {
  if (text.empty()) return Missing(key, value);
  const auto stored = key.ReadValue(value);
  return stored && stored->type == kRegSz && key.ReadText(value) == text;
}

// The option is on (any text) or, for no text, off (missing or empty).
bool HoldsOption(RegistryKey& key, std::string_view value, std::string_view text) {
  const auto stored = key.ReadText(value);
  if (text.empty()) return Missing(key, value) || (stored && stored->empty());
  return stored && !stored->empty();
}

}  // namespace

std::string ReadTextValue(RegistryKey& key, std::string_view name) {
  auto text = key.ReadText(name);
  if (!text) throw RegistryError(FormatText("Invalid data type for '%s'", name));
  return std::move(*text);
}

RegistryError RefusedWrite(std::string_view name) {
  return RegistryError(FormatText("Failed to set data for '%s'", name));
}

void WriteTextValue(WritableRegistryKey& key, std::string_view name, std::string_view text) {
  if (!key.WriteText(name, text)) throw RefusedWrite(name);
}

void StoreValue(Registry& registry, std::string_view keyPath, std::string_view name, std::string_view text) {
  Store(registry, keyPath, name, text, HoldsText);
}

void StoreKey(Registry& registry, std::string_view keyPath, std::string_view name) {
  if (registry.KeyExists(keyPath) != true && !registry.OpenOrCreateKey(keyPath))
    throw RegistryError(FormatText(kNotStored, name));
}

void StoreOption(Registry& registry, std::string_view keyPath, std::string_view name, bool on) {
  Store(registry, keyPath, name, on ? kOptionOn : "", HoldsOption);
}

}  // namespace kestrix

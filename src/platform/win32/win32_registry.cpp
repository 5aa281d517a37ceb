#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/win32/win32_machine.h"

namespace kestrix::win32 {

namespace {

// Key paths are written as below the root ("\Software\..."), which the
// registry functions would take for an empty first key name.
std::wstring KeyPath(std::string_view path) {
  while (path.starts_with('\\')) path.remove_prefix(1);
  return Widen(path);
}

// Reading needs no more than this: a standard user has it on
// HKEY_LOCAL_MACHINE\Software and \SYSTEM, but not the right to change them.
constexpr REGSAM kReadAccess = KEY_QUERY_VALUE;
constexpr REGSAM kWriteAccess = KEY_QUERY_VALUE | KEY_SET_VALUE;

class Win32RegistryKey final : public WritableRegistryKey {
 public:
  explicit Win32RegistryKey(HKEY key) : key_(key) {}
  ~Win32RegistryKey() override { ::RegCloseKey(key_); }
  Win32RegistryKey(const Win32RegistryKey&) = delete;
  Win32RegistryKey& operator=(const Win32RegistryKey&) = delete;

  // A value that cannot be queried reads as empty, like a missing one; only
  // a value that is there with other data than text is refused.
  std::optional<std::string> ReadText(std::string_view name) override {
    const auto value = ReadValue(name);
    if (!value || value->bytes.empty()) return std::string();
    if (value->type != REG_SZ && value->type != REG_EXPAND_SZ) return std::nullopt;
    const std::wstring text = Wide(value->bytes);
    return Narrow(std::wstring_view(text).substr(0, text.find(L'\0')));
  }

  std::optional<std::vector<std::string>> ReadTextList(std::string_view name) override {
    const auto value = ReadValue(name);
    if (!value) return std::vector<std::string>();
    if (value->type != REG_MULTI_SZ) {
      const auto text = ReadText(name);
      if (!text) return std::nullopt;
      return text->empty() ? std::vector<std::string>() : std::vector<std::string>{*text};
    }
    const std::wstring data = Wide(value->bytes);
    std::vector<std::string> texts;
    for (std::size_t start = 0; start < data.size();) {
      const std::size_t end = std::min(data.find(L'\0', start), data.size());
      texts.push_back(Narrow(std::wstring_view(data).substr(start, end - start)));
      start = end + 1;
    }
    // The list ends in an empty string.
    while (!texts.empty() && texts.back().empty()) texts.pop_back();
    return texts;
  }

  std::optional<RegistryValue> ReadValue(std::string_view name) override {
    const std::wstring valueName = Widen(name);
    DWORD type = REG_NONE;
    DWORD size = 0;
    LSTATUS status = ::RegQueryValueExW(key_, valueName.c_str(), nullptr, &type, nullptr, &size);
    std::string data;
    while (status == ERROR_SUCCESS) {
      data.assign(size, '\0');
      status = ::RegQueryValueExW(key_, valueName.c_str(), nullptr, &type,
                                  reinterpret_cast<BYTE*>(data.data()), &size);
      if (status != ERROR_MORE_DATA) break;
      // Grown since its size was asked: ask again with the new size.
      status = ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS) return std::nullopt;
    data.resize(size);
    return RegistryValue{type, std::move(data)};
  }

  bool WriteText(std::string_view name, std::string_view text) override {
    const std::wstring value = Widen(text);
    return WriteValue(name, {REG_SZ, Bytes(std::wstring_view(value.c_str(), value.size() + 1))});
  }

  bool WriteTextList(std::string_view name, const std::vector<std::string>& texts) override {
    std::wstring data;
    for (const std::string& text : texts) data.append(Widen(text)).push_back(L'\0');
    data.push_back(L'\0');
    return WriteValue(name, {REG_MULTI_SZ, Bytes(data)});
  }

  bool WriteValue(std::string_view name, const RegistryValue& value) override {
    return ::RegSetValueExW(key_, Widen(name).c_str(), 0, value.type,
                            reinterpret_cast<const BYTE*>(value.bytes.data()),
                            static_cast<DWORD>(value.bytes.size())) == ERROR_SUCCESS;
  }

  bool DeleteValue(std::string_view name) override {
    const LSTATUS status = ::RegDeleteValueW(key_, Widen(name).c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
  }

 private:
  // Stored text need not end in a NUL, nor have an even length.
  static std::wstring Wide(const std::string& bytes) {
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    std::copy_n(bytes.data(), text.size() * sizeof(wchar_t), reinterpret_cast<char*>(text.data()));
    return text;
  }
  static std::string Bytes(std::wstring_view text) {
    return {reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t)};
  }

  HKEY key_;
};

}  // namespace

std::unique_ptr<RegistryKey> Win32Registry::OpenKey(std::string_view path) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath(path).c_str(), 0, kReadAccess, &key) != ERROR_SUCCESS) {
    return nullptr;
  }
  return std::make_unique<Win32RegistryKey>(key);
}

std::optional<bool> Win32Registry::KeyExists(std::string_view path) {
  HKEY key = nullptr;
  switch (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath(path).c_str(), 0, kReadAccess, &key)) {
    case ERROR_SUCCESS:
      ::RegCloseKey(key);
      return true;
    case ERROR_ACCESS_DENIED:  // refused: so it is there
      return true;
    case ERROR_FILE_NOT_FOUND:
      return false;
    default:
      return std::nullopt;
  }
}

std::unique_ptr<WritableRegistryKey> Win32Registry::OpenOrCreateKey(std::string_view path) {
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, KeyPath(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        kWriteAccess, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return nullptr;
  }
  return std::make_unique<Win32RegistryKey>(key);
}

}  // namespace kestrix::win32

#include <windows.h>

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

class Win32RegistryKey final : public RegistryKey {
 public:
  explicit Win32RegistryKey(HKEY key) : key_(key) {}
  ~Win32RegistryKey() override { ::RegCloseKey(key_); }
  Win32RegistryKey(const Win32RegistryKey&) = delete;
  Win32RegistryKey& operator=(const Win32RegistryKey&) = delete;

  // A value that cannot be queried reads as empty, like a missing one; only
  // a value that is there with other data than text is refused.
  std::optional<std::string> ReadText(std::string_view name) override {
    const std::wstring valueName = Widen(name);
    DWORD type = REG_NONE;
    DWORD size = 0;
    LSTATUS status = ::RegQueryValueExW(key_, valueName.c_str(), nullptr, &type, nullptr, &size);
    std::vector<wchar_t> data;
    while (status == ERROR_SUCCESS && size > 0) {
      data.assign(size / sizeof(wchar_t) + 1, L'\0');
      status = ::RegQueryValueExW(key_, valueName.c_str(), nullptr, &type,
                                  reinterpret_cast<BYTE*>(data.data()), &size);
      if (status != ERROR_MORE_DATA) break;
      // Grown since its size was asked: ask again with the new size.
      status = ERROR_SUCCESS;
    }
    if (status != ERROR_SUCCESS || size == 0) return std::string();
    if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
    // Stored text need not end in a NUL, nor have an even length.
    const std::wstring_view text(data.data(), size / sizeof(wchar_t));
    return Narrow(text.substr(0, text.find(L'\0')));
  }

  bool WriteText(std::string_view name, std::string_view text) override {
    const std::wstring value = Widen(text);
    const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    return ::RegSetValueExW(key_, Widen(name).c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(value.c_str()), bytes) == ERROR_SUCCESS;
  }

  void DeleteValue(std::string_view name) override { ::RegDeleteValueW(key_, Widen(name).c_str()); }

 private:
  HKEY key_;
};

}  // namespace

std::unique_ptr<RegistryKey> Win32Registry::OpenKey(std::string_view path) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath(path).c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    return nullptr;
  }
  return std::make_unique<Win32RegistryKey>(key);
}

std::unique_ptr<RegistryKey> Win32Registry::OpenOrCreateKey(std::string_view path) {
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, KeyPath(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return nullptr;
  }
  return std::make_unique<Win32RegistryKey>(key);
}

}  // namespace kestrix::win32

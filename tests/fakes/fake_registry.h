// An in-memory registry below HKEY_LOCAL_MACHINE: values of any type, keys
// that refuse to open, writes that are refused, and a log of every step.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kestrix::testing {

inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

struct FakeValue {
  std::uint32_t type = kRegSz;
  std::string data;
  bool operator==(const FakeValue&) const = default;
};

struct FakeRegistry final : Registry {
  // By key path without its leading "\", in lower case; values by name.
  std::map<std::string, std::map<std::string, FakeValue>> keys;
  std::set<std::string> refusedKeys;    // lower-cased key paths
  std::set<std::string> refusedWrites;  // value names
  std::vector<std::string> log;
  int openKeys = 0;

  static std::string Key(std::string_view path) {
    while (path.starts_with('\\')) path.remove_prefix(1);
    std::string key(path);
    for (char& c : key) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    return key;
  }
  void Set(std::string_view path, std::string_view name, std::string data, std::uint32_t type = kRegSz) {
    keys[Key(path)][std::string(name)] = {type, std::move(data)};
  }
  const FakeValue* Get(std::string_view path, std::string_view name) const {
    const auto key = keys.find(Key(path));
    if (key == keys.end()) return nullptr;
    const auto value = key->second.find(std::string(name));
    return value == key->second.end() ? nullptr : &value->second;
  }

  struct OpenKey final : RegistryKey {
    FakeRegistry& registry;
    std::string path;
    OpenKey(FakeRegistry& r, std::string p) : registry(r), path(std::move(p)) { ++registry.openKeys; }
    ~OpenKey() override {
      --registry.openKeys;
      registry.log.push_back("close " + path);
    }
    std::optional<std::string> ReadText(std::string_view name) override {
      const FakeValue* value = registry.Get(path, name);
      if (value == nullptr || value->data.empty()) return std::string();
      if (value->type != kRegSz && value->type != kRegExpandSz) return std::nullopt;
      return value->data.substr(0, value->data.find('\0'));
    }
    bool WriteText(std::string_view name, std::string_view text) override {
      if (registry.refusedWrites.contains(std::string(name))) return false;
      registry.log.push_back("write " + std::string(name) + "=" + std::string(text));
      registry.Set(path, name, std::string(text));
      return true;
    }
    void DeleteValue(std::string_view name) override {
      registry.log.push_back("delete " + std::string(name));
      const auto key = registry.keys.find(path);
      if (key != registry.keys.end()) key->second.erase(std::string(name));
    }
  };

  std::unique_ptr<RegistryKey> OpenKey(std::string_view path) override {
    const std::string key = Key(path);
    if (!keys.contains(key) || refusedKeys.contains(key)) return nullptr;
    log.push_back("open " + key);
    return std::make_unique<struct OpenKey>(*this, key);
  }
  std::unique_ptr<RegistryKey> OpenOrCreateKey(std::string_view path) override {
    const std::string key = Key(path);
    if (refusedKeys.contains(key)) return nullptr;
    keys[key];
    log.push_back("open " + key);
    return std::make_unique<struct OpenKey>(*this, key);
  }
};

}  // namespace kestrix::testing

// An in-memory registry below HKEY_LOCAL_MACHINE: values of any type (a
// multi-string's strings each end in a NUL), keys that refuse to open, keys
// a standard user may only read, writes that are refused, and a log of
// every step.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kestrix::testing {

using kestrix::kRegExpandSz;
using kestrix::kRegMultiSz;
using kestrix::kRegSz;
inline constexpr std::uint32_t kRegDword = 4;

struct FakeValue {
  std::uint32_t type = kRegSz;
  std::string data;
  bool operator==(const FakeValue&) const = default;
};

struct FakeRegistry final : Registry {
  // By key path without its leading "\", in lower case; values by name.
  std::map<std::string, std::map<std::string, FakeValue>> keys;
  std::set<std::string> refusedKeys;    // lower-cased key paths
  std::set<std::string> readOnlyKeys;   // lower-cased key paths a standard user may read
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

  struct OpenKey final : WritableRegistryKey {
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
    std::optional<std::vector<std::string>> ReadTextList(std::string_view name) override {
      const FakeValue* value = registry.Get(path, name);
      if (value == nullptr) return std::vector<std::string>();
      if (value->type != kRegMultiSz) {
        const auto text = ReadText(name);
        if (!text) return std::nullopt;
        return text->empty() ? std::vector<std::string>() : std::vector<std::string>{*text};
      }
      std::vector<std::string> texts;
      for (std::size_t start = 0; start < value->data.size();) {
        const std::size_t end = std::min(value->data.find('\0', start), value->data.size());
        texts.push_back(value->data.substr(start, end - start));
        start = end + 1;
      }
      while (!texts.empty() && texts.back().empty()) texts.pop_back();
      return texts;
    }
    std::optional<RegistryValue> ReadValue(std::string_view name) override {
      const FakeValue* value = registry.Get(path, name);
      if (value == nullptr) return std::nullopt;
      return RegistryValue{value->type, value->data};
    }
    bool WriteText(std::string_view name, std::string_view text) override {
      return WriteValue(name, {kRegSz, std::string(text)});
    }
    bool WriteTextList(std::string_view name, const std::vector<std::string>& texts) override {
      std::string data;
      for (const std::string& text : texts) data.append(text).push_back('\0');
      data.push_back('\0');
      return WriteValue(name, {kRegMultiSz, data});
    }
    bool WriteValue(std::string_view name, const RegistryValue& value) override {
      if (registry.refusedWrites.contains(std::string(name))) return false;
      std::string shown = value.bytes;
      std::replace(shown.begin(), shown.end(), '\0', '|');
      registry.log.push_back("write " + std::string(name) + "=" + shown +
                             (value.type == kRegSz ? "" : " (type " + std::to_string(value.type) + ")"));
      registry.Set(path, name, value.bytes, value.type);
      return true;
    }
    bool DeleteValue(std::string_view name) override {
      if (registry.refusedWrites.contains(std::string(name)) && registry.Get(path, name) != nullptr)
        return false;
      registry.log.push_back("delete " + std::string(name));
      const auto key = registry.keys.find(path);
      if (key != registry.keys.end()) key->second.erase(std::string(name));
      return true;
    }
  };

  std::unique_ptr<RegistryKey> OpenKey(std::string_view path) override {
    const std::string key = Key(path);
    if (!keys.contains(key) || refusedKeys.contains(key)) return nullptr;
    log.push_back("open " + key);
    return std::make_unique<struct OpenKey>(*this, key);
  }
  std::optional<bool> KeyExists(std::string_view path) override { return keys.contains(Key(path)); }
  std::unique_ptr<WritableRegistryKey> OpenOrCreateKey(std::string_view path) override {
    const std::string key = Key(path);
    if (refusedKeys.contains(key) || readOnlyKeys.contains(key)) return nullptr;
    keys[key];
    log.push_back("open " + key + " for writing");
    return std::make_unique<struct OpenKey>(*this, key);
  }
};

}  // namespace kestrix::testing

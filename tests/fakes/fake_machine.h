// An in-memory Windows machine for the engine's unit tests: files found
// without regard to case, attributes that can be locked, files that cannot
// be read, drives with types and extents, and a message pump a test can
// hook into.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/common/text_file.h"
#include "detect/detect_context.h"
#include "platform/platform.h"
#include "remedy/suspect_list.h"

namespace kestrix::testing {

struct FakeFile {
  std::string content;
  bool readOnly = false;
  bool hidden = false;
  bool system = false;
  bool attributesLocked = false;  // resetting the attributes is refused
  bool unreadable = false;        // held open by another program
};

struct FakeDrive {
  DriveType type = DriveType::kRemovable;
  std::int64_t extentLength = 1 << 20;
};

// Folds A-Z and the Latin-1 capitals, enough to tell folding is applied.
struct FakeFolding final : CaseFolding {
  char32_t ToLower(char32_t c) const override {
    if (c >= 'A' && c <= 'Z') return c + 32;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
    return c;
  }
};

struct FakeMachine final : Files, Volumes, MessagePump {
  FakeFolding folding;
  std::map<std::string, FakeFile> files;  // by lower-cased path
  std::set<std::string> directories;      // lower-cased
  std::map<char, FakeDrive> drives;
  std::string windowsDirectory = "C:\\WINDOWS";
  std::string tempDirectory = "C:\\WINDOWS\\TEMP\\";
  std::vector<std::string> attributeResets;  // paths as passed
  std::vector<std::string> reads;
  int pumps = 0;
  std::function<void()> onPump;

  static std::string Key(std::string_view path) {
    std::string key(path);
    for (char& c : key) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    return key;
  }
  FakeFile& AddFile(std::string_view path, std::string content = "MZ") {
    FakeFile& file = files[Key(path)];
    file.content = std::move(content);
    return file;
  }
  const FakeFile* Find(std::string_view path) const {
    const auto it = files.find(Key(path));
    return it == files.end() ? nullptr : &it->second;
  }

  bool FileExists(std::string_view path) override { return Find(path) != nullptr; }
  bool ResetAttributes(std::string_view path) override {
    attributeResets.emplace_back(path);
    auto it = files.find(Key(path));
    if (it == files.end() || it->second.attributesLocked) return false;
    it->second.readOnly = it->second.hidden = it->second.system = false;
    return true;
  }
  std::optional<std::vector<std::string>> ReadTextLines(std::string_view path, std::string& reason) override {
    reads.emplace_back(path);
    const FakeFile* file = Find(path);
    if (file == nullptr || file->unreadable) {
      reason = file ? "The process cannot access the file because it is being used by another process."
                    : "The system cannot find the file specified.";
      return std::nullopt;
    }
    return TextFileLines(file->content, [](std::string_view bytes) { return std::string(bytes); });
  }
  std::int32_t QueryFileSize(std::string_view path) override {
    if (const FakeFile* file = Find(path)) return static_cast<std::int32_t>(file->content.size());
    return directories.contains(Key(path)) ? 0 : -1;
  }

  std::string WindowsDirectory() override { return windowsDirectory; }
  std::string TempDirectory() override { return tempDirectory; }
  DriveType GetDriveType(std::string_view root) override {
    const auto it = drives.find(root.empty() ? '?' : root[0]);
    return it == drives.end() ? DriveType::kNoRootDir : it->second.type;
  }
  DiskExtent GetFirstDiskExtent(char letter) override {
    const auto it = drives.find(letter);
    return it == drives.end() ? DiskExtent{} : DiskExtent{0, 0, it->second.extentLength};
  }

  void PumpMessages() override {
    ++pumps;
    if (onPump) onPump();
  }
};

// The main window's list and banner as a test sees them.
struct FakeListView : SuspectListView {
  std::vector<SuspectEntry> rows;
  std::string totalNumber = "0";
  int windowShown = 0;

  void ListCleared() override { rows.clear(); }
  void ListAppended(const SuspectEntry& entry) override { rows.push_back(entry); }
  void ListDeleted(std::size_t index) override { rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(index)); }
  void SetTotalNumber(std::string_view caption) override { totalNumber = caption; }
  void ShowMainWindow() override { ++windowShown; }
};

// A machine, a list and its view wired as the main window wires them.
struct FakeEngine {
  FakeMachine machine;
  FakeListView view;
  SuspectList list{machine, machine.folding, view};
  DetectContext context{machine, machine.folding, machine, list};

  // "path category" per entry, in list order.
  std::vector<std::string> Listed() const {
    std::vector<std::string> listed;
    for (const SuspectEntry& entry : list.Entries()) listed.push_back(entry.path + " " + entry.category);
    return listed;
  }
};

}  // namespace kestrix::testing

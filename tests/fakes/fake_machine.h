// An in-memory Windows machine for the engine's unit tests: files found
// without regard to case, attributes that can be locked, files that cannot
// be read, drives with types and extents, and a message pump a test can
// hook into.
#pragma once

#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "detect/detect_context.h"
#include "findings/listed_files.h"
#include "platform/common/shell_link.h"
#include "platform/common/text_file.h"
#include "platform/common/windows_path.h"
#include "platform/platform.h"

namespace kestrix::testing {

struct FakeFile {
  std::string content;
  bool readOnly = false;
  bool hidden = false;
  bool system = false;
  bool attributesLocked = false;  // resetting the attributes is refused
  bool unreadable = false;        // held open by another program
  bool undeletable = false;       // a running program, say
  std::uint64_t identity = 0;     // the same non-zero number for names of one file
  std::optional<std::uint32_t> original = std::nullopt;  // the attributes before the first reset
};

// Bytes of its own, read in chunks.
struct StringByteReader final : ByteReader {
  explicit StringByteReader(std::string content) : bytes(std::move(content)), reader(bytes) {}
  std::optional<std::size_t> Read(std::span<char> buffer, std::string& reason) override {
    return reader.Read(buffer, reason);
  }
  std::string bytes;
  MemoryByteReader reader;
};

// The quarantine's folder in memory; a test can make staging fail, as a
// full or read-only disk would, make the lock busy, age files and mark
// files as another user's.
struct FakeStoreFolder final : StoreFolder {
  std::map<std::string, std::string> files;
  std::map<std::string, std::int64_t> ages;  // seconds since written; 0 for a file not named
  std::set<std::string> foreign;
  bool full = false;
  bool busy = false;  // another program holds the lock
  std::uint64_t mark = 0;

  struct Held final : StoreLock {
    explicit Held(FakeStoreFolder& store) : folder(store) {}
    std::uint64_t Mark() override { return folder.mark; }
    bool SetMark(std::uint64_t value) override {
      folder.mark = value;
      return true;
    }
    FakeStoreFolder& folder;
  };
  struct Staged final : StagedFile {
    Staged(FakeStoreFolder& store, std::string bytes) : folder(store), content(std::move(bytes)) {}
    Placed Place(std::string_view name, bool replace, std::string&) override {
      const std::string key(name);
      if (!replace && folder.files.contains(key)) return Placed::kTaken;
      folder.files[key] = content;
      folder.ages.erase(key);
      folder.foreign.erase(key);
      return Placed::kDone;
    }
    FakeStoreFolder& folder;
    std::string content;
  };

  std::string Location() const override { return "/fake/quarantine"; }
  std::unique_ptr<StoreLock> Lock(std::chrono::milliseconds, std::string& reason) override {
    if (!busy) return std::make_unique<Held>(*this);
    reason = "the quarantine is busy";
    return nullptr;
  }
  std::unique_ptr<StagedFile> Stage(ByteReader& source, std::string& reason) override {
    std::string content;
    std::array<char, 4096> chunk;
    while (const auto got = source.Read(chunk, reason)) {
      if (*got == 0) {
        if (!full) return std::make_unique<Staged>(*this, std::move(content));
        reason = "No space left on device";
        return nullptr;
      }
      content.append(chunk.data(), *got);
    }
    return nullptr;
  }
  std::unique_ptr<ByteReader> Open(std::string_view name, std::string& reason) override {
    const auto it = files.find(std::string(name));
    if (it == files.end() || foreign.contains(it->first)) {
      reason = it == files.end() ? "No such file or directory" : "another user made it";
      return nullptr;
    }
    return std::make_unique<StringByteReader>(it->second);
  }
  bool Remove(std::string_view name) override {
    files.erase(std::string(name));
    return true;
  }
  std::vector<StoreEntry> Entries(const std::function<bool(std::string_view)>& described) override {
    std::vector<StoreEntry> entries;
    for (const auto& [name, content] : files) {
      const auto age = ages.find(name);
      const bool known = described(name);
      entries.push_back({.name = name,
                         .size = known ? content.size() : 0,
                         .ageSeconds = known && age != ages.end() ? age->second : 0,
                         .temporary = name.starts_with(".kestrix-")});
    }
    return entries;
  }
};

// Not SHA-256, but a digest of the same shape, enough for the engine's tests.
struct FakeHashing final : Hashing {
  struct Digest final : Sha256 {
    std::uint64_t state = 1469598103934665603ull;
    void Update(std::string_view bytes) override {
      for (const char c : bytes) state = (state ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    std::string HexDigest() override {
      char text[17];
      std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(state));
      return std::string(4, '0').append(text).append(std::string(44, '0'));
    }
  };
  std::unique_ptr<Sha256> StartSha256() override { return std::make_unique<Digest>(); }
};

struct FakeDrive {
  DriveType type = DriveType::kRemovable;
  std::int64_t extentLength = 1 << 20;
  std::string volume = "fake-volume";
  std::string label{};
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
  std::map<std::string, std::string> spellings;           // lower-cased path: as added
  std::map<std::string, std::uint32_t> folderAttributes;  // lower-cased; none for a folder never set
  std::string readOnlyReason;  // set: every write is refused with it, as on a write-protected stick
  std::map<char, FakeDrive> drives;
  std::string windowsDirectory = "C:\\WINDOWS";
  std::string tempDirectory = "C:\\WINDOWS\\TEMP\\";
  std::vector<std::string> attributeResets;  // paths as passed
  std::vector<std::string> reads;
  std::vector<std::string> removed;  // paths as passed
  int pumps = 0;
  std::function<void()> onPump;
  std::function<void(std::string_view path)> onOpen;  // before a file is opened for its bytes

  // Paths as Windows spells them out ("E:\\.\\x.exe" is E:\\x.exe), any case.
  static std::string Key(std::string_view path) {
    std::string key = NormalizePathSpelling(path);
    for (char& c : key) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    return key;
  }
  FakeFile& AddFile(std::string_view path, std::string content = "MZ") {
    spellings[Key(path)] = NormalizePathSpelling(path);
    FakeFile& file = files[Key(path)];
    file.content = std::move(content);
    return file;
  }
  const FakeFile* Find(std::string_view path) const {
    const auto it = files.find(Key(path));
    return it == files.end() ? nullptr : &it->second;
  }

  void AddFolder(std::string_view path, std::uint32_t attributes = 0) {
    spellings[Key(path)] = NormalizePathSpelling(path);
    directories.insert(Key(path));
    folderAttributes[Key(path)] = attributes;
  }

  bool FileExists(std::string_view path) override { return Find(path) != nullptr; }
  static std::uint32_t Attributes(const FakeFile& file) {
    return (file.readOnly ? kAttributeReadOnly : 0) | (file.hidden ? kAttributeHidden : 0) |
           (file.system ? kAttributeSystem : 0);
  }
  bool ResetAttributes(std::string_view path) override {
    attributeResets.emplace_back(path);
    auto it = files.find(Key(path));
    if (it == files.end() || it->second.attributesLocked) return false;
    if (!it->second.original) it->second.original = Attributes(it->second);
    it->second.readOnly = it->second.hidden = it->second.system = false;
    return true;
  }
  bool ReadTextLines(std::string_view path, const TextLineSink& onLine, std::string& reason) override {
    reads.emplace_back(path);
    const FakeFile* file = Find(path);
    if (file == nullptr || file->unreadable) {
      reason = file ? "The process cannot access the file because it is being used by another process."
                    : "The system cannot find the file specified.";
      return false;
    }
    MemoryByteReader reader(file->content);
    return kestrix::ReadTextLines(
        reader, [](std::string_view bytes) { return std::string(bytes); }, onLine, reason);
  }
  std::string FullPathName(std::string_view path) override { return NormalizePathSpelling(path); }
  std::unique_ptr<ByteReader> OpenForReading(std::string_view path, std::string& reason) override {
    if (onOpen) onOpen(path);
    const FakeFile* file = Find(path);
    if (file == nullptr || file->unreadable) {
      reason = file ? "The process cannot access the file because it is being used by another process."
                    : "The system cannot find the file specified.";
      return nullptr;
    }
    return std::make_unique<StringByteReader>(file->content);
  }
  std::optional<std::uint32_t> OriginalAttributes(std::string_view path) override {
    const FakeFile* file = Find(path);
    if (file == nullptr) return std::nullopt;
    return file->original ? *file->original : Attributes(*file);
  }
  std::optional<std::uint32_t> CurrentAttributes(std::string_view path) override {
    if (directories.contains(Key(path))) return folderAttributes[Key(path)];
    const FakeFile* file = Find(path);
    if (file == nullptr) return std::nullopt;
    return Attributes(*file);
  }
  bool SetAttributes(std::string_view path, std::uint32_t attributes) override {
    if (directories.contains(Key(path))) {
      if (!readOnlyReason.empty()) return false;
      folderAttributes[Key(path)] = attributes;
      return true;
    }
    const auto it = files.find(Key(path));
    if (it == files.end() || it->second.attributesLocked) return false;
    it->second.readOnly = (attributes & kAttributeReadOnly) != 0;
    it->second.hidden = (attributes & kAttributeHidden) != 0;
    it->second.system = (attributes & kAttributeSystem) != 0;
    return true;
  }
  bool WriteNewFile(std::string_view path, ByteReader& source, bool replace, std::string& reason) override {
    if (directories.contains(Key(path)) || (!replace && Find(path) != nullptr)) {
      reason = "The file exists.";
      return false;
    }
    if (!readOnlyReason.empty()) {
      reason = readOnlyReason;
      return false;
    }
    // Folders missing above the file are made; a file in the way refuses.
    std::vector<std::string> folders;
    std::string folder = Key(path);
    for (auto at = folder.rfind('\\'); at != std::string::npos && at > 2; at = folder.rfind('\\')) {
      folder.resize(at);
      if (files.contains(folder)) {
        reason = "The directory name is invalid.";
        return false;
      }
      folders.push_back(folder);
    }
    std::string content;
    std::array<char, 4096> chunk;
    while (const auto got = source.Read(chunk, reason)) {
      if (*got == 0) {
        directories.insert(folders.begin(), folders.end());
        AddFile(path, std::move(content));
        return true;
      }
      content.append(chunk.data(), *got);
    }
    return false;
  }
  bool RemoveFolder(std::string_view path) override {
    const std::string key = Key(path);
    const std::string inside = key + "\\";
    const auto within = [&](const std::string& other) { return other.starts_with(inside); };
    if (!readOnlyReason.empty() || !directories.contains(key) || std::ranges::any_of(directories, within) ||
        std::ranges::any_of(files, [&](const auto& file) { return within(file.first); })) {
      return false;
    }
    directories.erase(key);
    folderAttributes.erase(key);
    return true;
  }
  std::vector<FolderEntry> ListFolder(std::string_view folder) override {
    std::string prefix = Key(folder);
    if (!prefix.ends_with('\\')) prefix += '\\';
    std::vector<FolderEntry> entries;
    const auto add = [&](const std::string& key, bool isFolder, std::uint32_t attributes) {
      if (!key.starts_with(prefix) || key.size() == prefix.size() ||
          key.find('\\', prefix.size()) != std::string::npos) {
        return;
      }
      const auto spelled = spellings.find(key);
      const std::string& path = spelled != spellings.end() ? spelled->second : key;
      entries.push_back({path.substr(path.rfind('\\') + 1), isFolder, attributes});
    };
    for (const auto& [key, file] : files) add(key, false, 0);
    for (const std::string& key : directories) add(key, true, folderAttributes[key]);
    return entries;
  }
  std::optional<ShellLink> ReadShortcut(std::string_view path) override {
    const FakeFile* file = Find(path);
    if (file == nullptr || file->unreadable) return std::nullopt;
    return ParseShellLink(file->content, [](std::string_view bytes) { return std::string(bytes); });
  }
  std::optional<FileIdentity> IdentifyFile(std::string_view path) override {
    const std::string key = Key(path);
    const auto it = files.find(key);
    if (it == files.end()) return std::nullopt;
    return FileIdentity{.volume = 1,
                        .index = it->second.identity != 0 ? it->second.identity : std::hash<std::string>{}(key)};
  }
  bool RemoveFile(std::string_view path) override {
    const auto it = files.find(Key(path));
    if (it == files.end() || it->second.undeletable || !readOnlyReason.empty()) return false;
    files.erase(it);
    removed.emplace_back(path);
    return true;
  }
  std::int32_t QueryFileSize(std::string_view path) override {
    if (const FakeFile* file = Find(path)) return static_cast<std::int32_t>(file->content.size());
    return directories.contains(Key(path)) ? 0 : -1;
  }

  std::string WindowsDirectory() override { return windowsDirectory; }
  std::string TempDirectory() override { return tempDirectory; }
  DriveType QueryDriveType(std::string_view root) override {
    const auto it = drives.find(root.empty() ? '?' : root[0]);
    return it == drives.end() ? DriveType::kNoRootDir : it->second.type;
  }
  DiskExtent GetFirstDiskExtent(char letter) override {
    const auto it = drives.find(letter);
    return it == drives.end() ? DiskExtent{} : DiskExtent{0, 0, it->second.extentLength};
  }
  std::optional<std::string> VolumeIdentity(char letter) override {
    const auto it = drives.find(letter);
    return it == drives.end() ? std::nullopt : std::optional<std::string>(it->second.volume);
  }

  std::string VolumeLabel(char letter) override {
    const auto it = drives.find(letter);
    return it == drives.end() ? std::string() : it->second.label;
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
  void ListDeleted(std::size_t index) override {
    rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(index));
  }
  void ListChanged(std::size_t index, const SuspectEntry& entry) override { rows.at(index) = entry; }
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

struct FakeBalloon {
  std::string title;
  std::string text;
  BalloonKind kind;
  int timeoutSeconds;
};

struct FakeQuestion {
  std::string text;
  std::string caption;
  unsigned style;
};

// The desktop: balloons shown, questions answered from a script (No once
// the script runs out), properties sheets opened, close requests.
struct FakeDesktop final : Balloons, MessageBoxes, Shell {
  std::vector<FakeBalloon> balloons;
  std::vector<FakeQuestion> questions;
  std::deque<int> answers;
  std::function<void()> whileAsking;  // runs while a question is up, as a modal loop would
  std::vector<std::string> properties;

  bool ShowBalloon(std::string_view title, std::string_view text, BalloonKind kind,
                   int timeoutSeconds) override {
    balloons.push_back({std::string(title), std::string(text), kind, timeoutSeconds});
    return true;
  }
  int ShowMessage(std::string_view text, std::string_view caption, unsigned style) override {
    questions.push_back({std::string(text), std::string(caption), style});
    if (whileAsking) whileAsking();
    if (answers.empty()) return kAnswerNo;
    const int answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void ShowProperties(std::string_view path) override { properties.emplace_back(path); }
};

struct FakeProcess {
  std::uint32_t id = 0;
  std::string exeFile;
  std::optional<std::string> path;  // nullopt: the path query fails
  bool openable = true;
  bool running = true;
  std::optional<FileIdentity> identity = std::nullopt;  // where the backend knows the file itself
};

struct FakeProcessTable final : ProcessTable {
  std::vector<FakeProcess> processes;
  std::vector<bool> privilegeChanges;
  int openHandles = 0;
  std::function<void(std::string_view)> onTerminate;  // e.g. to make the file deletable

  struct Handle final : ProcessHandle {
    FakeProcessTable& table;
    FakeProcess& process;
    Handle(FakeProcessTable& t, FakeProcess& p) : table(t), process(p) { ++table.openHandles; }
    ~Handle() override { --table.openHandles; }
    std::optional<std::string> MainModulePath() override { return process.path; }
    std::optional<FileIdentity> MainModuleIdentity() override { return process.identity; }
    void Terminate() override {
      process.running = false;
      if (table.onTerminate) table.onTerminate(process.path.value_or(process.exeFile));
    }
  };

  bool SetDebugPrivilege(bool enable) override {
    privilegeChanges.push_back(enable);
    return false;  // an account without the privilege; termination goes on
  }
  std::vector<ProcessEntry> Snapshot() override {
    std::vector<ProcessEntry> entries;
    for (const FakeProcess& process : processes) {
      if (process.running) entries.push_back({process.id, process.exeFile});
    }
    return entries;
  }
  std::unique_ptr<ProcessHandle> OpenProcess(std::uint32_t id) override {
    for (FakeProcess& process : processes) {
      if (process.id == id && process.running && process.openable)
        return std::make_unique<Handle>(*this, process);
    }
    return nullptr;
  }
  std::vector<std::uint32_t> Running() const {
    std::vector<std::uint32_t> ids;
    for (const FakeProcess& process : processes) {
      if (process.running) ids.push_back(process.id);
    }
    return ids;
  }
};

}  // namespace kestrix::testing

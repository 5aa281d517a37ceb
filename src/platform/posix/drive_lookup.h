// Windows paths found below their drive's directory the way Windows would
// find them (either separator, any letter case, ".." never above the drive
// root), one name at a time from the drive's directory, holding each folder
// open and never leaving the drive through a link.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <array>
#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/dos_attributes.h"
#include "platform/posix/drive_map.h"
#include "platform/posix/posix_files.h"

namespace kestrix::posix {

class DriveLookup {
 public:
  // Names are folded by `folding`; FAT devices, whose clock is coarse, are
  // told by `fat`. All three must outlive the lookup.
  DriveLookup(const DriveMap& drives, const CaseFolding& folding, FatDevices& fat);
  DriveLookup(const DriveLookup&) = delete;
  DriveLookup& operator=(const DriveLookup&) = delete;

  // Lets one file off the drives be found by its host path, exactly as
  // written (the rule database, whose path the user gives).
  void AllowHostFile(std::string path);
  bool IsHostFile(std::string_view path) const;

  // A folder held open, and its identity, which an O_PATH descriptor keeps.
  struct HeldFolder {
    FileDescriptor fd;
    FileIdentity identity;
    int Get() const { return fd.Get(); }
  };

  // A name found on a drive: the folder that holds it, opened, and the name
  // as spelled on disk. Everything done to the name goes through the folder,
  // so a folder swapped for a link meanwhile cannot send the act elsewhere.
  struct Located {
    std::shared_ptr<const HeldFolder> folder;
    std::string name;          // as written when missing; "." for the folder itself
    bool found = false;        // false when the name or a folder above it is missing
    std::string missingBelow;  // the names below a missing folder
    bool regularFile = false;  // known to be a regular file, from the folder's index
    // The entry's status, asked once for all the copies of a lookup that is
    // kept; made on first use otherwise.
    mutable std::shared_ptr<std::optional<struct stat>> status = nullptr;

    int Folder() const { return folder->Get(); }
    // The entry's own status (a link is not followed); nullopt when it is gone.
    const std::optional<struct stat>& Status() const;
  };

  // A file or folder found on a drive, held open by an O_PATH descriptor.
  struct OpenedFile {
    Located located;
    FileDescriptor file;
    struct stat info {};
    OpenedEntry Entry() const { return {located.Folder(), located.name, file.Get(), info}; }
  };

  // Where a Windows path lies: a rooted or relative path lies on the drive
  // of the current directory, when that is on a drive. nullopt for a path on
  // no mapped drive and for one that would leave its drive through a link.
  std::optional<Located> Locate(std::string_view windowsPath, bool followFinalLink) const;
  // A regular file, following a final link that stays on the drive.
  std::optional<OpenedFile> OpenRegularFile(std::string_view path) const;
  // A folder below a drive root, never through a link at its end.
  std::optional<OpenedFile> OpenFolderEntry(std::string_view path) const;
  // The host path of a Windows path, as Locate finds it.
  std::optional<std::filesystem::path> Resolve(std::string_view windowsPath) const;
  // The Windows path of a host file below a drive's directory, spelled as on
  // disk; nullopt when no drive holds it.
  std::optional<std::string> ToWindowsPath(const std::filesystem::path& native) const;
  // The current directory as a Windows path, when it lies on a drive and
  // `forPath` needs it.
  std::optional<std::string> CurrentWindowsDirectory(std::string_view forPath) const;

  // Held while the drives are changed: the last lookup, which answers
  // again for a moment, is forgotten when the change begins and when it
  // ends, so that no answer from before the change is given after it.
  class ChangeGuard {
   public:
    explicit ChangeGuard(DriveLookup& lookup) : lookup_(lookup) { lookup_.ForgetLastLookup(); }
    ~ChangeGuard() { lookup_.ForgetLastLookup(); }
    ChangeGuard(const ChangeGuard&) = delete;
    ChangeGuard& operator=(const ChangeGuard&) = delete;

   private:
    DriveLookup& lookup_;
  };

 private:
  // A folder just opened; null when it could not be.
  static std::shared_ptr<const HeldFolder> Hold(FileDescriptor fd);
  std::optional<Located> LocateAnew(std::string_view windowsPath, bool followFinalLink) const;
  struct LastLookup;
  void ForgetLastLookup();
  static constexpr long long kLastLookupNanoseconds = 50'000'000;
  // A directory's names, read once and kept while the directory's time of
  // change stays as it was: each folded name with the entry Windows takes
  // for it (of several spellings the smallest in byte order, so that the
  // choice never depends on the order the file system lists them), and the
  // names that share their folded form with others, as they are.
  struct DirectoryIndex {
    struct Spelling {
      std::string name;
      unsigned char type;  // as readdir gives it
      bool several;        // other names fold alike
    };
    timespec changed{};
    timespec read{};
    bool racy = false;  // read so soon after its change that a later one may not show
    std::unordered_map<std::string, Spelling> folded;
    std::unordered_map<std::string, Spelling> crowded;
    std::unordered_map<std::string, std::shared_ptr<const HeldFolder>> folders;  // opened below it
    // The entry for `name`, whose folded form is `foldedName`: the name as
    // written if it is there, else one that folds alike.
    const Spelling* Find(const std::string& name, const std::string& foldedName) const;
  };
  struct Entry {
    std::string name;                   // as spelled on disk
    unsigned char type;                 // DT_REG, DT_DIR, ... or DT_UNKNOWN
    DirectoryIndex* index;              // the folder's index, until the next lookup
    std::optional<struct stat> status;  // the entry's own, when it was looked at
  };
  // The drive's folder, opened once.
  std::shared_ptr<const HeldFolder> DriveRoot(char letter, const MappedDrive& drive) const;
  std::shared_ptr<const HeldFolder> OpenFolder(int parent, const Entry& entry) const;
  static constexpr std::size_t kMaxOpenFolders = 256;
  std::optional<Entry> FindEntry(const HeldFolder& folder, const std::string& name, bool last) const;
  std::optional<DirectoryIndex> ReadDirectory(int directory) const;

  const DriveMap& drives_;
  const CaseFolding& folding_;
  FatDevices& fat_;
  std::vector<std::string> hostFiles_;
  // What lookups keep for the next ones; none of it changes an answer.
  mutable std::array<std::shared_ptr<const HeldFolder>, 26> driveRoots_;
  mutable std::size_t openFolders_ = 0;
  mutable std::map<FileIdentity, DirectoryIndex> directoryIndexes_;
  mutable std::shared_ptr<LastLookup> lastLookup_;  // made once and reused
};

}  // namespace kestrix::posix

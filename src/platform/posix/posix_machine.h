// A Windows machine made of directory trees: each drive letter maps to a
// directory with a drive type and a first-extent length, and Windows paths
// are resolved into those directories the way Windows would find them
// (either separator, any letter case, ".." never above the drive root).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_files.h"

namespace kestrix::posix {

struct FileIdentityHash {
  std::size_t operator()(const FileIdentity& identity) const {
    return std::hash<std::uint64_t>()(identity.index * 0x9E3779B97F4A7C15ULL ^ identity.volume);
  }
};

struct MappedDrive {
  DriveType type = DriveType::kNoRootDir;
  std::int64_t extentLength = 0;
  std::filesystem::path directory;
  std::string label{};
};

// Drive letters 'A' to 'Z'; an unmapped letter has no root directory.
class DriveMap {
 public:
  void Map(char letter, MappedDrive drive);
  const MappedDrive* Find(char letter) const;

 private:
  std::array<std::optional<MappedDrive>, 26> drives_;
};

// Parses "L=TYPE[@N][#LABEL]:DIR" (TYPE one of removable, fixed, remote,
// cdrom, ramdisk, unknown; N the first extent's length in bytes, positive
// when omitted; LABEL the volume's label, none when omitted). nullopt with
// a message in `error` when malformed.
std::optional<std::pair<char, MappedDrive>> ParseDriveMapping(std::string_view mapping, std::string& error);

class PosixMachine final : public Files, public Volumes, public CaseFolding {
 public:
  // `codePage` is the ANSI code page text files are decoded from (1252, 936,
  // 950, ...) unless they are UTF-8. Windows paths default as on a stock
  // machine: C:\WINDOWS and its TEMP folder.
  PosixMachine(DriveMap drives, int codePage);

  void SetWindowsDirectory(std::string directory);
  void SetTempDirectory(std::string directory);

  // Lets the engine read one file off the drives by its host path, exactly
  // as written: the rule database, whose path the user gives. It is never
  // written, removed or given other attributes or permissions (a restore of
  // a record naming that path is refused).
  void AllowHostFile(std::string path);

  // Where a Windows path lies on this machine: below the mapped directory of
  // its drive. A rooted or relative path lies on the drive of the current
  // directory, when that is on a drive. Components are matched without
  // regard to case, an exact-case name winning. nullopt for a path on no
  // mapped drive and for one that would leave its drive through a link.
  std::optional<std::filesystem::path> Resolve(std::string_view windowsPath) const;

  // The Windows path of a file on this machine: below the mapped directory
  // of a drive, with that drive's letter ("E:\sub\x.exe", spelled as on
  // disk); nullopt when no drive holds it. Of nested drive directories the
  // deepest wins.
  std::optional<std::string> ToWindowsPath(const std::filesystem::path& native) const;

  // Files
  bool FileExists(std::string_view path) override;
  bool ResetAttributes(std::string_view path) override;
  bool ReadTextLines(std::string_view path, const TextLineSink& onLine, std::string& reason) override;
  std::int32_t QueryFileSize(std::string_view path) override;
  bool RemoveFile(std::string_view path) override;
  std::string FullPathName(std::string_view path) override;
  std::optional<FileIdentity> IdentifyFile(std::string_view path) override;
  std::unique_ptr<ByteReader> OpenForReading(std::string_view path, std::string& reason) override;
  std::optional<std::uint32_t> OriginalAttributes(std::string_view path) override;
  std::optional<std::uint32_t> CurrentAttributes(std::string_view path) override;
  bool SetAttributes(std::string_view path, std::uint32_t attributes) override;
  bool WriteNewFile(std::string_view path, ByteReader& source, bool replace, std::string& reason) override;
  bool RemoveFolder(std::string_view path) override;
  std::vector<FolderEntry> ListFolder(std::string_view folder) override;
  // Shortcuts are read from their bytes; their ANSI text is in the code page.
  std::optional<ShellLink> ReadShortcut(std::string_view path) override;
  // The mode's 07777 bits of a file or folder, never through a link.
  std::optional<std::uint32_t> Permissions(std::string_view path) override;
  // Sets them on a file (not a link, nor a file with other names, which may
  // lie off the drive).
  bool SetPermissions(std::string_view path, std::uint32_t bits) override;

  // Volumes
  std::string WindowsDirectory() override;
  std::string TempDirectory() override;
  DriveType QueryDriveType(std::string_view root) override;
  DiskExtent GetFirstDiskExtent(char letter) override;
  std::optional<std::string> VolumeIdentity(char letter) override;
  std::string VolumeLabel(char letter) override;

  // CaseFolding
  char32_t ToLower(char32_t c) const override;

 private:
  // A folder held open, and its identity, which an O_PATH descriptor keeps.
  struct HeldFolder {
    FileDescriptor fd;
    FileIdentity identity;
    int Get() const { return fd.Get(); }
  };
  // A folder just opened; null when it could not be.
  static std::shared_ptr<const HeldFolder> Hold(FileDescriptor fd);
  struct Located;
  bool IsHostFile(std::string_view path) const;
  std::optional<Located> Locate(std::string_view windowsPath, bool followFinalLink) const;
  std::optional<Located> LocateAnew(std::string_view windowsPath, bool followFinalLink) const;
  struct LastLookup;
  void ForgetLastLookup() const;
  static constexpr long long kLastLookupNanoseconds = 50'000'000;
  // The current directory as a Windows path, when it lies on a drive and
  // `forPath` needs it.
  std::optional<std::string> CurrentWindowsDirectory(std::string_view forPath) const;
  struct OpenedFile;
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
    std::string name;               // as spelled on disk
    unsigned char type;             // DT_REG, DT_DIR, ... or DT_UNKNOWN
    DirectoryIndex* index;          // the folder's index, until the next lookup
    std::optional<struct stat> status;  // the entry's own, when it was looked at
  };
  // The drive's folder, opened once.
  std::shared_ptr<const HeldFolder> DriveRoot(char letter, const MappedDrive& drive) const;
  std::shared_ptr<const HeldFolder> OpenFolder(int parent, const Entry& entry) const;
  static constexpr std::size_t kMaxOpenFolders = 256;
  std::optional<Entry> FindEntry(const HeldFolder& folder, const std::string& name, bool last) const;
  std::optional<DirectoryIndex> ReadDirectory(int directory) const;
  std::optional<OpenedFile> OpenRegularFile(std::string_view path) const;
  // A folder below a drive root, never through a link at its end.
  std::optional<OpenedFile> OpenFolderEntry(std::string_view path) const;
  // Whether the file lies on FAT, which keeps attribute bits of its own;
  // told once per file system.
  bool OnFat(const OpenedFile& opened) const;
  bool OnFatDevice(dev_t device, int fd) const;
  // The attribute bits of an entry of `folder`: read-only from the owner's
  // write permission (files only); hidden and system from FAT, or from the
  // user.DOSATTRIB attribute where Wine and Samba keep them elsewhere.
  std::uint32_t EntryAttributes(int folder, const std::string& name, const struct stat& info) const;
  std::uint32_t AttributesOf(const OpenedFile& opened) const;
  // Sets the attribute bits, remembering the file's first ones.
  bool ApplyAttributes(const OpenedFile& opened, std::uint32_t attributes);

  DriveMap drives_;
  int codePage_;
  std::string windowsDirectory_ = "C:\\WINDOWS";
  std::optional<std::string> tempDirectory_;
  std::vector<std::string> hostFiles_;
  std::unordered_map<FileIdentity, std::uint32_t, FileIdentityHash>
      originalAttributes_;  // before the first reset
  mutable std::array<std::shared_ptr<const HeldFolder>, 26> driveRoots_;
  mutable std::size_t openFolders_ = 0;
  mutable std::map<dev_t, bool> fatDevices_;
  mutable std::map<FileIdentity, DirectoryIndex> directoryIndexes_;
  mutable std::shared_ptr<LastLookup> lastLookup_;  // made once and reused
};

}  // namespace kestrix::posix

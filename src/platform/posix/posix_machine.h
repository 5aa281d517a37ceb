// A Windows machine made of directory trees: each drive letter maps to a
// directory with a drive type and a first-extent length, and Windows paths
// are resolved into those directories the way Windows would find them
// (either separator, any letter case, ".." never above the drive root).
// The face over the drive map, the lookup and the DOS attributes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/dos_attributes.h"
#include "platform/posix/drive_lookup.h"
#include "platform/posix/drive_map.h"

namespace kestrix::posix {

class PosixMachine final : public Files, public Volumes, public CaseFolding {
 public:
  // `codePage` is the ANSI code page text files are decoded from (1252, 936,
  // 950, ...) unless they are UTF-8. Windows paths default as on a stock
  // machine: C:\WINDOWS and its TEMP folder.
  PosixMachine(DriveMap drives, int codePage);
  // The lookup and the attributes keep references into the machine.
  PosixMachine(const PosixMachine&) = delete;
  PosixMachine& operator=(const PosixMachine&) = delete;

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
  // Sets the attribute bits of a file or folder found on a drive.
  bool ApplyAttributes(const DriveLookup::OpenedFile& opened, std::uint32_t attributes);

  const DriveMap drives_;
  int codePage_;
  std::string windowsDirectory_ = "C:\\WINDOWS";
  std::optional<std::string> tempDirectory_;
  FatDevices fatDevices_;
  DriveLookup lookup_{drives_, *this, fatDevices_};
  DosAttributes attributes_{fatDevices_};
};

}  // namespace kestrix::posix

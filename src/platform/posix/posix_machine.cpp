#include "platform/posix/posix_machine.h"

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "platform/common/case_text.h"
#include "platform/common/shell_link.h"
#include "platform/common/text_file.h"
#include "platform/common/windows_path.h"
#include "platform/posix/ansi_decoder.h"
#include "platform/posix/posix_files.h"

namespace kestrix::posix {

namespace fs = std::filesystem;

namespace {

// Drive roots are written "E:\", though "E:" and "E:/" name them as well;
// the drive map knows no letter but A to Z.
std::optional<char> RootLetter(std::string_view root) {
  if (root.size() < 2 || root.size() > 3 || root[1] != ':') return std::nullopt;
  if (root.size() == 3 && root[2] != '\\' && root[2] != '/') return std::nullopt;
  return AsciiUpper(root[0]);
}

bool IsExistingDirectory(const fs::path& directory) {
  std::error_code error;
  return fs::is_directory(directory, error);
}

// Windows refuses to delete the file of a running program, which is what
// makes ending the processes worth asking about; Linux would unlink it and
// leave the worm running, so the file is refused here too.
bool IsRunningExecutable(const struct stat& file) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  bool running = false;
  while (const dirent* entry = ::readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    struct stat executable {};
    const std::string link = std::string("/proc/") + entry->d_name + "/exe";
    if (::stat(link.c_str(), &executable) == 0 && executable.st_dev == file.st_dev &&
        executable.st_ino == file.st_ino) {
      running = true;
      break;
    }
  }
  ::closedir(proc);
  return running;
}

// Folding is Unicode's simple lower-case mapping, close to Windows' own table;
// the C.UTF-8 locale carries it whatever the user's locale is.
locale_t Utf8Locale() {
  static const locale_t locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

// Reads ANSI bytes in `codePage`, for the shortcuts and text files of every drive.
AnsiDecoder CodePageDecoder(int codePage) {
  return [codePage](std::string_view ansi) { return DecodeAnsi(ansi, codePage); };
}

}  // namespace

PosixMachine::PosixMachine(DriveMap drives, int codePage) : drives_(std::move(drives)), codePage_(codePage) {}

void PosixMachine::SetWindowsDirectory(std::string directory) { windowsDirectory_ = std::move(directory); }

void PosixMachine::SetTempDirectory(std::string directory) { tempDirectory_ = std::move(directory); }

void PosixMachine::AllowHostFile(std::string path) { lookup_.AllowHostFile(std::move(path)); }

std::optional<fs::path> PosixMachine::Resolve(std::string_view windowsPath) const {
  return lookup_.Resolve(windowsPath);
}

std::optional<std::string> PosixMachine::ToWindowsPath(const fs::path& native) const {
  return lookup_.ToWindowsPath(native);
}

bool PosixMachine::FileExists(std::string_view path) {
  const auto located = lookup_.Locate(path, true);
  if (!located || !located->found) return false;
  if (located->regularFile) return true;
  const auto& status = located->Status();
  return status && S_ISREG(status->st_mode);
}

bool PosixMachine::ApplyAttributes(const DriveLookup::OpenedFile& opened, std::uint32_t attributes) {
  const DriveLookup::ChangeGuard changing(lookup_);  // the mode changes
  return attributes_.Apply(opened.Entry(), attributes);
}

bool PosixMachine::ResetAttributes(std::string_view path) {
  // The host's own file (the rule database) is only read: its owner's
  // permissions stand, and a file of another owner would refuse anyway.
  if (lookup_.IsHostFile(path)) return FileExists(path);
  // Most files a sweep finds have nothing to reset: writable, and on a file
  // system without FAT's bits. One look at them tells, without opening them.
  const auto located = lookup_.Locate(path, true);
  if (!located || !located->found) return false;
  const auto& status = located->Status();
  if (!status || !S_ISREG(status->st_mode)) return false;
  if (attributes_.NothingToReset(located->Folder(), located->name, *status)) return true;
  const auto opened = lookup_.OpenRegularFile(path);
  return opened && ApplyAttributes(*opened, 0);
}

bool PosixMachine::SetAttributes(std::string_view path, std::uint32_t attributes) {
  if (lookup_.IsHostFile(path)) return false;
  auto opened = lookup_.OpenRegularFile(path);
  // A file with other names may share its mode and attributes with a file
  // off the drive; setting them would change that file too, so they stay.
  if (opened && opened->info.st_nlink > 1) return false;
  if (!opened) opened = lookup_.OpenFolderEntry(path);
  return opened && ApplyAttributes(*opened, attributes);
}

bool PosixMachine::RemoveFolder(std::string_view path) {
  if (lookup_.IsHostFile(path)) return false;
  const DriveLookup::ChangeGuard changing(lookup_);
  const auto folder = lookup_.OpenFolderEntry(path);
  return folder && ::unlinkat(folder->located.Folder(), folder->located.name.c_str(), AT_REMOVEDIR) == 0;
}

std::optional<std::uint32_t> PosixMachine::OriginalAttributes(std::string_view path) {
  const auto opened = lookup_.OpenRegularFile(path);
  if (!opened) return std::nullopt;
  return attributes_.Original(opened->Entry());
}

std::optional<std::uint32_t> PosixMachine::CurrentAttributes(std::string_view path) {
  const auto located = lookup_.Locate(path, false);
  if (!located || !located->found || located->name == ".") return std::nullopt;
  const auto& status = located->Status();
  if (!status || (!S_ISREG(status->st_mode) && !S_ISDIR(status->st_mode))) return std::nullopt;
  return attributes_.Read(located->Folder(), located->name, *status);
}

std::unique_ptr<ByteReader> PosixMachine::OpenForReading(std::string_view path, std::string& reason) {
  const auto located = lookup_.Locate(path, true);
  if (!located || !located->found) {
    reason = ErrorText(ENOENT);
    return nullptr;
  }
  // Non-blocking, so that a FIFO planted under a file's name cannot hang us.
  FileDescriptor fd(::openat(located->Folder(), located->name.c_str(),
                             O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY));
  struct stat info {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &info) != 0) {
    reason = ErrorText(errno);
    return nullptr;
  }
  if (!S_ISREG(info.st_mode)) {
    reason = S_ISDIR(info.st_mode) ? ErrorText(EISDIR) : "Not a regular file";
    return nullptr;
  }
  return std::make_unique<DescriptorReader>(std::move(fd));
}

bool PosixMachine::WriteNewFile(std::string_view path, ByteReader& source, bool replace, std::string& reason) {
  if (lookup_.IsHostFile(path)) {
    reason = ErrorText(EACCES);
    return false;
  }
  // The file may be there now, replaced.
  const DriveLookup::ChangeGuard changing(lookup_);
  auto located = lookup_.Locate(path, false);
  if (!located || located->name == ".") {
    reason = ErrorText(ENOENT);
    return false;
  }
  // Folders missing above the file are made, one at a time, in the folder held.
  std::vector<std::string> names{located->name};
  for (std::size_t start = 0; !located->missingBelow.empty() && start <= located->missingBelow.size();) {
    const std::size_t end = std::min(located->missingBelow.find('/', start), located->missingBelow.size());
    names.push_back(located->missingBelow.substr(start, end - start));
    start = end + 1;
  }
  FileDescriptor folder = FileDescriptor::Borrowed(located->Folder());  // kept open by `located`
  for (std::size_t i = 0; i + 1 < names.size(); ++i) {
    if (::mkdirat(folder.Get(), names[i].c_str(), 0755) != 0 && errno != EEXIST) {
      reason = ErrorText(errno);
      return false;
    }
    FileDescriptor next(::openat(folder.Get(), names[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (next.Get() < 0) {
      reason = ErrorText(errno);
      return false;
    }
    folder = std::move(next);
  }
  const std::string& name = names.back();
  struct stat existing {};
  if (::fstatat(folder.Get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
      (S_ISDIR(existing.st_mode) || !replace)) {
    reason = ErrorText(S_ISDIR(existing.st_mode) ? EISDIR : EEXIST);
    return false;
  }
  return WriteThenRename(folder.Get(), name, source, replace, reason);
}

std::vector<FolderEntry> PosixMachine::ListFolder(std::string_view folder) {
  const auto located = lookup_.Locate(folder, true);
  if (!located || !located->found) return {};
  const int listingFd =
      ::openat(located->Folder(), located->name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listingFd < 0) return {};
  DIR* listing = ::fdopendir(listingFd);
  if (listing == nullptr) {
    ::close(listingFd);
    return {};
  }
  std::vector<FolderEntry> entries;
  while (const dirent* entry = ::readdir(listing)) {
    std::string name = entry->d_name;
    // A Windows path cannot name an entry whose name holds a backslash.
    if (name == "." || name == ".." || name.find('\\') != std::string::npos) continue;
    // Only a folder is looked at: files' attributes are not listed.
    struct stat info {};
    if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) {
      entries.push_back({std::move(name), false, 0});
    } else if (::fstatat(listingFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
      const bool isFolder = S_ISDIR(info.st_mode);
      const std::uint32_t attributes = isFolder ? attributes_.Read(listingFd, name, info) : 0;
      entries.push_back({std::move(name), isFolder, attributes});
    }
  }
  ::closedir(listing);
  return entries;
}

std::optional<std::uint32_t> PosixMachine::Permissions(std::string_view path) {
  const auto located = lookup_.Locate(path, false);
  if (!located || !located->found) return std::nullopt;
  const auto& status = located->Status();
  if (!status || (!S_ISREG(status->st_mode) && !S_ISDIR(status->st_mode))) return std::nullopt;
  return status->st_mode & 07777;
}

bool PosixMachine::SetPermissions(std::string_view path, std::uint32_t bits) {
  if (lookup_.IsHostFile(path)) return false;
  const DriveLookup::ChangeGuard changing(lookup_);  // the mode changes
  const auto located = lookup_.Locate(path, false);
  if (!located || !located->found || located->name == ".") return false;
  const FileDescriptor file(
      ::openat(located->Folder(), located->name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (file.Get() < 0 || ::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink > 1) {
    return false;
  }
  // An O_PATH descriptor takes no fchmod; its /proc name is the file itself.
  return ::chmod(DescriptorPath(file.Get()).c_str(), static_cast<mode_t>(bits & 07777)) == 0;
}

std::optional<ShellLink> PosixMachine::ReadShortcut(std::string_view path) {
  std::string reason;
  const auto reader = OpenForReading(path, reason);
  return reader ? ReadShellLink(*reader, CodePageDecoder(codePage_)) : std::nullopt;
}

bool PosixMachine::ReadTextLines(std::string_view path, const TextLineSink& onLine, std::string& reason) {
  const auto reader = OpenForReading(path, reason);
  return reader && kestrix::ReadTextLines(*reader, CodePageDecoder(codePage_), onLine, reason);
}

std::int32_t PosixMachine::QueryFileSize(std::string_view path) {
  const auto located = lookup_.Locate(path, true);
  if (!located || !located->found || !located->Status()) return -1;
  const struct stat& info = *located->Status();
  if (S_ISDIR(info.st_mode)) return 0;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(info.st_size));
}

bool PosixMachine::RemoveFile(std::string_view path) {
  if (lookup_.IsHostFile(path)) return false;
  const DriveLookup::ChangeGuard changing(lookup_);  // what it finds is gone after
  const auto located = lookup_.Locate(path, false);
  if (!located || !located->found || located->name == ".") return false;
  struct stat info {};
  if (::fstatat(located->Folder(), located->name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISLNK(info.st_mode)) {
    // Windows deletes a link, never what it points to; only a link to a
    // file on its own drive counts as a file.
    if (!FileExists(path)) return false;
  } else if (!S_ISREG(info.st_mode) || IsRunningExecutable(info)) {
    return false;
  }
  return ::unlinkat(located->Folder(), located->name.c_str(), 0) == 0;
}

std::string PosixMachine::FullPathName(std::string_view path) {
  const auto current = lookup_.CurrentWindowsDirectory(path);
  return NormalizePathSpelling(path, current ? *current : std::string());
}

std::optional<FileIdentity> PosixMachine::IdentifyFile(std::string_view path) {
  const auto located = lookup_.Locate(path, true);
  struct stat info {};
  if (!located || !located->found ||
      ::fstatat(located->Folder(), located->name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::nullopt;
  }
  return IdentityOf(info);
}

std::string PosixMachine::WindowsDirectory() {
  // "C:/WINDOWS/" is C:\WINDOWS, and every path built on it must say so.
  std::string directory = NormalizePathSpelling(windowsDirectory_);
  while (directory.ends_with('\\')) directory.pop_back();
  return directory;
}

std::string PosixMachine::TempDirectory() {
  std::string directory = tempDirectory_ ? *tempDirectory_ : WindowsDirectory() + "\\TEMP\\";
  if (!directory.ends_with('\\')) directory += '\\';
  return directory;
}

DriveType PosixMachine::QueryDriveType(std::string_view root) {
  const auto letter = RootLetter(root);
  const MappedDrive* drive = letter ? drives_.Find(*letter) : nullptr;
  if (drive == nullptr || !IsExistingDirectory(drive->directory)) return DriveType::kNoRootDir;
  return drive->type;
}

DiskExtent PosixMachine::GetFirstDiskExtent(char letter) {
  const MappedDrive* drive = drives_.Find(letter);
  if (drive == nullptr || drive->type == DriveType::kNoRootDir || !IsExistingDirectory(drive->directory)) {
    return {};
  }
  return {.DiskNumber = 0, .StartingOffset = 0, .ExtentLength = drive->extentLength};
}

std::optional<std::string> PosixMachine::VolumeIdentity(char letter) {
  const MappedDrive* drive = drives_.Find(letter);
  struct stat info {};
  if (drive == nullptr || drive->type == DriveType::kNoRootDir ||
      ::stat(drive->directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return std::nullopt;
  }
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

std::string PosixMachine::VolumeLabel(char letter) {
  const MappedDrive* drive = drives_.Find(letter);
  return drive == nullptr ? std::string() : drive->label;
}

char32_t PosixMachine::ToLower(char32_t c) const {
  const locale_t locale = Utf8Locale();
  if (locale == static_cast<locale_t>(nullptr) || c > 0x10FFFF) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
  }
  return static_cast<char32_t>(::towlower_l(static_cast<wint_t>(c), locale));
}

}  // namespace kestrix::posix
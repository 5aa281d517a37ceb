#include "platform/posix/posix_machine.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/msdos_fs.h>
#include <locale.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/common/case_text.h"
#include "platform/common/text_file.h"
#include "platform/posix/ansi_decoder.h"

namespace kestrix::posix {

namespace fs = std::filesystem;

namespace {

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string ErrorText(int error) { return std::generic_category().message(error); }

struct DriveTypeName {
  std::string_view name;
  DriveType type;
};

constexpr std::array<DriveTypeName, 6> kDriveTypeNames = {{
    {"removable", DriveType::kRemovable},
    {"fixed", DriveType::kFixed},
    {"remote", DriveType::kRemote},
    {"cdrom", DriveType::kCdRom},
    {"ramdisk", DriveType::kRamDisk},
    {"unknown", DriveType::kUnknown},
}};

bool EqualAsciiNoCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return AsciiUpper(x) == AsciiUpper(y); });
}

// A file descriptor closed when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

// The components of a Windows path below its root, with "." and ".." applied
// the way Windows applies them: by text alone, never climbing above the root.
// Windows also ignores trailing dots and blanks of a name ("x.exe. " is
// "x.exe"), so a worm cannot hide a file behind them.
std::vector<std::string> NormalizedComponents(std::string_view rest, std::vector<std::string> components) {
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = rest.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = rest.size();
    std::string_view name = rest.substr(start, end - start);
    start = end + 1;
    if (name == "..") {
      if (!components.empty()) components.pop_back();
      continue;
    }
    if (name != ".") {
      while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.remove_suffix(1);
    }
    if (name.empty() || name == ".") continue;
    components.emplace_back(name);
  }
  return components;
}

// True when `inner` is `outer` or lies below it; both canonical.
bool IsWithin(const fs::path& inner, const fs::path& outer) {
  return std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end()).first == outer.end();
}

// Drive roots are written "E:\", though "E:" and "E:/" name them as well.
std::optional<char> RootLetter(std::string_view root) {
  if (root.size() < 2 || root.size() > 3 || !IsAsciiLetter(root[0]) || root[1] != ':') return std::nullopt;
  if (root.size() == 3 && root[2] != '\\' && root[2] != '/') return std::nullopt;
  return AsciiUpper(root[0]);
}

bool IsExistingDirectory(const fs::path& directory) {
  std::error_code error;
  return fs::is_directory(directory, error);
}

// FAT keeps read-only, hidden, system and archive as attribute bits that only
// the vfat driver's ioctls reach; chmod would change read-only alone.
bool ClearFatAttributes(const fs::path& file) {
  const FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) return false;
  __u32 attributes = 0;
  if (::ioctl(fd.Get(), FAT_IOCTL_GET_ATTRIBUTES, &attributes) != 0) return false;
  const __u32 cleared = attributes & ~static_cast<__u32>(ATTR_RO | ATTR_HIDDEN | ATTR_SYS | ATTR_ARCH);
  if (cleared == attributes) return true;
  return ::ioctl(fd.Get(), FAT_IOCTL_SET_ATTRIBUTES, &cleared) == 0;
}

// The entry of `directory` that Windows would take for `name`: the name as
// written if it exists, else one that differs only in letter case. Of several
// such, the smallest in byte order, so that the choice never depends on the
// order the file system lists them in.
std::optional<std::string> FindEntry(const CaseFolding& folding, const fs::path& directory,
                                     const std::string& name) {
  struct stat info {};
  if (::lstat((directory / name).c_str(), &info) == 0) return name;

  DIR* listing = ::opendir(directory.c_str());
  if (listing == nullptr) return std::nullopt;
  const std::string wanted = LowerText(folding, name);
  std::optional<std::string> best;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view candidate = entry->d_name;
    if (candidate == "." || candidate == "..") continue;
    if (best && candidate >= *best) continue;
    if (LowerText(folding, candidate) == wanted) best = std::string(candidate);
  }
  ::closedir(listing);
  return best;
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

}  // namespace

void DriveMap::Map(char letter, MappedDrive drive) {
  if (!IsAsciiLetter(letter)) throw std::invalid_argument("not a drive letter: " + std::string(1, letter));
  drives_[AsciiUpper(letter) - 'A'] = std::move(drive);
}

const MappedDrive* DriveMap::Find(char letter) const {
  if (!IsAsciiLetter(letter)) return nullptr;
  const auto& drive = drives_[AsciiUpper(letter) - 'A'];
  return drive ? &*drive : nullptr;
}

std::optional<std::pair<char, MappedDrive>> ParseDriveMapping(std::string_view mapping, std::string& error) {
  const auto fail = [&](std::string_view message) {
    error = "drive \"" + std::string(mapping) + "\": " + std::string(message);
    return std::nullopt;
  };
  if (mapping.size() < 2 || mapping[1] != '=')
    return fail("expected L=TYPE[@N]:DIR, e.g. E=removable:/mnt/stick");
  if (!IsAsciiLetter(mapping[0])) return fail("the drive letter must be A to Z");
  const std::string_view rest = mapping.substr(2);
  const std::size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return fail("expected ':' and a directory after the drive type");
  const std::string_view head = rest.substr(0, colon);
  const std::string_view directory = rest.substr(colon + 1);

  const std::size_t at = head.find('@');
  const std::string_view typeName = head.substr(0, at);
  const auto known =
      std::find_if(kDriveTypeNames.begin(), kDriveTypeNames.end(),
                   [&](const DriveTypeName& entry) { return EqualAsciiNoCase(entry.name, typeName); });
  if (known == kDriveTypeNames.end()) {
    return fail("unknown drive type \"" + std::string(typeName) +
                "\" (removable, fixed, remote, cdrom, ramdisk or unknown)");
  }

  MappedDrive drive{.type = known->type, .extentLength = 1, .directory = {}};
  if (at != std::string_view::npos) {
    const std::string_view digits = head.substr(at + 1);
    const bool allDigits = !digits.empty() && std::all_of(digits.begin(), digits.end(),
                                                          [](char c) { return c >= '0' && c <= '9'; });
    const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), drive.extentLength);
    if (!allDigits || parsed.ec != std::errc()) {
      return fail("the extent length after '@' must be a whole number of bytes, not \"" +
                  std::string(digits) + "\"");
    }
  }
  if (directory.empty()) return fail("no directory after ':'");
  drive.directory = fs::path(std::string(directory));
  return std::pair{AsciiUpper(mapping[0]), std::move(drive)};
}

PosixMachine::PosixMachine(DriveMap drives, int codePage) : drives_(std::move(drives)), codePage_(codePage) {}

void PosixMachine::SetWindowsDirectory(std::string directory) { windowsDirectory_ = std::move(directory); }

void PosixMachine::SetTempDirectory(std::string directory) { tempDirectory_ = std::move(directory); }

std::optional<fs::path> PosixMachine::Resolve(std::string_view windowsPath) const {
  // A NUL would silently cut the path short in every system call.
  if (windowsPath.find('\0') != std::string_view::npos) return std::nullopt;

  const MappedDrive* drive = nullptr;
  fs::path root = "/";
  std::vector<std::string> start;
  std::string_view rest = windowsPath;
  if (rest.size() >= 2 && rest[1] == ':' && IsAsciiLetter(rest[0])) {
    drive = drives_.Find(rest[0]);
    if (drive == nullptr) return std::nullopt;
    root = drive->directory;
    rest.remove_prefix(2);
  } else if (!rest.starts_with('/')) {
    // Relative to the current directory, from which ".." may climb as it
    // may on Windows.
    std::error_code error;
    const fs::path current = fs::current_path(error);
    if (error) return std::nullopt;
    for (const fs::path& part : current.relative_path()) start.push_back(part.string());
  }

  fs::path resolved = root;
  bool present = true;
  for (const std::string& name : NormalizedComponents(rest, std::move(start))) {
    if (present) {
      if (auto onDisk = FindEntry(*this, resolved, name)) {
        resolved /= *onDisk;
        continue;
      }
      present = false;  // nothing below a missing name can exist either
    }
    resolved /= name;
  }

  if (drive != nullptr) {
    std::error_code error;
    const fs::path canonicalRoot = fs::canonical(drive->directory, error);
    if (error) return resolved;  // no drive directory, so nothing to escape through
    const fs::path canonical = fs::weakly_canonical(resolved, error);
    if (error || !IsWithin(canonical, canonicalRoot)) return std::nullopt;
  }
  return resolved;
}

std::optional<std::string> PosixMachine::ToWindowsPath(const fs::path& native) const {
  std::error_code error;
  const fs::path absolute = fs::absolute(native, error);
  if (error) return std::nullopt;
  const fs::path file = fs::weakly_canonical(absolute, error);
  if (error) return std::nullopt;

  std::optional<char> bestLetter;
  fs::path bestRoot;
  std::size_t bestDepth = 0;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    const MappedDrive* drive = drives_.Find(letter);
    if (drive == nullptr) continue;
    const fs::path root = fs::canonical(drive->directory, error);
    if (error || !fs::is_directory(root, error) || !IsWithin(file, root)) continue;
    const auto depth = static_cast<std::size_t>(std::distance(root.begin(), root.end()));
    if (!bestLetter || depth > bestDepth) {
      bestLetter = letter;
      bestRoot = root;
      bestDepth = depth;
    }
  }
  if (!bestLetter) return std::nullopt;

  std::string windowsPath{*bestLetter, ':', '\\'};
  bool first = true;
  for (const fs::path& part : file.lexically_relative(bestRoot)) {
    const std::string name = part.string();
    if (name.empty() || name == ".") continue;
    // A Windows path cannot name this file: the backslash would split it into
    // two components and so name a different one.
    if (name.find('\\') != std::string::npos) return std::nullopt;
    if (!first) windowsPath += '\\';
    windowsPath += name;
    first = false;
  }
  return windowsPath;
}

bool PosixMachine::FileExists(std::string_view path) {
  const auto resolved = Resolve(path);
  struct stat info {};
  return resolved && ::stat(resolved->c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool PosixMachine::ResetAttributes(std::string_view path) {
  const auto resolved = Resolve(path);
  if (!resolved) return false;
  struct stat info {};
  if (::stat(resolved->c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;

  struct statfs fileSystem {};
  if (::statfs(resolved->c_str(), &fileSystem) == 0 &&
      fileSystem.f_type == static_cast<decltype(fileSystem.f_type)>(MSDOS_SUPER_MAGIC)) {
    return ClearFatAttributes(*resolved);
  }
  // Elsewhere read-only is the owner's write permission; hidden, system and
  // archive have no counterpart.
  if ((info.st_mode & S_IWUSR) != 0) return true;
  return ::chmod(resolved->c_str(), (info.st_mode & 07777) | S_IWUSR) == 0;
}

std::optional<std::vector<std::string>> PosixMachine::ReadTextLines(std::string_view path,
                                                                    std::string& reason) {
  const auto resolved = Resolve(path);
  if (!resolved) {
    reason = ErrorText(ENOENT);
    return std::nullopt;
  }
  // Non-blocking, so that a FIFO planted under a file's name cannot hang us.
  const FileDescriptor fd(::open(resolved->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.Get() < 0) {
    reason = ErrorText(errno);
    return std::nullopt;
  }
  struct stat info {};
  if (::fstat(fd.Get(), &info) != 0) {
    reason = ErrorText(errno);
    return std::nullopt;
  }
  if (S_ISDIR(info.st_mode)) {
    reason = ErrorText(EISDIR);
    return std::nullopt;
  }
  if (!S_ISREG(info.st_mode)) {
    reason = "Not a regular file";
    return std::nullopt;
  }

  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(info.st_size));
  std::array<char, 65536> chunk;
  for (;;) {
    const ssize_t got = ::read(fd.Get(), chunk.data(), chunk.size());
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      reason = ErrorText(errno);
      return std::nullopt;
    }
    bytes.append(chunk.data(), static_cast<std::size_t>(got));
  }
  const int codePage = codePage_;
  return TextFileLines(bytes, [codePage](std::string_view ansi) { return DecodeAnsi(ansi, codePage); });
}

std::int32_t PosixMachine::QueryFileSize(std::string_view path) {
  const auto resolved = Resolve(path);
  struct stat info {};
  if (!resolved || ::stat(resolved->c_str(), &info) != 0) return -1;
  if (S_ISDIR(info.st_mode)) return 0;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(info.st_size));
}

bool PosixMachine::RemoveFile(std::string_view path) {
  const auto resolved = Resolve(path);
  if (!resolved) return false;
  struct stat info {};
  if (::lstat(resolved->c_str(), &info) != 0) return false;
  if (S_ISLNK(info.st_mode)) {
    // Windows deletes a link, never what it points to; Resolve has already
    // refused a link that leaves the drive.
    struct stat target {};
    if (::stat(resolved->c_str(), &target) != 0 || !S_ISREG(target.st_mode)) return false;
  } else if (!S_ISREG(info.st_mode)) {
    return false;
  }
  if (!S_ISLNK(info.st_mode) && IsRunningExecutable(info)) return false;
  return ::unlink(resolved->c_str()) == 0;
}

std::string PosixMachine::WindowsDirectory() {
  std::string directory = windowsDirectory_;
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

char32_t PosixMachine::ToLower(char32_t c) const {
  const locale_t locale = Utf8Locale();
  if (locale == static_cast<locale_t>(nullptr) || c > 0x10FFFF) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
  }
  return static_cast<char32_t>(::towlower_l(static_cast<wint_t>(c), locale));
}

}  // namespace kestrix::posix

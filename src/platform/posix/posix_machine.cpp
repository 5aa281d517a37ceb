#include "platform/posix/posix_machine.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/msdos_fs.h>
#include <locale.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>
#include <wctype.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstddef>
#include <iterator>
#include <span>
#include <stdexcept>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/common/case_text.h"
#include "platform/common/shell_link.h"
#include "platform/common/text_file.h"
#include "platform/common/windows_path.h"
#include "platform/posix/ansi_decoder.h"
#include "platform/posix/posix_files.h"

namespace kestrix::posix {

namespace fs = std::filesystem;

namespace {

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }


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

// The file an O_PATH descriptor holds, for the calls that take no descriptor
// of that kind; /proc hands out exactly the opened file, never a name.
std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Where an absolute host path lies below a drive's folder, as written or
// canonical: the rest of it, relative; nullopt when it lies elsewhere.
std::optional<std::string> BelowDrive(const MappedDrive& drive, const std::string& hostPath) {
  const fs::path target = fs::path(hostPath).lexically_normal();
  std::error_code error;
  for (const fs::path& root : {drive.directory.lexically_normal(), fs::canonical(drive.directory, error)}) {
    if (root.empty() || !root.is_absolute()) continue;
    const fs::path rest = target.lexically_relative(root);
    if (!rest.empty() && *rest.begin() != "..") return rest.string();
  }
  return std::nullopt;
}

// Symbolic links followed in one lookup before it gives up, as Linux does.
constexpr int kMaxLinks = 40;

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
  const std::size_t hash = rest.substr(0, colon).find('#');
  const std::string_view head = rest.substr(0, std::min(colon, hash));
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
  if (hash != std::string_view::npos) drive.label = rest.substr(hash + 1, colon - hash - 1);
  if (directory.empty()) return fail("no directory after ':'");
  drive.directory = fs::path(std::string(directory));
  return std::pair{AsciiUpper(mapping[0]), std::move(drive)};
}

PosixMachine::PosixMachine(DriveMap drives, int codePage) : drives_(std::move(drives)), codePage_(codePage) {}

void PosixMachine::SetWindowsDirectory(std::string directory) { windowsDirectory_ = std::move(directory); }

void PosixMachine::SetTempDirectory(std::string directory) { tempDirectory_ = std::move(directory); }

// A name found on a drive: the folder that holds it, opened, and the name
// as spelled on disk. Everything done to the name goes through the folder,
// so a folder swapped for a link meanwhile cannot send the act elsewhere.
struct PosixMachine::Located {
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
  const std::optional<struct stat>& Status() const {
    if (!status) status = std::make_shared<std::optional<struct stat>>();
    if (!*status) {
      struct stat info {};
      if (::fstatat(Folder(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) *status = info;
    }
    return *status;
  }
};

struct PosixMachine::LastLookup {
  bool valid = false;
  std::string path;
  bool followFinalLink = false;
  long long when = 0;  // CLOCK_MONOTONIC_COARSE, in nanoseconds
  Located located;
};

// Shared by the copies the last lookup hands out.
std::shared_ptr<const PosixMachine::HeldFolder> PosixMachine::Hold(FileDescriptor fd) {
  struct stat info {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &info) != 0) return nullptr;
  const FileIdentity identity{static_cast<std::uint64_t>(info.st_dev),
                              static_cast<std::uint64_t>(info.st_ino)};
  return std::make_shared<const HeldFolder>(HeldFolder{std::move(fd), identity});
}

void PosixMachine::AllowHostFile(std::string path) { hostFiles_.push_back(std::move(path)); }

bool PosixMachine::IsHostFile(std::string_view path) const {
  return std::ranges::find(hostFiles_, path) != hostFiles_.end();
}

std::optional<std::string> PosixMachine::CurrentWindowsDirectory(std::string_view forPath) const {
  // A full drive path needs none; asking costs a look at every drive.
  if (forPath.size() >= 3 && forPath[1] == ':' && (forPath[2] == '\\' || forPath[2] == '/')) return std::nullopt;
  std::error_code error;
  const fs::path current = fs::current_path(error);
  if (error) return std::nullopt;
  return ToWindowsPath(current);
}

// Walks the path a name at a time from the drive's folder, holding each
// folder open and never following a link out of the drive: a link's target
// is walked the same way, and one that is absolute or climbs above the
// drive's folder leads off the drive. The drive's own folder is a host path
// and is used as written.
// A sweep asks about one path several times in a row (does it exist,
// reset its marks, its size): the last lookup answers again for a moment.
// Its folder stays held, so what is done still goes through it.
std::optional<PosixMachine::Located> PosixMachine::Locate(std::string_view windowsPath, bool followFinalLink) const {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  const long long nowNanoseconds = now.tv_sec * 1'000'000'000LL + now.tv_nsec;
  if (lastLookup_ && lastLookup_->valid && lastLookup_->followFinalLink == followFinalLink &&
      lastLookup_->path == windowsPath && nowNanoseconds - lastLookup_->when < kLastLookupNanoseconds) {
    return lastLookup_->located;
  }
  auto located = LocateAnew(windowsPath, followFinalLink);
  // Only a found file is asked about again: its attributes, its identity.
  if (located && located->found) {
    if (!located->status) located->status = std::make_shared<std::optional<struct stat>>();
    if (!lastLookup_) lastLookup_ = std::make_shared<LastLookup>();
    lastLookup_->path.assign(windowsPath);
    lastLookup_->followFinalLink = followFinalLink;
    lastLookup_->when = nowNanoseconds;
    lastLookup_->located = *located;
    lastLookup_->valid = true;
  } else if (lastLookup_) {
    lastLookup_->valid = false;
  }
  return located;
}

void PosixMachine::ForgetLastLookup() const {
  if (!lastLookup_) return;
  lastLookup_->valid = false;
  lastLookup_->located = {};  // nor holds its folder open
}

std::optional<PosixMachine::Located> PosixMachine::LocateAnew(std::string_view windowsPath,
                                                              bool followFinalLink) const {
  if (IsHostFile(windowsPath)) {
    std::error_code error;
    const fs::path file = fs::canonical(fs::path(std::string(windowsPath)), error);
    if (error) return std::nullopt;
    auto folder = Hold(FileDescriptor(::open(file.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)));
    if (!folder) return std::nullopt;
    return Located{std::move(folder), file.filename().string(), true, {}};
  }

  const auto current = CurrentWindowsDirectory(windowsPath);
  auto full = ParseDrivePath(windowsPath, current ? *current : std::string());
  if (!full) return std::nullopt;
  const MappedDrive* drive = drives_.Find(full->drive);
  if (drive == nullptr) return std::nullopt;

  std::vector<std::shared_ptr<const HeldFolder>> folders;
  auto root = DriveRoot(full->drive, *drive);
  if (!root) return std::nullopt;
  folders.push_back(std::move(root));
  // The names still to walk, the next one last.
  std::vector<std::string> pending = std::move(full->names);
  std::ranges::reverse(pending);
  int links = 0;
  while (!pending.empty()) {
    std::string name = std::move(pending.back());
    pending.pop_back();
    // Only a link's target brings these; the Windows path has none left.
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (folders.size() == 1) return std::nullopt;
      folders.pop_back();
      continue;
    }
    const int folder = folders.back()->Get();
    const bool last = pending.empty();
    const auto entry = FindEntry(*folders.back(), name, last);
    const auto missing = [&]() -> std::optional<Located> {
      // Nothing lies below a missing folder, not even by climbing out of it.
      if (std::ranges::find(pending, "..") != pending.end()) return std::nullopt;
      std::string below;
      for (auto rest = pending.rbegin(); rest != pending.rend(); ++rest) {
        below.append(below.empty() ? "" : "/").append(*rest);
      }
      return Located{folders.back(), name, false, std::move(below)};
    };
    if (!entry) return missing();
    const std::string& onDisk = entry->name;
    // Most lookups end at a file already looked at, or one the index knows.
    if (last && entry->type == DT_REG) {
      Located found{folders.back(), onDisk, true, {}, true};
      if (entry->status) found.status = std::make_shared<std::optional<struct stat>>(entry->status);
      return found;
    }
    // A folder the index knows as one needs no look either: it is no link.
    struct stat info {};
    if (entry->status) {
      info = *entry->status;
    } else if (entry->type == DT_DIR) {
      info.st_mode = S_IFDIR;
    } else if (::fstatat(folder, onDisk.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      return missing();
    }
    if (S_ISLNK(info.st_mode) && (!last || followFinalLink)) {
      std::string target(PATH_MAX, '\0');
      const ssize_t length = ::readlinkat(folder, onDisk.c_str(), target.data(), target.size());
      if (length <= 0 || static_cast<std::size_t>(length) >= target.size() || ++links > kMaxLinks) {
        return std::nullopt;
      }
      target.resize(static_cast<std::size_t>(length));
      if (target[0] == '/') {
        // An absolute link counts only where it leads into this drive's
        // folder; it is then walked from the drive's root.
        const auto below = BelowDrive(*drive, target);
        if (!below) return std::nullopt;
        folders.resize(1);
        target = *below;
      }
      std::vector<std::string> names;
      for (std::size_t start = 0; start <= target.size();) {
        const std::size_t end = std::min(target.find('/', start), target.size());
        names.push_back(target.substr(start, end - start));
        start = end + 1;
      }
      pending.insert(pending.end(), names.rbegin(), names.rend());
      continue;
    }
    if (last) return Located{folders.back(), onDisk, true, {}};
    auto next = OpenFolder(folder, *entry);
    if (!next) return missing();  // a file where a folder should be, or swapped meanwhile
    folders.push_back(std::move(next));
  }
  return Located{folders.back(), ".", true, {}};
}

std::optional<fs::path> PosixMachine::Resolve(std::string_view windowsPath) const {
  const auto located = Locate(windowsPath, true);
  if (!located) return std::nullopt;
  std::error_code error;
  fs::path resolved = fs::read_symlink(DescriptorPath(located->Folder()), error);
  if (error) return std::nullopt;
  if (located->name != ".") resolved /= located->name;
  if (!located->missingBelow.empty()) resolved /= located->missingBelow;
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
  const auto located = Locate(path, true);
  if (!located || !located->found) return false;
  if (located->regularFile) return true;
  const auto& status = located->Status();
  return status && S_ISREG(status->st_mode);
}

std::shared_ptr<const PosixMachine::HeldFolder> PosixMachine::DriveRoot(char letter,
                                                                        const MappedDrive& drive) const {
  auto& root = driveRoots_[static_cast<std::size_t>(letter - 'A')];
  if (!root) root = Hold(FileDescriptor(::open(drive.directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)));
  return root;
}

// A folder below another, kept open while the other's index holds: a folder
// swapped for a link, renamed away or replaced changes the other's time of
// change, and so drops the index and what it kept.
std::shared_ptr<const PosixMachine::HeldFolder> PosixMachine::OpenFolder(int parent,
                                                                         const Entry& entry) const {
  if (entry.index != nullptr) {
    if (const auto kept = entry.index->folders.find(entry.name); kept != entry.index->folders.end()) return kept->second;
  }
  auto folder = Hold(
      FileDescriptor(::openat(parent, entry.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)));
  if (folder && entry.index != nullptr && openFolders_ < kMaxOpenFolders) {
    entry.index->folders.emplace(entry.name, folder);
    ++openFolders_;
  }
  return folder;
}

namespace {

bool operator==(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// A change within this long before a reading may have come after it in the
// same tick of the file system's clock, unseen. FAT keeps times to two seconds.
constexpr long long kClockTickNanoseconds = 50'000'000;
constexpr long long kFatClockTickNanoseconds = 2'000'000'000;

bool Racy(const timespec& changed, const timespec& read, long long tick) {
  const long long gap = (static_cast<long long>(read.tv_sec) - changed.tv_sec) * 1'000'000'000LL +
                        (read.tv_nsec - changed.tv_nsec);
  return gap < tick;
}

// Indexes kept at most, to bound memory on a stick that names folders without end.
constexpr std::size_t kMaxDirectoryIndexes = 4096;

unsigned char EntryType(const struct stat& info) {
  return S_ISREG(info.st_mode) ? DT_REG : S_ISDIR(info.st_mode) ? DT_DIR : DT_UNKNOWN;
}

}  // namespace

// The entry of `folder` that Windows would take for `name`: the name as
// written if it exists, else one that differs only in letter case.
std::optional<PosixMachine::Entry> PosixMachine::FindEntry(const HeldFolder& folder, const std::string& name,
                                                           bool last) const {
  const int directory = folder.Get();
  auto cached = directoryIndexes_.find(folder.identity);
  const std::string folded = LowerText(*this, name);
  // The last name, when the index has it as written, is looked at directly:
  // a look its caller needs anyway, and one that is right however old the
  // index is. (A folder on the way is taken from the index, which has to be
  // current for that.)
  if (last && cached != directoryIndexes_.end()) {
    const DirectoryIndex::Spelling* known = cached->second.Find(name, folded);
    struct stat info {};
    if (known != nullptr && known->name == name &&
        ::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
      return Entry{name, EntryType(info), &cached->second, info};
  }
  struct stat current {};
  if (::fstat(directory, &current) != 0) return std::nullopt;
  // A name added in the tick an index was read may be missing from it, so
  // such an index is read again before it answers.
  if (cached == directoryIndexes_.end() || !(cached->second.changed == current.st_mtim) || cached->second.racy) {
    // The name as written needs no index; a folder that keeps changing (as
    // one does while its files are deleted) is then not read again each time.
    struct stat info {};
    if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
      return Entry{name, EntryType(info), nullptr, info};
    if (directoryIndexes_.size() >= kMaxDirectoryIndexes) {
      directoryIndexes_.clear();
      openFolders_ = 0;
      cached = directoryIndexes_.end();
    }
    if (cached != directoryIndexes_.end()) openFolders_ -= cached->second.folders.size();
    auto index = ReadDirectory(directory);
    if (!index) return std::nullopt;
    index->changed = current.st_mtim;
    index->racy = Racy(index->changed, index->read,
                       OnFatDevice(current.st_dev, directory) ? kFatClockTickNanoseconds : kClockTickNanoseconds);
    cached = directoryIndexes_.insert_or_assign(folder.identity, std::move(*index)).first;
  }
  DirectoryIndex* index = &cached->second;
  const DirectoryIndex::Spelling* found = index->Find(name, folded);
  if (found == nullptr) return std::nullopt;
  return Entry{found->name, found->type, index, std::nullopt};
}

std::optional<PosixMachine::DirectoryIndex> PosixMachine::ReadDirectory(int directory) const {
  const int listingFd = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listingFd < 0) return std::nullopt;
  DIR* listing = ::fdopendir(listingFd);
  if (listing == nullptr) {
    ::close(listingFd);
    return std::nullopt;
  }
  DirectoryIndex index;
  ::clock_gettime(CLOCK_REALTIME, &index.read);
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    auto [slot, added] = index.folded.try_emplace(
        LowerText(*this, name), DirectoryIndex::Spelling{std::string(name), entry->d_type, false});
    if (added) continue;
    DirectoryIndex::Spelling& spelling = slot->second;
    spelling.several = true;
    index.crowded.try_emplace(spelling.name, spelling);
    index.crowded.try_emplace(std::string(name),
                              DirectoryIndex::Spelling{std::string(name), entry->d_type, true});
    if (name < spelling.name) spelling = {std::string(name), entry->d_type, true};
  }
  ::closedir(listing);
  return index;
}

const PosixMachine::DirectoryIndex::Spelling* PosixMachine::DirectoryIndex::Find(
    const std::string& name, const std::string& foldedName) const {
  const auto found = folded.find(foldedName);
  if (found == folded.end()) return nullptr;
  if (found->second.several && found->second.name != name) {
    if (const auto written = crowded.find(name); written != crowded.end()) return &written->second;
  }
  return &found->second;
}

// A regular file found on a drive, held open by an O_PATH descriptor.
struct PosixMachine::OpenedFile {
  Located located;
  FileDescriptor file;
  struct stat info {};
};

std::optional<PosixMachine::OpenedFile> PosixMachine::OpenRegularFile(std::string_view path) const {
  auto located = Locate(path, true);
  if (!located || !located->found) return std::nullopt;
  FileDescriptor file(::openat(located->Folder(), located->name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (file.Get() < 0 || ::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return OpenedFile{std::move(*located), std::move(file), info};
}

std::optional<PosixMachine::OpenedFile> PosixMachine::OpenFolderEntry(std::string_view path) const {
  auto located = Locate(path, false);
  if (!located || !located->found || located->name == ".") return std::nullopt;
  FileDescriptor folder(
      ::openat(located->Folder(), located->name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (folder.Get() < 0 || ::fstat(folder.Get(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
  return OpenedFile{std::move(*located), std::move(folder), info};
}

namespace {

bool IsFatFileSystem(int fd) {
  struct statfs fileSystem {};
  return ::fstatfs(fd, &fileSystem) == 0 &&
         fileSystem.f_type == static_cast<decltype(fileSystem.f_type)>(MSDOS_SUPER_MAGIC);
}

constexpr std::uint32_t kAttributeBits = kAttributeReadOnly | kAttributeHidden | kAttributeSystem | kAttributeArchive;

}  // namespace

// FAT keeps the attribute bits, which only the vfat driver's ioctls reach,
// on a descriptor opened for reading that must be the file itself.
template <typename Act>
static bool WithFatDescriptor(int folder, const std::string& name, const struct stat& info, Act act) {
  const FileDescriptor readable(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat opened {};
  return readable.Get() >= 0 && ::fstat(readable.Get(), &opened) == 0 && opened.st_dev == info.st_dev &&
         opened.st_ino == info.st_ino && act(readable.Get());
}

bool PosixMachine::OnFatDevice(dev_t device, int fd) const {
  const auto [known, added] = fatDevices_.try_emplace(device, false);
  if (added) known->second = IsFatFileSystem(fd);
  return known->second;
}

bool PosixMachine::OnFat(const OpenedFile& opened) const {
  return OnFatDevice(opened.info.st_dev, opened.file.Get());
}

namespace {

// Wine and Samba keep the DOS attributes of files on file systems without
// them in this extended attribute, as text ("0x22"; Samba adds binary after
// a NUL). Wine keeps only hidden and system there, and so does this machine.
constexpr const char* kDosAttributeName = "user.DOSATTRIB";
constexpr std::uint32_t kDosAttributeBits = kAttributeHidden | kAttributeSystem;

// An entry of a held folder by a path the l*xattr calls take: the folder
// through /proc, then the name itself, never followed.
std::string EntryPath(int folder, const std::string& name) { return DescriptorPath(folder) + "/" + name; }

// getxattrat (Linux 6.13), newer than the C library's headers here; -1
// where its number is not known.
#ifdef SYS_getxattrat
constexpr long kGetXattrAt = SYS_getxattrat;
#elif (defined(__x86_64__) && !defined(__ILP32__)) || defined(__i386__) || defined(__aarch64__) || \
    defined(__arm__) || defined(__riscv)
constexpr long kGetXattrAt = 464;
#else
constexpr long kGetXattrAt = -1;
#endif

// The extended attribute of an entry of a held folder, into `value`: its
// length, or -1 with errno. Linux 6.13 reads it relative to the folder;
// older kernels (and sandboxes that refuse the call) through EntryPath,
// a slower walk through /proc.
ssize_t GetEntryAttribute(int folder, const std::string& name, const char* attribute, std::span<char> value) {
  static std::atomic<bool> relativeRefused{false};
  if (kGetXattrAt >= 0 && !relativeRefused.load(std::memory_order_relaxed)) {
    struct {
      std::uint64_t value;
      std::uint32_t size;
      std::uint32_t flags;
    } arguments{reinterpret_cast<std::uintptr_t>(value.data()), static_cast<std::uint32_t>(value.size()), 0};
    const long length = ::syscall(kGetXattrAt, folder, name.c_str(), AT_SYMLINK_NOFOLLOW, attribute,
                                  &arguments, sizeof(arguments));
    if (length >= 0 || (errno != ENOSYS && errno != EPERM)) return length;
    relativeRefused.store(true, std::memory_order_relaxed);
  }
  return ::lgetxattr(EntryPath(folder, name).c_str(), attribute, value.data(), value.size());
}

// The bits the attribute holds; nullopt when there is none that reads as such.
std::optional<std::uint32_t> ReadDosAttribute(int folder, const std::string& name) {
  std::array<char, 256> value{};
  const ssize_t length = GetEntryAttribute(folder, name, kDosAttributeName, value);
  if (length <= 0) return std::nullopt;
  std::string_view text(value.data(), static_cast<std::size_t>(length));
  text = text.substr(0, text.find('\0'));
  if (!text.starts_with("0x") && !text.starts_with("0X")) return std::nullopt;
  std::uint32_t bits = 0;
  const auto parsed = std::from_chars(text.data() + 2, text.data() + text.size(), bits, 16);
  if (parsed.ec != std::errc()) return std::nullopt;
  return bits;
}

// Sets hidden and system in the attribute as given, keeping the bits it
// holds besides; an attribute left with no bits is removed. A file system
// without user attributes keeps none of them, and that is no failure.
bool WriteDosAttribute(int folder, const std::string& name, std::uint32_t attributes) {
  const auto stored = ReadDosAttribute(folder, name);
  const std::string path = EntryPath(folder, name);
  const std::uint32_t wanted = (stored.value_or(0) & ~kDosAttributeBits) | (attributes & kDosAttributeBits);
  if (wanted == stored.value_or(0)) return true;
  if (wanted == 0) return ::lremovexattr(path.c_str(), kDosAttributeName) == 0 || errno == ENODATA;
  std::array<char, 16> text{};
  const int length = std::snprintf(text.data(), text.size(), "0x%x", static_cast<unsigned>(wanted));
  if (::lsetxattr(path.c_str(), kDosAttributeName, text.data(), static_cast<std::size_t>(length), 0) == 0)
    return true;
  return errno == ENOTSUP && (attributes & kDosAttributeBits) == 0;
}

}  // namespace

std::uint32_t PosixMachine::EntryAttributes(int folder, const std::string& name,
                                            const struct stat& info) const {
  std::uint32_t attributes = !S_ISDIR(info.st_mode) && (info.st_mode & S_IWUSR) == 0 ? kAttributeReadOnly : 0;
  if (OnFatDevice(info.st_dev, folder)) {
    WithFatDescriptor(folder, name, info, [&](int fd) {
      __u32 fat = 0;
      if (::ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &fat) != 0) return false;
      attributes = fat & kAttributeBits;  // FAT numbers them as Windows does
      return true;
    });
    return attributes;
  }
  return attributes | (ReadDosAttribute(folder, name).value_or(0) & kDosAttributeBits);
}

std::uint32_t PosixMachine::AttributesOf(const OpenedFile& opened) const {
  return EntryAttributes(opened.located.Folder(), opened.located.name, opened.info);
}

bool PosixMachine::ApplyAttributes(const OpenedFile& opened, std::uint32_t attributes) {
  ForgetLastLookup();  // the mode changes
  const FileIdentity identity{static_cast<std::uint64_t>(opened.info.st_dev),
                              static_cast<std::uint64_t>(opened.info.st_ino)};
  if (!originalAttributes_.contains(identity)) originalAttributes_.emplace(identity, AttributesOf(opened));
  if (OnFat(opened)) {
    return WithFatDescriptor(opened.located.Folder(), opened.located.name, opened.info, [&](int fd) {
      __u32 fat = 0;
      if (::ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &fat) != 0) return false;
      const __u32 wanted = (fat & ~static_cast<__u32>(kAttributeBits)) | (attributes & kAttributeBits);
      return wanted == fat || ::ioctl(fd, FAT_IOCTL_SET_ATTRIBUTES, &wanted) == 0;
    });
  }
  // Elsewhere read-only is the owner's write permission; hidden and system
  // live in the DOS attribute, which only a writable file lets its owner
  // change. A folder's read-only mark keeps nothing out of it on Windows,
  // unlike a folder's write permission here, so a folder keeps its mode.
  const int folder = opened.located.Folder();
  const std::string& name = opened.located.name;
  if (S_ISDIR(opened.info.st_mode)) return WriteDosAttribute(folder, name, attributes);
  // A file with other names may be a hard link to a file off the drive,
  // whose mode is not ours to change; it can still be deleted, since that
  // depends on the folder alone. (SetAttributes refuses such a file.)
  if (opened.info.st_nlink > 1) return true;
  const std::string file = DescriptorPath(opened.file.Get());
  const mode_t mode = opened.info.st_mode & 07777;
  const mode_t wanted = (attributes & kAttributeReadOnly) != 0 ? mode & ~static_cast<mode_t>(0222) : mode | S_IWUSR;
  const bool needsWrite = (mode & S_IWUSR) == 0 && (ReadDosAttribute(folder, name).value_or(0) &
                                                    kDosAttributeBits) != (attributes & kDosAttributeBits);
  if (needsWrite && ::chmod(file.c_str(), mode | S_IWUSR) != 0) return false;
  const bool written = WriteDosAttribute(folder, name, attributes);
  if (wanted == mode && !needsWrite) return written;
  return ::chmod(file.c_str(), wanted) == 0 && written;
}

bool PosixMachine::ResetAttributes(std::string_view path) {
  // The host's own file (the rule database) is only read: its owner's
  // permissions stand, and a file of another owner would refuse anyway.
  if (IsHostFile(path)) return FileExists(path);
  // Most files a sweep finds have nothing to reset: writable, and on a file
  // system without FAT's bits. One look at them tells, without opening them.
  const auto located = Locate(path, true);
  if (!located || !located->found) return false;
  const auto& status = located->Status();
  if (!status || !S_ISREG(status->st_mode)) return false;
  const struct stat& info = *status;
  const auto fat = fatDevices_.find(info.st_dev);
  if ((info.st_mode & S_IWUSR) != 0 && fat != fatDevices_.end() && !fat->second &&
      !ReadDosAttribute(located->Folder(), located->name)) {
    originalAttributes_.try_emplace({static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)},
                                    0);
    return true;
  }
  const auto opened = OpenRegularFile(path);
  return opened && ApplyAttributes(*opened, 0);
}

bool PosixMachine::SetAttributes(std::string_view path, std::uint32_t attributes) {
  if (IsHostFile(path)) return false;
  auto opened = OpenRegularFile(path);
  // A file with other names may share its mode and attributes with a file
  // off the drive; setting them would change that file too, so they stay.
  if (opened && opened->info.st_nlink > 1) return false;
  if (!opened) opened = OpenFolderEntry(path);
  return opened && ApplyAttributes(*opened, attributes);
}

bool PosixMachine::RemoveFolder(std::string_view path) {
  if (IsHostFile(path)) return false;
  ForgetLastLookup();
  const auto folder = OpenFolderEntry(path);
  const bool removed =
      folder && ::unlinkat(folder->located.Folder(), folder->located.name.c_str(), AT_REMOVEDIR) == 0;
  ForgetLastLookup();
  return removed;
}

std::optional<std::uint32_t> PosixMachine::OriginalAttributes(std::string_view path) {
  const auto opened = OpenRegularFile(path);
  if (!opened) return std::nullopt;
  const auto original = originalAttributes_.find(
      {static_cast<std::uint64_t>(opened->info.st_dev), static_cast<std::uint64_t>(opened->info.st_ino)});
  return original != originalAttributes_.end() ? original->second : AttributesOf(*opened);
}

std::optional<std::uint32_t> PosixMachine::CurrentAttributes(std::string_view path) {
  const auto located = Locate(path, false);
  if (!located || !located->found || located->name == ".") return std::nullopt;
  const auto& status = located->Status();
  if (!status || (!S_ISREG(status->st_mode) && !S_ISDIR(status->st_mode))) return std::nullopt;
  return EntryAttributes(located->Folder(), located->name, *status);
}

std::unique_ptr<ByteReader> PosixMachine::OpenForReading(std::string_view path, std::string& reason) {
  const auto located = Locate(path, true);
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
  if (IsHostFile(path)) {
    reason = ErrorText(EACCES);
    return false;
  }
  ForgetLastLookup();
  auto located = Locate(path, false);
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
  const bool written = WriteThenRename(folder.Get(), name, source, replace, reason);
  ForgetLastLookup();  // it may have found the file now replaced
  return written;
}

std::vector<FolderEntry> PosixMachine::ListFolder(std::string_view folder) {
  const auto located = Locate(folder, true);
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
      const std::uint32_t attributes = isFolder ? EntryAttributes(listingFd, name, info) : 0;
      entries.push_back({std::move(name), isFolder, attributes});
    }
  }
  ::closedir(listing);
  return entries;
}

std::optional<std::uint32_t> PosixMachine::Permissions(std::string_view path) {
  const auto located = Locate(path, false);
  if (!located || !located->found) return std::nullopt;
  const auto& status = located->Status();
  if (!status || (!S_ISREG(status->st_mode) && !S_ISDIR(status->st_mode))) return std::nullopt;
  return status->st_mode & 07777;
}

bool PosixMachine::SetPermissions(std::string_view path, std::uint32_t bits) {
  if (IsHostFile(path)) return false;
  ForgetLastLookup();  // the mode changes
  const auto located = Locate(path, false);
  if (!located || !located->found || located->name == ".") return false;
  const FileDescriptor file(
      ::openat(located->Folder(), located->name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (file.Get() < 0 || ::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink > 1) {
    return false;
  }
  // An O_PATH descriptor takes no fchmod; its /proc name is the file itself.
  const bool set = ::chmod(DescriptorPath(file.Get()).c_str(), static_cast<mode_t>(bits & 07777)) == 0;
  ForgetLastLookup();
  return set;
}

std::optional<ShellLink> PosixMachine::ReadShortcut(std::string_view path) {
  std::string reason;
  const auto reader = OpenForReading(path, reason);
  const int codePage = codePage_;
  return reader ? ReadShellLink(*reader,
                                [codePage](std::string_view ansi) { return DecodeAnsi(ansi, codePage); })
                : std::nullopt;
}

bool PosixMachine::ReadTextLines(std::string_view path, const TextLineSink& onLine, std::string& reason) {
  const auto reader = OpenForReading(path, reason);
  const int codePage = codePage_;
  return reader && kestrix::ReadTextLines(
                       *reader, [codePage](std::string_view ansi) { return DecodeAnsi(ansi, codePage); }, onLine,
                       reason);
}

std::int32_t PosixMachine::QueryFileSize(std::string_view path) {
  const auto located = Locate(path, true);
  if (!located || !located->found || !located->Status()) return -1;
  const struct stat& info = *located->Status();
  if (S_ISDIR(info.st_mode)) return 0;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(info.st_size));
}

bool PosixMachine::RemoveFile(std::string_view path) {
  if (IsHostFile(path)) return false;
  ForgetLastLookup();
  const auto located = Locate(path, false);
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
  const bool removed = ::unlinkat(located->Folder(), located->name.c_str(), 0) == 0;
  ForgetLastLookup();  // it found what is gone now
  return removed;
}

std::string PosixMachine::FullPathName(std::string_view path) {
  const auto current = CurrentWindowsDirectory(path);
  return NormalizePathSpelling(path, current ? *current : std::string());
}

std::optional<FileIdentity> PosixMachine::IdentifyFile(std::string_view path) {
  const auto located = Locate(path, true);
  struct stat info {};
  if (!located || !located->found ||
      ::fstatat(located->Folder(), located->name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::nullopt;
  }
  return FileIdentity{.volume = static_cast<std::uint64_t>(info.st_dev),
                      .index = static_cast<std::uint64_t>(info.st_ino)};
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

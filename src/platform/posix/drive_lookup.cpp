#include "platform/posix/drive_lookup.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>
#include <utility>

#include "platform/common/case_text.h"
#include "platform/common/windows_path.h"

namespace kestrix::posix {

namespace fs = std::filesystem;

namespace {

// Symbolic links followed in one lookup before it gives up, as Linux does.
constexpr int kMaxLinks = 40;

bool operator==(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

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

DriveLookup::DriveLookup(const DriveMap& drives, const CaseFolding& folding, FatDevices& fat)
    : drives_(drives), folding_(folding), fat_(fat) {}

const std::optional<struct stat>& DriveLookup::Located::Status() const {
  if (!status) status = std::make_shared<std::optional<struct stat>>();
  if (!*status) {
    struct stat info {};
    if (::fstatat(Folder(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) *status = info;
  }
  return *status;
}

struct DriveLookup::LastLookup {
  bool valid = false;
  std::string path;
  bool followFinalLink = false;
  long long when = 0;  // CLOCK_MONOTONIC_COARSE, in nanoseconds
  Located located;
};

// Shared by the copies the last lookup hands out.
std::shared_ptr<const DriveLookup::HeldFolder> DriveLookup::Hold(FileDescriptor fd) {
  struct stat info {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &info) != 0) return nullptr;
  return std::make_shared<const HeldFolder>(HeldFolder{std::move(fd), IdentityOf(info)});
}

void DriveLookup::AllowHostFile(std::string path) { hostFiles_.push_back(std::move(path)); }

bool DriveLookup::IsHostFile(std::string_view path) const {
  return std::ranges::find(hostFiles_, path) != hostFiles_.end();
}

std::optional<std::string> DriveLookup::CurrentWindowsDirectory(std::string_view forPath) const {
  // A full drive path needs none; asking costs a look at every drive.
  if (forPath.size() >= 3 && forPath[1] == ':' && (forPath[2] == '\\' || forPath[2] == '/'))
    return std::nullopt;
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
std::optional<DriveLookup::Located> DriveLookup::Locate(std::string_view windowsPath,
                                                        bool followFinalLink) const {
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

void DriveLookup::ForgetLastLookup() {
  if (!lastLookup_) return;
  lastLookup_->valid = false;
  lastLookup_->located = {};  // nor holds its folder open
}

std::optional<DriveLookup::Located> DriveLookup::LocateAnew(std::string_view windowsPath,
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

std::optional<fs::path> DriveLookup::Resolve(std::string_view windowsPath) const {
  const auto located = Locate(windowsPath, true);
  if (!located) return std::nullopt;
  std::error_code error;
  fs::path resolved = fs::read_symlink(DescriptorPath(located->Folder()), error);
  if (error) return std::nullopt;
  if (located->name != ".") resolved /= located->name;
  if (!located->missingBelow.empty()) resolved /= located->missingBelow;
  return resolved;
}

std::optional<std::string> DriveLookup::ToWindowsPath(const fs::path& native) const {
  std::error_code error;
  const fs::path absolute = fs::absolute(native, error);
  if (error) return std::nullopt;
  const fs::path file = fs::weakly_canonical(absolute, error);
  if (error) return std::nullopt;
  const auto drive = drives_.DriveHolding(file);
  if (!drive) return std::nullopt;

  std::string windowsPath{drive->letter, ':', '\\'};
  bool first = true;
  for (const fs::path& part : file.lexically_relative(drive->root)) {
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

std::shared_ptr<const DriveLookup::HeldFolder> DriveLookup::DriveRoot(char letter,
                                                                      const MappedDrive& drive) const {
  auto& root = driveRoots_[static_cast<std::size_t>(letter - 'A')];
  if (!root) root = Hold(FileDescriptor(::open(drive.directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)));
  return root;
}

// A folder below another, kept open while the other's index holds: a folder
// swapped for a link, renamed away or replaced changes the other's time of
// change, and so drops the index and what it kept.
std::shared_ptr<const DriveLookup::HeldFolder> DriveLookup::OpenFolder(int parent, const Entry& entry) const {
  if (entry.index != nullptr) {
    if (const auto kept = entry.index->folders.find(entry.name); kept != entry.index->folders.end())
      return kept->second;
  }
  auto folder = Hold(
      FileDescriptor(::openat(parent, entry.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)));
  if (folder && entry.index != nullptr && openFolders_ < kMaxOpenFolders) {
    entry.index->folders.emplace(entry.name, folder);
    ++openFolders_;
  }
  return folder;
}

// The entry of `folder` that Windows would take for `name`: the name as
// written if it exists, else one that differs only in letter case.
std::optional<DriveLookup::Entry> DriveLookup::FindEntry(const HeldFolder& folder, const std::string& name,
                                                         bool last) const {
  const int directory = folder.Get();
  auto cached = directoryIndexes_.find(folder.identity);
  const std::string folded = LowerText(folding_, name);
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
  if (cached == directoryIndexes_.end() || !(cached->second.changed == current.st_mtim) ||
      cached->second.racy) {
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
    index->racy =
        Racy(index->changed, index->read,
             fat_.IsFat(current.st_dev, directory) ? kFatClockTickNanoseconds : kClockTickNanoseconds);
    cached = directoryIndexes_.insert_or_assign(folder.identity, std::move(*index)).first;
  }
  DirectoryIndex* index = &cached->second;
  const DirectoryIndex::Spelling* found = index->Find(name, folded);
  if (found == nullptr) return std::nullopt;
  return Entry{found->name, found->type, index, std::nullopt};
}

std::optional<DriveLookup::DirectoryIndex> DriveLookup::ReadDirectory(int directory) const {
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
        LowerText(folding_, name), DirectoryIndex::Spelling{std::string(name), entry->d_type, false});
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

const DriveLookup::DirectoryIndex::Spelling* DriveLookup::DirectoryIndex::Find(
    const std::string& name, const std::string& foldedName) const {
  const auto found = folded.find(foldedName);
  if (found == folded.end()) return nullptr;
  if (found->second.several && found->second.name != name) {
    if (const auto written = crowded.find(name); written != crowded.end()) return &written->second;
  }
  return &found->second;
}

std::optional<DriveLookup::OpenedFile> DriveLookup::OpenRegularFile(std::string_view path) const {
  auto located = Locate(path, true);
  if (!located || !located->found) return std::nullopt;
  FileDescriptor file(::openat(located->Folder(), located->name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (file.Get() < 0 || ::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return OpenedFile{std::move(*located), std::move(file), info};
}

std::optional<DriveLookup::OpenedFile> DriveLookup::OpenFolderEntry(std::string_view path) const {
  auto located = Locate(path, false);
  if (!located || !located->found || located->name == ".") return std::nullopt;
  FileDescriptor folder(
      ::openat(located->Folder(), located->name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (folder.Get() < 0 || ::fstat(folder.Get(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
  return OpenedFile{std::move(*located), std::move(folder), info};
}

}  // namespace kestrix::posix

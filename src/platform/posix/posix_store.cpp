#include "platform/posix/posix_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/posix/posix_files.h"

namespace kestrix::posix {

namespace {

// Names are plain: a separator or a dot name would leave the folder. The
// lock file is no file of the store.
bool IsStoreName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name != kStoreLockName &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

// How often a busy lock is tried again.
constexpr std::chrono::milliseconds kLockPoll{50};

class OpenSslSha256 final : public Sha256 {
 public:
  OpenSslSha256() : context_(::EVP_MD_CTX_new()) { ::EVP_DigestInit_ex(context_.get(), ::EVP_sha256(), nullptr); }
  void Update(std::string_view bytes) override { ::EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()); }
  std::string HexDigest() override {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    ::EVP_DigestFinal_ex(context_.get(), digest.data(), &length);
    constexpr std::string_view kHex = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) text.append({kHex[digest[i] >> 4], kHex[digest[i] & 0xF]});
    return text;
  }

 private:
  struct Free {
    void operator()(EVP_MD_CTX* context) const { ::EVP_MD_CTX_free(context); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> context_;
};

}  // namespace

std::optional<int> PosixStoreFolder::OpenFolder(bool create, std::string& reason, bool* missing) const {
  static const uid_t user = ::geteuid();
  const auto now = std::chrono::steady_clock::now();
  if (held_.Get() >= 0 && now - checked_ < std::chrono::seconds(1)) return held_.Get();
  struct stat info {};
  struct stat named {};
  // Still ours, closed to others, and still the folder its path names.
  if (held_.Get() >= 0 && ::fstat(held_.Get(), &info) == 0 && info.st_uid == user &&
      (info.st_mode & 07777) == 0700 && ::lstat(folder_.c_str(), &named) == 0 &&
      named.st_dev == info.st_dev && named.st_ino == info.st_ino) {
    checked_ = now;
    return held_.Get();
  }
  held_ = FileDescriptor(-1);
  const std::string quoted = "\"" + folder_.string() + "\"";
  if (create) {
    std::error_code error;
    std::filesystem::create_directories(folder_.parent_path(), error);
    // Made closed to others; an existing folder is checked below like any.
    ::mkdir(folder_.c_str(), 0700);
  }
  FileDescriptor folder(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (folder.Get() < 0) {
    const int error = errno;
    if (missing != nullptr) *missing = error == ENOENT;
    reason = error == ELOOP || error == ENOTDIR
                 ? "the quarantine folder " + quoted + " is a symbolic link or no folder, so it is not used"
                 : "the quarantine folder " + quoted + " cannot be opened: " + ErrorText(error);
    return std::nullopt;
  }
  if (::fstat(folder.Get(), &info) != 0) {
    reason = "the quarantine folder " + quoted + " cannot be examined: " + ErrorText(errno);
    return std::nullopt;
  }
  // Someone else's folder could hold files planted for us to restore, or
  // be emptied under us; its files are not ours to touch.
  if (info.st_uid != user) {
    reason = "the quarantine folder " + quoted + " belongs to another user, so it is not used";
    return std::nullopt;
  }
  // The list of what was deleted, and why, is this user's own business;
  // a folder is closed only on the way to a change, never by a listing.
  const bool closed = (info.st_mode & 07777) == 0700;
  if (!closed && create && ::fchmod(folder.Get(), 0700) != 0) {
    reason = "the quarantine folder " + quoted + " cannot be closed to other users: " + ErrorText(errno);
    return std::nullopt;
  }
  if (!closed && !create) {
    // Used for this call only: a later change still closes it.
    unheld_ = std::move(folder);
    return unheld_.Get();
  }
  held_ = std::move(folder);
  checked_ = now;
  return held_.Get();
}

namespace {

// The mark is 8 bytes at the start of the lock file, lowest byte first.
class PosixStoreLock final : public StoreLock {
 public:
  explicit PosixStoreLock(FileDescriptor file) : file_(std::move(file)) {}

  std::uint64_t Mark() override {
    std::array<unsigned char, 8> bytes{};
    if (::pread(file_.Get(), bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) return 0;
    std::uint64_t mark = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) mark = (mark << 8) | bytes[i];
    return mark;
  }
  bool SetMark(std::uint64_t mark) override {
    std::array<unsigned char, 8> bytes{};
    for (unsigned char& byte : bytes) {
      byte = static_cast<unsigned char>(mark & 0xFF);
      mark >>= 8;
    }
    return ::pwrite(file_.Get(), bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
  }

 private:
  FileDescriptor file_;  // closing it releases the lock
};

class PosixStagedFile final : public StagedFile {
 public:
  PosixStagedFile(FileDescriptor folder, std::string temporary)
      : folder_(std::move(folder)), temporary_(std::move(temporary)) {}
  ~PosixStagedFile() override {
    if (!placed_) ::unlinkat(folder_.Get(), temporary_.c_str(), 0);
  }
  PosixStagedFile(const PosixStagedFile&) = delete;
  PosixStagedFile& operator=(const PosixStagedFile&) = delete;

  Placed Place(std::string_view name, bool replace, std::string& reason) override {
    if (placed_ || !IsStoreName(name)) {
      reason = ErrorText(EINVAL);
      return Placed::kFailed;
    }
    switch (RenameInFolder(folder_.Get(), temporary_, std::string(name), replace, reason)) {
      case Renamed::kDone:
        placed_ = true;
        return Placed::kDone;
      case Renamed::kTaken:
        return Placed::kTaken;
      case Renamed::kFailed:
        break;
    }
    return Placed::kFailed;
  }

 private:
  FileDescriptor folder_;
  std::string temporary_;
  bool placed_ = false;
};

}  // namespace

std::unique_ptr<StoreLock> PosixStoreFolder::Lock(std::chrono::milliseconds wait, std::string& reason) {
  const auto folder = OpenFolder(true, reason);
  if (!folder) return nullptr;
  FileDescriptor file(::openat(*folder, std::string(kStoreLockName).c_str(),
                               O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  struct stat info {};
  if (file.Get() < 0 || ::fstat(file.Get(), &info) != 0) {
    reason = "the quarantine's lock cannot be opened: " + ErrorText(errno);
    return nullptr;
  }
  if (!S_ISREG(info.st_mode) || ((info.st_mode & 07777) != 0600 && ::fchmod(file.Get(), 0600) != 0)) {
    reason = "the quarantine's lock is no file of its own";
    return nullptr;
  }
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (::flock(file.Get(), LOCK_EX | LOCK_NB) == 0) return std::make_unique<PosixStoreLock>(std::move(file));
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      reason = "the quarantine cannot be locked: " + ErrorText(errno);
      return nullptr;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kLockPoll, deadline - now));
  }
  const auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
  reason = "the quarantine is busy: another program has held it for " + std::to_string(seconds) +
           (seconds == 1 ? " second" : " seconds");
  return nullptr;
}

std::unique_ptr<StagedFile> PosixStoreFolder::Stage(ByteReader& source, std::string& reason) {
  auto folder = OpenFolder(true, reason);
  if (!folder) return nullptr;
  auto temporary = WriteTemporaryFile(*folder, source, reason);
  if (!temporary) return nullptr;
  auto staged = std::make_unique<PosixStagedFile>(FileDescriptor(::fcntl(*folder, F_DUPFD_CLOEXEC, 0)),
                                                  temporary->name);
  // Whatever the umask, for its owner to read.
  if (::fchmod(temporary->fd.Get(), 0600) != 0) {
    reason = ErrorText(errno);
    return nullptr;
  }
  return staged;
}

std::unique_ptr<ByteReader> PosixStoreFolder::Open(std::string_view name, std::string& reason) {
  if (!IsStoreName(name)) {
    reason = ErrorText(EINVAL);
    return nullptr;
  }
  const auto folder = OpenFolder(false, reason);
  if (!folder) return nullptr;
  FileDescriptor file(
      ::openat(*folder, std::string(name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info {};
  if (file.Get() < 0 || ::fstat(file.Get(), &info) != 0) {
    reason = ErrorText(errno);
    return nullptr;
  }
  if (!S_ISREG(info.st_mode)) {
    reason = "Not a regular file";
    return nullptr;
  }
  static const uid_t user = ::geteuid();
  if (info.st_uid != user) {
    reason = "another user made it";
    return nullptr;
  }
  return std::make_unique<DescriptorReader>(std::move(file), static_cast<std::uint64_t>(info.st_size));
}

bool PosixStoreFolder::Remove(std::string_view name) {
  if (!IsStoreName(name)) return false;
  std::string reason;
  bool missing = false;
  const auto folder = OpenFolder(false, reason, &missing);
  if (!folder) return missing;
  return ::unlinkat(*folder, std::string(name).c_str(), 0) == 0 || errno == ENOENT;
}

std::vector<StoreEntry> PosixStoreFolder::Entries(const std::function<bool(std::string_view)>& described) {
  std::vector<StoreEntry> entries;
  std::string reason;
  const auto folder = OpenFolder(false, reason);
  if (!folder) return entries;
  const int listingFd = ::openat(*folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = listingFd >= 0 ? ::fdopendir(listingFd) : nullptr;
  if (listing == nullptr) {
    if (listingFd >= 0) ::close(listingFd);
    return entries;
  }
  const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == ".." || name == kStoreLockName) continue;
    StoreEntry found{.name = std::string(name),
                     .size = 0,
                     .ageSeconds = 0,
                     .temporary = name.starts_with(kTemporaryPrefix)};
    // The listing tells a file from anything else where the file system
    // says; the size and age cost a call.
    const bool file = entry->d_type == DT_REG;
    if (!file || described(name)) {
      struct stat info {};
      if (::fstatat(listingFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode))
        continue;
      found.size = static_cast<std::uint64_t>(info.st_size);
      found.ageSeconds = static_cast<std::int64_t>(now - info.st_mtime);
    }
    entries.push_back(std::move(found));
  }
  ::closedir(listing);
  return entries;
}

std::filesystem::path DefaultQuarantineFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::filesystem::path(state) / "kestrix" / "quarantine";
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home != nullptr ? home : "/") / ".local" / "state" / "kestrix" / "quarantine";
}

std::unique_ptr<Sha256> OpenSslHashing::StartSha256() { return std::make_unique<OpenSslSha256>(); }

}  // namespace kestrix::posix

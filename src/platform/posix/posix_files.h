// File descriptors and the few things done with them everywhere in the
// POSIX backend: reading one as a stream, writing a file whole.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"

namespace kestrix::posix {

// A file descriptor closed when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  // One that someone else keeps open; it is not closed here.
  static FileDescriptor Borrowed(int fd) {
    FileDescriptor borrowed(fd);
    borrowed.owned_ = false;
    return borrowed;
  }
  ~FileDescriptor();
  FileDescriptor(FileDescriptor&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), owned_(std::exchange(other.owned_, true)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    std::swap(owned_, other.owned_);
    return *this;
  }
  int Get() const { return fd_; }

 private:
  int fd_;
  bool owned_ = true;
};

// The system's text for an errno value.
std::string ErrorText(int error);

// The file an O_PATH descriptor holds, for the calls that take no descriptor
// of that kind; /proc hands out exactly the opened file, never a name.
std::string DescriptorPath(int fd);

// Which file a status is of: its device and inode.
FileIdentity IdentityOf(const struct stat& info);

struct FileIdentityHash {
  std::size_t operator()(const FileIdentity& identity) const {
    return std::hash<std::uint64_t>()(identity.index * 0x9E3779B97F4A7C15ULL ^ identity.volume);
  }
};

// Reads an open file from where it stands.
class DescriptorReader final : public ByteReader {
 public:
  // With `size`, the file is known to hold that many bytes and no more:
  // its end is told without asking the system once more.
  explicit DescriptorReader(FileDescriptor fd, std::optional<std::uint64_t> size = std::nullopt)
      : fd_(std::move(fd)), left_(size) {}
  std::optional<std::size_t> Read(std::span<char> buffer, std::string& reason) override;

 private:
  FileDescriptor fd_;
  std::optional<std::uint64_t> left_;
};

// A file just written whole under a temporary name (".kestrix-*") of a
// folder, created for its owner alone (as far as the umask lets: 0600 at
// most), and flushed to the disk.
struct TemporaryFile {
  std::string name;
  FileDescriptor fd;
};

// Writes `source` to a new temporary file in `folder`; nullopt with the
// reason, leaving nothing behind, when that fails.
std::optional<TemporaryFile> WriteTemporaryFile(int folder, ByteReader& source, std::string& reason);

enum class Renamed { kDone, kTaken, kFailed };

// Renames `from` to `to` within `folder`. Without `replace` a file already
// named `to` stays as it is and the answer is kTaken. The rename is flushed.
Renamed RenameInFolder(int folder, const std::string& from, const std::string& to, bool replace,
                       std::string& reason);

// Writes `source` to a temporary file in `folder`, flushes it to the disk and
// renames it to `name`: replacing a file there only when `replace` says so.
// The file is its owner's alone until it has all its bytes; it then gets
// the mode the umask leaves of 0666. An interruption leaves a temporary file
// or nothing.
bool WriteThenRename(int folder, const std::string& name, ByteReader& source, bool replace, std::string& reason);

inline constexpr std::string_view kTemporaryPrefix = ".kestrix-";

}  // namespace kestrix::posix

#include "platform/posix/posix_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

namespace kestrix::posix {

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0 && owned_) ::close(fd_);
}

std::string ErrorText(int error) { return std::generic_category().message(error); }

std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

FileIdentity IdentityOf(const struct stat& info) {
  return {.volume = static_cast<std::uint64_t>(info.st_dev),
          .index = static_cast<std::uint64_t>(info.st_ino)};
}

std::optional<std::size_t> DescriptorReader::Read(std::span<char> buffer, std::string& reason) {
  if (left_ == 0u) return 0;
  for (;;) {
    const ssize_t got = ::read(fd_.Get(), buffer.data(), buffer.size());
    if (got >= 0) {
      if (left_)
        *left_ = got == 0 ? 0 : *left_ - std::min<std::uint64_t>(*left_, static_cast<std::uint64_t>(got));
      return static_cast<std::size_t>(got);
    }
    if (errno == EINTR) continue;
    reason = ErrorText(errno);
    return std::nullopt;
  }
}

namespace {

bool WriteAll(int fd, std::string_view bytes, std::string& reason) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      reason = ErrorText(errno);
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

namespace {

// The process's umask, read without changing it where /proc tells it.
mode_t CurrentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (!line.starts_with("Umask:")) continue;
    mode_t mask = 0;
    const std::string_view digits = std::string_view(line).substr(6);
    const auto start = digits.find_first_not_of(" \t");
    if (start != std::string_view::npos &&
        std::from_chars(digits.data() + start, digits.data() + digits.size(), mask, 8).ec == std::errc()) {
      return mask;
    }
  }
  const mode_t mask = ::umask(077);
  ::umask(mask);
  return mask;
}

}  // namespace

std::optional<TemporaryFile> WriteTemporaryFile(int folder, ByteReader& source, std::string& reason) {
  static std::mt19937_64 random(std::random_device{}());
  // The process's number in the name: a forked copy draws the same numbers.
  TemporaryFile temporary;
  for (int tries = 0; tries < 8 && temporary.fd.Get() < 0; ++tries) {
    temporary.name = std::string(kTemporaryPrefix) + std::to_string(::getpid()) + "-" + std::to_string(random());
    temporary.fd = FileDescriptor(
        ::openat(folder, temporary.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (temporary.fd.Get() < 0 && errno != EEXIST) break;
  }
  if (temporary.fd.Get() < 0) {
    reason = ErrorText(errno);
    return std::nullopt;
  }
  const auto fail = [&]() -> std::optional<TemporaryFile> {
    ::unlinkat(folder, temporary.name.c_str(), 0);
    return std::nullopt;
  };
  std::array<char, 64 * 1024> chunk;
  for (;;) {
    const auto got = source.Read(chunk, reason);
    if (!got) return fail();
    if (*got == 0) break;
    if (!WriteAll(temporary.fd.Get(), std::string_view(chunk.data(), *got), reason)) return fail();
  }
  if (::fsync(temporary.fd.Get()) != 0) {
    reason = ErrorText(errno);
    return fail();
  }
  return temporary;
}

Renamed RenameInFolder(int folder, const std::string& from, const std::string& to, bool replace,
                       std::string& reason) {
  int renamed = replace ? ::renameat(folder, from.c_str(), folder, to.c_str())
                        : ::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE);
  // Some file systems know no RENAME_NOREPLACE; a hard link is as exclusive.
  if (renamed != 0 && !replace && (errno == EINVAL || errno == ENOSYS)) {
    renamed = ::linkat(folder, from.c_str(), folder, to.c_str(), 0);
    if (renamed == 0) ::unlinkat(folder, from.c_str(), 0);
  }
  if (renamed != 0) {
    const int error = errno;
    reason = ErrorText(error);
    return !replace && error == EEXIST ? Renamed::kTaken : Renamed::kFailed;
  }
  ::fsync(folder);  // the rename itself lasts once the folder is on the disk
  return Renamed::kDone;
}

bool WriteThenRename(int folder, const std::string& name, ByteReader& source, bool replace,
                     std::string& reason) {
  auto temporary = WriteTemporaryFile(folder, source, reason);
  if (!temporary) return false;
  // Some file systems (FAT) keep no modes; the file is then as they make it.
  ::fchmod(temporary->fd.Get(), 0666 & ~CurrentUmask());
  if (RenameInFolder(folder, temporary->name, name, replace, reason) == Renamed::kDone) return true;
  ::unlinkat(folder, temporary->name.c_str(), 0);
  return false;
}

}  // namespace kestrix::posix

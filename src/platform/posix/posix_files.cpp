#include "platform/posix/posix_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <random>
#include <system_error>

namespace kestrix::posix {

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0 && owned_) ::close(fd_);
}

std::string ErrorText(int error) { return std::generic_category().message(error); }

std::optional<std::size_t> DescriptorReader::Read(std::span<char> buffer, std::string& reason) {
  for (;;) {
    const ssize_t got = ::read(fd_.Get(), buffer.data(), buffer.size());
    if (got >= 0) return static_cast<std::size_t>(got);
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

bool WriteThenRename(int folder, const std::string& name, ByteReader& source, bool replace, std::string& reason) {
  static std::mt19937_64 random(std::random_device{}());
  const std::string temporary = std::string(kTemporaryPrefix) + std::to_string(random());
  const FileDescriptor file(
      ::openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (file.Get() < 0) {
    reason = ErrorText(errno);
    return false;
  }
  const auto fail = [&] {
    ::unlinkat(folder, temporary.c_str(), 0);
    return false;
  };
  std::array<char, 64 * 1024> chunk;
  for (;;) {
    const auto got = source.Read(chunk, reason);
    if (!got) return fail();
    if (*got == 0) break;
    if (!WriteAll(file.Get(), std::string_view(chunk.data(), *got), reason)) return fail();
  }
  if (::fsync(file.Get()) != 0) {
    reason = ErrorText(errno);
    return fail();
  }
  const int renamed = replace ? ::renameat(folder, temporary.c_str(), folder, name.c_str())
                              : ::renameat2(folder, temporary.c_str(), folder, name.c_str(), RENAME_NOREPLACE);
  if (renamed != 0) {
    reason = ErrorText(errno);
    return fail();
  }
  ::fsync(folder);  // the rename itself lasts once the folder is on the disk
  return true;
}

}  // namespace kestrix::posix

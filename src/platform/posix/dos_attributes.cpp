#include "platform/posix/dos_attributes.h"

#include <fcntl.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <span>
#include <string_view>
#include <system_error>

namespace kestrix::posix {

namespace {

bool IsFatFileSystem(int fd) {
  struct statfs fileSystem {};
  return ::fstatfs(fd, &fileSystem) == 0 &&
         fileSystem.f_type == static_cast<decltype(fileSystem.f_type)>(MSDOS_SUPER_MAGIC);
}

constexpr std::uint32_t kAttributeBits =
    kAttributeReadOnly | kAttributeHidden | kAttributeSystem | kAttributeArchive;

// FAT keeps the attribute bits, which only the vfat driver's ioctls reach,
// on a descriptor opened for reading that must be the file itself.
template <typename Act>
bool WithFatDescriptor(int folder, const std::string& name, const struct stat& info, Act act) {
  const FileDescriptor readable(
      ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat opened {};
  return readable.Get() >= 0 && ::fstat(readable.Get(), &opened) == 0 && opened.st_dev == info.st_dev &&
         opened.st_ino == info.st_ino && act(readable.Get());
}

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

bool FatDevices::IsFat(dev_t device, int fd) {
  const auto [known, added] = devices_.try_emplace(device, false);
  if (added) known->second = IsFatFileSystem(fd);
  return known->second;
}

std::optional<bool> FatDevices::Known(dev_t device) const {
  const auto known = devices_.find(device);
  return known != devices_.end() ? std::optional(known->second) : std::nullopt;
}

std::uint32_t DosAttributes::Read(int folder, const std::string& name, const struct stat& info) const {
  std::uint32_t attributes = !S_ISDIR(info.st_mode) && (info.st_mode & S_IWUSR) == 0 ? kAttributeReadOnly : 0;
  if (fat_.IsFat(info.st_dev, folder)) {
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

std::uint32_t DosAttributes::Original(const OpenedEntry& entry) const {
  const auto original = original_.find(IdentityOf(entry.info));
  return original != original_.end() ? original->second : Read(entry.folder, entry.name, entry.info);
}

bool DosAttributes::NothingToReset(int folder, const std::string& name, const struct stat& info) {
  if ((info.st_mode & S_IWUSR) == 0 || fat_.Known(info.st_dev) != false || ReadDosAttribute(folder, name)) {
    return false;
  }
  original_.try_emplace(IdentityOf(info), 0);
  return true;
}

bool DosAttributes::Apply(const OpenedEntry& entry, std::uint32_t attributes) {
  const int folder = entry.folder;
  const std::string& name = entry.name;
  const struct stat& info = entry.info;
  const FileIdentity identity = IdentityOf(info);
  if (!original_.contains(identity)) original_.emplace(identity, Read(folder, name, info));
  if (fat_.IsFat(info.st_dev, entry.file)) {
    return WithFatDescriptor(folder, name, info, [&](int fd) {
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
  if (S_ISDIR(info.st_mode)) return WriteDosAttribute(folder, name, attributes);
  // A file with other names may be a hard link to a file off the drive,
  // whose mode is not ours to change; it can still be deleted, since that
  // depends on the folder alone. (SetAttributes refuses such a file.)
  if (info.st_nlink > 1) return true;
  const std::string file = DescriptorPath(entry.file);
  const mode_t mode = info.st_mode & 07777;
  const mode_t wanted =
      (attributes & kAttributeReadOnly) != 0 ? mode & ~static_cast<mode_t>(0222) : mode | S_IWUSR;
  const bool needsWrite = (mode & S_IWUSR) == 0 && (ReadDosAttribute(folder, name).value_or(0) &
                                                    kDosAttributeBits) != (attributes & kDosAttributeBits);
  if (needsWrite && ::chmod(file.c_str(), mode | S_IWUSR) != 0) return false;
  const bool written = WriteDosAttribute(folder, name, attributes);
  if (wanted == mode && !needsWrite) return written;
  return ::chmod(file.c_str(), wanted) == 0 && written;
}

}  // namespace kestrix::posix

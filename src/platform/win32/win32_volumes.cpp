// Win32Machine's Volumes: the system's folders, the drives and their volumes.
#include <windows.h>

#include <winioctl.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/win32/system_path.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_machine.h"

namespace kestrix::win32 {

namespace {

// For calls that fill a buffer and, when it is too small, answer with the
// size they need: one retry with that size.
template <typename Query>
std::string QueryText(Query query) {
  std::wstring buffer(MAX_PATH + 1, L'\0');
  DWORD length = query(static_cast<DWORD>(buffer.size()), buffer.data());
  if (length >= buffer.size()) {
    buffer.assign(length + 1, L'\0');
    length = query(static_cast<DWORD>(buffer.size()), buffer.data());
  }
  if (length == 0 || length >= buffer.size()) return {};
  buffer.resize(length);
  return Narrow(buffer);
}

std::optional<char> DriveLetter(char letter) {
  if (letter >= 'a' && letter <= 'z') return static_cast<char>(letter - 'a' + 'A');
  if (letter >= 'A' && letter <= 'Z') return letter;
  return std::nullopt;
}

// The first extent as the volume itself reports it: all zero for a volume
// of more extents than fit the answer; nullopt when the volume cannot be
// opened, when its kind of drive takes no such question (a network drive, a
// SUBST letter) or when it names no disk (Wine's folder drives).
std::optional<DiskExtent> VolumeExtent(wchar_t letter) {
  const std::wstring device = std::wstring(L"\\\\.\\") + letter + L':';
  // No access rights: asking for any would take an administrator, and the
  // question needs none.
  const ScopedHandle volume(::CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
  if (!volume.Valid()) return std::nullopt;
  // Room for ten extents; a volume of more spans disks no stick has.
  alignas(VOLUME_DISK_EXTENTS) std::array<unsigned char, 260> buffer{};
  DWORD returned = 0;
  if (!::DeviceIoControl(volume.Get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &returned, nullptr)) {
    if (::GetLastError() == ERROR_MORE_DATA) return DiskExtent{};
    return std::nullopt;
  }
  VOLUME_DISK_EXTENTS extents{};
  if (returned < sizeof(extents)) return std::nullopt;
  std::memcpy(&extents, buffer.data(), sizeof(extents));
  if (extents.NumberOfDiskExtents == 0) return std::nullopt;
  DiskExtent result;
  result.DiskNumber = extents.Extents[0].DiskNumber;
  result.StartingOffset = extents.Extents[0].StartingOffset.QuadPart;
  result.ExtentLength = extents.Extents[0].ExtentLength.QuadPart;
  return result;
}

// A drive whose volume tells no extent counts as holding media when its root
// answers; its size stands in for the extent's length. An empty card reader
// answers nothing, and the system is told not to ask the user for a disk.
DiskExtent RootExtent(wchar_t letter) {
  const std::wstring root{letter, L':', L'\\'};
  DWORD previousMode = 0;
  const bool quiet = ::SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previousMode) != 0;
  ULARGE_INTEGER total{};
  const bool answered = ::GetDiskFreeSpaceExW(root.c_str(), nullptr, &total, nullptr) != 0;
  if (quiet) ::SetThreadErrorMode(previousMode, nullptr);
  DiskExtent result;
  if (answered)
    result.ExtentLength = static_cast<std::int64_t>(std::min<ULONGLONG>(total.QuadPart, LLONG_MAX));
  return result;
}

}  // namespace

std::string Win32Machine::WindowsDirectory() {
  return QueryText([](DWORD size, wchar_t* buffer) { return ::GetWindowsDirectoryW(buffer, size); });
}

std::string Win32Machine::TempDirectory() {
  return QueryText([](DWORD size, wchar_t* buffer) { return ::GetTempPathW(size, buffer); });
}

DriveType Win32Machine::QueryDriveType(std::string_view root) {
  const auto wide = WidePath(root);
  if (!wide) return DriveType::kNoRootDir;
  switch (::GetDriveTypeW(wide->c_str())) {
    case DRIVE_NO_ROOT_DIR:
      return DriveType::kNoRootDir;
    case DRIVE_REMOVABLE:
      return DriveType::kRemovable;
    case DRIVE_FIXED:
      return DriveType::kFixed;
    case DRIVE_REMOTE:
      return DriveType::kRemote;
    case DRIVE_CDROM:
      return DriveType::kCdRom;
    case DRIVE_RAMDISK:
      return DriveType::kRamDisk;
    default:
      return DriveType::kUnknown;
  }
}

DiskExtent Win32Machine::GetFirstDiskExtent(char letter) {
  const auto drive = DriveLetter(letter);
  if (!drive) return {};
  const auto extent = VolumeExtent(static_cast<wchar_t>(*drive));
  return extent ? *extent : RootExtent(static_cast<wchar_t>(*drive));
}

std::optional<std::string> Win32Machine::VolumeIdentity(char letter) {
  const auto drive = DriveLetter(letter);
  if (!drive) return std::nullopt;
  const wchar_t root[] = {static_cast<wchar_t>(*drive), L':', L'\\', L'\0'};
  DWORD serial = 0;
  if (!::GetVolumeInformationW(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) return std::nullopt;
  char text[16];
  std::snprintf(text, sizeof text, "%08lX", static_cast<unsigned long>(serial));
  return text;
}

std::string Win32Machine::VolumeLabel(char letter) {
  const auto drive = DriveLetter(letter);
  if (!drive) return {};
  const wchar_t root[] = {static_cast<wchar_t>(*drive), L':', L'\\', L'\0'};
  std::array<wchar_t, MAX_PATH + 1> label{};
  if (!::GetVolumeInformationW(root, label.data(), static_cast<DWORD>(label.size()), nullptr, nullptr,
                               nullptr, nullptr, 0)) {
    return {};
  }
  return Narrow(label.data());
}

}  // namespace kestrix::win32

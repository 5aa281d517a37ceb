#include "platform/win32/win32_machine.h"

#include <windows.h>

#include <winioctl.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstring>

#include "platform/common/text_file.h"

namespace kestrix::win32 {

namespace {

// The W functions take int lengths; text beyond that is cut rather than
// wrapped into a negative length.
int ClampedLength(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, INT_MAX)); }

std::wstring DecodeToWide(UINT codePage, std::string_view bytes) {
  if (bytes.empty()) return {};
  const int length = ClampedLength(bytes.size());
  const int needed = ::MultiByteToWideChar(codePage, 0, bytes.data(), length, nullptr, 0);
  if (needed <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  const int written = ::MultiByteToWideChar(codePage, 0, bytes.data(), length, wide.data(), needed);
  wide.resize(static_cast<std::size_t>(std::max(written, 0)));
  return wide;
}

// A path with a NUL in it would name the shorter path before the NUL: a
// different file from the one the caller means.
std::optional<std::wstring> WidePath(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  return Widen(path);
}

DWORD Attributes(std::string_view path) {
  const auto wide = WidePath(path);
  return wide ? ::GetFileAttributesW(wide->c_str()) : INVALID_FILE_ATTRIBUTES;
}

bool IsExistingFile(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A handle closed when it goes out of scope.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (Valid()) ::CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_;
};

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

// The extents as the volume itself reports them; all zero when it cannot
// be opened or reports none.
DiskExtent VolumeExtent(wchar_t letter) {
  DiskExtent result;
  const std::wstring device = std::wstring(L"\\\\.\\") + letter + L':';
  const ScopedHandle volume(::CreateFileW(device.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
  if (!volume.Valid()) return result;
  alignas(VOLUME_DISK_EXTENTS) std::array<unsigned char, 260> buffer{};
  DWORD returned = 0;
  if (!::DeviceIoControl(volume.Get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &returned, nullptr)) {
    return result;
  }
  VOLUME_DISK_EXTENTS extents{};
  if (returned < sizeof(extents)) return result;
  std::memcpy(&extents, buffer.data(), sizeof(extents));
  if (extents.NumberOfDiskExtents == 0) return result;
  result.DiskNumber = extents.Extents[0].DiskNumber;
  result.StartingOffset = extents.Extents[0].StartingOffset.QuadPart;
  result.ExtentLength = extents.Extents[0].ExtentLength.QuadPart;
  return result;
}

bool IsHighSurrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(wchar_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::wstring Widen(std::string_view text) { return DecodeToWide(CP_UTF8, text); }

std::string Narrow(std::wstring_view text) {
  if (text.empty()) return {};
  const int length = ClampedLength(text.size());
  const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string narrow(static_cast<std::size_t>(needed), '\0');
  const int written =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, narrow.data(), needed, nullptr, nullptr);
  narrow.resize(static_cast<std::size_t>(std::max(written, 0)));
  return narrow;
}

std::string ErrorText(std::uint32_t error) {
  std::array<wchar_t, 1024> buffer{};
  DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                  0, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr);
  while (length > 0 && (buffer[length - 1] == L'\r' || buffer[length - 1] == L'\n')) --length;
  // The user still needs something to quote when the system has no text.
  if (length == 0) return "Error " + std::to_string(error);
  return Narrow(std::wstring_view(buffer.data(), length));
}

std::string ExecutablePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) return Narrow(std::wstring_view(path.data(), length));
    path.resize(path.size() * 2);
  }
}

bool RunningUnderWine() {
  static const bool underWine = [] {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return underWine;
}

bool Win32Machine::FileExists(std::string_view path) { return IsExistingFile(Attributes(path)); }

bool Win32Machine::ResetAttributes(std::string_view path) {
  const auto wide = WidePath(path);
  return wide && ::SetFileAttributesW(wide->c_str(), FILE_ATTRIBUTE_NORMAL) != 0;
}

std::optional<std::vector<std::string>> Win32Machine::ReadTextLines(std::string_view path,
                                                                    std::string& reason) {
  const auto wide = WidePath(path);
  if (!wide) {
    reason = ErrorText(ERROR_INVALID_NAME);
    return std::nullopt;
  }
  // Read sharing only: a file another process is still writing is refused
  // rather than read half-written.
  const ScopedHandle file(::CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    reason = ErrorText(::GetLastError());
    return std::nullopt;
  }
  std::string bytes;
  std::array<char, 65536> chunk;
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
      reason = ErrorText(::GetLastError());
      return std::nullopt;
    }
    if (got == 0) break;
    bytes.append(chunk.data(), got);
  }
  return TextFileLines(bytes, [](std::string_view ansi) { return Narrow(DecodeToWide(CP_ACP, ansi)); });
}

std::int32_t Win32Machine::QueryFileSize(std::string_view path) {
  const auto wide = WidePath(path);
  if (!wide) return -1;
  const DWORD needed = ::GetFullPathNameW(wide->c_str(), 0, nullptr, nullptr);
  if (needed == 0) return -1;
  std::wstring full(needed, L'\0');
  const DWORD length = ::GetFullPathNameW(wide->c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return -1;
  full.resize(length);
  // FindFirstFileW sees hidden and system entries and directories alike.
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW(full.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return -1;
  ::FindClose(search);
  return static_cast<std::int32_t>(found.nFileSizeLow);
}

bool Win32Machine::RemoveFile(std::string_view path) {
  if (!IsExistingFile(Attributes(path))) return false;
  // A link goes, never its target: DeleteFileW removes the entry itself.
  return ::DeleteFileW(Widen(path).c_str()) != 0;
}

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
  DiskExtent extent = VolumeExtent(static_cast<wchar_t>(*drive));
  // Wine answers with no usable extent for a drive mapped to a folder, so
  // every such drive would look like an empty card reader; its size stands
  // in for the extent's length.
  if (extent.ExtentLength <= 0 && RunningUnderWine()) {
    const std::wstring root{static_cast<wchar_t>(*drive), L':', L'\\'};
    ULARGE_INTEGER total{};
    if (::GetDiskFreeSpaceExW(root.c_str(), nullptr, &total, nullptr)) {
      extent.ExtentLength = static_cast<std::int64_t>(total.QuadPart);
    }
  }
  return extent;
}

char32_t Win32Machine::ToLower(char32_t c) const {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return c;
  std::array<wchar_t, 2> units{};
  DWORD count = 1;
  if (c < 0x10000) {
    units[0] = static_cast<wchar_t>(c);
  } else {
    units[0] = static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
    units[1] = static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    count = 2;
  }
  ::CharLowerBuffW(units.data(), count);
  if (count == 1) return IsHighSurrogate(units[0]) || IsLowSurrogate(units[0]) ? c : char32_t{units[0]};
  if (!IsHighSurrogate(units[0]) || !IsLowSurrogate(units[1])) return c;
  return 0x10000 + ((char32_t{units[0]} - 0xD800) << 10) + (char32_t{units[1]} - 0xDC00);
}

void Win32Machine::PumpMessages() {
  MSG message{};
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // Taking WM_QUIT off the queue would swallow it; the main loop must
      // still see it to end the program.
      ::PostQuitMessage(static_cast<int>(message.wParam));
      return;
    }
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

}  // namespace kestrix::win32

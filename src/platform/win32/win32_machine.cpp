#include "platform/win32/win32_machine.h"

#include <windows.h>

#include <objbase.h>
#include <shlobj.h>
#include <winioctl.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstring>
#include <span>

#include "platform/common/text_file.h"
#include "platform/win32/win32_files.h"

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

// What the system says of the entry a path names, links followed. No data
// access: a file another process holds open can still be told.
std::optional<BY_HANDLE_FILE_INFORMATION> FileInformation(std::string_view path) {
  const auto wide = WidePath(path);
  if (!wide) return std::nullopt;
  const ScopedHandle file(::CreateFileW(wide->c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.Valid() || !::GetFileInformationByHandle(file.Get(), &info)) return std::nullopt;
  return info;
}

bool IsExistingFile(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Absolute, with ".", "..", doubled separators and trailing dots and blanks
// resolved; empty when the path cannot be completed.
std::wstring FullWidePath(const std::wstring& path) {
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return {};
  std::wstring full(needed, L'\0');
  const DWORD length = ::GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return {};
  full.resize(length);
  return full;
}

// Short names (EXPLOR~1.EXE) in their long form; the path as given when it
// names nothing that exists. The names Windows makes short all hold a tilde,
// so a path without one is left alone: asking costs a directory search per
// name (under Wine, a tenth of a millisecond each).
std::wstring LongWidePath(const std::wstring& path) {
  if (path.find(L'~') == std::wstring::npos) return path;
  const DWORD needed = ::GetLongPathNameW(path.c_str(), nullptr, 0);
  if (needed == 0) return path;
  std::wstring expanded(needed, L'\0');
  const DWORD length = ::GetLongPathNameW(path.c_str(), expanded.data(), needed);
  if (length == 0 || length >= needed) return path;
  expanded.resize(length);
  return expanded;
}

std::wstring_view LastName(std::wstring_view path) { return path.substr(path.find_last_of(L"\\/") + 1); }

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

// The drive letter a path names, also behind the prefixes Windows accepts
// before it (\\?\E:\x, \\.\E:\x, \??\E:\x); none for UNC and relative paths.
std::optional<wchar_t> NamedDriveLetter(std::wstring_view path) {
  const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (path.size() >= 4 && separator(path[0]) && (separator(path[1]) || path[1] == L'?') &&
      (path[2] == L'?' || path[2] == L'.') && separator(path[3])) {
    path.remove_prefix(4);
  }
  if (path.size() < 2 || path[1] != L':') return std::nullopt;
  const wchar_t letter = path[0];
  if ((letter >= L'a' && letter <= L'z') || (letter >= L'A' && letter <= L'Z')) return letter;
  return std::nullopt;
}

// Whether an opened file lies on the volume of drive `letter`, told by
// volume serial numbers. The drive letter of the file's final path
// (GetFinalPathNameByHandleW) would not do on Windows: a volume mounted in a
// folder of the stick is spelled there under the stick's own letter, and a
// SUBST or network drive under another. Wine gives each drive letter a
// serial of its own and reports for a file the serial of the drive its host
// folder lies in, links resolved, so a host link on the stick to another
// drive or to a folder outside the stick's folder shows as another volume.
// The root is asked as a file is, through a handle: GetVolumeInformationW
// would read the volume's device, which Wine refuses noisily for Z:.
bool OnDriveVolume(const BY_HANDLE_FILE_INFORMATION& info, wchar_t letter) {
  const std::wstring root{letter, L':', L'\\'};
  const ScopedHandle folder(::CreateFileW(root.c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION rootInfo{};
  return folder.Valid() && ::GetFileInformationByHandle(folder.Get(), &rootInfo) &&
         rootInfo.dwVolumeSerialNumber == info.dwVolumeSerialNumber;
}

// The path of an opened file below the root of its volume, links resolved
// as the open resolved them.
std::optional<std::wstring> PathOnVolume(HANDLE file) {
  // A path holds at most 32767 characters; DWORDs keep FILE_NAME_INFO aligned.
  std::vector<DWORD> buffer(1 + (32768 * sizeof(wchar_t)) / sizeof(DWORD));
  const auto bytes = static_cast<DWORD>(buffer.size() * sizeof(DWORD));
  if (!::GetFileInformationByHandleEx(file, FileNameInfo, buffer.data(), bytes)) return std::nullopt;
  const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(buffer.data());
  if (info->FileNameLength > bytes - offsetof(FILE_NAME_INFO, FileName)) return std::nullopt;
  return std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t));
}

// Whether the file opened by the full path `full` is the entry the path ends
// in, rather than a file a link there leads to. Windows opens a link itself
// when asked to; Wine follows links whatever the flags, and deleting through
// such a handle deletes the target. Either way the entry itself lies in the
// folder the path names, under its last name: the folder is opened as the
// system resolves it, and the file must be on the folder's volume, its path
// the folder's and that name.
bool IsEntryItself(HANDLE file, const BY_HANDLE_FILE_INFORMATION& info, const std::wstring& full) {
  const std::size_t separator = full.find_last_of(L"\\/");
  if (separator == std::wstring::npos) return false;
  const std::wstring folderPath = full.substr(0, separator + 1);
  const ScopedHandle folder(::CreateFileW(folderPath.c_str(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION folderInfo{};
  if (!folder.Valid() || !::GetFileInformationByHandle(folder.Get(), &folderInfo) ||
      folderInfo.dwVolumeSerialNumber != info.dwVolumeSerialNumber) {
    return false;
  }
  auto expected = PathOnVolume(folder.Get());
  const auto opened = PathOnVolume(file);
  if (!expected || !opened) return false;
  if (expected->empty() || expected->back() != L'\\') *expected += L'\\';
  *expected += LastName(full);
  return ::CompareStringOrdinal(opened->data(), ClampedLength(opened->size()), expected->data(),
                                ClampedLength(expected->size()), TRUE) == CSTR_EQUAL;
}

// A file opened for acting on it, with what the system says of it.
struct ListedFile {
  ScopedHandle handle;
  BY_HANDLE_FILE_INFORMATION info{};
};

// Opens the path once, so that a folder swapped for a link between the
// checks and the act cannot send the act elsewhere. Directories are refused
// unless `folders` says otherwise, and so is a file that a link or junction has put on another volume than
// the drive letter the path names (paths without a drive letter have no such
// volume to keep to) or that is not the entry itself. Null with the error.
std::optional<ListedFile> OpenListedFile(std::string_view path, DWORD access, DWORD sharing, DWORD flags,
                                         DWORD& error, bool folders = false) {
  const auto wide = WidePath(path);
  // Short names and stray dots spelled out, so that the file and its folder
  // are opened by one spelling and report their paths alike.
  const std::wstring full = wide ? LongWidePath(FullWidePath(*wide)) : std::wstring();
  if (full.empty()) {
    error = ERROR_INVALID_NAME;
    return std::nullopt;
  }
  ListedFile file{
      ScopedHandle(::CreateFileW(full.c_str(), access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, sharing, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr))};
  if (!file.handle.Valid() || !::GetFileInformationByHandle(file.handle.Get(), &file.info)) {
    error = ::GetLastError();
    return std::nullopt;
  }
  const auto letter = NamedDriveLetter(*wide);
  if (((file.info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !folders) ||
      ::GetFileType(file.handle.Get()) != FILE_TYPE_DISK || (letter && !OnDriveVolume(file.info, *letter)) ||
      !IsEntryItself(file.handle.Get(), file.info, full)) {
    error = ERROR_ACCESS_DENIED;
    return std::nullopt;
  }
  return file;
}

// Acts through the one handle OpenListedFile gives; false when it refuses.
template <typename Act>
bool ActOnListedFile(std::string_view path, DWORD access, Act act, bool folders = false) {
  DWORD error = 0;
  // The link itself where Windows can open it; Wine follows it anyway.
  auto file = OpenListedFile(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             FILE_FLAG_OPEN_REPARSE_POINT, error, folders);
  return file && act(file->handle.Get(), file->info);
}

constexpr DWORD kAttributeBits = kAttributeReadOnly | kAttributeHidden | kAttributeSystem | kAttributeArchive;

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
  return ActOnListedFile(
      path, FILE_WRITE_ATTRIBUTES, [&](HANDLE file, const BY_HANDLE_FILE_INFORMATION& info) {
        FILE_BASIC_INFO basic{};  // times of zero stay as they are
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (!::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof(basic))) return false;
        // The first reset's, for giving a deleted file back as it was.
        originalAttributes_.try_emplace(IdentityOf(info), info.dwFileAttributes & kAttributeBits);
        return true;
      });
}

bool Win32Machine::SetAttributes(std::string_view path, std::uint32_t attributes) {
  return ActOnListedFile(
      path, FILE_WRITE_ATTRIBUTES,
      [&](HANDLE file, const BY_HANDLE_FILE_INFORMATION& info) {
        // The other bits that can be set stay as they are.
        constexpr DWORD kKept =
            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = (info.dwFileAttributes & kKept) | (attributes & kAttributeBits);
        if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        return ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof(basic)) != 0;
      },
      true);
}

bool Win32Machine::RemoveFolder(std::string_view path) {
  // Checked as a listed file is, then removed by its full path: an empty
  // folder on its own drive, never a junction or link.
  DWORD error = 0;
  const auto folder =
      OpenListedFile(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     FILE_FLAG_OPEN_REPARSE_POINT, error, true);
  if (!folder || (folder->info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (folder->info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return false;
  }
  const auto wide = WidePath(path);
  return wide && ::RemoveDirectoryW(FullWidePath(*wide).c_str()) != 0;
}

std::optional<std::uint32_t> Win32Machine::OriginalAttributes(std::string_view path) {
  const auto info = FileInformation(path);
  if (!info || (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::nullopt;
  const auto original = originalAttributes_.find(IdentityOf(*info));
  if (original != originalAttributes_.end()) return original->second;
  return info->dwFileAttributes & kAttributeBits;
}

std::optional<std::uint32_t> Win32Machine::CurrentAttributes(std::string_view path) {
  const DWORD attributes = Attributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return std::nullopt;
  return attributes & kAttributeBits;
}

std::vector<FolderEntry> Win32Machine::ListFolder(std::string_view folder) {
  auto pattern = WidePath(folder);
  if (!pattern) return {};
  if (!pattern->ends_with(L'\\') && !pattern->ends_with(L'/')) *pattern += L'\\';
  *pattern += L'*';
  WIN32_FIND_DATAW found{};
  const HANDLE search =
      ::FindFirstFileExW(pattern->c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return {};
  std::vector<FolderEntry> entries;
  do {
    const std::wstring_view name = found.cFileName;
    // What a link or junction leads to lies elsewhere, maybe off the drive.
    if (name == L"." || name == L".." || (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
      continue;
    // A name ending in a dot or a blank, or one UTF-8 cannot carry (a lone
    // surrogate), names something else once it is a path again.
    std::string narrow = Narrow(name);
    if (name.ends_with(L'.') || name.ends_with(L' ') || Widen(narrow) != name) continue;
    const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entries.push_back({std::move(narrow), isFolder, isFolder ? found.dwFileAttributes & kAttributeBits : 0});
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return entries;
}

namespace {

// A COM interface pointer released when it goes out of scope.
template <typename Interface>
struct ComPointer {
  Interface* pointer = nullptr;
  ~ComPointer() {
    if (pointer != nullptr) pointer->Release();
  }
  Interface* operator->() const { return pointer; }
};

template <typename Get>
std::string ShellLinkText(Get get) {
  std::wstring buffer(32768, L'\0');
  if (FAILED(get(buffer.data(), static_cast<int>(buffer.size())))) return {};
  buffer.resize(std::wcslen(buffer.c_str()));
  return Narrow(buffer);
}

}  // namespace

std::optional<ShellLink> Win32Machine::ReadShortcut(std::string_view path) {
  const auto wide = WidePath(path);
  if (!wide) return std::nullopt;
  const HRESULT started = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  std::optional<ShellLink> link;
  {
    ComPointer<IShellLinkW> shellLink;
    ComPointer<IPersistFile> file;
    if (SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                     reinterpret_cast<void**>(&shellLink.pointer))) &&
        SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file.pointer))) &&
        SUCCEEDED(file->Load(wide->c_str(), STGM_READ))) {
      link = ShellLink{
          .target = ShellLinkText(
              [&](wchar_t* text, int size) { return shellLink->GetPath(text, size, nullptr, SLGP_RAWPATH); }),
          .arguments =
              ShellLinkText([&](wchar_t* text, int size) { return shellLink->GetArguments(text, size); }),
          .workingDirectory = ShellLinkText(
              [&](wchar_t* text, int size) { return shellLink->GetWorkingDirectory(text, size); }),
      };
    }
  }
  if (SUCCEEDED(started)) ::CoUninitialize();
  return link;
}

std::unique_ptr<ByteReader> Win32Machine::OpenForReading(std::string_view path, std::string& reason) {
  // Read sharing only, as for text. A link is refused rather than read as
  // its target: the bytes kept of a listed file must be the entry's own.
  DWORD error = 0;
  auto file = OpenListedFile(path, GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN, error);
  if (!file) {
    reason = ErrorText(error);
    return nullptr;
  }
  return std::make_unique<HandleReader>(std::move(file->handle));
}

bool Win32Machine::WriteNewFile(std::string_view path, ByteReader& source, bool replace,
                                std::string& reason) {
  const auto wide = WidePath(path);
  const std::wstring full = wide ? FullWidePath(*wide) : std::wstring();
  const std::size_t separator = full.find_last_of(L"\\/");
  if (separator == std::wstring::npos || separator + 1 == full.size()) {
    reason = ErrorText(ERROR_INVALID_NAME);
    return false;
  }
  // MoveFileExW would refuse an existing file as well, but not before the
  // folders are made and the bytes copied.
  const DWORD existing = ::GetFileAttributesW(full.c_str());
  if (existing != INVALID_FILE_ATTRIBUTES && (!replace || (existing & FILE_ATTRIBUTE_DIRECTORY) != 0)) {
    reason = ErrorText(ERROR_ALREADY_EXISTS);
    return false;
  }
  std::wstring folder = full.substr(0, separator);
  if (folder.back() == L':') folder += L'\\';
  DWORD error = CreateFolders(folder);
  auto temporary = error == 0 ? TemporaryFile::Create(folder, error) : std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!temporary || !::GetFileInformationByHandle(temporary->Handle(), &info)) {
    reason = ErrorText(error != 0 ? error : ::GetLastError());
    return false;
  }
  // Like the files it deletes, the file it writes stays on the drive its
  // path names, whatever link a folder on the way has become.
  if (const auto letter = NamedDriveLetter(*wide); letter && !OnDriveVolume(info, *letter)) {
    reason = ErrorText(ERROR_ACCESS_DENIED);
    return false;
  }
  // A file number the system gives again is a new file's.
  originalAttributes_.erase(IdentityOf(info));
  return temporary->Fill(source, reason) && temporary->Commit(full, replace, reason);
}

bool Win32Machine::ReadTextLines(std::string_view path, const TextLineSink& onLine, std::string& reason) {
  const auto wide = WidePath(path);
  if (!wide) {
    reason = ErrorText(ERROR_INVALID_NAME);
    return false;
  }
  // Read sharing only: a file another process is still writing is refused
  // rather than read half-written.
  ScopedHandle file(::CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    reason = ErrorText(::GetLastError());
    return false;
  }
  HandleReader reader(std::move(file));
  return kestrix::ReadTextLines(
      reader, [](std::string_view ansi) { return Narrow(DecodeToWide(CP_ACP, ansi)); }, onLine, reason);
}

std::int32_t Win32Machine::QueryFileSize(std::string_view path) {
  const auto wide = WidePath(path);
  if (!wide) return -1;
  const std::wstring full = FullWidePath(*wide);
  if (full.empty()) return -1;
  // Hidden and system entries and directories alike; no directory search.
  WIN32_FILE_ATTRIBUTE_DATA found{};
  if (!::GetFileAttributesExW(full.c_str(), GetFileExInfoStandard, &found)) return -1;
  return static_cast<std::int32_t>(found.nFileSizeLow);
}

bool Win32Machine::RemoveFile(std::string_view path) {
  // On Windows the handle is on a link itself, so the link goes and never
  // its target; under Wine, which follows it anyway, IsEntryItself refuses.
  // A running program's file and a read-only file refuse the disposition as
  // they refuse DeleteFileW, on Windows and under Wine alike.
  return ActOnListedFile(path, DELETE, [&](HANDLE file, const BY_HANDLE_FILE_INFORMATION& info) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    if (!::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition)))
      return false;
    if (info.nNumberOfLinks <= 1) originalAttributes_.erase(IdentityOf(info));
    return true;
  });
}

std::string Win32Machine::FullPathName(std::string_view path) {
  const auto wide = WidePath(path);
  const std::wstring full = wide ? FullWidePath(*wide) : std::wstring();
  return full.empty() ? std::string(path) : Narrow(LongWidePath(full));
}

std::optional<FileIdentity> Win32Machine::IdentifyFile(std::string_view path) {
  const auto info = FileInformation(path);
  return info ? std::optional(IdentityOf(*info)) : std::nullopt;
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

#include "platform/win32/win32_machine.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <span>

#include "platform/common/shell_link.h"
#include "platform/common/text_file.h"
#include "platform/win32/message_loop.h"
#include "platform/win32/system_path.h"
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

// Text the system keeps in the ANSI code page: Autorun.inf, a shortcut's
// ANSI strings.
std::string DecodeAnsi(std::string_view ansi) { return Narrow(DecodeToWide(CP_ACP, ansi)); }

DWORD Attributes(std::string_view path) {
  const std::wstring system = SystemPath(path);
  return system.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(system.c_str());
}

// What the system says of the entry a path names, links followed.
struct FileFacts {
  BY_HANDLE_FILE_INFORMATION info{};
  FileIdentity identity;
};

// No data access: a file another process holds open can still be told.
std::optional<FileFacts> FileInformation(std::string_view path) {
  const std::wstring system = SystemPath(path);
  if (system.empty()) return std::nullopt;
  const ScopedHandle file(::CreateFileW(system.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FileFacts facts;
  if (!file.Valid() || !::GetFileInformationByHandle(file.Get(), &facts.info)) return std::nullopt;
  facts.identity = IdentityOf(file.Get(), facts.info);
  return facts;
}

bool IsExistingFile(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::wstring_view LastName(std::wstring_view path) { return path.substr(path.find_last_of(L"\\/") + 1); }

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
  // Without the separator, which a path in its unlimited form must not end
  // in, except at a drive's root.
  std::wstring folderPath = full.substr(0, separator);
  if (folderPath.ends_with(L':')) folderPath += L'\\';
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
  const std::wstring full = SystemPath(path);
  if (!wide || full.empty()) {
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
        originalAttributes_.try_emplace(IdentityOf(file, info), info.dwFileAttributes & kAttributeBits);
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
  const std::wstring system = SystemPath(path);
  return !system.empty() && ::RemoveDirectoryW(system.c_str()) != 0;
}

std::optional<std::uint32_t> Win32Machine::OriginalAttributes(std::string_view path) {
  const auto facts = FileInformation(path);
  if (!facts || (facts->info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::nullopt;
  const auto original = originalAttributes_.find(facts->identity);
  if (original != originalAttributes_.end()) return original->second;
  return facts->info.dwFileAttributes & kAttributeBits;
}

std::optional<std::uint32_t> Win32Machine::CurrentAttributes(std::string_view path) {
  const DWORD attributes = Attributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
    return std::nullopt;
  return attributes & kAttributeBits;
}

std::vector<FolderEntry> Win32Machine::ListFolder(std::string_view folder) {
  std::wstring pattern = SystemPath(folder);
  if (pattern.empty()) return {};
  if (!pattern.ends_with(L'\\')) pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW found{};
  const HANDLE search =
      ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
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

std::optional<ShellLink> Win32Machine::ReadShortcut(std::string_view path) {
  std::string reason;
  const auto reader = OpenForReading(path, reason);
  return reader ? ReadShellLink(*reader, DecodeAnsi) : std::nullopt;
}

std::unique_ptr<ByteReader> Win32Machine::OpenForReading(std::string_view path, std::string& reason) {
  // Read sharing only: the bytes kept of a file must not change while they
  // are read. A link is refused rather than read as its target: the bytes
  // kept of a listed file must be the entry's own.
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
  const std::wstring full = SystemPath(path);
  const std::size_t separator = full.find_last_of(L"\\/");
  if (!wide || separator == std::wstring::npos || separator + 1 == full.size()) {
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
  originalAttributes_.erase(IdentityOf(temporary->Handle(), info));
  return temporary->Fill(source, reason) && temporary->Commit(full, replace, reason);
}

bool Win32Machine::ReadTextLines(std::string_view path, const TextLineSink& onLine, std::string& reason) {
  const std::wstring system = SystemPath(path);
  if (system.empty()) {
    reason = ErrorText(ERROR_INVALID_NAME);
    return false;
  }
  // Every sharing allowed: a running worm keeps its Autorun.inf open for
  // writing, and refusing to read it would hide the worm. Only a file held
  // without read sharing stays unread, with the system's reason.
  ScopedHandle file(::CreateFileW(system.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    reason = ErrorText(::GetLastError());
    return false;
  }
  HandleReader reader(std::move(file));
  return kestrix::ReadTextLines(reader, DecodeAnsi, onLine, reason);
}

std::int32_t Win32Machine::QueryFileSize(std::string_view path) {
  const std::wstring system = SystemPath(path);
  if (system.empty()) return -1;
  // Hidden and system entries and directories alike; no directory search.
  WIN32_FILE_ATTRIBUTE_DATA found{};
  if (!::GetFileAttributesExW(system.c_str(), GetFileExInfoStandard, &found)) return -1;
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
    if (info.nNumberOfLinks <= 1) originalAttributes_.erase(IdentityOf(file, info));
    return true;
  });
}

std::string Win32Machine::FullPathName(std::string_view path) {
  const auto wide = WidePath(path);
  const std::wstring full = wide ? FullWidePath(*wide) : std::wstring();
  return full.empty() ? std::string(path) : Narrow(LongWidePath(full));
}

std::optional<FileIdentity> Win32Machine::IdentifyFile(std::string_view path) {
  // The entry itself, on its own drive: a link on a stick must never stand
  // for the file it leads to, or ending "its" processes would end those of
  // a system program.
  DWORD error = 0;
  const auto file =
      OpenListedFile(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     FILE_FLAG_OPEN_REPARSE_POINT, error);
  return file ? std::optional(IdentityOf(file->handle.Get(), file->info)) : std::nullopt;
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

void Win32Machine::PumpMessages() { DispatchPendingMessages(); }

}  // namespace kestrix::win32

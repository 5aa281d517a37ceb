#include "platform/win32/win32_store.h"

#include <windows.h>

#include <aclapi.h>
#include <bcrypt.h>
#include <shlobj.h>

#include <algorithm>
#include <array>
#include <climits>

#include "platform/win32/store_rules.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_machine.h"

namespace kestrix::win32 {

namespace {

// A name that stays a file of the folder: no separator, no character
// Windows refuses or drops (a trailing dot or blank), and no device name,
// which CON.txt is as much as CON in any folder.
bool IsPlainName(std::wstring_view name) {
  if (name.empty() || name.back() == L'.' || name.back() == L' ' ||
      name.find_first_of(L"<>:\"/\\|?*") != std::wstring_view::npos ||
      std::any_of(name.begin(), name.end(), [](wchar_t c) { return c < 0x20; })) {
    return false;
  }
  std::wstring stem(name.substr(0, name.find(L'.')));
  while (!stem.empty() && stem.back() == L' ') stem.pop_back();
  for (wchar_t& c : stem) c = (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
  constexpr std::wstring_view kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  if (std::find(std::begin(kDevices), std::end(kDevices), stem) != std::end(kDevices)) return false;
  return !(stem.size() == 4 && (stem.starts_with(L"COM") || stem.starts_with(L"LPT")) && stem[3] >= L'1' &&
           stem[3] <= L'9');
}

std::wstring FullFolder(const std::string& folder) {
  std::wstring wide = Widen(folder);
  const DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return wide;
  std::wstring full(needed, L'\0');
  const DWORD length = ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return wide;
  full.resize(length);
  return full;
}

// The folder a path is in; empty for a drive's root.
std::wstring ParentOf(const std::wstring& path) {
  const std::size_t separator = path.find_last_of(L'\\');
  if (separator == std::wstring::npos || separator + 1 == path.size()) return {};
  std::wstring parent = path.substr(0, separator);
  // "E:" alone would mean the current folder of drive E:.
  if (parent.ends_with(L':')) parent += L'\\';
  return parent;
}

bool SameText(std::wstring_view a, std::wstring_view b) {
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// Opens a folder itself, never what a link or junction leads to, sharing
// all but deletion: while it is open nobody renames or removes it.
ScopedHandle OpenFolder(const std::wstring& path, DWORD access) {
  return ScopedHandle(::CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

std::optional<DWORD> AttributesOf(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) return std::nullopt;
  return info.dwFileAttributes;
}

bool IsLockName(std::wstring_view name) { return SameText(name, Widen(kStoreLockName)); }

// A name the store makes: its lock, a temporary, "<64 hex>.bin" or
// "<decimal>.json".
bool IsStoreName(std::wstring_view name) {
  const auto all = [](std::wstring_view text, auto test) {
    return !text.empty() && std::all_of(text.begin(), text.end(), test);
  };
  const auto hex = [](wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); };
  const auto digit = [](wchar_t c) { return c >= L'0' && c <= L'9'; };
  return IsLockName(name) || name.starts_with(kTemporaryPrefix) ||
         (name.size() == 68 && name.ends_with(L".bin") && all(name.substr(0, 64), hex)) ||
         (name.ends_with(L".json") && all(name.substr(0, name.size() - 5), digit));
}

// Whether a folder holds only what the store makes, so that its rules are
// the store's to set: a folder named by mistake keeps its own.
bool HoldsOnlyStoreFiles(const std::wstring& folder) {
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return false;
  bool only = true;
  do {
    const std::wstring_view name = found.cFileName;
    only = name == L"." || name == L".." ||
           ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && IsStoreName(name));
  } while (only && ::FindNextFileW(search, &found));
  ::FindClose(search);
  return only;
}

std::wstring KnownFolder(REFKNOWNFOLDERID id) {
  PWSTR path = nullptr;
  std::wstring folder;
  if (SUCCEEDED(::SHGetKnownFolderPath(id, 0, nullptr, &path))) folder = path;
  ::CoTaskMemFree(path);
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  return folder;
}

std::string MachineStore() {
  std::wstring folder = KnownFolder(FOLDERID_ProgramData);
  if (folder.empty()) {
    // Where Windows keeps it by default: on the Windows folder's drive.
    std::array<wchar_t, MAX_PATH> windows{};
    const UINT length = ::GetWindowsDirectoryW(windows.data(), MAX_PATH);
    folder = (length >= 2 && length < MAX_PATH ? std::wstring(windows.data(), 2) : L"C:") + L"\\ProgramData";
  }
  return Narrow(folder) + "\\Kestrix\\Quarantine";
}

// Empty when the profile has no such folder.
std::string UserStore() {
  const std::wstring folder = KnownFolder(FOLDERID_LocalAppData);
  return folder.empty() ? std::string() : Narrow(folder) + "\\Kestrix\\Quarantine";
}

// The bytes at the start of the lock file: the store's mark.
class Win32StoreLock final : public StoreLock {
 public:
  Win32StoreLock(std::unique_ptr<Win32StoreFolder::Hold> hold, ScopedHandle file)
      : hold_(std::move(hold)), file_(std::move(file)) {}
  ~Win32StoreLock() override {
    OVERLAPPED at = LockRange();
    ::UnlockFileEx(file_.Get(), 0, 1, 0, &at);
  }
  Win32StoreLock(const Win32StoreLock&) = delete;
  Win32StoreLock& operator=(const Win32StoreLock&) = delete;

  // The lock covers a byte past the mark, so that the mark stays readable.
  static OVERLAPPED LockRange() {
    OVERLAPPED at{};
    at.Offset = sizeof(std::uint64_t);
    return at;
  }

  std::uint64_t Mark() override {
    std::array<unsigned char, sizeof(std::uint64_t)> bytes{};
    OVERLAPPED at{};
    DWORD got = 0;
    if (!::ReadFile(file_.Get(), bytes.data(), bytes.size(), &got, &at) || got != bytes.size()) return 0;
    std::uint64_t mark = 0;
    for (std::size_t i = bytes.size(); i-- > 0;) mark = (mark << 8) | bytes[i];
    return mark;
  }

  bool SetMark(std::uint64_t mark) override {
    std::array<unsigned char, sizeof(std::uint64_t)> bytes{};
    for (unsigned char& byte : bytes) {
      byte = static_cast<unsigned char>(mark);
      mark >>= 8;
    }
    OVERLAPPED at{};
    DWORD written = 0;
    return ::WriteFile(file_.Get(), bytes.data(), bytes.size(), &written, &at) && written == bytes.size();
  }

 private:
  std::unique_ptr<Win32StoreFolder::Hold> hold_;
  ScopedHandle file_;
};

class Win32StagedFile final : public StagedFile {
 public:
  Win32StagedFile(std::unique_ptr<Win32StoreFolder::Hold> hold, TemporaryFile file, std::wstring folder)
      : hold_(std::move(hold)), file_(std::move(file)), folder_(std::move(folder)) {}

  Placed Place(std::string_view name, bool replace, std::string& reason) override {
    const std::wstring wideName = Widen(name);
    if (!IsPlainName(wideName) || IsLockName(wideName) || wideName.starts_with(kTemporaryPrefix)) {
      reason = ErrorText(ERROR_INVALID_NAME);
      return Placed::kFailed;
    }
    if (file_.Commit(folder_ + L"\\" + wideName, replace, reason)) return Placed::kDone;
    const DWORD error = file_.CommitError();
    return !replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) ? Placed::kTaken
                                                                                     : Placed::kFailed;
  }

 private:
  std::unique_ptr<Win32StoreFolder::Hold> hold_;
  TemporaryFile file_;
  std::wstring folder_;
};

class BcryptSha256 final : public Sha256 {
 public:
  BcryptSha256() {
    failed_ =
        !BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        // The system keeps the hash's state itself (Windows 7 on).
        !BCRYPT_SUCCESS(::BCryptCreateHash(algorithm_, &hash_, nullptr, 0, nullptr, 0, 0));
  }
  ~BcryptSha256() override {
    if (hash_ != nullptr) ::BCryptDestroyHash(hash_);
    if (algorithm_ != nullptr) ::BCryptCloseAlgorithmProvider(algorithm_, 0);
  }
  BcryptSha256(const BcryptSha256&) = delete;
  BcryptSha256& operator=(const BcryptSha256&) = delete;

  void Update(std::string_view bytes) override {
    while (!failed_ && !bytes.empty()) {
      const auto size = static_cast<ULONG>(std::min<std::size_t>(bytes.size(), ULONG_MAX));
      auto* data = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data()));
      failed_ = !BCRYPT_SUCCESS(::BCryptHashData(hash_, data, size, 0));
      bytes.remove_prefix(size);
    }
  }

  std::string HexDigest() override {
    std::array<UCHAR, 32> digest{};
    if (failed_ || !BCRYPT_SUCCESS(::BCryptFinishHash(hash_, digest.data(), digest.size(), 0))) {
      failed_ = true;
      return {};
    }
    failed_ = true;  // finished: bcrypt takes no more data
    constexpr std::string_view kHex = "0123456789abcdef";
    std::string text;
    for (const UCHAR byte : digest) text.append({kHex[byte >> 4], kHex[byte & 0xF]});
    return text;
  }

 private:
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
  bool failed_ = false;
};

}  // namespace

// The folder and the one above it, open as long as a call works in them.
class Win32StoreFolder::Hold {
 public:
  ScopedHandle parent;
  ScopedHandle folder;
};

Win32StoreFolder::Win32StoreFolder(std::string folder, bool elevated)
    : wideFolder_(FullFolder(folder)), elevated_(elevated) {
  while (wideFolder_.size() > 3 && (wideFolder_.back() == L'\\' || wideFolder_.back() == L'/'))
    wideFolder_.pop_back();
  folder_ = Narrow(wideFolder_);
  // The system calls take it in its unlimited form.
  wideFolder_ = ExtendedPath(wideFolder_);
}

bool Win32StoreFolder::RunsElevated() {
  HANDLE token = nullptr;
  if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    ScopedHandle held(token);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (::GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) &&
        elevation.TokenIsElevated != 0) {
      return true;
    }
  }
  SidBytes administrators = WellKnownSid(WinBuiltinAdministratorsSid);
  BOOL member = FALSE;
  return !administrators.empty() && ::CheckTokenMembership(nullptr, administrators.data(), &member) && member;
}

std::wstring Win32StoreFolder::FilePath(std::wstring_view name) const {
  // That form takes no doubled separator, as after a drive's root.
  return wideFolder_ + (wideFolder_.ends_with(L'\\') ? L"" : L"\\") + std::wstring(name);
}

std::unique_ptr<Win32StoreFolder::Hold> Win32StoreFolder::Check(bool create, std::string& reason) {
  StoreRules rules(elevated_);
  if (!rules.valid) {
    reason = ErrorText(::GetLastError());
    return nullptr;
  }
  const auto failed = [&](DWORD error) {
    reason = "the quarantine folder " + folder_ + " cannot be used: " + ErrorText(error);
    return nullptr;
  };
  const std::wstring parent = ParentOf(wideFolder_);
  if (create && !parent.empty()) {
    // What is above the store's own folder keeps its rules; that folder
    // (Kestrix) and the store get the store's.
    const std::wstring above = ParentOf(parent);
    if (const DWORD error = above.empty() ? 0 : CreateFolders(above); error != 0) return failed(error);
    if (!::CreateDirectoryW(parent.c_str(), &rules.attributes) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      return failed(::GetLastError());
    }
  }
  auto hold = std::make_unique<Hold>();
  if (!parent.empty()) {
    // Held before the store's folder is made in it, so that it cannot
    // become a junction in between.
    hold->parent = OpenFolder(parent, READ_CONTROL);
    if (!hold->parent.Valid()) return failed(::GetLastError());
    const auto attributes = AttributesOf(hold->parent.Get());
    if (!attributes) return failed(::GetLastError());
    if ((*attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      reason = "the quarantine folder " + folder_ + " is refused: " + Narrow(PlainPath(parent)) +
               " is a link or a junction";
      return nullptr;
    }
  }
  if (create && !::CreateDirectoryW(wideFolder_.c_str(), &rules.attributes) &&
      ::GetLastError() != ERROR_ALREADY_EXISTS) {
    return failed(::GetLastError());
  }
  // Rules are set again only on the way to a change, never by a listing.
  hold->folder = OpenFolder(wideFolder_, READ_CONTROL | (create ? WRITE_DAC : 0));
  if (create && !hold->folder.Valid() && ::GetLastError() == ERROR_ACCESS_DENIED) {
    hold->folder = OpenFolder(wideFolder_, READ_CONTROL);
  }
  if (!hold->folder.Valid()) return failed(::GetLastError());
  const auto attributes = AttributesOf(hold->folder.Get());
  if (!attributes) return failed(::GetLastError());
  if ((*attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    reason = "the quarantine folder " + folder_ + " is refused: it is a link or a junction";
    return nullptr;
  }
  if ((*attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return failed(ERROR_DIRECTORY);
  if (!OwnedByTrusted(hold->folder.Get(), rules)) {
    reason = "the quarantine folder " + folder_ + " is refused: it belongs to another user";
    return nullptr;
  }
  // A store made before its rules were closed, or opened up since. Setting
  // them passes them on to the files already in it. One of the machine's
  // own stores always gets them; a folder named otherwise only when it
  // holds nothing but the store's files.
  if (create && !rules.Holds(hold->folder.Get()) && (IsDefaultStore() || HoldsOnlyStoreFiles(wideFolder_))) {
    const DWORD error = ::SetSecurityInfo(hold->folder.Get(), SE_FILE_OBJECT,
                                          DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                          nullptr, nullptr, rules.Acl(), nullptr);
    if (error != ERROR_SUCCESS) return failed(error);
  }
  return hold;
}

bool Win32StoreFolder::IsDefaultStore() const {
  const std::wstring folder = PlainPath(wideFolder_);
  return SameText(folder, Widen(MachineStore())) || SameText(folder, Widen(UserStore()));
}

std::unique_ptr<StoreLock> Win32StoreFolder::Lock(std::chrono::milliseconds wait, std::string& reason) {
  auto hold = Check(true, reason);
  if (!hold) return nullptr;
  const std::wstring path = FilePath(Widen(kStoreLockName));
  const auto open = [&] {
    return ScopedHandle(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  };
  ScopedHandle file = open();
  // A lock file another user made (in a store made before it was closed)
  // would let that user hold the store or forge its mark: it is made anew.
  if (file.Valid() && !OwnedByTrusted(file.Get(), StoreRules(elevated_))) {
    file = ScopedHandle();
    if (::DeleteFileW(path.c_str())) file = open();
    if (file.Valid() && !OwnedByTrusted(file.Get(), StoreRules(elevated_))) {
      reason = "the quarantine's lock in " + folder_ + " belongs to another user";
      return nullptr;
    }
  }
  if (!file.Valid()) {
    reason = "the quarantine's lock in " + folder_ + " cannot be opened: " + ErrorText(::GetLastError());
    return nullptr;
  }
  const auto attributes = AttributesOf(file.Get());
  if (!attributes || (*attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    reason = "the quarantine's lock in " + folder_ + " is not a plain file";
    return nullptr;
  }
  const ULONGLONG start = ::GetTickCount64();
  for (;;) {
    OVERLAPPED at = Win32StoreLock::LockRange();
    if (::LockFileEx(file.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) break;
    const DWORD error = ::GetLastError();
    if (error != ERROR_LOCK_VIOLATION) {
      reason = "the quarantine in " + folder_ + " cannot be locked: " + ErrorText(error);
      return nullptr;
    }
    const ULONGLONG waited = ::GetTickCount64() - start;
    const auto allowed = static_cast<ULONGLONG>(std::max<std::int64_t>(wait.count(), 0));
    if (waited >= allowed) {
      reason = "the quarantine is busy: another program has held it for " +
               std::to_string((waited + 500) / 1000) + " seconds";
      return nullptr;
    }
    ::Sleep(static_cast<DWORD>(std::min<ULONGLONG>(allowed - waited, 50)));
  }
  return std::make_unique<Win32StoreLock>(std::move(hold), std::move(file));
}

std::unique_ptr<StagedFile> Win32StoreFolder::Stage(ByteReader& source, std::string& reason) {
  auto hold = Check(true, reason);
  if (!hold) return nullptr;
  DWORD error = 0;
  auto temporary = TemporaryFile::Create(wideFolder_, error);
  if (!temporary) {
    reason = ErrorText(error);
    return nullptr;
  }
  if (!temporary->Fill(source, reason)) return nullptr;
  return std::make_unique<Win32StagedFile>(std::move(hold), std::move(*temporary), wideFolder_);
}

std::unique_ptr<ByteReader> Win32StoreFolder::Open(std::string_view name, std::string& reason) {
  const std::wstring wideName = Widen(name);
  if (!IsPlainName(wideName) || IsLockName(wideName)) {
    reason = ErrorText(ERROR_INVALID_NAME);
    return nullptr;
  }
  const auto hold = Check(false, reason);
  if (!hold) return nullptr;
  // Shared for deleting: a listing or a restore reading a file never keeps
  // another program from purging it.
  ScopedHandle file(::CreateFileW(FilePath(wideName).c_str(), GENERIC_READ | READ_CONTROL,
                                  FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.Valid()) {
    reason = ErrorText(::GetLastError());
    return nullptr;
  }
  const auto attributes = AttributesOf(file.Get());
  if (!attributes || (*attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    reason = Narrow(PlainPath(FilePath(wideName))) + " is a link, not a file of the quarantine";
    return nullptr;
  }
  // A file someone else made (planted, for an administrator to restore).
  if (!OwnedByTrusted(file.Get(), StoreRules(elevated_))) {
    reason = "another user made it";
    return nullptr;
  }
  return std::make_unique<HandleReader>(std::move(file));
}

bool Win32StoreFolder::Remove(std::string_view name) {
  const std::wstring wideName = Widen(name);
  if (!IsPlainName(wideName) || IsLockName(wideName)) return false;
  std::string reason;
  const auto hold = Check(false, reason);
  if (!hold) return false;
  if (::DeleteFileW(FilePath(wideName).c_str())) return true;
  const DWORD error = ::GetLastError();
  return error == ERROR_FILE_NOT_FOUND;
}

std::vector<StoreEntry> Win32StoreFolder::Entries(const std::function<bool(std::string_view)>&) {
  // The listing gives every file's size and age at no cost.
  std::vector<StoreEntry> entries;
  std::string reason;
  const auto hold = Check(false, reason);
  if (!hold) return entries;
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileExW(FilePath(L"*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) return entries;
  FILETIME nowTime{};
  ::GetSystemTimeAsFileTime(&nowTime);
  const auto ticks = [](const FILETIME& time) {
    return static_cast<std::int64_t>((std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime);
  };
  do {
    const std::wstring_view name = found.cFileName;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || IsLockName(name)) continue;
    entries.push_back(
        {.name = Narrow(name),
         .size = (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow,
         .ageSeconds = std::max<std::int64_t>(0, (ticks(nowTime) - ticks(found.ftLastWriteTime)) / 10000000),
         .temporary = name.starts_with(kTemporaryPrefix)});
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return entries;
}

std::string DefaultQuarantineFolder() {
  const std::string user = Win32StoreFolder::RunsElevated() ? std::string() : UserStore();
  return user.empty() ? MachineStore() : user;
}

std::optional<std::string> OtherQuarantineFolder() {
  const std::string other = Win32StoreFolder::RunsElevated() ? UserStore() : MachineStore();
  if (other.empty() || SameText(Widen(other), Widen(DefaultQuarantineFolder()))) return std::nullopt;
  return other;
}

std::unique_ptr<Sha256> BcryptHashing::StartSha256() { return std::make_unique<BcryptSha256>(); }

}  // namespace kestrix::win32

#include "platform/win32/win32_store.h"

#include <windows.h>

#include <bcrypt.h>
#include <shlobj.h>

#include <algorithm>
#include <array>
#include <climits>

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

Win32StoreFolder::Win32StoreFolder(std::string folder) : wideFolder_(FullFolder(folder)) {
  while (wideFolder_.size() > 3 && (wideFolder_.back() == L'\\' || wideFolder_.back() == L'/'))
    wideFolder_.pop_back();
  folder_ = Narrow(wideFolder_);
  // The system calls take it in its unlimited form.
  wideFolder_ = ExtendedPath(wideFolder_);
}

std::wstring Win32StoreFolder::FilePath(std::wstring_view name) const {
  // That form takes no doubled separator, as after a drive's root.
  return wideFolder_ + (wideFolder_.ends_with(L'\\') ? L"" : L"\\") + std::wstring(name);
}

bool Win32StoreFolder::Save(std::string_view name, ByteReader& source, std::string& reason) {
  const std::wstring wideName = Widen(name);
  if (!IsPlainName(wideName)) {
    reason = ErrorText(ERROR_INVALID_NAME);
    return false;
  }
  DWORD error = CreateFolders(wideFolder_);
  auto temporary = error == 0 ? TemporaryFile::Create(wideFolder_, error) : std::nullopt;
  if (!temporary) {
    reason = ErrorText(error);
    return false;
  }
  return temporary->Fill(source, reason) && temporary->Commit(FilePath(wideName), true, reason);
}

std::unique_ptr<ByteReader> Win32StoreFolder::Open(std::string_view name, std::string& reason) {
  const std::wstring wideName = Widen(name);
  if (!IsPlainName(wideName)) {
    reason = ErrorText(ERROR_INVALID_NAME);
    return nullptr;
  }
  ScopedHandle file(::CreateFileW(FilePath(wideName).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.Valid()) {
    reason = ErrorText(::GetLastError());
    return nullptr;
  }
  return std::make_unique<HandleReader>(std::move(file));
}

bool Win32StoreFolder::Remove(std::string_view name) {
  const std::wstring wideName = Widen(name);
  if (!IsPlainName(wideName)) return false;
  if (::DeleteFileW(FilePath(wideName).c_str())) return true;
  const DWORD error = ::GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

std::vector<std::string> Win32StoreFolder::Names() {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW(FilePath(L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring_view name = found.cFileName;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    // What an interrupted write left behind. A write still going on holds
    // its file open without sharing, so that it cannot be deleted here.
    if (name.starts_with(kTemporaryPrefix)) {
      ::DeleteFileW(FilePath(name).c_str());
      continue;
    }
    names.push_back(Narrow(name));
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return names;
}

std::string DefaultQuarantineFolder() {
  PWSTR programData = nullptr;
  std::wstring folder;
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &programData))) folder = programData;
  ::CoTaskMemFree(programData);
  if (folder.empty()) {
    // Where Windows keeps it by default: on the Windows folder's drive.
    std::array<wchar_t, MAX_PATH> windows{};
    const UINT length = ::GetWindowsDirectoryW(windows.data(), MAX_PATH);
    folder = (length >= 2 && length < MAX_PATH ? std::wstring(windows.data(), 2) : L"C:") + L"\\ProgramData";
  }
  if (folder.back() == L'\\') folder.pop_back();
  return Narrow(folder) + "\\Kestrix\\Quarantine";
}

std::unique_ptr<Sha256> BcryptHashing::StartSha256() { return std::make_unique<BcryptSha256>(); }

}  // namespace kestrix::win32

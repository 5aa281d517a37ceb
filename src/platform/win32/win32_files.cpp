#include "platform/win32/win32_files.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "platform/win32/win32_machine.h"

namespace kestrix::win32 {

void ScopedHandle::Close() {
  if (Valid()) ::CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

std::optional<std::size_t> HandleReader::Read(std::span<char> buffer, std::string& reason) {
  DWORD got = 0;
  const auto wanted = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MAXDWORD));
  if (!::ReadFile(file_.Get(), buffer.data(), wanted, &got, nullptr)) {
    reason = ErrorText(::GetLastError());
    return std::nullopt;
  }
  return got;
}

FileIdentity IdentityOf(HANDLE file, const BY_HANDLE_FILE_INFORMATION& info) {
  FILE_ID_INFO id{};
  if (::GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof(id))) {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    static_assert(sizeof(id.FileId.Identifier) == sizeof(low) + sizeof(high));
    std::memcpy(&low, id.FileId.Identifier, sizeof(low));
    std::memcpy(&high, id.FileId.Identifier + sizeof(low), sizeof(high));
    return {.volume = id.VolumeSerialNumber, .index = low, .indexHigh = high};
  }
  return {.volume = info.dwVolumeSerialNumber,
          .index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

std::wstring ExtendedPath(const std::wstring& full) {
  const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (full.size() >= 3 && full[1] == L':' && separator(full[2]) &&
      ((full[0] >= L'A' && full[0] <= L'Z') || (full[0] >= L'a' && full[0] <= L'z'))) {
    return L"\\\\?\\" + full;
  }
  // \\server\share, but not \\?\ or \\.\, which are already exact.
  if (full.size() >= 3 && separator(full[0]) && separator(full[1]) && full[2] != L'?' && full[2] != L'.') {
    return L"\\\\?\\UNC\\" + full.substr(2);
  }
  return full;
}

std::wstring PlainPath(const std::wstring& path) {
  if (path.starts_with(L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
  if (path.starts_with(L"\\\\?\\") && path.size() >= 6 && path[5] == L':') return path.substr(4);
  return path;
}

DWORD CreateFolders(const std::wstring& folder) {
  // Up to the first folder that exists, then down again creating each.
  std::vector<std::wstring> missing;
  std::wstring current = folder;
  for (;;) {
    const DWORD attributes = ::GetFileAttributesW(current.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_DIRECTORY;
      break;
    }
    missing.push_back(current);
    const std::size_t separator = current.find_last_of(L"\\/");
    if (separator == std::wstring::npos || separator == 0) break;
    std::wstring parent = current.substr(0, separator);
    // "E:" alone would mean the current folder of drive E:.
    if (parent.back() == L':') parent += L'\\';
    if (parent == current) break;
    current = std::move(parent);
  }
  for (auto folderPath = missing.rbegin(); folderPath != missing.rend(); ++folderPath) {
    // Another program may make the same folder meanwhile; that is no error.
    if (!::CreateDirectoryW(folderPath->c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      return ::GetLastError();
    }
  }
  return 0;
}

std::optional<TemporaryFile> TemporaryFile::Create(const std::wstring& folder, DWORD& error) {
  static std::atomic<unsigned> counter = 0;
  std::wstring base = folder;
  if (!base.empty() && base.back() != L'\\' && base.back() != L'/') base += L'\\';
  // The process and a counter make the name unique among writers; a name
  // left by an earlier process of the same number is skipped.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring path = base + std::wstring(kTemporaryPrefix) +
                              std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter) +
                              L".tmp";
    ScopedHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Valid()) return TemporaryFile(path, std::move(file));
    error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return std::nullopt;
  }
  return std::nullopt;
}

TemporaryFile::~TemporaryFile() {
  if (done_) return;
  file_.Close();
  ::DeleteFileW(path_.c_str());
}

bool TemporaryFile::Fill(ByteReader& source, std::string& reason) {
  std::vector<char> chunk(64 * 1024);
  for (;;) {
    const auto got = source.Read(chunk, reason);
    if (!got) return false;
    if (*got == 0) break;
    for (std::size_t done = 0; done < *got;) {
      DWORD written = 0;
      if (!::WriteFile(file_.Get(), chunk.data() + done, static_cast<DWORD>(*got - done), &written,
                       nullptr)) {
        reason = ErrorText(::GetLastError());
        return false;
      }
      done += written;
    }
  }
  if (!::FlushFileBuffers(file_.Get())) {
    reason = ErrorText(::GetLastError());
    return false;
  }
  return true;
}

bool TemporaryFile::Commit(const std::wstring& target, bool replace, std::string& reason) {
  file_.Close();
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  const auto move = [&] { return ::MoveFileExW(path_.c_str(), target.c_str(), flags) != 0; };
  if (move()) return done_ = true;
  DWORD error = ::GetLastError();
  // MoveFileExW leaves a read-only file in place; a replace asked for goes
  // ahead, and the file keeps its mark if it still fails.
  const DWORD attributes = ::GetFileAttributesW(target.c_str());
  const DWORD writable = attributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
  if (replace && error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == FILE_ATTRIBUTE_READONLY &&
      ::SetFileAttributesW(target.c_str(), writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL)) {
    if (move()) return done_ = true;
    error = ::GetLastError();
    ::SetFileAttributesW(target.c_str(), attributes);
  }
  commitError_ = error;
  reason = ErrorText(error);
  return false;
}

}  // namespace kestrix::win32

// Handles and the few things done with them across the Win32 backend:
// reading an open file as a stream, writing a file whole under a temporary
// name. For the backend's own sources only.
#pragma once

#include <windows.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"

namespace kestrix::win32 {

// A handle closed when it goes out of scope.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~ScopedHandle() { Close(); }
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE Get() const { return handle_; }
  void Close();

 private:
  HANDLE handle_;
};

// Reads an open file from where it stands.
class HandleReader final : public ByteReader {
 public:
  explicit HandleReader(ScopedHandle file) : file_(std::move(file)) {}
  std::optional<std::size_t> Read(std::span<char> buffer, std::string& reason) override;

 private:
  ScopedHandle file_;
};

// The identity of an open file: its 128-bit id where the file system gives
// one (ReFS numbers files beyond 64 bits), else the one `info` reports.
FileIdentity IdentityOf(HANDLE file, const BY_HANDLE_FILE_INFORMATION& info);

// A full path ("E:\x", "\\server\share\x") in the form that takes no
// length limit ("\\?\E:\x", "\\?\UNC\server\share\x"); other paths as
// they are. The system resolves nothing in that form, so `full` must come
// from GetFullPathNameW.
std::wstring ExtendedPath(const std::wstring& full);
// The path without that prefix, for showing and comparing.
std::wstring PlainPath(const std::wstring& path);

// Creates `folder` (a full path) and every folder missing above it; 0, or
// the error that stopped it.
DWORD CreateFolders(const std::wstring& folder);

// The prefix of the temporary files that an interrupted write leaves.
inline constexpr std::wstring_view kTemporaryPrefix = L".kestrix-";

// A new file under a temporary name in a folder, held open without sharing
// while it is written, so that no other program reads it half-written or
// takes it for a leftover. Unless it is committed, it is removed.
class TemporaryFile {
 public:
  // Null with the error when the folder takes no new file.
  static std::optional<TemporaryFile> Create(const std::wstring& folder, DWORD& error);
  TemporaryFile(TemporaryFile&& other) noexcept
      : path_(std::move(other.path_)),
        file_(std::move(other.file_)),
        done_(std::exchange(other.done_, true)),
        commitError_(other.commitError_) {}
  TemporaryFile& operator=(TemporaryFile&&) = delete;
  ~TemporaryFile();

  HANDLE Handle() const { return file_.Get(); }
  // Copies all of `source` into the file and flushes it to the disk.
  bool Fill(ByteReader& source, std::string& reason);
  // Closes the file and renames it to `target` (a full path), replacing a
  // file there only when `replace` says so, read-only or not. The rename
  // is the only step that changes `target`, so an interruption leaves the
  // old file or none, never part of one. A failed commit may be tried again
  // with another target.
  bool Commit(const std::wstring& target, bool replace, std::string& reason);
  // The system's error of the last failed commit.
  DWORD CommitError() const { return commitError_; }

 private:
  TemporaryFile(std::wstring path, ScopedHandle file) : path_(std::move(path)), file_(std::move(file)) {}

  std::wstring path_;
  ScopedHandle file_;
  bool done_ = false;
  DWORD commitError_ = 0;
};

}  // namespace kestrix::win32

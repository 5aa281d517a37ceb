// The engine's services on Windows itself, through the W functions; text
// crosses as UTF-8 and becomes UTF-16 here. Under Wine the same code runs.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kestrix::win32 {

// UTF-8 and UTF-16 at the boundary to the W functions. Invalid UTF-8
// becomes U+FFFD.
std::wstring Widen(std::string_view text);
std::string Narrow(std::wstring_view text);
// The system's message for an error code, without its line end.
std::string ErrorText(std::uint32_t error);

// True when this process runs under Wine (ntdll exports wine_get_version).
bool RunningUnderWine();

// The full path of the running executable.
std::string ExecutablePath();

class Win32Machine final : public Files, public Volumes, public CaseFolding, public MessagePump {
 public:
  // Files
  bool FileExists(std::string_view path) override;
  // ResetAttributes, SetAttributes, RemoveFile and OpenForReading act only
  // on the entry the path names, on the volume of the drive letter it names:
  // a link or junction on a stick never lets them reach a file elsewhere.
  // ResetAttributes remembers each file's bits before its first reset, by
  // the file's identity, for OriginalAttributes.
  bool ResetAttributes(std::string_view path) override;
  // Rule files and Autorun.inf are ANSI text in the system code page
  // (CP_ACP), unless they are UTF-8.
  bool ReadTextLines(std::string_view path, const TextLineSink& onLine, std::string& reason) override;
  std::int32_t QueryFileSize(std::string_view path) override;
  bool RemoveFile(std::string_view path) override;
  std::string FullPathName(std::string_view path) override;
  std::optional<FileIdentity> IdentifyFile(std::string_view path) override;
  std::unique_ptr<ByteReader> OpenForReading(std::string_view path, std::string& reason) override;
  std::optional<std::uint32_t> OriginalAttributes(std::string_view path) override;
  std::optional<std::uint32_t> CurrentAttributes(std::string_view path) override;
  bool SetAttributes(std::string_view path, std::uint32_t attributes) override;
  // Writes a temporary file in the target's folder, flushes it and moves it
  // into place with MoveFileExW.
  bool WriteNewFile(std::string_view path, ByteReader& source, bool replace, std::string& reason) override;
  bool RemoveFolder(std::string_view path) override;
  std::vector<FolderEntry> ListFolder(std::string_view folder) override;
  // From the file's bytes, read as OpenForReading reads them, by the
  // bounds-checked reader every backend shares: a hostile stick's shortcut
  // never reaches the shell's code inside this process.
  std::optional<ShellLink> ReadShortcut(std::string_view path) override;

  // Volumes
  std::string WindowsDirectory() override;
  std::string TempDirectory() override;
  DriveType QueryDriveType(std::string_view root) override;
  // The volume is asked without access rights, which a standard user may;
  // where it tells no extent (a network or SUBST drive, Wine's folders),
  // a root that answers counts as a drive with media.
  DiskExtent GetFirstDiskExtent(char letter) override;
  std::optional<std::string> VolumeIdentity(char letter) override;
  std::string VolumeLabel(char letter) override;

  // CaseFolding, through CharLowerBuffW.
  char32_t ToLower(char32_t c) const override;

  // MessagePump: handles every pending message of this thread.
  void PumpMessages() override;

 private:
  std::map<FileIdentity, std::uint32_t> originalAttributes_;
};

// The process table: Tool Help bound at run time; a process's file known by
// QueryFullProcessImageNameW and its identity.
class Win32ProcessTable final : public ProcessTable {
 public:
  bool SetDebugPrivilege(bool enable) override;
  std::vector<ProcessEntry> Snapshot() override;
  std::unique_ptr<ProcessHandle> OpenProcess(std::uint32_t id) override;
};

// The registry below HKEY_LOCAL_MACHINE: read access to read, write access
// only to write.
class Win32Registry final : public Registry {
 public:
  std::unique_ptr<RegistryKey> OpenKey(std::string_view path) override;
  std::optional<bool> KeyExists(std::string_view path) override;
  std::unique_ptr<WritableRegistryKey> OpenOrCreateKey(std::string_view path) override;
};

}  // namespace kestrix::win32

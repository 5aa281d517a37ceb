// The quarantine's folder on Windows, and SHA-256 through bcrypt.dll.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kestrix::win32 {

// The store's folder, closed to other users. An elevated program keeps the
// machine's store, which only the administrators and the system may open;
// another program keeps this user's own, open to this user as well. Every
// call first opens the folder (and the one above it) without following a
// link and holds it open, so that it cannot be renamed or swapped for a
// junction while the call works in it by name.
class Win32StoreFolder final : public StoreFolder {
 public:
  // `folder` is a full Windows path in UTF-8. `elevated` says whether this
  // program runs with the administrators' rights: then the folder it
  // creates admits only them and the system, and what they own is trusted
  // as this user's own.
  explicit Win32StoreFolder(std::string folder, bool elevated = RunsElevated());

  std::string Location() const override { return folder_; }
  // LockFileEx on a file of the folder, tried again until `wait` passes.
  std::unique_ptr<StoreLock> Lock(std::chrono::milliseconds wait, std::string& reason) override;
  std::unique_ptr<StagedFile> Stage(ByteReader& source, std::string& reason) override;
  // A link, or a file whose owner is not trusted or cannot be read, is refused.
  std::unique_ptr<ByteReader> Open(std::string_view name, std::string& reason) override;
  bool Remove(std::string_view name) override;
  std::vector<StoreEntry> Entries(const std::function<bool(std::string_view)>& described) override;

  // Whether this program runs elevated: its token is, or the
  // administrators' group is enabled in it (as without UAC).
  static bool RunsElevated();

  class Hold;

 private:
  // The folder checked and held open; with `create`, made when missing and
  // its access rules set again when they differ. Null with the reason.
  std::unique_ptr<Hold> Check(bool create, std::string& reason);
  // %ProgramData%'s store or this user's.
  bool IsDefaultStore() const;
  // A file of the folder, in the form of any length the system calls take.
  std::wstring FilePath(std::wstring_view name) const;

  std::string folder_;
  std::wstring wideFolder_;
  bool elevated_;
};

// The name of the store's lock file; no listing shows it.
inline constexpr std::string_view kStoreLockName = "kestrix.lock";

// The store this program writes: %ProgramData%\Kestrix\Quarantine for an
// elevated program, else this user's %LOCALAPPDATA%\Kestrix\Quarantine.
std::string DefaultQuarantineFolder();
// The other of the two, to list what it keeps (an elevated program lists
// its user's store; a standard user's program cannot read the machine's);
// nullopt when both are one folder or it cannot be named.
std::optional<std::string> OtherQuarantineFolder();

class BcryptHashing final : public Hashing {
 public:
  // A digest is empty when the system refuses to hash.
  std::unique_ptr<Sha256> StartSha256() override;
};

}  // namespace kestrix::win32

// The quarantine's folder on the host, and SHA-256 through OpenSSL.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_files.h"

namespace kestrix::posix {

// A folder of this user's, closed to others (0700, its files 0600). A
// folder that is a symbolic link or belongs to another user is refused.
class PosixStoreFolder final : public StoreFolder {
 public:
  explicit PosixStoreFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}

  std::string Location() const override { return folder_.string(); }
  std::unique_ptr<StoreLock> Lock(std::chrono::milliseconds wait, std::string& reason) override;
  std::unique_ptr<StagedFile> Stage(ByteReader& source, std::string& reason) override;
  std::unique_ptr<ByteReader> Open(std::string_view name, std::string& reason) override;
  bool Remove(std::string_view name) override;
  std::vector<StoreEntry> Entries(const std::function<bool(std::string_view)>& described) override;

 private:
  // The folder opened and found to be ours; with `create`, made when
  // missing. nullopt with the reason; `missing` tells a folder not there.
  // Once found ours, the folder stays open, and a call within a second of
  // the last check works through it unchecked, so that reading a store of
  // many files does not look its path up for each file. The descriptor is
  // the store's own: valid while the store lives.
  std::optional<int> OpenFolder(bool create, std::string& reason, bool* missing = nullptr) const;

  std::filesystem::path folder_;
  mutable FileDescriptor held_{-1};
  mutable FileDescriptor unheld_{-1};  // a folder not closed to others, open for one listing call
  mutable std::chrono::steady_clock::time_point checked_;
};

// The lock file's name in the store's folder; it is no file of the store.
inline constexpr std::string_view kStoreLockName = "kestrix.lock";

// $XDG_STATE_HOME/kestrix/quarantine, by default ~/.local/state/kestrix/quarantine.
std::filesystem::path DefaultQuarantineFolder();

class OpenSslHashing final : public Hashing {
 public:
  std::unique_ptr<Sha256> StartSha256() override;
};

}  // namespace kestrix::posix

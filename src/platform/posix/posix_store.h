// The quarantine's folder on the host, and SHA-256 through OpenSSL.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kestrix::posix {

class PosixStoreFolder final : public StoreFolder {
 public:
  explicit PosixStoreFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}

  std::string Location() const override { return folder_.string(); }
  bool Save(std::string_view name, ByteReader& source, std::string& reason) override;
  std::unique_ptr<ByteReader> Open(std::string_view name, std::string& reason) override;
  bool Remove(std::string_view name) override;
  std::vector<std::string> Names() override;

 private:
  std::filesystem::path folder_;
};

// $XDG_STATE_HOME/kestrix/quarantine, by default ~/.local/state/kestrix/quarantine.
std::filesystem::path DefaultQuarantineFolder();

class OpenSslHashing final : public Hashing {
 public:
  std::unique_ptr<Sha256> StartSha256() override;
};

}  // namespace kestrix::posix

// The quarantine's folder on Windows, and SHA-256 through bcrypt.dll.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kestrix::win32 {

class Win32StoreFolder final : public StoreFolder {
 public:
  // `folder` is a full Windows path in UTF-8.
  explicit Win32StoreFolder(std::string folder);

  std::string Location() const override { return folder_; }
  // Through a temporary file in the folder, flushed and moved into place by
  // MoveFileExW.
  bool Save(std::string_view name, ByteReader& source, std::string& reason) override;
  std::unique_ptr<ByteReader> Open(std::string_view name, std::string& reason) override;
  bool Remove(std::string_view name) override;
  std::vector<std::string> Names() override;

 private:
  // A file of the folder, in the form of any length the system calls take.
  std::wstring FilePath(std::wstring_view name) const;

  std::string folder_;
  std::wstring wideFolder_;
};

// %ProgramData%\Kestrix\Quarantine: one store for every user of the machine,
// as the program's options are the machine's.
std::string DefaultQuarantineFolder();

class BcryptHashing final : public Hashing {
 public:
  // A digest is empty when the system refuses to hash.
  std::unique_ptr<Sha256> StartSha256() override;
};

}  // namespace kestrix::win32

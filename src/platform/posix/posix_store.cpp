#include "platform/posix/posix_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>

#include "platform/posix/posix_files.h"

namespace kestrix::posix {

namespace {

// Names are plain: a separator or a dot name would leave the folder.
bool IsPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

class OpenSslSha256 final : public Sha256 {
 public:
  OpenSslSha256() : context_(::EVP_MD_CTX_new()) { ::EVP_DigestInit_ex(context_.get(), ::EVP_sha256(), nullptr); }
  void Update(std::string_view bytes) override { ::EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()); }
  std::string HexDigest() override {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    ::EVP_DigestFinal_ex(context_.get(), digest.data(), &length);
    constexpr std::string_view kHex = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) text.append({kHex[digest[i] >> 4], kHex[digest[i] & 0xF]});
    return text;
  }

 private:
  struct Free {
    void operator()(EVP_MD_CTX* context) const { ::EVP_MD_CTX_free(context); }
  };
  std::unique_ptr<EVP_MD_CTX, Free> context_;
};

}  // namespace

bool PosixStoreFolder::Save(std::string_view name, ByteReader& source, std::string& reason) {
  if (!IsPlainName(name)) {
    reason = ErrorText(EINVAL);
    return false;
  }
  std::error_code error;
  std::filesystem::create_directories(folder_, error);
  const FileDescriptor folder(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.Get() < 0) {
    reason = ErrorText(errno);
    return false;
  }
  return WriteThenRename(folder.Get(), std::string(name), source, true, reason);
}

std::unique_ptr<ByteReader> PosixStoreFolder::Open(std::string_view name, std::string& reason) {
  if (!IsPlainName(name)) {
    reason = ErrorText(EINVAL);
    return nullptr;
  }
  FileDescriptor file(::open((folder_ / std::string(name)).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (file.Get() < 0) {
    reason = ErrorText(errno);
    return nullptr;
  }
  return std::make_unique<DescriptorReader>(std::move(file));
}

bool PosixStoreFolder::Remove(std::string_view name) {
  if (!IsPlainName(name)) return false;
  return ::unlink((folder_ / std::string(name)).c_str()) == 0 || errno == ENOENT;
}

std::vector<std::string> PosixStoreFolder::Names() {
  std::vector<std::string> names;
  DIR* listing = ::opendir(folder_.c_str());
  if (listing == nullptr) return names;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    // What an interrupted write left behind.
    if (name.starts_with(kTemporaryPrefix)) {
      ::unlinkat(::dirfd(listing), entry->d_name, 0);
      continue;
    }
    names.emplace_back(name);
  }
  ::closedir(listing);
  return names;
}

std::filesystem::path DefaultQuarantineFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::filesystem::path(state) / "kestrix" / "quarantine";
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home != nullptr ? home : "/") / ".local" / "state" / "kestrix" / "quarantine";
}

std::unique_ptr<Sha256> OpenSslHashing::StartSha256() { return std::make_unique<OpenSslSha256>(); }

}  // namespace kestrix::posix

// Files that hand every call on to other Files; a program that wants to
// note or change a few calls derives from it and overrides only those.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kestrix {

class ForwardingFiles : public Files {
 public:
  explicit ForwardingFiles(Files& files) : files_(files) {}

  bool FileExists(std::string_view path) override { return files_.FileExists(path); }
  bool ResetAttributes(std::string_view path) override { return files_.ResetAttributes(path); }
  bool ReadTextLines(std::string_view path, const TextLineSink& onLine, std::string& reason) override {
    return files_.ReadTextLines(path, onLine, reason);
  }
  std::int32_t QueryFileSize(std::string_view path) override { return files_.QueryFileSize(path); }
  bool RemoveFile(std::string_view path) override { return files_.RemoveFile(path); }
  std::string FullPathName(std::string_view path) override { return files_.FullPathName(path); }
  std::optional<FileIdentity> IdentifyFile(std::string_view path) override { return files_.IdentifyFile(path); }
  std::unique_ptr<ByteReader> OpenForReading(std::string_view path, std::string& reason) override {
    return files_.OpenForReading(path, reason);
  }
  std::optional<std::uint32_t> OriginalAttributes(std::string_view path) override {
    return files_.OriginalAttributes(path);
  }
  std::optional<std::uint32_t> CurrentAttributes(std::string_view path) override {
    return files_.CurrentAttributes(path);
  }
  bool SetAttributes(std::string_view path, std::uint32_t attributes) override {
    return files_.SetAttributes(path, attributes);
  }
  bool WriteNewFile(std::string_view path, ByteReader& source, bool replace, std::string& reason) override {
    return files_.WriteNewFile(path, source, replace, reason);
  }
  bool RemoveFolder(std::string_view path) override { return files_.RemoveFolder(path); }
  std::vector<FolderEntry> ListFolder(std::string_view folder) override { return files_.ListFolder(folder); }
  std::optional<ShellLink> ReadShortcut(std::string_view path) override { return files_.ReadShortcut(path); }
  std::optional<std::uint32_t> Permissions(std::string_view path) override {
    return files_.Permissions(path);
  }
  bool SetPermissions(std::string_view path, std::uint32_t bits) override {
    return files_.SetPermissions(path, bits);
  }

 private:
  Files& files_;
};

}  // namespace kestrix

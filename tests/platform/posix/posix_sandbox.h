// The fixture of the POSIX backend's tests: a fresh directory per test
// with drive E: mapped onto its "stick" folder.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/posix_machine.h"
#include "support/temp_dir.h"

namespace kestrix::posix {

// The current directory is restored afterwards, since some tests move it.
class Sandbox : public ::testing::Test {
 protected:
  using Lines = std::vector<std::string>;

  void SetUp() override {
    std::filesystem::create_directories(stick_);
    savedCwd_ = std::filesystem::current_path();
  }
  void TearDown() override { std::filesystem::current_path(savedCwd_); }

  void Write(const std::filesystem::path& path, std::string_view bytes) {
    kestrix::testing::WriteFile(path, bytes);
  }

  PosixMachine Machine(int codePage = 1252) {
    DriveMap drives;
    drives.Map('e', {.type = DriveType::kRemovable, .extentLength = 1, .directory = stick_});
    return PosixMachine(std::move(drives), codePage);
  }

  static std::optional<Lines> ReadLines(PosixMachine& machine, std::string_view path) {
    Lines lines;
    std::string reason;
    if (!machine.ReadTextLines(
            path, [&](std::string_view line, std::size_t) { lines.emplace_back(line); }, reason)) {
      return std::nullopt;
    }
    return lines;
  }

  kestrix::testing::TempDir dir_;
  std::filesystem::path root_ = dir_.Path();
  std::filesystem::path stick_ = root_ / "stick";
  std::filesystem::path savedCwd_;
};

}  // namespace kestrix::posix

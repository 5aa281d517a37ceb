// Windows paths against the POSIX backend's drive map: a small tree made
// once, a stick folder mapped as E: with mixed-case names and links in and
// out, and files beside it that no spelling may reach. The first byte picks
// the current directory, the rest is the path.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "platform/posix/posix_machine.h"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSecret = "OUTSIDE-SECRET";
constexpr mode_t kOutsideMode = 0444;

struct Tree {
  fs::path root;
  fs::path stick;
  fs::path secret;  // reached by no name on the stick
  fs::path linked;  // has a second name on the stick, a hard link
  fs::path readOnly;
  fs::path currentDirectories[4];
  fs::path startDirectory;  // libFuzzer reads its inputs relative to it
  kestrix::FileIdentity secretIdentity;
  std::unique_ptr<kestrix::posix::PosixMachine> machine;
};

Tree* tree = nullptr;

// A broken promise: says which, then crashes for libFuzzer to keep the input.
void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}

void Write(const fs::path& path, std::string_view bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

bool WithinStick(const fs::path& path) {
  const fs::path normal = path.lexically_normal();
  const fs::path rest = normal.lexically_relative(tree->stick);
  return !rest.empty() && *rest.begin() != "..";
}

bool OutsideUntouched() {
  struct stat info {};
  for (const fs::path& file : {tree->secret, tree->linked}) {
    if (::lstat(file.c_str(), &info) != 0 || (info.st_mode & 07777) != kOutsideMode) return false;
  }
  return true;
}

void RemoveTree() {
  std::error_code error;
  fs::current_path(fs::temp_directory_path(error), error);
  fs::permissions(tree->root, fs::perms::owner_all, fs::perm_options::add, error);
  fs::remove_all(tree->root, error);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  std::string folder = (fs::temp_directory_path() / "kestrix-fuzz-XXXXXX").string();
  if (::mkdtemp(folder.data()) == nullptr) std::abort();
  tree = new Tree;
  tree->root = fs::canonical(folder);
  tree->stick = tree->root / "stick";
  const fs::path& stick = tree->stick;
  const fs::path outside = tree->root / "outside";

  Write(stick / "Autorun.inf", "[autorun]\r\nopen=Dir\\Sub\\Virus.exe\r\n");
  Write(stick / "Dir/Sub/Virus.exe", "MZ");
  Write(stick / "multi/ABc", "x");
  Write(stick / "multi/abc", "x");
  Write(stick / "École.txt", "x");
  Write(stick / "Folder.exe/inner.txt", "x");
  tree->readOnly = stick / "ReadOnly.exe";
  Write(tree->readOnly, "MZ");
  tree->secret = outside / "secret.txt";
  tree->linked = outside / "linked.txt";
  Write(tree->secret, kSecret);
  Write(tree->linked, "HARD-LINKED");
  Write(tree->root / "stick2/Autorun.inf", kSecret);
  fs::create_hard_link(tree->linked, stick / "hard.exe");
  fs::create_directory_symlink("Dir", stick / "alias");
  fs::create_symlink("Dir/Sub/Virus.exe", stick / "link.exe");
  fs::create_directory_symlink(stick / "Dir", stick / "absolute");
  fs::create_directory_symlink(outside, stick / "out");
  fs::create_directory_symlink("..", stick / "up");
  fs::create_directory_symlink("../stick2", stick / "sibling");
  fs::create_symlink(tree->secret, stick / "secret.lnk");
  fs::create_symlink("nothere/../../outside/secret.txt", stick / "trick.exe");
  fs::create_symlink("loop.exe", stick / "loop.exe");
  fs::create_symlink("missing.exe", stick / "dangling.exe");

  for (const fs::path& file : {tree->secret, tree->linked, tree->readOnly})
    ::chmod(file.c_str(), kOutsideMode);
  struct stat info {};
  if (::stat(tree->secret.c_str(), &info) != 0) std::abort();
  tree->secretIdentity = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
  tree->startDirectory = fs::current_path();
  tree->currentDirectories[0] = stick;
  tree->currentDirectories[1] = stick / "Dir/Sub";
  tree->currentDirectories[2] = tree->root;
  tree->currentDirectories[3] = outside;

  kestrix::posix::DriveMap drives;
  drives.Map('E', {.type = kestrix::DriveType::kRemovable, .extentLength = 1, .directory = stick});
  tree->machine = std::make_unique<kestrix::posix::PosixMachine>(std::move(drives), 1252);
  std::atexit(RemoveTree);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  fs::current_path(tree->currentDirectories[data[0] % 4]);
  const std::string path(reinterpret_cast<const char*>(data) + 1, size - 1);
  kestrix::posix::PosixMachine& machine = *tree->machine;

  const auto resolved = machine.Resolve(path);
  Check(!resolved || WithinStick(*resolved), "Resolve stays on the stick");
  const bool exists = machine.FileExists(path);
  Check(!exists || resolved, "an existing file resolves");
  machine.QueryFileSize(path);
  machine.FullPathName(path);
  const auto identity = machine.IdentifyFile(path);
  Check(!identity || *identity != tree->secretIdentity, "IdentifyFile stays on the stick");
  machine.ResetAttributes(path);
  std::string reason;
  machine.ReadTextLines(
      path,
      [](std::string_view line, std::size_t) {
        Check(line.find(kSecret) == std::string_view::npos, "ReadTextLines stays on the stick");
      },
      reason);

  Check(OutsideUntouched(), "the files off the stick keep their mode");
  ::chmod(tree->readOnly.c_str(), kOutsideMode);
  fs::current_path(tree->startDirectory);
  return 0;
}

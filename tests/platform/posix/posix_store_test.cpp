#include "platform/posix/posix_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "platform/common/text_file.h"
#include "platform/posix/posix_machine.h"
#include "support/temp_dir.h"

namespace kestrix::posix {
namespace {

bool Described(std::string_view) { return true; }

namespace fs = std::filesystem;
using kestrix::testing::WriteFile;
using std::chrono::milliseconds;

std::string Contents(const fs::path& path) {
  return (std::ostringstream() << std::ifstream(path).rdbuf()).str();
}

unsigned Mode(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

bool HasTemporary(const fs::path& folder, unsigned* mode = nullptr) {
  for (const auto& file : fs::directory_iterator(folder)) {
    if (!file.path().filename().string().starts_with(kTemporaryPrefix)) continue;
    if (mode != nullptr) *mode = Mode(file.path());
    return true;
  }
  return false;
}

class PosixStore : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(stick_); }
  PosixMachine Machine() {
    DriveMap drives;
    drives.Map('E', {.type = DriveType::kRemovable, .extentLength = 1, .directory = stick_});
    return PosixMachine(std::move(drives), 1252);
  }
  kestrix::testing::TempDir dir_;
  fs::path folder_ = dir_.Path() / "state/quarantine";
  fs::path stick_ = dir_.Path() / "stick";
  PosixStoreFolder store_{folder_};
  std::string reason_;
};

TEST_F(PosixStore, TwoProcessesTakeTheLockInTurnAndShareTheMark) {
  int toChild[2], toParent[2];
  ASSERT_EQ(::pipe(toChild) | ::pipe(toParent), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    auto lock = store_.Lock(milliseconds(0), reason_);
    if (lock) lock->SetMark(0x1122334455667788);
    char byte = lock ? 'y' : 'n';
    (void)!::write(toParent[1], &byte, 1);
    (void)!::read(toChild[0], &byte, 1);  // holds the lock until told
    ::_exit(0);
  }
  char held = 0;
  ASSERT_TRUE(::read(toParent[0], &held, 1) == 1 && held == 'y');
  EXPECT_EQ(store_.Lock(milliseconds(300), reason_), nullptr);
  EXPECT_EQ(reason_, "the quarantine is busy: another program has held it for 1 second");
  (void)!::write(toChild[1], "x", 1);
  ::waitpid(child, nullptr, 0);
  const auto lock = store_.Lock(milliseconds(300), reason_);
  ASSERT_NE(lock, nullptr) << reason_;
  EXPECT_EQ(lock->Mark(), 0x1122334455667788u);
  EXPECT_TRUE(store_.Entries(Described).empty()) << "the lock file is no file of the store";
}

// Every call refuses a folder that is a link or another user's and touches nothing in it.
TEST_F(PosixStore, RefusesAFolderThatIsNotItsOwn) {
  fs::create_directories(dir_.Path() / "elsewhere");
  fs::create_directory_symlink(dir_.Path() / "elsewhere", dir_.Path() / "link");
  fs::create_directories(dir_.Path() / "nobody's");
  const bool root = ::geteuid() == 0 && ::chown((dir_.Path() / "nobody's").c_str(), 65534, 65534) == 0;
  for (const fs::path& folder : {dir_.Path() / "link", dir_.Path() / "nobody's"}) {
    if (!root && folder.filename() == "nobody's") continue;  // only root can give a folder away
    WriteFile(folder / "1.json", "planted");
    PosixStoreFolder store(folder);
    MemoryByteReader source("x");
    EXPECT_EQ(store.Lock(milliseconds(0), reason_), nullptr) << folder;
    EXPECT_NE(reason_.find(folder.string()), std::string::npos) << reason_;
    EXPECT_EQ(store.Stage(source, reason_), nullptr) << folder;
    EXPECT_EQ(store.Open("1.json", reason_), nullptr) << folder;
    EXPECT_FALSE(store.Remove("1.json")) << folder;
    EXPECT_TRUE(store.Entries(Described).empty()) << folder;
    EXPECT_EQ(Contents(folder / "1.json"), "planted") << folder;
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1) << folder;
  }
}

// What it places is its user's alone, in a folder closed to others, whatever the umask.
TEST_F(PosixStore, PlacesWithoutReplacingATakenNameAndRemovesWhatItDidNotPlace) {
  const mode_t saved = ::umask(0);
  WriteFile(folder_ / "1.json", "first");  // in a folder open to all
  const auto lock = store_.Lock(milliseconds(0), reason_);
  const struct {
    std::string_view name;
    bool replace;
    StagedFile::Placed placed;
    std::string_view afterwards;
  } cases[] = {{"1.json", false, StagedFile::Placed::kTaken, "first"},
               {"2.json", false, StagedFile::Placed::kDone, "new"},
               {"1.json", true, StagedFile::Placed::kDone, "new"}};
  for (const auto& c : cases) {
    MemoryByteReader source("new");
    EXPECT_EQ(store_.Stage(source, reason_)->Place(c.name, c.replace, reason_), c.placed) << c.name;
    EXPECT_EQ(Contents(folder_ / c.name), c.afterwards) << c.name;
    EXPECT_FALSE(HasTemporary(folder_)) << c.name;
  }
  ::umask(saved);
  const std::vector<unsigned> modes{Mode(folder_), Mode(folder_ / kStoreLockName), Mode(folder_ / "1.json"),
                                    Mode(folder_ / "2.json")};
  EXPECT_EQ(modes, (std::vector<unsigned>{0700, 0600, 0600, 0600}));
}

TEST_F(PosixStore, ListsItsFilesAndRemovesNone) {
  const std::string blob = std::string(64, 'a') + ".bin";
  for (const std::string name : {"1.json", blob.c_str(), ".kestrix-1", "kestrix.lock"})
    WriteFile(folder_ / name, "abc");
  fs::create_directory(folder_ / "folder");
  fs::create_symlink("1.json", folder_ / "link");
  fs::permissions(folder_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec,
                  fs::perm_options::replace);  // a folder named with --quarantine
  fs::last_write_time(folder_ / "1.json", fs::file_time_type::clock::now() - std::chrono::hours(2));
  const bool root = ::geteuid() == 0 && ::chown((folder_ / "1.json").c_str(), 65534, 65534) == 0;
  std::map<std::string, StoreEntry> listed;
  for (const StoreEntry& entry : store_.Entries([&](std::string_view name) { return name != blob; }))
    listed[entry.name] = entry;
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_TRUE(listed["1.json"].ageSeconds >= 7200 && listed[".kestrix-1"].size == 3 && listed[blob].size == 0)
      << "only the files asked about are described";
  EXPECT_TRUE(listed[".kestrix-1"].temporary && !listed["1.json"].temporary);
  std::string reason;
  EXPECT_EQ(store_.Open("1.json", reason) == nullptr, root) << "another user's file is not read";
  if (root) {
    EXPECT_EQ(reason, "another user made it");
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 6);
  EXPECT_EQ(Mode(folder_), 0750u) << "a listing changes nothing";
}

// The rule file is reached by its host path to be read; a record naming
// that path must not let a restore write over it or delete it.
TEST_F(PosixStore, AHostFileIsOnlyRead) {
  const fs::path rules = dir_.Path() / "Kestrix.dat";
  WriteFile(rules, "rules");
  fs::permissions(rules, fs::perms::owner_read, fs::perm_options::replace);  // as installed, read-only
  const std::string path = rules.string();
  PosixMachine machine = Machine();
  machine.AllowHostFile(path);
  MemoryByteReader source("worm");
  const struct {
    std::string_view call;
    bool answer;
    bool allowed;
  } cases[] = {
      {"FileExists", machine.FileExists(path), true},
      {"ResetAttributes", machine.ResetAttributes(path), true},
      {"OpenForReading", machine.OpenForReading(path, reason_) != nullptr, true},
      {"Permissions", machine.Permissions(path) == 0400u, true},
      {"WriteNewFile", machine.WriteNewFile(path, source, true, reason_), false},
      {"RemoveFile", machine.RemoveFile(path), false},
      {"SetAttributes", machine.SetAttributes(path, kAttributeReadOnly), false},
      {"SetPermissions", machine.SetPermissions(path, 0777), false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.answer, c.allowed) << c.call;
  EXPECT_EQ(Contents(rules) + " " + std::to_string(Mode(rules)), "rules 256") << "its bytes and mode stand";
}

// A restored file is its owner's alone until it is whole; it then takes the
// umask's mode, and the bits it is given afterwards (never through a link).
TEST_F(PosixStore, WritesANewFileClosedUntilWholeThenSetsItsBits) {
  fs::create_symlink("restored.exe", stick_ / "link.exe");
  const struct {
    mode_t umask;
    unsigned whole;
    unsigned given;
  } cases[] = {{022, 0644, 0600}, {0, 0666, 04750}, {077, 0600, 0644}};
  const mode_t saved = ::umask(0);
  for (const auto& c : cases) {
    ::umask(c.umask);
    PosixMachine machine = Machine();
    fs::remove(stick_ / "restored.exe");
    struct PeekingReader final : ByteReader {
      std::optional<std::size_t> Read(std::span<char> buffer, std::string&) override {
        HasTemporary(stick, &partly);
        return std::exchange(left, 0) != 0 ? (buffer[0] = 'M', 1u) : 0u;
      }
      fs::path stick;
      unsigned partly = 0;
      int left = 1;
    } source;
    source.stick = stick_;
    ASSERT_TRUE(machine.WriteNewFile("E:\\restored.exe", source, false, reason_)) << reason_;
    EXPECT_EQ(source.partly, 0600u & ~c.umask) << c.umask;
    EXPECT_EQ(machine.Permissions("E:\\restored.exe"), c.whole) << c.umask;
    EXPECT_TRUE(machine.SetPermissions("E:\\restored.exe", c.given) &&
                !machine.SetPermissions("E:\\link.exe", 0777));
    EXPECT_EQ(Mode(stick_ / "restored.exe"), c.given) << c.umask;
  }
  ::umask(saved);
}

}  // namespace
}  // namespace kestrix::posix

#include "platform/posix/posix_store.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "platform/posix/posix_machine.h"
#include "support/temp_dir.h"

namespace kestrix::posix {
namespace {

namespace fs = std::filesystem;
using kestrix::testing::WriteFile;
using std::chrono::milliseconds;

class TextReader final : public ByteReader {
 public:
  explicit TextReader(std::string text, std::function<void()> onRead = {})
      : text_(std::move(text)), onRead_(std::move(onRead)) {}
  std::optional<std::size_t> Read(std::span<char> buffer, std::string&) override {
    if (onRead_) onRead_();
    const std::size_t n = text_.copy(buffer.data(), buffer.size(), offset_);
    offset_ += n;
    return n;
  }

 private:
  std::string text_;
  std::function<void()> onRead_;
  std::size_t offset_ = 0;
};

std::string Contents(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

unsigned Mode(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// Sets the umask for one test.
struct Umask {
  explicit Umask(mode_t mask) : saved(::umask(mask)) {}
  ~Umask() { ::umask(saved); }
  mode_t saved;
};

class PosixStore : public ::testing::Test {
 protected:
  kestrix::testing::TempDir dir_;
  fs::path folder_ = dir_.Path() / "state/quarantine";
  PosixStoreFolder store_{folder_};
};

TEST_F(PosixStore, TwoProcessesTakeTheLockInTurnAndShareTheMark) {
  int toChild[2], toParent[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(toParent), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    std::string reason;
    auto lock = PosixStoreFolder(folder_).Lock(milliseconds(0), reason);
    if (lock) lock->SetMark(0x1122334455667788);
    char byte = lock ? 'y' : 'n';
    (void)!::write(toParent[1], &byte, 1);
    (void)!::read(toChild[0], &byte, 1);  // holds the lock until told
    ::_exit(0);
  }
  char held = 0;
  ASSERT_EQ(::read(toParent[0], &held, 1), 1);
  ASSERT_EQ(held, 'y');
  std::string reason;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(store_.Lock(milliseconds(300), reason), nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - started, milliseconds(300));
  EXPECT_EQ(reason, "the quarantine is busy: another program has held it for 1 second");
  (void)!::write(toChild[1], "x", 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  const auto lock = store_.Lock(milliseconds(300), reason);
  ASSERT_NE(lock, nullptr) << reason;
  EXPECT_EQ(lock->Mark(), 0x1122334455667788u);
  EXPECT_TRUE(store_.Entries().empty()) << "the lock file is no file of the store";
}

// Every call refuses a folder that is a link or someone else's, and touches
// nothing in it.
TEST_F(PosixStore, RefusesAFolderThatIsNotItsOwn) {
  const struct {
    std::string_view what;
    std::function<bool(const fs::path&)> make;  // false: the case cannot be made here
  } cases[] = {
      {"a symbolic link", [&](const fs::path& store) {
         fs::create_directories(dir_.Path() / "elsewhere");
         fs::create_directory_symlink(dir_.Path() / "elsewhere", store);
         return true;
       }},
      {"another user's", [&](const fs::path& store) {
         const passwd* nobody = ::getpwnam("nobody");
         fs::create_directories(store);
         return ::geteuid() == 0 && nobody != nullptr && ::chown(store.c_str(), nobody->pw_uid, 0) == 0;
       }},
  };
  for (const auto& c : cases) {
    const fs::path store = dir_.Path() / std::string(c.what);
    if (!c.make(store)) {
      std::cout << "skipped (needs root): " << c.what << "\n";
      continue;
    }
    WriteFile(store / "1.json", "planted");
    PosixStoreFolder folder(store);
    TextReader source("x");
    std::string reason, stageReason, openReason;
    EXPECT_EQ(folder.Lock(milliseconds(0), reason), nullptr) << c.what;
    EXPECT_NE(reason.find(store.string()), std::string::npos) << reason;
    EXPECT_EQ(folder.Stage(source, stageReason), nullptr) << c.what;
    EXPECT_EQ(folder.Open("1.json", openReason), nullptr) << c.what;
    EXPECT_FALSE(folder.Remove("1.json")) << c.what;
    EXPECT_TRUE(folder.Entries().empty()) << c.what;
    EXPECT_EQ(Contents(store / "1.json"), "planted") << c.what;
    EXPECT_EQ(std::distance(fs::directory_iterator(store), fs::directory_iterator()), 1) << c.what;
  }
}

TEST_F(PosixStore, KeepsItsFolderAndFilesFromOtherUsersWhateverTheUmask) {
  const Umask open(0);
  for (const bool existing : {false, true}) {
    if (existing) fs::create_directories(folder_), fs::permissions(folder_, fs::perms::all);
    std::string reason;
    ASSERT_NE(store_.Lock(milliseconds(0), reason), nullptr) << reason;
    TextReader source("bytes");
    ASSERT_EQ(store_.Stage(source, reason)->Place("1.json", true, reason), StagedFile::Placed::kDone);
    EXPECT_EQ(Mode(folder_), 0700u) << existing;
    EXPECT_EQ(Mode(folder_ / std::string(kStoreLockName)), 0600u) << existing;
    EXPECT_EQ(Mode(folder_ / "1.json"), 0600u) << existing;
  }
}

TEST_F(PosixStore, PlacesWithoutReplacingATakenName) {
  WriteFile(folder_ / "1.json", "first");
  const struct {
    std::string_view name;
    bool replace;
    StagedFile::Placed placed;
    std::string_view afterwards;
  } cases[] = {
      {"1.json", false, StagedFile::Placed::kTaken, "first"},
      {"2.json", false, StagedFile::Placed::kDone, "new"},
      {"1.json", true, StagedFile::Placed::kDone, "new"},
  };
  for (const auto& c : cases) {
    TextReader source("new");
    std::string reason;
    auto staged = store_.Stage(source, reason);
    ASSERT_NE(staged, nullptr) << reason;
    EXPECT_EQ(staged->Place(c.name, c.replace, reason), c.placed) << c.name;
    staged.reset();  // removed when unplaced
    EXPECT_EQ(Contents(folder_ / std::string(c.name)), c.afterwards) << c.name;
    for (const auto& file : fs::directory_iterator(folder_)) {
      EXPECT_FALSE(file.path().filename().string().starts_with(".kestrix-")) << c.name;
    }
  }
}

// Listing removes nothing: not a temporary another program is writing, not
// a blob without a record.
TEST_F(PosixStore, ListsEveryFileAndRemovesNone) {
  WriteFile(folder_ / "1.json", "{}");
  WriteFile(folder_ / (std::string(64, 'a') + ".bin"), "blob");
  WriteFile(folder_ / ".kestrix-123", "half");
  WriteFile(folder_ / std::string(kStoreLockName), "");
  fs::create_directory(folder_ / "folder");
  fs::create_symlink("1.json", folder_ / "link");
  fs::last_write_time(folder_ / "1.json", fs::file_time_type::clock::now() - std::chrono::hours(2));
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown((folder_ / ".kestrix-123").c_str(), 65534, 65534), 0);
  }
  std::map<std::string, StoreEntry> listed;
  for (const StoreEntry& entry : store_.Entries()) listed[entry.name] = entry;
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_GE(listed["1.json"].ageSeconds, 7200);
  EXPECT_LT(listed[std::string(64, 'a') + ".bin"].ageSeconds, 60);
  EXPECT_EQ(listed[std::string(64, 'a') + ".bin"].size, 4u);
  EXPECT_TRUE(listed[".kestrix-123"].temporary);
  EXPECT_FALSE(listed["1.json"].temporary || listed["1.json"].foreign);
  EXPECT_EQ(listed[".kestrix-123"].foreign, root);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 6);
}

class PosixRestore : public PosixStore {
 protected:
  void SetUp() override { fs::create_directories(stick_); }
  PosixMachine Machine() {
    DriveMap drives;
    drives.Map('E', {.type = DriveType::kRemovable, .extentLength = 1, .directory = stick_});
    return PosixMachine(std::move(drives), 1252);
  }
  fs::path stick_ = dir_.Path() / "stick";
};

// The rule file is reached by its host path to be read; a record naming
// that path must not let a restore write over it or delete it.
TEST_F(PosixRestore, AHostFileIsOnlyRead) {
  const fs::path rules = dir_.Path() / "Kestrix.dat";
  WriteFile(rules, "rules");
  fs::permissions(rules, fs::perms::owner_read | fs::perms::owner_write);
  const std::string path = rules.string();
  PosixMachine machine = Machine();
  machine.AllowHostFile(path);
  std::string reason;
  TextReader source("worm");
  const struct {
    std::string_view call;
    bool allowed;
    bool answer;
  } cases[] = {
      {"FileExists", true, machine.FileExists(path)},
      {"ResetAttributes", true, machine.ResetAttributes(path)},
      {"OpenForReading", true, machine.OpenForReading(path, reason) != nullptr},
      {"IdentifyFile", true, machine.IdentifyFile(path).has_value()},
      {"Permissions", true, machine.Permissions(path) == 0600u},
      {"WriteNewFile", false, machine.WriteNewFile(path, source, true, reason)},
      {"RemoveFile", false, machine.RemoveFile(path)},
      {"SetAttributes", false, machine.SetAttributes(path, kAttributeReadOnly)},
      {"SetPermissions", false, machine.SetPermissions(path, 0777)},
  };
  for (const auto& c : cases) EXPECT_EQ(c.answer, c.allowed) << c.call;
  EXPECT_EQ(Contents(rules), "rules");
  EXPECT_EQ(Mode(rules), 0600u);
}

// A restored file is its owner's alone until it is whole; then it takes the
// umask's mode, and the bits it is given afterwards.
TEST_F(PosixRestore, WritesANewFileClosedUntilWholeThenSetsItsBits) {
  fs::create_symlink("restored.exe", stick_ / "link.exe");
  const struct {
    mode_t umask;
    unsigned whole;
    unsigned given;
  } cases[] = {{022, 0644, 0600}, {0, 0666, 04750}, {077, 0600, 0644}};
  for (const auto& c : cases) {
    const Umask mask(c.umask);
    PosixMachine machine = Machine();
    fs::remove(stick_ / "restored.exe");
    unsigned partly = 0;
    TextReader source("MZ", [&] {
      for (const auto& file : fs::directory_iterator(stick_)) {
        if (file.path().filename().string().starts_with(".kestrix-")) partly = Mode(file.path());
      }
    });
    std::string reason;
    ASSERT_TRUE(machine.WriteNewFile("E:\\restored.exe", source, false, reason)) << reason;
    EXPECT_EQ(partly, 0600u & ~c.umask) << c.umask;
    EXPECT_EQ(machine.Permissions("E:\\restored.exe"), c.whole) << c.umask;
    EXPECT_TRUE(machine.SetPermissions("E:\\restored.exe", c.given));
    EXPECT_EQ(Mode(stick_ / "restored.exe"), c.given) << c.umask;
    EXPECT_FALSE(machine.SetPermissions("E:\\link.exe", 0777)) << "a link is not followed";
    EXPECT_EQ(Mode(stick_ / "restored.exe"), c.given);
  }
}

TEST_F(PosixRestore, IdentifiesADriveRootAsItsFolder) {
  struct stat info {};
  ASSERT_EQ(::stat(stick_.c_str(), &info), 0);
  const FileIdentity folder{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
  PosixMachine machine = Machine();
  for (std::string_view root : {"E:\\", "e:/", "E:"}) EXPECT_EQ(machine.IdentifyFile(root), folder) << root;
}

}  // namespace
}  // namespace kestrix::posix

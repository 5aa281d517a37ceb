#include "platform/posix/posix_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "platform/common/text_file.h"
#include "platform/posix/posix_machine.h"
#include "support/temp_dir.h"

namespace kestrix::posix {
namespace {

namespace fs = std::filesystem;
using kestrix::testing::WriteFile;
using std::chrono::milliseconds;
bool Described(std::string_view) { return true; }
std::string Contents(const fs::path& path) {
  return (std::ostringstream() << std::ifstream(path).rdbuf()).str();
}

unsigned Mode(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// The mode of the temporary file in a folder; nullopt when there is none.
std::optional<unsigned> TemporaryMode(const fs::path& folder) {
  for (const auto& file : fs::directory_iterator(folder))
    if (file.path().filename().string().starts_with(kTemporaryPrefix)) return Mode(file.path());
  return std::nullopt;
}
long Count(const fs::path& folder) {
  return std::distance(fs::directory_iterator(folder), fs::directory_iterator());
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
  if (::fork() == 0) {
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
  ::wait(nullptr);
  const auto lock = store_.Lock(milliseconds(300), reason_);
  ASSERT_NE(lock, nullptr) << reason_;
  EXPECT_EQ(lock->Mark(), 0x1122334455667788u);
}

// Every call refuses a folder that is a link or another user's and touches nothing in it.
TEST_F(PosixStore, RefusesAFolderThatIsNotItsOwn) {
  fs::create_directories(dir_.Path() / "elsewhere");
  fs::create_directory_symlink(dir_.Path() / "elsewhere", dir_.Path() / "link");
  std::vector<fs::path> folders = {dir_.Path() / "link"};
  fs::create_directories(dir_.Path() / "nobody's");
  // Only root can give a folder away.
  if (::geteuid() == 0 && ::chown((dir_.Path() / "nobody's").c_str(), 65534, 65534) == 0)
    folders.push_back(dir_.Path() / "nobody's");
  for (const fs::path& folder : folders) {
    WriteFile(folder / "1.json", "planted");
    PosixStoreFolder store(folder);
    MemoryByteReader source("x");
    EXPECT_EQ(store.Lock(milliseconds(0), reason_), nullptr) << folder;
    EXPECT_NE(reason_.find(folder.string()), std::string::npos) << reason_;
    const std::vector<bool> refused = {!store.Stage(source, reason_), !store.Open("1.json", reason_),
                                       !store.Remove("1.json"), store.Entries(Described).empty()};
    EXPECT_EQ(refused, std::vector<bool>(4, true)) << folder << ": Stage, Open, Remove, Entries";
    EXPECT_EQ(Contents(folder / "1.json") + " " + std::to_string(Count(folder)), "planted 1") << folder;
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
    EXPECT_EQ(TemporaryMode(folder_), std::nullopt) << c.name;
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
  std::vector<std::string> listed;
  for (const StoreEntry& e : store_.Entries([&](std::string_view name) { return name != blob; })) {
    listed.push_back(e.name + " " + std::to_string(e.size) + (e.temporary ? " temporary" : "") +
                     (e.ageSeconds >= 7200 ? " old" : ""));
  }
  std::ranges::sort(listed);
  EXPECT_EQ(listed, (std::vector<std::string>{".kestrix-1 3 temporary", "1.json 3 old", blob + " 0"}))
      << "files only; only those asked about are described";
  EXPECT_EQ(store_.Open("1.json", reason_) ? "read" : reason_, root ? "another user made it" : "read");
  EXPECT_EQ(Count(folder_), 6) << "a listing removes nothing";
  EXPECT_EQ(Mode(folder_), 0750u) << "nor changes the folder's mode";
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
  const std::vector<bool> reads = {machine.FileExists(path), machine.ResetAttributes(path),
                                   machine.OpenForReading(path, reason_) != nullptr,
                                   machine.Permissions(path) == 0400u};
  const std::vector<bool> writes = {machine.WriteNewFile(path, source, true, reason_),
                                    machine.RemoveFile(path), machine.SetAttributes(path, kAttributeReadOnly),
                                    machine.SetPermissions(path, 0777)};
  EXPECT_EQ(reads, std::vector<bool>(4, true)) << "FileExists, ResetAttributes, OpenForReading, Permissions";
  EXPECT_EQ(writes, std::vector<bool>(4, false)) << "WriteNewFile, RemoveFile, SetAttributes, SetPermissions";
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
        partly = TemporaryMode(stick);
        return std::exchange(left, false) ? (buffer[0] = 'M', 1u) : 0u;
      }
      fs::path stick;
      std::optional<unsigned> partly;
      bool left = true;
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

// A keep cut short, as a crash or a pulled plug would cut it: a child
// process keeps a listed file in a real store and ends at once at a chosen
// point. The file must still be there, the store must list nothing, keeping
// must work again, and what was left is removed once it is old.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "platform/posix/posix_machine.h"
#include "platform/posix/posix_store.h"
#include "remedy/quarantine.h"
#include "support/temp_dir.h"

namespace kestrix {
namespace {

namespace fs = std::filesystem;

// Ends the process once `allowed` bytes of the source have been read.
struct InterruptingReader final : ByteReader {
  InterruptingReader(ByteReader& from, std::size_t bytes) : source(from), allowed(bytes) {}
  std::optional<std::size_t> Read(std::span<char> buffer, std::string& reason) override {
    if (given == allowed) _exit(0);
    const auto got = source.Read(buffer.first(std::min(buffer.size(), allowed - given)), reason);
    if (got) given += *got;
    return got;
  }
  ByteReader& source;
  std::size_t allowed;
  std::size_t given = 0;
};

// The real store, with a step a test chooses before the writing of the
// `staged`th file (0: the bytes, 1: the record) or before taking the lock.
struct SteppingStore final : StoreFolder {
  SteppingStore(StoreFolder& real, int staged, std::function<void(ByteReader*&)> step)
      : store(real), stagedAt(staged), before(std::move(step)) {}
  std::string Location() const override { return store.Location(); }
  std::unique_ptr<StoreLock> Lock(std::chrono::milliseconds wait, std::string& reason) override {
    ByteReader* none = nullptr;
    if (stagedAt < 0) before(none);
    return store.Lock(wait, reason);
  }
  std::unique_ptr<StagedFile> Stage(ByteReader& source, std::string& reason) override {
    ByteReader* reader = &source;
    if (stagedAt-- == 0) before(reader);
    return store.Stage(*reader, reason);
  }
  std::unique_ptr<ByteReader> Open(std::string_view name, std::string& reason) override {
    return store.Open(name, reason);
  }
  bool Remove(std::string_view name) override { return store.Remove(name); }
  std::vector<StoreEntry> Entries(const std::function<bool(std::string_view)>& described) override {
    return store.Entries(described);
  }

  StoreFolder& store;
  int stagedAt;  // negative: the step comes before the lock
  std::function<void(ByteReader*&)> before;
};

TEST(QuarantineInterruption, LeavesTheFileInPlaceAndTheStoreEmptyAndUsable) {
  struct Case {
    int staged;           // 0: the bytes, 1: the record
    std::size_t allowed;  // bytes of that file written before the end
  };
  const Case cases[] = {{0, 0}, {0, 40}, {1, 0}, {1, 20}};
  const std::string worm = "MZ" + std::string(100, 'w');
  for (const Case& c : cases) {
    testing::TempDir dir;
    testing::WriteFile(dir.Path() / "stick/worm.exe", worm);
    posix::DriveMap drives;
    drives.Map('E', {DriveType::kRemovable, 1, dir.Path() / "stick"});
    posix::PosixMachine machine(std::move(drives), 1252);
    posix::PosixStoreFolder store(dir.Path() / "quarantine");
    posix::OpenSslHashing hashing;
    const SuspectEntry entry{.number = "1", .path = "E:\\worm.exe", .category = "病毒"};

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::optional<InterruptingReader> interrupting;
      SteppingStore interrupted(store, c.staged, [&](ByteReader*& source) {
        source = &interrupting.emplace(*source, c.allowed);
      });
      Quarantine quarantine({machine, machine, interrupted, hashing}, kDefaultQuarantineLimit);
      std::string reason;
      // As a removal does: deleted only once kept.
      if (quarantine.Keep(entry, reason)) machine.RemoveFile(entry.path);
      _exit(3);  // never reached when interrupted
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const std::string at =
        (c.staged == 0 ? "bytes" : "record") + std::string(" after ") + std::to_string(c.allowed) + " bytes";
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << at;
    EXPECT_TRUE(fs::exists(dir.Path() / "stick/worm.exe")) << at;
    const auto files = [&] {
      std::size_t count = 0;
      for (const auto& file : fs::directory_iterator(dir.Path() / "quarantine"))
        count += file.path().filename().string().starts_with("kestrix.lock") ? 0 : 1;
      return count;
    };
    EXPECT_NE(files(), 0u) << at << ": the interruption left something";

    Quarantine quarantine({machine, machine, store, hashing}, kDefaultQuarantineLimit);
    EXPECT_TRUE(quarantine.List().empty()) << at;
    std::string reason;
    ASSERT_TRUE(quarantine.Keep(entry, reason)) << at << ": " << reason;
    EXPECT_EQ(quarantine.List().size(), 1u) << at;
    // Once old, what the interruption left goes at the next keeping of another program.
    for (const auto& file : fs::directory_iterator(dir.Path() / "quarantine"))
      fs::last_write_time(file.path(), fs::file_time_type::clock::now() - std::chrono::hours(2));
    Quarantine other({machine, machine, store, hashing}, kDefaultQuarantineLimit);
    testing::WriteFile(dir.Path() / "stick/other.exe", "MZ other");
    ASSERT_TRUE(other.Keep({.number = "1", .path = "E:\\other.exe", .category = "病毒"}, reason)) << reason;
    EXPECT_EQ(files(), 4u) << at << ": two records and their bytes";
    EXPECT_EQ(other.List().size(), 2u) << at;
  }
}

// A program paused with its bytes written but not yet named, while another
// keeps, evicts, lists and purges: the paused one's file is kept whole.
TEST(QuarantineSharing, AProgramPausedMidKeepLosesNothingToAnotherAtWork) {
  testing::TempDir dir;
  posix::DriveMap drives;
  drives.Map('E', {DriveType::kRemovable, 1, dir.Path() / "stick"});
  for (int i = 0; i < 20; ++i)
    testing::WriteFile(dir.Path() / "stick" / ("w" + std::to_string(i)), std::string(10, 'a' + i));
  posix::PosixMachine machine(std::move(drives), 1252);
  posix::PosixStoreFolder store(dir.Path() / "quarantine");
  posix::OpenSslHashing hashing;
  const auto entry = [](int i) {
    return SuspectEntry{.number = "1", .path = "E:\\w" + std::to_string(i), .category = "病毒"};
  };
  int paused[2];
  int resume[2];
  ASSERT_EQ(pipe(paused), 0);
  ASSERT_EQ(pipe(resume), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(paused[0]);  // a test that ends early ends this program too
    close(resume[1]);
    // Stops once its bytes are written and before it takes the lock, until told to go on.
    SteppingStore pausing(store, -1, [&](ByteReader*&) {
      char signal = 0;
      if (write(paused[1], &signal, 1) != 1 || read(resume[0], &signal, 1) != 1) _exit(4);
    });
    Quarantine quarantine({machine, machine, pausing, hashing}, 50);
    std::string reason;
    _exit(quarantine.Keep(entry(0), reason) ? 0 : 3);
  }
  close(paused[1]);
  close(resume[0]);
  char byte = 0;
  ASSERT_EQ(read(paused[0], &byte, 1), 1);
  Quarantine other({machine, machine, store, hashing}, 50);  // room for five files: the others evict
  std::string reason;
  for (int i = 1; i < 20; ++i) ASSERT_TRUE(other.Keep(entry(i), reason)) << reason;
  ASSERT_TRUE(other.Purge(other.List().front()));
  ASSERT_EQ(write(resume[1], &byte, 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  const auto records = other.List();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().path, "E:\\w0");
  for (const QuarantineRecord& record : records) {
    EXPECT_EQ(record.damage, "") << record.path;
    EXPECT_TRUE(other.Restore(record, "E:\\back", false, reason)) << record.path << ": " << reason;
  }
  std::ifstream restored(dir.Path() / "stick/back/w0", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(restored), {}), std::string(10, 'a'));
}

}  // namespace
}  // namespace kestrix

// A keep cut short, as a crash or a pulled plug would cut it: a child
// process keeps a listed file in a real store and ends at once at a chosen
// point. The file must still be there, the store must list nothing and
// hold nothing, and keeping must work again.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

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

// The real store, but the save of a file whose name ends in `suffix` is
// interrupted.
struct InterruptedStore final : StoreFolder {
  InterruptedStore(StoreFolder& real, std::string ending, std::size_t bytes)
      : store(real), suffix(std::move(ending)), allowed(bytes) {}
  std::string Location() const override { return store.Location(); }
  bool Save(std::string_view name, ByteReader& source, std::string& reason) override {
    if (!name.ends_with(suffix)) return store.Save(name, source, reason);
    InterruptingReader interrupting(source, allowed);
    return store.Save(name, interrupting, reason);
  }
  std::unique_ptr<ByteReader> Open(std::string_view name, std::string& reason) override {
    return store.Open(name, reason);
  }
  bool Remove(std::string_view name) override { return store.Remove(name); }
  std::vector<std::string> Names() override { return store.Names(); }

  StoreFolder& store;
  std::string suffix;
  std::size_t allowed;
};

TEST(QuarantineInterruption, LeavesTheFileInPlaceAndTheStoreEmptyAndUsable) {
  struct Case {
    std::string suffix;
    std::size_t allowed;  // bytes of that file written before the end
  };
  const Case cases[] = {{".bin", 0}, {".bin", 40}, {".json", 0}, {".json", 20}};
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
      InterruptedStore interrupted(store, c.suffix, c.allowed);
      Quarantine quarantine({machine, interrupted, hashing}, kDefaultQuarantineLimit);
      std::string reason;
      // As a removal does: deleted only once kept.
      if (quarantine.Keep(entry, reason)) machine.RemoveFile(entry.path);
      _exit(3);  // never reached when interrupted
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const std::string at = c.suffix + " after " + std::to_string(c.allowed) + " bytes";
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << at;
    EXPECT_TRUE(fs::exists(dir.Path() / "stick/worm.exe")) << at;
    EXPECT_FALSE(fs::is_empty(dir.Path() / "quarantine")) << at << ": the interruption left something";

    Quarantine quarantine({machine, store, hashing}, kDefaultQuarantineLimit);
    EXPECT_TRUE(quarantine.List().empty()) << at;
    EXPECT_TRUE(fs::is_empty(dir.Path() / "quarantine")) << at << ": what was left is removed";
    std::string reason;
    ASSERT_TRUE(quarantine.Keep(entry, reason)) << at << ": " << reason;
    EXPECT_EQ(quarantine.List().size(), 1u) << at;
  }
}

}  // namespace
}  // namespace kestrix

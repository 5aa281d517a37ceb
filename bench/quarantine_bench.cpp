// The quarantine must cost time linear in the number of kept files: keeping
// them one after another, listing them from a real store on disk, and
// restoring every one of them.
#include <benchmark/benchmark.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "fakes/fake_machine.h"
#include "platform/posix/posix_store.h"
#include "remedy/quarantine.h"
#include "support/temp_dir.h"

namespace kestrix {
namespace {

std::string Path(std::int64_t i) { return "E:\\worm" + std::to_string(i) + ".exe"; }

// A machine of `count` listed files of 1 KiB, each of its own content.
void ListFiles(testing::FakeMachine& machine, std::int64_t count) {
  for (std::int64_t i = 0; i < count; ++i)
    machine.AddFile(Path(i), "MZ" + std::to_string(i) + std::string(1000, 'w'));
}

void KeepOneAfterAnother(benchmark::State& state) {
  testing::FakeMachine machine;
  testing::FakeHashing hashing;
  ListFiles(machine, state.range(0));
  for (auto _ : state) {
    testing::FakeStoreFolder store;
    Quarantine quarantine({machine, machine, store, hashing}, kDefaultQuarantineLimit);
    std::string reason;
    for (std::int64_t i = 0; i < state.range(0); ++i) {
      if (!quarantine.Keep({.number = "1", .path = Path(i), .category = "病毒"}, reason))
        state.SkipWithError(reason.c_str());
    }
  }
  state.SetComplexityN(state.range(0));
}

// A store on disk with `count` kept files, written once per size.
class StoreOnDisk {
 public:
  explicit StoreOnDisk(std::int64_t count) {
    testing::FakeMachine machine;
    testing::FakeStoreFolder memory;
    posix::OpenSslHashing hashing;
    ListFiles(machine, count);
    Quarantine quarantine({machine, machine, memory, hashing}, kDefaultQuarantineLimit);
    std::string reason;
    for (std::int64_t i = 0; i < count; ++i)
      quarantine.Keep({.number = "1", .path = Path(i), .category = "病毒"}, reason);
    // Written plainly: saving each through the store would flush the disk 2N times.
    for (const auto& [name, bytes] : memory.files)
      std::ofstream(dir_.Path() / name, std::ios::binary) << bytes;
  }
  posix::PosixStoreFolder Folder() const { return posix::PosixStoreFolder(dir_.Path()); }

 private:
  testing::TempDir dir_;
};

StoreOnDisk& Store(std::int64_t count) {
  static std::map<std::int64_t, std::unique_ptr<StoreOnDisk>> stores;
  auto& store = stores[count];
  if (!store) store = std::make_unique<StoreOnDisk>(count);
  return *store;
}

void ListFromDisk(benchmark::State& state) {
  posix::PosixStoreFolder folder = Store(state.range(0)).Folder();
  testing::FakeMachine machine;
  posix::OpenSslHashing hashing;
  for (auto _ : state) {
    Quarantine quarantine({machine, machine, folder, hashing}, kDefaultQuarantineLimit);
    if (quarantine.List().size() != static_cast<std::size_t>(state.range(0)))
      state.SkipWithError("records lost");
  }
  state.SetComplexityN(state.range(0));
}

// Files restored are read to their end, which checks their hash, and
// dropped, so that only the quarantine's own work and the store's reads are
// timed (the fake machine's map would add a logarithm of its own).
struct DiscardingFiles final : Files {
  bool FileExists(std::string_view) override { return false; }
  bool ResetAttributes(std::string_view) override { return true; }
  bool ReadTextLines(std::string_view, const TextLineSink&, std::string&) override { return false; }
  std::int32_t QueryFileSize(std::string_view) override { return -1; }
  bool RemoveFile(std::string_view) override { return false; }
  std::string FullPathName(std::string_view path) override { return std::string(path); }
  std::optional<FileIdentity> IdentifyFile(std::string_view) override { return std::nullopt; }
  std::unique_ptr<ByteReader> OpenForReading(std::string_view, std::string&) override { return nullptr; }
  std::optional<std::uint32_t> OriginalAttributes(std::string_view) override { return std::nullopt; }
  std::optional<std::uint32_t> CurrentAttributes(std::string_view) override { return std::nullopt; }
  bool SetAttributes(std::string_view, std::uint32_t) override { return true; }
  bool RemoveFolder(std::string_view) override { return false; }
  std::vector<FolderEntry> ListFolder(std::string_view) override { return {}; }
  std::optional<ShellLink> ReadShortcut(std::string_view) override { return std::nullopt; }
  bool WriteNewFile(std::string_view, ByteReader& source, bool, std::string& reason) override {
    std::array<char, 4096> chunk;
    while (const auto got = source.Read(chunk, reason)) {
      if (*got == 0) return true;
    }
    return false;
  }
};

void ListAndRestoreAllFromDisk(benchmark::State& state) {
  posix::PosixStoreFolder folder = Store(state.range(0)).Folder();
  DiscardingFiles machine;
  testing::FakeMachine volumes;
  volumes.drives['E'] = {};
  posix::OpenSslHashing hashing;
  for (auto _ : state) {
    Quarantine quarantine({machine, volumes, folder, hashing}, kDefaultQuarantineLimit);
    std::string reason;
    for (const QuarantineRecord& record : quarantine.List()) {
      if (!quarantine.Restore(record, std::nullopt, true, reason)) state.SkipWithError(reason.c_str());
    }
  }
  state.SetComplexityN(state.range(0));
}

constexpr std::int64_t kMostRecords = 50'000;
BENCHMARK(KeepOneAfterAnother)->RangeMultiplier(2)->Range(kMostRecords / 16, kMostRecords)->Complexity();
BENCHMARK(ListFromDisk)->RangeMultiplier(2)->Range(kMostRecords / 16, kMostRecords)->Complexity();
BENCHMARK(ListAndRestoreAllFromDisk)
    ->RangeMultiplier(2)
    ->Range(kMostRecords / 16, kMostRecords)
    ->Complexity();

}  // namespace
}  // namespace kestrix

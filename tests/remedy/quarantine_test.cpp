#include "remedy/quarantine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_machine.h"

namespace kestrix {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

class QuarantineFixture : public ::testing::Test {
 protected:
  testing::FakeMachine machine;
  testing::FakeStoreFolder store;
  testing::FakeHashing hashing;

  Quarantine Open(std::uint64_t limit = kDefaultQuarantineLimit) {
    return Quarantine({machine, store, hashing}, limit);
  }

  // Lists a file of that content and keeps it, as a removal would.
  std::optional<QuarantineRecord> Keep(Quarantine& quarantine, std::string_view path, std::string content,
                                       std::string& reason) {
    machine.AddFile(path, std::move(content));
    return quarantine.Keep({.number = "1", .path = std::string(path), .category = "病毒", .reason = "a rule"},
                           reason);
  }
  static std::vector<std::string> Paths(const std::vector<QuarantineRecord>& records) {
    std::vector<std::string> paths;
    for (const QuarantineRecord& record : records) paths.push_back(record.path);
    return paths;
  }
  std::size_t Blobs() const {
    return static_cast<std::size_t>(
        std::ranges::count_if(store.files, [](const auto& file) { return file.first.ends_with(".bin"); }));
  }
};

TEST_F(QuarantineFixture, TheLimitDropsTheOldestFirstCountingEachContentOnce) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> files;  // path, content, kept in this order
    std::vector<std::string> listed;
    std::size_t blobs;
  };
  const Case cases[] = {
      {{{"E:\\a", "1111"}, {"E:\\b", "2222"}, {"E:\\c", "3333"}}, {"E:\\b", "E:\\c"}, 2},
      {{{"E:\\a", "1111"}, {"E:\\b", "2222"}, {"E:\\c", "2222"}}, {"E:\\a", "E:\\b", "E:\\c"}, 2},
      {{{"E:\\a", "1111"}, {"E:\\b", "22222222"}}, {"E:\\b"}, 1},
      // Larger than the limit: refused, and nothing dropped for it.
      {{{"E:\\a", "1111"}, {"E:\\big", "999999999"}}, {"E:\\a"}, 1},
  };
  for (const Case& c : cases) {
    store.files.clear();
    Quarantine quarantine = Open(8);
    for (const auto& [path, content] : c.files) {
      std::string reason;
      const bool kept = Keep(quarantine, path, content, reason).has_value();
      EXPECT_EQ(kept, content.size() <= 8) << path << ": " << reason;
      if (!kept) {
        EXPECT_THAT(reason, HasSubstr("larger than the quarantine's limit of 8 bytes"));
      }
    }
    EXPECT_THAT(Paths(quarantine.List()), ElementsAreArray(c.listed)) << c.files.back().first;
    EXPECT_EQ(Blobs(), c.blobs) << c.files.back().first;
  }
}

TEST_F(QuarantineFixture, PurgeRemovesBytesOnlyWhenNoRecordKeepsThem) {
  Quarantine quarantine = Open();
  std::string reason;
  const std::pair<std::string, std::string> files[] = {
      {"E:\\a.exe", "MZ same"}, {"F:\\b.exe", "MZ same"}, {"E:\\c", "other"}};
  for (const auto& [path, content] : files) ASSERT_TRUE(Keep(quarantine, path, content, reason)) << reason;
  const auto records = quarantine.List();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].sha256, records[1].sha256);
  EXPECT_EQ(Blobs(), 2u);

  EXPECT_TRUE(quarantine.Purge(records[0]));
  EXPECT_EQ(Blobs(), 2u) << "b.exe still keeps the bytes";
  EXPECT_TRUE(quarantine.Restore(records[1], "D:\\back", false, reason)) << reason;
  EXPECT_EQ(machine.Find("D:\\back\\b.exe")->content, "MZ same");
  EXPECT_TRUE(quarantine.Purge(records[1]));
  EXPECT_EQ(Blobs(), 1u);

  // What is left is what another program reading the store finds.
  Quarantine reread = Open();
  EXPECT_THAT(Paths(reread.List()), ElementsAre("E:\\c"));
  const auto next = Keep(reread, "E:\\d", "new", reason);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->id, "4") << "ids count on past every record";
}

TEST_F(QuarantineFixture, RestoreWritesTheKeptBytesAndAttributesOnlyWhereNothingIs) {
  testing::FakeFile& worm = machine.AddFile("E:\\worm.exe", "MZ the worm");
  worm.hidden = worm.system = worm.readOnly = true;
  machine.ResetAttributes("E:\\worm.exe");  // as the sweep does
  Quarantine quarantine = Open();
  std::string reason;
  const auto record = quarantine.Keep({.number = "1", .path = "E:\\worm.exe", .category = "病毒"}, reason);
  ASSERT_TRUE(record) << reason;
  EXPECT_EQ(record->attributes, kAttributeReadOnly | kAttributeHidden | kAttributeSystem);

  EXPECT_FALSE(quarantine.Restore(*record, std::nullopt, false, reason));
  EXPECT_EQ(reason, "a file is already there");
  machine.AddFile("E:\\worm.exe", "the user's own");
  EXPECT_FALSE(quarantine.Restore(*record, std::nullopt, false, reason));
  EXPECT_EQ(machine.Find("E:\\worm.exe")->content, "the user's own");
  ASSERT_TRUE(quarantine.Restore(*record, std::nullopt, true, reason)) << reason;
  const testing::FakeFile* restored = machine.Find("E:\\worm.exe");
  EXPECT_EQ(restored->content, "MZ the worm");
  EXPECT_TRUE(restored->hidden && restored->system && restored->readOnly);

  // Damaged bytes are never written back.
  for (auto& [name, bytes] : store.files) {
    if (name.ends_with(".bin")) bytes[3] ^= 1;
  }
  EXPECT_FALSE(quarantine.Restore(*record, "D:\\", false, reason));
  EXPECT_EQ(reason, "its kept bytes are damaged");
  EXPECT_FALSE(machine.Find("D:\\worm.exe"));
}

TEST_F(QuarantineFixture, RecordsThatCannotBeReadAreLeftOutAndNeverOverwritten) {
  Quarantine quarantine = Open();
  std::string reason;
  ASSERT_TRUE(Keep(quarantine, "E:\\a", "a", reason));
  const std::string good = store.files.at("1.json");
  const std::string sha256 = quarantine.List()[0].sha256;
  store.files["2.json"] = good.substr(0, good.size() / 2);  // cut short
  store.files["3.json"] = R"({"path":"E:\\x","size":1})";   // fields missing
  store.files["4.json"] = std::string(good).replace(good.find(sha256), 64, "../../etc/passwd");  // not a hash
  store.files["5.json"] = "[]";
  store.files["07.json"] = good;  // not an id
  store.files["x.json"] = good;
  EXPECT_THAT(Paths(quarantine.List()), ElementsAre("E:\\a"));
  const auto next = Keep(quarantine, "E:\\b", "b", reason);
  ASSERT_TRUE(next) << reason;
  EXPECT_EQ(next->id, "6");
}

}  // namespace
}  // namespace kestrix

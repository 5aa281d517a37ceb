#include "remedy/quarantine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

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

  QuarantineFixture() {
    machine.drives['D'] = {};
    machine.drives['E'] = {};
  }

  Quarantine Open(std::uint64_t limit = kDefaultQuarantineLimit) {
    return Quarantine({machine, machine, store, hashing}, limit);
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

TEST_F(QuarantineFixture, RecordsThatCannotBeRestoredAreListedAsDamagedAndNeverCauseADeletion) {
  Quarantine quarantine = Open(16);
  std::string reason;
  ASSERT_TRUE(Keep(quarantine, "E:\\a", "aaaa", reason));
  const std::string good = store.files.at("1.json");
  const std::string sha256 = quarantine.List()[0].sha256;
  const auto planted = [&](std::string_view from, std::string_view to) {
    return std::string(good).replace(good.find(from), from.size(), to);
  };
  store.files["2.json"] = good.substr(0, good.size() / 2);  // cut short
  store.files["3.json"] = R"({"path":"E:\\x","size":1})";   // fields missing
  store.files["4.json"] = planted(sha256, "../../etc/passwd");
  store.files["5.json"] = planted(R"("size":4)", R"("size":1073741824)");  // bytes of another size
  store.files["6.json"] = planted(sha256, std::string(64, 'e'));           // bytes missing
  store.files["7.json"] = good;
  store.foreign.insert("7.json");
  store.files["07.json"] = good;  // not an id: not the store's
  store.files["x.json"] = good;
  struct Case {
    std::string id;
    std::string damage;
  };
  const Case cases[] = {{"1", ""},
                        {"2", "its record is damaged"},
                        {"3", "its record is damaged"},
                        {"4", "its record is damaged"},
                        {"5", "its kept bytes are not of the size it had"},
                        {"6", "its kept bytes are missing"},
                        {"7", "its record cannot be read: another user made it"}};
  const auto listed = quarantine.List();
  ASSERT_EQ(listed.size(), std::size(cases));
  for (std::size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(listed[i].id, cases[i].id);
    EXPECT_EQ(listed[i].damage, cases[i].damage) << cases[i].id;
    if (cases[i].damage.empty()) continue;
    EXPECT_FALSE(quarantine.Restore(listed[i], "D:\\", false, reason)) << cases[i].id;
    EXPECT_EQ(reason, cases[i].damage);
  }
  // A record claiming a gigabyte counts for nothing: keeping more evicts no one.
  const auto next = Keep(quarantine, "E:\\b", "bbbb", reason);
  ASSERT_TRUE(next) << reason;
  EXPECT_EQ(next->id, "8");
  EXPECT_EQ(quarantine.List().size(), std::size(cases) + 1);
  EXPECT_EQ(Blobs(), 2u);
}

TEST_F(QuarantineFixture, IdsRunOverTheWholeRangeAndStopCleanlyAtItsEnd) {
  struct Case {
    std::string planted;  // a record id another program left
    std::string next;     // the id the next kept file gets; empty: none, the file stays
  };
  const Case cases[] = {{"9999999999999999999", "10000000000000000000"},
                        {"18446744073709551614", ""},
                        {"18446744073709551616", "1"}};  // past the range: not a record of the store
  for (const Case& c : cases) {
    store.files.clear();
    Quarantine quarantine = Open();
    std::string reason;
    ASSERT_TRUE(Keep(quarantine, "E:\\a", "a", reason)) << reason;
    store.files[c.planted + ".json"] = store.files.at("1.json");
    store.files.erase("1.json");
    Quarantine later = Open();  // a program that finds the record there
    const auto next = Keep(later, "E:\\b", "b", reason);
    EXPECT_EQ(next ? next->id : "", c.next) << c.planted;
    if (!next) {
      EXPECT_THAT(reason, HasSubstr("no record number left"));
    }
    for (const QuarantineRecord& record : later.List())
      EXPECT_TRUE(later.Restore(record, "D:\\", true, reason)) << record.id << ": " << reason;
  }
}

TEST_F(QuarantineFixture, OnlyOldLeftoversAreRemovedAndOnlyWhileKeeping) {
  const std::string orphan = std::string(64, 'a') + ".bin";
  const std::string leftovers[] = {orphan, ".kestrix-123"};
  Quarantine quarantine = Open();
  for (const std::string& name : leftovers) store.files[name] = "x";
  quarantine.List();
  std::string reason;
  ASSERT_TRUE(Keep(quarantine, "E:\\a", "a", reason)) << reason;
  for (const std::string& name : leftovers) EXPECT_TRUE(store.files.contains(name)) << name << " is young";

  for (const std::string& name : leftovers) store.ages[name] = kQuarantineLeftoverSeconds;
  quarantine.List();
  EXPECT_TRUE(store.files.contains(orphan)) << "listing removes nothing";
  Quarantine other = Open();  // another program's change makes this one read the store again
  ASSERT_TRUE(Keep(other, "E:\\b", "b", reason)) << reason;
  ASSERT_TRUE(Keep(quarantine, "E:\\c", "c", reason)) << reason;
  for (const std::string& name : leftovers) EXPECT_FALSE(store.files.contains(name)) << name;
  EXPECT_EQ(quarantine.List().size(), 3u);
}

TEST_F(QuarantineFixture, AProgramSeesWhatAnotherChangedBeforeItRemovesBytes) {
  Quarantine first = Open(8);
  Quarantine second = Open(8);
  std::string reason;
  ASSERT_TRUE(Keep(first, "E:\\a", "1111", reason));
  ASSERT_TRUE(Keep(second, "F:\\b", "1111", reason));   // the same bytes, kept by another program
  ASSERT_TRUE(Keep(first, "E:\\c", "222222", reason));  // room only once both are gone
  EXPECT_THAT(Paths(second.List()), ElementsAre("E:\\c"));
  EXPECT_EQ(Blobs(), 1u);

  // A record listed earlier, since purged and its id given to another file.
  ASSERT_TRUE(Keep(first, "E:\\d", "33", reason));
  const QuarantineRecord listed = first.List().back();
  ASSERT_TRUE(first.Purge(listed));
  ASSERT_TRUE(Keep(second, "E:\\e", "44", reason));
  EXPECT_EQ(second.List().back().id, listed.id);
  EXPECT_TRUE(first.Purge(listed));
  EXPECT_THAT(Paths(first.List()), ElementsAre("E:\\c", "E:\\e"));
}

TEST_F(QuarantineFixture, RestoreGoesOnlyToADriveOfTheVolumeTheFileCameFrom) {
  Quarantine quarantine = Open();
  std::string reason;
  const auto record = Keep(quarantine, "E:\\x.exe", "MZ", reason);
  ASSERT_TRUE(record) << reason;
  machine.RemoveFile("E:\\x.exe");
  struct Case {
    std::string recordPath;
    std::optional<std::string> folder;
    std::string volumeNow;  // of drive E:
    std::string refusal;    // empty: restored
  };
  const Case cases[] = {
      {"E:\\x.exe", std::nullopt, "other-volume",
       "drive E: now stands for another volume than the one it was kept from"},
      {"E:\\x.exe", "E:\\back", "other-volume", ""},
      {"E:\\x.exe", "\\\\server\\share", "fake-volume", "it would not go back to a drive (X:\\...)"},
      {"/etc/x.exe", std::nullopt, "fake-volume", "it would not go back to a drive (X:\\...)"},
      {"Q:\\x.exe", std::nullopt, "fake-volume", "drive Q: is not there"},
      {"E:\\x.exe", std::nullopt, "fake-volume", ""},
  };
  for (const Case& c : cases) {
    machine.drives['E'].volume = c.volumeNow;
    QuarantineRecord planted = *record;
    planted.path = c.recordPath;
    const bool restored = quarantine.Restore(planted, c.folder, true, reason);
    EXPECT_EQ(restored ? "" : reason, c.refusal) << c.recordPath << " to " << c.folder.value_or("its place");
  }
  store.busy = true;
  machine.AddFile("E:\\y.exe", "MZ y");
  EXPECT_FALSE(quarantine.Keep({.number = "1", .path = "E:\\y.exe", .category = "病毒"}, reason));
  EXPECT_THAT(reason, HasSubstr("the quarantine is busy"));
  EXPECT_EQ(quarantine.List().size(), 1u);
}

TEST_F(QuarantineFixture, NoKeepOrPurgeLeavesARecordWithoutItsBytes) {
  const auto blob = [&] {
    return std::ranges::find_if(store.files, [](const auto& file) { return file.first.ends_with(".bin"); })
        ->first;
  };
  struct Case {
    std::string what;
    std::function<void()> meanwhile;  // after "E:\\a" is kept
    bool purgeFirst;                  // else keep "E:\\b", of the same bytes
  };
  const Case cases[] = {
      {"a purge cut short long ago",
       [&] {
         store.files.erase("1.json");
         store.ages[blob()] = kQuarantineLeftoverSeconds;
       },
       false},
      {"bytes another user left", [&] { store.foreign.insert(blob()); }, false},
      {"a record that cannot be read for a moment",
       [&] {
         Quarantine other = Open();
         std::string reason;
         ASSERT_TRUE(Keep(other, "E:\\b", "same", reason));
         store.foreign.insert("2.json");
       },
       true},
  };
  for (const Case& c : cases) {
    store.files.clear();
    store.foreign.clear();
    std::string reason;
    Quarantine first = Open();
    ASSERT_TRUE(Keep(first, "E:\\a", "same", reason)) << reason;
    c.meanwhile();
    Quarantine later = Open();  // another program
    if (c.purgeFirst) {
      ASSERT_TRUE(later.Purge(later.List().front()));
      store.foreign.clear();
    } else {
      ASSERT_TRUE(Keep(later, "E:\\b", "same", reason)) << reason;
    }
    const auto listed = later.List();
    ASSERT_FALSE(listed.empty()) << c.what;
    EXPECT_TRUE(later.Restore(listed.back(), "D:\\", true, reason)) << c.what << ": " << reason;
  }
}

}  // namespace
}  // namespace kestrix

#include "remedy/vaccine.h"

#include <gtest/gtest.h>

#include <functional>

#include "fakes/fake_machine.h"

namespace kestrix {
namespace {

using testing::FakeMachine;
using namespace std::string_literals;

constexpr std::uint32_t kMarks = kAttributeReadOnly | kAttributeHidden | kAttributeSystem;

TEST(VaccineDriveLetter, TakesALetterWithOrWithoutColonAndRoot) {
  const std::pair<std::string_view, std::optional<char>> cases[] = {
      {"E", 'E'},           {"e:", 'E'},           {"E:\\", 'E'},        {"z:/", 'Z'},
      {"", std::nullopt},   {"1:", std::nullopt},  {"EF", std::nullopt}, {"E:\\x", std::nullopt},
      {"E;", std::nullopt}, {"E:x", std::nullopt},
  };
  for (const auto& [text, letter] : cases) EXPECT_EQ(VaccineDriveLetter(text), letter) << text;
}

// The folder a stick holds after Immunize, and what it holds.
void ExpectVaccine(const FakeMachine& machine) {
  EXPECT_TRUE(machine.directories.contains("e:\\autorun.inf"));
  EXPECT_EQ(machine.folderAttributes.at("e:\\autorun.inf"), kMarks);
  EXPECT_EQ(machine.folderAttributes.at("e:\\autorun.inf\\kestrix"), kMarks);
  const testing::FakeFile* note = machine.Find("E:\\Autorun.inf\\Kestrix\\Vaccine.txt");
  ASSERT_NE(note, nullptr);
  EXPECT_EQ(note->content, kVaccineNote);
  EXPECT_TRUE(note->readOnly && note->hidden && note->system);
}

TEST(Vaccine, ImmunizesTwiceAlikeAndUnimmunizeLeavesNothing) {
  FakeMachine machine;
  machine.drives['E'] = {};
  machine.AddFile("E:\\Photos\\beach.jpg", "holiday");
  for (int time = 0; time < 2; ++time) {
    const VaccineResult result = Immunize(machine, machine, 'E');
    EXPECT_TRUE(result.done) << result.note;
    EXPECT_EQ(result.path, "E:\\Autorun.inf");
    ExpectVaccine(machine);
  }
  const VaccineResult result = Unimmunize(machine, machine, 'E');
  EXPECT_TRUE(result.done) << result.note;
  EXPECT_TRUE(machine.directories.empty());
  EXPECT_TRUE(machine.folderAttributes.empty());
  EXPECT_EQ(machine.files.size(), 1u) << "the user's photo stays";
  EXPECT_TRUE(Unimmunize(machine, machine, 'E').done) << "nothing to take away is no failure";
}

// Each case: the stick as it was, whether it counts as done, a word of the
// note, and the stick afterwards.
struct VaccineCase {
  std::string_view name;
  std::function<void(FakeMachine&)> prepare;
  bool immunize;
  bool done;
  std::string_view said;
  std::function<void(const FakeMachine&)> check;
};

TEST(Vaccine, RefusesWhatItMustNotTouchAndSaysWhy) {
  const auto stickOf = [](DriveType type) { return [type](FakeMachine& m) { m.drives['E'] = {type, 1}; }; };
  const auto immunized = [](FakeMachine& m) {
    m.drives['E'] = {};
    ASSERT_TRUE(Immunize(m, m, 'E').done);
  };
  const VaccineCase cases[] = {
      {"a worm's Autorun.inf file",
       [](FakeMachine& m) {
         m.drives['E'] = {};
         m.AddFile("E:\\AUTORUN.INF", "open=x.exe").hidden = true;
       },
       true, false, "sweep and clean",
       [](const FakeMachine& m) {
         EXPECT_EQ(m.Find("E:\\Autorun.inf")->content, "open=x.exe");
         EXPECT_TRUE(m.Find("E:\\Autorun.inf")->hidden);
       }},
      {"a CD-ROM", stickOf(DriveType::kCdRom), true, false, "CD-ROM",
       [](const FakeMachine& m) { EXPECT_TRUE(m.directories.empty()); }},
      {"no drive", [](FakeMachine&) {}, true, false,
       "no drive E:", [](const FakeMachine& m) { EXPECT_TRUE(m.directories.empty()); }},
      {"a write-protected stick",
       [](FakeMachine& m) {
         m.drives['E'] = {};
         m.readOnlyReason = "The media is write protected.";
       },
       true, false, "The media is write protected.",
       [](const FakeMachine& m) { EXPECT_TRUE(m.directories.empty()); }},
      {"another vaccine's folder",
       [](FakeMachine& m) {
         m.drives['E'] = {};
         m.directories.insert("e:\\autorun.inf");
       },
       true, false, "did not make",
       [](const FakeMachine& m) {
         EXPECT_TRUE(m.directories.contains("e:\\autorun.inf"));
         EXPECT_TRUE(m.folderAttributes.empty());
       }},
      {"unimmunizing another vaccine's folder",
       [](FakeMachine& m) {
         m.drives['E'] = {};
         m.AddFile("E:\\Autorun.inf\\Kestrix\\Vaccine.txt", "edited");
         m.directories.insert({"e:\\autorun.inf", "e:\\autorun.inf\\kestrix"});
       },
       false, false, "did not make",
       [](const FakeMachine& m) {
         EXPECT_EQ(m.Find("E:\\Autorun.inf\\Kestrix\\Vaccine.txt")->content, "edited");
       }},
      {"unimmunizing a worm's Autorun.inf file",
       [](FakeMachine& m) {
         m.drives['E'] = {};
         m.AddFile("E:\\Autorun.inf");
       },
       false, false, "a sweep lists it",
       [](const FakeMachine& m) { EXPECT_NE(m.Find("E:\\Autorun.inf"), nullptr); }},
      {"the user's files in the folder",
       [&](FakeMachine& m) {
         immunized(m);
         for (const char* name : {"mine.txt", "a", "b", "c"}) m.AddFile("E:\\Autorun.inf\\"s + name);
       },
       false, false,
       "E:\\Autorun.inf holds a, b, c and 1 more, which Kestrix did not put there; E:\\Autorun.inf left",
       [](const FakeMachine& m) {
         ExpectVaccine(m);
         EXPECT_NE(m.Find("E:\\Autorun.inf\\mine.txt"), nullptr);
       }},
      {"the user's folder beside the note",
       [&](FakeMachine& m) {
         immunized(m);
         m.directories.insert("e:\\autorun.inf\\kestrix\\mine");
       },
       false, false, "E:\\Autorun.inf\\Kestrix holds mine, which",
       [](const FakeMachine& m) {
         ExpectVaccine(m);
         EXPECT_TRUE(m.directories.contains("e:\\autorun.inf\\kestrix\\mine"));
       }},
      {"an undeletable note",
       [&](FakeMachine& m) {
         immunized(m);
         m.files.at("e:\\autorun.inf\\kestrix\\vaccine.txt").undeletable = true;
       },
       false, false, "could not be removed", [](const FakeMachine& m) { ExpectVaccine(m); }},
  };
  for (const VaccineCase& c : cases) {
    SCOPED_TRACE(c.name);
    FakeMachine machine;
    c.prepare(machine);
    const VaccineResult result =
        c.immunize ? Immunize(machine, machine, 'E') : Unimmunize(machine, machine, 'E');
    EXPECT_EQ(result.done, c.done);
    EXPECT_NE(result.note.find(c.said), std::string::npos) << result.note;
    c.check(machine);
  }
}

}  // namespace
}  // namespace kestrix

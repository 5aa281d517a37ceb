#include "findings/shortcut_recovery.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_machine.h"

namespace kestrix {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(ShortcutRecovery, ShowsWhatTheWormHidOnceItsDecoysAreGone) {
  testing::FakeMachine machine;
  const std::uint32_t hiddenSystem = kAttributeHidden | kAttributeSystem;
  machine.AddFolder("E:\\Photos", hiddenSystem);
  machine.AddFolder("E:\\\xC2\xA0", hiddenSystem);     // a no-break space
  machine.AddFolder("E:\\Private", kAttributeHidden);  // the user's own, with no decoy
  testing::FakeFile& thesis = machine.AddFile("E:\\Thesis.doc", "text");
  thesis.hidden = thesis.system = true;
  machine.AddFile("E:\\desktop.ini", "").hidden = true;
  const std::vector<std::string> decoys = {"E:\\Photos.lnk", "E:\\Thesis.doc.lnk", "E:\\Music.lnk"};
  for (const std::string& decoy : decoys) machine.AddFile(decoy);
  ShortcutRecovery recovery;
  recovery.Note(decoys, {{"E:\\Photos", hiddenSystem},
                         {"E:\\Thesis.doc", hiddenSystem},
                         {"E:\\\xC2\xA0", hiddenSystem},
                         {"E:\\desktop.ini", kAttributeHidden}});

  EXPECT_THAT(recovery.Recover(machine), IsEmpty()) << "decoys are still there";
  machine.RemoveFile("E:\\Photos.lnk");
  machine.RemoveFile("E:\\Thesis.doc.lnk");
  EXPECT_THAT(recovery.Recover(machine), IsEmpty()) << "one decoy is still there";
  machine.RemoveFile("E:\\Music.lnk");
  EXPECT_THAT(recovery.Recover(machine), ElementsAre("E:\\Photos", "E:\\Thesis.doc", "E:\\\xC2\xA0"));
  EXPECT_EQ(machine.folderAttributes["e:\\photos"], 0u);
  EXPECT_EQ(machine.folderAttributes["e:\\\xC2\xA0"], 0u);
  EXPECT_FALSE(machine.Find("E:\\Thesis.doc")->hidden || machine.Find("E:\\Thesis.doc")->system);
  EXPECT_TRUE(machine.Find("E:\\desktop.ini")->hidden) << "Windows keeps it hidden";
  EXPECT_EQ(machine.folderAttributes["e:\\private"], kAttributeHidden);
  EXPECT_THAT(recovery.Recover(machine), IsEmpty()) << "once per drive";
  EXPECT_EQ(recovery.Recovered().size(), 3u);
}

}  // namespace
}  // namespace kestrix

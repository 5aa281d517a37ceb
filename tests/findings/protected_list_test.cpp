#include "findings/protected_list.h"

#include <gtest/gtest.h>

#include "fakes/fake_machine.h"

namespace kestrix {
namespace {

TEST(ProtectedList, HoldsTheWindowsFilesLowerCasedInOrder) {
  testing::FakeMachine machine;
  ProtectedList list(machine, machine.folding);
  list.BuildProtectedList("C:\\WINDOWS\\");
  ASSERT_EQ(list.Paths().size(), 25u);
  EXPECT_EQ(list.Paths()[0], "c:\\boot.ini");
  EXPECT_EQ(list.Paths()[4], "c:\\ntdetect.com");
  EXPECT_EQ(list.Paths()[8], "c:\\windows\\win.ini");
  EXPECT_EQ(list.Paths()[24], "c:\\windows\\system32\\userinit.exe");

  EXPECT_TRUE(list.IsProtected("C:\\WINDOWS\\Explorer.EXE"));
  EXPECT_FALSE(list.IsProtected("D:\\WINDOWS\\explorer.exe"));
  EXPECT_FALSE(list.IsProtected("C:\\WINDOWS\\explorer.exe.bak"));
}

TEST(ProtectedList, ADirectoryOfThreeCharactersKeepsWhatWasThere) {
  testing::FakeMachine machine;
  ProtectedList list(machine, machine.folding);
  list.BuildProtectedList("C:\\");
  EXPECT_TRUE(list.Paths().empty()) << "nothing is protected before the first build";
  list.BuildProtectedList("D:\\WIN\\");
  list.BuildProtectedList("C:\\");
  EXPECT_TRUE(list.IsProtected("d:\\win\\hh.exe"));
}

// Windows opens the same file under many spellings, and so could a hostile
// Autorun.inf: every one of them must be asked about.
TEST(ProtectedList, KnowsAFileUnderEverySpellingAndName) {
  testing::FakeMachine machine;
  machine.AddFile("C:\\WINDOWS\\explorer.exe").identity = 7;
  machine.AddFile("E:\\hardlink.exe").identity = 7;
  machine.AddFile("E:\\other.exe").identity = 8;
  ProtectedList list(machine, machine.folding);
  list.BuildProtectedList("C:/WINDOWS");
  for (const char* spelling :
       {"C:\\WINDOWS\\.\\explorer.exe", "C:\\WINDOWS\\regedit.exe.", "C:\\WINDOWS\\\\hh.exe",
        "C:\\WINDOWS/win.ini", "C:\\WINDOWS\\system32\\..\\winhelp.exe", "C:\\\\boot.ini",
        "c:\\windows\\SYSTEM32\\.\\USERINIT.EXE ", "C:/boot.ini", "C:\\WINDOWS\\..\\..\\boot.ini",
        "E:\\hardlink.exe"}) {
    EXPECT_TRUE(list.IsProtected(spelling)) << spelling;
  }
  EXPECT_FALSE(list.IsProtected("E:\\other.exe"));
  EXPECT_FALSE(list.IsProtected("C:\\WINDOWS\\system32\\explorer.exe"));
}

}  // namespace
}  // namespace kestrix

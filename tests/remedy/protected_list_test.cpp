#include "remedy/protected_list.h"

#include <gtest/gtest.h>

#include "fakes/fake_machine.h"

namespace kestrix {
namespace {

TEST(ProtectedList, HoldsTheWindowsFilesLowerCasedInOrder) {
  testing::FakeFolding folding;
  ProtectedList list(folding);
  list.BuildProtectedList("C:\\WINDOWS\\");
  ASSERT_EQ(list.Paths().size(), 25u);
  EXPECT_EQ(list.Paths()[0], "c:\\boot.ini");
  EXPECT_EQ(list.Paths()[4], "c:\\ntdetect.com");
  EXPECT_EQ(list.Paths()[8], "c:\\windows\\win.ini");
  EXPECT_EQ(list.Paths()[24], "c:\\windows\\system32\\userinit.exe");

  EXPECT_TRUE(list.IsProtected("C:\\WINDOWS\\Explorer.EXE"));
  EXPECT_FALSE(list.IsProtected("C:\\WINDOWS\\Explorer.EXE ")) << "no trimming";
  EXPECT_FALSE(list.IsProtected("D:\\WINDOWS\\explorer.exe"));
}

TEST(ProtectedList, ADirectoryOfThreeCharactersKeepsWhatWasThere) {
  testing::FakeFolding folding;
  ProtectedList list(folding);
  list.BuildProtectedList("C:\\");
  EXPECT_TRUE(list.Paths().empty()) << "nothing is protected before the first build";
  list.BuildProtectedList("D:\\WIN\\");
  list.BuildProtectedList("C:\\");
  EXPECT_TRUE(list.IsProtected("d:\\win\\hh.exe"));
}

}  // namespace
}  // namespace kestrix

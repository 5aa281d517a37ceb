#include "platform/common/shell_link.h"

#include <gtest/gtest.h>

#include "support/shell_link_bytes.h"

namespace kestrix {
namespace {

using testing::LinkFields;
using testing::ShellLinkBytes;

std::string Identity(std::string_view bytes) { return std::string(bytes); }

TEST(ParseShellLink, TakesTheTargetFromTheRecordsWindowsPrefers) {
  struct Case {
    std::string_view name;
    LinkFields fields;
    ShellLink expected;
  };
  const Case cases[] = {
      {"location record",
       {.target = "C:\\WINDOWS\\system32\\cmd.exe",
        .arguments = "/c start x.vbs",
        .workingDirectory = "E:\\"},
       {"C:\\WINDOWS\\system32\\cmd.exe", "/c start x.vbs", "E:\\"}},
      {"its UTF-16 field first",
       {.target = "C:\\X~1.EXE", .unicodeTarget = "C:\\Windows\\wscript.exe", .arguments = "a.vbs"},
       {"C:\\Windows\\wscript.exe", "a.vbs", ""}},
      {"item list alone",
       {.itemTarget = "C:\\WINDOWS\\system32\\rundll32.exe", .arguments = "x.dll,Go"},
       {"C:\\WINDOWS\\system32\\rundll32.exe", "x.dll,Go", ""}},
      {"location before item list",
       {.target = "D:\\a.exe", .itemTarget = "C:\\b.exe"},
       {"D:\\a.exe", "", ""}},
      {"environment block first",
       {.target = "C:\\WINDOWS\\system32\\cmd.exe", .environmentTarget = "%windir%\\system32\\mshta.exe"},
       {"%windir%\\system32\\mshta.exe", "", ""}},
      {"ANSI strings",
       {.target = "C:\\a.exe", .arguments = "-x y", .unicode = false},
       {"C:\\a.exe", "-x y", ""}},
      {"nothing but arguments", {.arguments = "x"}, {"", "x", ""}},
      {"counts that hold the NUL, as Wine writes them",
       {.target = "C:\\a.exe",
        .arguments = std::string("x.vbs\0", 6),
        .workingDirectory = std::string("E:\\\0", 4)},
       {"C:\\a.exe", "x.vbs", "E:\\"}},
  };
  for (const Case& c : cases) {
    const auto link = ParseShellLink(ShellLinkBytes(c.fields), Identity);
    ASSERT_TRUE(link) << c.name;
    EXPECT_EQ(link->target, c.expected.target) << c.name;
    EXPECT_EQ(link->arguments, c.expected.arguments) << c.name;
    EXPECT_EQ(link->workingDirectory, c.expected.workingDirectory) << c.name;
  }
}

TEST(ParseShellLink, RefusesWhatIsNoShortcutAndSurvivesEveryCut) {
  const std::string bytes = ShellLinkBytes({.target = "C:\\WINDOWS\\system32\\cmd.exe",
                                            .itemTarget = "C:\\WINDOWS\\system32\\cmd.exe",
                                            .environmentTarget = "%COMSPEC%",
                                            .arguments = "/c start x.vbs",
                                            .workingDirectory = "E:\\"});
  EXPECT_FALSE(ParseShellLink("", Identity));
  EXPECT_FALSE(ParseShellLink("MZ\x90\x00", Identity));
  std::string otherClass = bytes;
  otherClass[4] ^= 1;
  EXPECT_FALSE(ParseShellLink(otherClass, Identity));
  // Cut anywhere before its strings end, a shortcut reads as none; the
  // optional blocks after them may be lost.
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    const auto link = ParseShellLink(std::string_view(bytes).substr(0, size), Identity);
    if (link) {
      EXPECT_EQ(link->arguments, "/c start x.vbs") << size;
    }
  }
  // Sizes and offsets that point anywhere.
  for (std::size_t at = 0x4C; at < bytes.size(); ++at) {
    std::string broken = bytes;
    broken[at] = '\xFF';
    ParseShellLink(broken, Identity);
  }
}

}  // namespace
}  // namespace kestrix

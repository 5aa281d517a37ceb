#include "platform/win32/system_path.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/win32/win32_machine.h"

namespace kestrix::win32 {
namespace {

TEST(SystemPath, NamedDriveLetterSeesTheLetterBehindEveryPrefix) {
  const struct {
    std::wstring_view path;
    std::optional<wchar_t> letter;
  } cases[] = {
      {LR"(E:\x)", L'E'},
      {L"e:", L'e'},
      {L"E:x", L'E'},
      {LR"(\\?\E:\x)", L'E'},
      {LR"(\\.\e:\x)", L'e'},
      {LR"(\??\E:\x)", L'E'},
      {L"//?/E:/x", L'E'},
      {LR"(\\server\share\x)", std::nullopt},
      {LR"(\\?\UNC\server\share\x)", std::nullopt},
      {LR"(x\y)", std::nullopt},
      {LR"(1:\x)", std::nullopt},
      {LR"(\\?\)", std::nullopt},
      {L"E", std::nullopt},
      {L"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(NamedDriveLetter(c.path), c.letter) << Narrow(c.path);
}

TEST(SystemPath, SpellsOutThePathTheSystemCallsTake) {
  const std::string longName(250, 'n');
  const struct {
    std::string path;
    std::string system;  // empty: refused
  } cases[] = {
      {R"(C:\a\..\b)", R"(\\?\C:\b)"},
      {R"(C:\a\.\b\\c)", R"(\\?\C:\a\b\c)"},
      {R"(C:\NOSUCH~1\x)", R"(\\?\C:\NOSUCH~1\x)"},
      {R"(\\server\share\x)", R"(\\?\UNC\server\share\x)"},
      {R"(C:\)" + longName + R"(\)" + longName, R"(\\?\C:\)" + longName + R"(\)" + longName},
      {std::string("C:\\a\0b", 6), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Narrow(SystemPath(c.path)), c.system) << c.path;
}

}  // namespace
}  // namespace kestrix::win32

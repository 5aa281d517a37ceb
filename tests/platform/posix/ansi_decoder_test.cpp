#include "platform/posix/ansi_decoder.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrix::posix {
namespace {

TEST(DecodeAnsi, SurvivesAnyBytesInEveryCodePage) {
  std::string junk;
  for (int round = 0; round < 64; ++round) {
    for (int byte = 1; byte < 256; ++byte) junk += static_cast<char>(byte);
  }
  junk += std::string(1 << 20, '\x81');  // a megabyte of errors, each its own restart
  for (const int codePage : {1252, 936, 950, 932, 949, 1251, 65001, 0, -5}) {
    const std::string text = DecodeAnsi(junk, codePage);
    EXPECT_GE(text.size(), junk.size()) << codePage;  // every byte leaves at least one
  }
}

}  // namespace
}  // namespace kestrix::posix

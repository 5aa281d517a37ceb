// The progress line kestrix-scan draws on a terminal, read back as the
// terminal shows it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli/scan_command.h"
#include "fakes/fake_machine.h"

namespace kestrix {
namespace {

// A one-line terminal: carriage return, ESC[K and characters that
// overwrite. Answers, at each carriage return and at the end, the line
// shown and the text written since the return before, trailing blanks cut.
struct Shown {
  std::string line;
  std::string written;
};
std::vector<Shown> ShownLines(const std::string& output) {
  std::vector<Shown> shown;
  std::string screen;
  std::string written;
  std::size_t column = 0;
  const auto trimmed = [](const std::string& text) { return text.substr(0, text.find_last_not_of(' ') + 1); };
  for (std::size_t i = 0; i < output.size(); ++i) {
    if (output[i] == '\r') {
      shown.push_back({trimmed(screen), trimmed(written)});
      written.clear();
      column = 0;
    } else if (output.compare(i, 3, "\033[K") == 0) {
      screen.resize(column);
      i += 2;
    } else if (output[i] != '\n') {
      screen.resize(std::max(screen.size(), column + 1), ' ');
      screen[column] = output[i];
      written += output[i];
      ++column;
    }
  }
  shown.push_back({trimmed(screen), trimmed(written)});
  return shown;
}

TEST(ProgressLine, EachDrawingShowsOnlyItselfAndTheEndLeavesTheLineBlank) {
  for (const bool escapes : {true, false}) {
    SCOPED_TRACE(escapes ? "with ESC[K" : "with blanks");
    testing::FakeMachine machine;
    machine.drives['C'] = {DriveType::kFixed, 1 << 30};
    machine.drives['E'] = {DriveType::kRemovable, 1 << 20};
    machine.AddFile("C:\\Kestrix.dat", "");
    // A long folder name first, so that shorter lines follow a longer one.
    machine.AddFolder("E:\\a folder whose name is much longer than any drive letter");
    testing::FakeProcessTable processes;
    testing::FakeStoreFolder store;
    testing::FakeHashing hashing;
    ScanOptions options;
    options.rulesPath = "C:\\Kestrix.dat";

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    RunScan(options, {machine, machine, machine.folding, processes, store, hashing},
            {.progress = true, .input = false, .escapes = escapes});
    const std::string output = ::testing::internal::GetCapturedStderr();
    ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(output.find('\033') != std::string::npos, escapes);
    const std::vector<Shown> shown = ShownLines(output);
    ASSERT_GT(shown.size(), 20u);
    // The line shown is the one drawn last: nothing of an earlier, longer
    // one is left behind it.
    for (const Shown& line : shown) EXPECT_EQ(line.line, line.written);
    EXPECT_EQ(shown.back().line, "") << "the progress line stays after the sweep";
  }
}

}  // namespace
}  // namespace kestrix

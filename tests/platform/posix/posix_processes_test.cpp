#include "platform/posix/posix_processes.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/common/case_text.h"
#include "remedy/removal.h"
#include "support/temp_dir.h"

extern char** environ;

namespace kestrix::posix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kPatience = 10s;

bool WaitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

std::string ExeLink(pid_t pid) {
  std::error_code error;
  return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
}

// Real processes running copies of sleep from a sandbox whose "stick" folder
// is drive E:. Every child still running is killed and reaped afterwards,
// whatever the test asserted.
class ChildProcesses : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(stick_);
    DriveMap drives;
    drives.Map('E', {.type = DriveType::kRemovable, .extentLength = 1, .directory = stick_});
    // A drive inside another: its files have two Windows paths.
    drives.Map('C', {.type = DriveType::kFixed, .extentLength = 1, .directory = stick_ / "Inner"});
    machine_.emplace(std::move(drives), 1252);
  }

  void TearDown() override {
    for (const pid_t child : children_) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
    }
  }

  fs::path Install(const fs::path& file) {
    fs::create_directories(file.parent_path());
    fs::copy_file("/bin/sleep", file, fs::copy_options::overwrite_existing);
    return file;
  }

  // Starts the program and waits until the process runs it.
  pid_t Start(const fs::path& program) {
    std::string name = program.filename().string();
    std::string seconds = "300";
    char* argv[] = {name.data(), seconds.data(), nullptr};
    pid_t child = 0;
    const int error = ::posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, environ);
    EXPECT_EQ(error, 0) << program;
    if (error != 0) return 0;
    children_.push_back(child);
    EXPECT_TRUE(WaitUntil([&] { return ExeLink(child) == program.string(); })) << program;
    return child;
  }

  // The wait status of a child that ends within the time limit.
  std::optional<int> Reap(pid_t child) {
    int status = 0;
    bool reaped = false;
    WaitUntil([&] {
      reaped = ::waitpid(child, &status, WNOHANG) == child;
      return reaped;
    });
    if (!reaped) return std::nullopt;
    std::erase(children_, child);
    return status;
  }

  bool StillRunning(pid_t child) {
    int status = 0;
    return ::waitpid(child, &status, WNOHANG) == 0;
  }

  kestrix::testing::TempDir dir_;
  fs::path root_ = dir_.Path();
  fs::path stick_ = root_ / "stick";
  std::optional<PosixMachine> machine_;
  std::vector<pid_t> children_;
};

TEST_F(ChildProcesses, TerminatesEveryProcessRunningTheListedFileAndNoOther) {
  const fs::path worm = Install(stick_ / "worm.exe");
  const fs::path other = Install(stick_ / "other.exe");
  const fs::path inner = Install(stick_ / "Inner/w.exe");
  const pid_t worms[] = {Start(worm), Start(worm), Start(inner)};
  const pid_t bystander = Start(other);
  // Another file whose Windows name differs only in letter case.
  const pid_t namesake = Start(Install(stick_ / "Worm.exe"));
  ASSERT_FALSE(HasFailure());

  PosixProcessTable table(*machine_);
  const std::vector<ProcessEntry> snapshot = table.Snapshot();
  KillProcessByFile(table, *machine_, *machine_, "E:\\worm.exe");
  KillProcessByFile(table, *machine_, *machine_, "E:\\INNER\\w.exe");  // C:\w.exe as well

  for (const pid_t child : worms) {
    const auto status = Reap(child);
    ASSERT_TRUE(status) << "worm " << child << " still runs";
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL) << *status;
  }
  EXPECT_TRUE(StillRunning(bystander));
  EXPECT_TRUE(StillRunning(namesake));

  const auto listed = [&](pid_t pid) -> std::optional<std::string> {
    for (const ProcessEntry& entry : snapshot) {
      if (entry.id == static_cast<std::uint32_t>(pid)) return entry.exeFile;
    }
    return std::nullopt;
  };
  EXPECT_EQ(listed(bystander), "other.exe");
  const auto self = listed(::getpid());
  ASSERT_TRUE(self);
  EXPECT_FALSE(self->empty());
  EXPECT_FALSE(self->ends_with('\n'));
}

TEST_F(ChildProcesses, TheFileOfARunningProgramIsDeletedOnlyOnceItHasEnded) {
  const fs::path worm = Install(stick_ / "worm.exe");
  const pid_t running = Start(worm);
  ASSERT_FALSE(HasFailure());
  fs::create_symlink(worm, stick_ / "link.exe");
  EXPECT_FALSE(machine_->RemoveFile("E:\\worm.exe"));
  EXPECT_TRUE(fs::exists(worm));
  EXPECT_TRUE(machine_->RemoveFile("E:\\link.exe")) << "a link to it is not the program";

  ::kill(running, SIGKILL);
  ASSERT_TRUE(Reap(running));
  EXPECT_TRUE(machine_->RemoveFile("E:\\worm.exe"));
  EXPECT_FALSE(fs::exists(worm));
}

TEST_F(ChildProcesses, RefusesItselfInitAndProcessesThatAreGone) {
  const pid_t ended = Start(Install(stick_ / "worm.exe"));
  ASSERT_FALSE(HasFailure());
  PosixProcessTable table(*machine_);
  const auto earlier = table.OpenProcess(static_cast<std::uint32_t>(ended));
  ASSERT_NE(earlier, nullptr);
  ::kill(ended, SIGKILL);
  ASSERT_TRUE(Reap(ended));

  EXPECT_EQ(earlier->MainModulePath(), std::nullopt);
  earlier->Terminate();  // nothing left to signal; must stay silent
  for (const std::uint32_t id :
       {static_cast<std::uint32_t>(::getpid()), 1u, 0u, static_cast<std::uint32_t>(ended), 0xFFFFFFFFu}) {
    EXPECT_EQ(table.OpenProcess(id), nullptr) << id;
  }
}

TEST_F(ChildProcesses, MainModulePathNamesADriveFileOnlyWhileItHoldsTheRunningImage) {
  enum AfterStart { kKept, kDeleted, kReplaced };
  fs::create_directories(stick_ / "Sub");
  const struct {
    fs::path program;
    AfterStart afterStart;
    std::optional<std::string> expected;
  } cases[] = {
      {stick_ / "Sub/Worm.exe", kKept, "E:\\Sub\\Worm.exe"},
      {stick_ / "odd.exe (deleted)", kKept, "E:\\odd.exe (deleted)"},
      {root_ / "outside/worm.exe", kKept, (root_ / "outside/worm.exe").string()},
      {stick_ / "gone.exe", kDeleted, (stick_ / "gone.exe").string() + " (deleted)"},
      {stick_ / "swapped.exe", kReplaced, (stick_ / "swapped.exe").string() + " (deleted)"},
  };
  PosixProcessTable table(*machine_);
  for (const auto& c : cases) {
    const pid_t child = Start(Install(c.program));
    if (c.afterStart == kDeleted) fs::remove(c.program);
    if (c.afterStart == kReplaced) {
      Install(root_ / "fresh.exe");
      fs::rename(root_ / "fresh.exe", c.program);
    }
    const auto process = table.OpenProcess(static_cast<std::uint32_t>(child));
    ASSERT_NE(process, nullptr) << c.program;
    EXPECT_EQ(process->MainModulePath(), c.expected) << c.program;
  }
}

}  // namespace
}  // namespace kestrix::posix

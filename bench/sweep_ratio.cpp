// How much a sweep costs over the existence tests it cannot avoid: a
// machine of six drives and a rule database of N lines (spread over the
// nine kinds of place a rule names), H% of whose files exist. Sweeps are
// timed in turns with a bare loop of stat() calls over exactly the paths the sweep
// tested, in the same run; the ratio is what the sweep adds.
//   sweep_ratio RULES HIT_PERCENT [FILES_PER_FOLDER [ROUNDS]]
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>
#include <unistd.h>

#include "detect/drive_sweep.h"
#include "fakes/quiet_view.h"
#include "platform/common/forwarding_files.h"
#include "platform/posix/posix_machine.h"

namespace kestrix {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using posix::DriveMap;
using posix::PosixMachine;

// The machine's files, noting every path whose existence a sweep tests.
class TestedPaths final : public ForwardingFiles {
 public:
  using ForwardingFiles::ForwardingFiles;
  bool FileExists(std::string_view path) override {
    tested.emplace_back(path);
    return ForwardingFiles::FileExists(path);
  }
  std::vector<std::string> tested;
};

void Touch(const fs::path& file) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << "MZ";
}

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

int Run(int rules, int hitPercent, int filesPerFolder, int rounds) {
  const fs::path root = fs::temp_directory_path() / ("kestrix-sweep-ratio-" + std::to_string(::getpid()));
  fs::remove_all(root);
  const std::string letters = "CDEFGH";
  DriveMap drives;
  for (const char letter : letters) {
    drives.Map(letter, {.type = letter == 'C' ? DriveType::kFixed : DriveType::kRemovable,
                        .extentLength = 1,
                        .directory = root / std::string(1, letter)});
    // Other files in every folder a rule looks in, as on a real machine.
    for (int i = 0; i < filesPerFolder; ++i) Touch(root / std::string(1, letter) / ("Other" + std::to_string(i) + ".dat"));
  }
  for (const char* folder : {"WINDOWS", "WINDOWS/system32", "WINDOWS/system"}) {
    for (int i = 0; i < filesPerFolder; ++i) Touch(root / "C" / folder / ("Other" + std::to_string(i) + ".dll"));
  }

  // Rules over the nine kinds of place; H% of them name files that exist
  // wherever the rule looks.
  const char* tokens[] = {"!DSKROOT", "!ALL", "!WinPath", "!SYS32path", "!SYSpath", "@WinPath", "@SYS32path", "@SYSpath", "@DSKROOT"};
  std::mt19937 random(7);
  std::ofstream database(root / "Kestrix.dat");
  for (int i = 0; i < rules; ++i) {
    const std::string name = "Worm" + std::to_string(i) + ".exe";
    const bool hit = static_cast<int>(random() % 100) < hitPercent;
    if (i % 10 == 9) {
      database << "<WinPath>system32\\drivers\\" << name << " :0\r\n";
      if (hit) Touch(root / "C/WINDOWS/system32/drivers" / name);
      continue;
    }
    database << name << " " << tokens[i % 9] << " 0\r\n";
    if (!hit) continue;
    for (const char letter : letters) Touch(root / std::string(1, letter) / name);
    for (const char* folder : {"WINDOWS", "WINDOWS/system32", "WINDOWS/system"}) Touch(root / "C" / folder / name);
  }
  database.close();

  PosixMachine machine(std::move(drives), 1252);
  machine.AllowHostFile((root / "Kestrix.dat").string());
  TestedPaths files(machine);
  testing::QuietView view;
  SuspectList list(files, machine, view);
  ProtectedList protectedList(files, machine);
  const SweepSettings settings{.skipFloppies = true, .programFilesDirectory = "", .ruleDatabasePath = (root / "Kestrix.dat").string()};
  DriveSweep sweep({files, machine, machine, view}, settings, view, list, protectedList);

  sweep.SweepDrives();  // once to warm the caches, as the bare loop finds them
  std::vector<std::string> hostPaths;
  for (const std::string& path : files.tested) {
    if (auto host = machine.Resolve(path)) hostPaths.push_back(host->string());
  }
  const std::size_t tested = files.tested.size();

  // The best of several rounds of each, taken in turns, so that other work
  // on the machine weighs on neither.
  double sweepSeconds = 1e9;
  double bareSeconds = 1e9;
  int found = 0;
  for (int round = 0; round < rounds; ++round) {
    files.tested.clear();
    const auto sweepStart = Clock::now();
    sweep.SweepDrives();
    sweepSeconds = std::min(sweepSeconds, Seconds(Clock::now() - sweepStart));

    const auto bareStart = Clock::now();
    found = 0;
    for (const std::string& path : hostPaths) {
      struct stat info {};
      found += ::stat(path.c_str(), &info) == 0 ? 1 : 0;
    }
    bareSeconds = std::min(bareSeconds, Seconds(Clock::now() - bareStart));
  }

  std::printf("rules %d, hits %d%%, %zu paths tested, %zu listed (%d exist)\n", rules, hitPercent, tested,
              list.Count(), found);
  std::printf("sweep %.3f s, bare stat loop %.3f s, ratio %.2f\n", sweepSeconds, bareSeconds, sweepSeconds / bareSeconds);
  fs::remove_all(root);
  return 0;
}

}  // namespace
}  // namespace kestrix

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: sweep_ratio RULES HIT_PERCENT [FILES_PER_FOLDER [ROUNDS]]\n");
    return 2;
  }
  return kestrix::Run(std::atoi(argv[1]), std::atoi(argv[2]), argc > 3 ? std::atoi(argv[3]) : 200,
                      argc > 4 ? std::atoi(argv[4]) : 5);
}

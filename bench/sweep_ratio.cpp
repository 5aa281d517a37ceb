// How much a sweep costs over the existence tests it cannot avoid: the
// drives of a machine and a rule database of N lines (spread over the nine
// kinds of place a rule names), H% of whose files exist. Sweeps are timed in
// turns with a bare loop of existence tests over exactly the paths the sweep
// tested, in the same run; the ratio is what the sweep adds. The same
// program is built for Windows, where it sweeps the computer's own drives.
//   sweep_ratio RULES HIT_PERCENT [FILES_PER_FOLDER [ROUNDS]]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_machine.h"
#include "detect/drive_sweep.h"
#include "fakes/quiet_view.h"
#include "platform/common/forwarding_files.h"

namespace kestrix::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The machine's files, noting every path whose existence a sweep tests
// while `noting` says so (not in the timed sweeps).
class TestedPaths final : public ForwardingFiles {
 public:
  using ForwardingFiles::ForwardingFiles;
  bool FileExists(std::string_view path) override {
    if (noting) tested.emplace_back(path);
    return ForwardingFiles::FileExists(path);
  }
  bool noting = true;
  std::vector<std::string> tested;
};

// The files a run makes, removed again at its end.
class Workload {
 public:
  Workload() = default;
  Workload(const Workload&) = delete;
  Workload& operator=(const Workload&) = delete;
  ~Workload() {
    std::error_code error;
    for (const fs::path& file : files_) fs::remove(file, error);
  }
  void Touch(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "MZ";
    files_.push_back(file);
  }

 private:
  std::vector<fs::path> files_;
};

// A folder of the run's own, removed with all it holds at the end.
struct Scratch {
  explicit Scratch(fs::path folder) : path(std::move(folder)) {}
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    std::error_code error;
    fs::remove_all(path, error);
  }
  fs::path path;
};

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

int Run(int rules, int hitPercent, int filesPerFolder, int rounds) {
  const Scratch scratch{fs::temp_directory_path() / ("kestrix-sweep-ratio-" + std::to_string(std::random_device()()))};
  const std::unique_ptr<BenchMachine> machine = MakeBenchMachine(scratch.path);
  Workload workload;
  const fs::path windows = machine->WindowsFolder();
  const std::vector<fs::path> windowsFolders = {windows, windows / "system32", windows / "system"};
  std::vector<fs::path> folders = machine->DriveFolders();
  folders.insert(folders.end(), windowsFolders.begin(), windowsFolders.end());
  // Other files in every folder a rule looks in, as on a real machine.
  for (const fs::path& folder : folders) {
    for (int i = 0; i < filesPerFolder; ++i) workload.Touch(folder / ("Other" + std::to_string(i) + ".dat"));
  }

  // Rules over the nine kinds of place; H% of them name files that exist
  // wherever the rule looks.
  const char* tokens[] = {"!DSKROOT", "!ALL", "!WinPath", "!SYS32path", "!SYSpath", "@WinPath", "@SYS32path", "@SYSpath", "@DSKROOT"};
  std::mt19937 random(7);
  workload.Touch(machine->RulesFile());
  std::ofstream database(machine->RulesFile());
  for (int i = 0; i < rules; ++i) {
    const std::string name = "Worm" + std::to_string(i) + ".exe";
    const bool hit = static_cast<int>(random() % 100) < hitPercent;
    if (i % 10 == 9) {
      database << "<WinPath>system32\\drivers\\" << name << " :0\r\n";
      if (hit) workload.Touch(windows / "system32" / "drivers" / name);
      continue;
    }
    database << name << " " << tokens[i % 9] << " 0\r\n";
    if (!hit) continue;
    for (const fs::path& folder : folders) workload.Touch(folder / name);
  }
  database.close();

  TestedPaths files(machine->MachineFiles());
  testing::QuietView view;
  SuspectList list(files, machine->Folding(), view);
  ProtectedList protectedList(files, machine->Folding());
  const SweepSettings settings{.skipFloppies = true, .programFilesDirectory = "", .ruleDatabasePath = machine->RulesPath()};
  DriveSweep sweep({files, machine->MachineVolumes(), machine->Folding(), view}, settings, view, list, protectedList);

  sweep.SweepDrives();  // once to warm the caches, as the bare loop finds them
  machine->PrepareBareLoop(files.tested);
  const std::size_t tested = files.tested.size();
  files.noting = false;

  // The best of several rounds of each, taken in turns, so that other work
  // on the machine weighs on neither.
  double sweepSeconds = 1e9;
  double bareSeconds = 1e9;
  int found = 0;
  for (int round = 0; round < rounds; ++round) {
    const auto sweepStart = Clock::now();
    sweep.SweepDrives();
    sweepSeconds = std::min(sweepSeconds, Seconds(Clock::now() - sweepStart));

    const auto bareStart = Clock::now();
    found = machine->BareLoop();
    bareSeconds = std::min(bareSeconds, Seconds(Clock::now() - bareStart));
  }

  std::printf("rules %d, hits %d%%, %zu paths tested, %zu listed (%d exist)\n", rules, hitPercent, tested, list.Count(),
              found);
  std::printf("sweep %.3f s, bare loop %.3f s, ratio %.2f\n", sweepSeconds, bareSeconds, sweepSeconds / bareSeconds);
  std::fflush(stdout);
  return 0;
}

}  // namespace
}  // namespace kestrix::bench

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: sweep_ratio RULES HIT_PERCENT [FILES_PER_FOLDER [ROUNDS]]\n");
    return 2;
  }
  return kestrix::bench::Run(std::atoi(argv[1]), std::atoi(argv[2]), argc > 3 ? std::atoi(argv[3]) : 200,
                             argc > 4 ? std::atoi(argv[4]) : 5);
}

// Six drive letters over folders of a scratch tree; the bare loop is stat().
#include <sys/stat.h>

#include "bench_machine.h"
#include "platform/posix/posix_machine.h"

namespace kestrix::bench {
namespace {

namespace fs = std::filesystem;
constexpr std::string_view kLetters = "CDEFGH";

class PosixBenchMachine final : public BenchMachine {
 public:
  explicit PosixBenchMachine(const fs::path& scratch) : scratch_(scratch), machine_(Drives(scratch), 1252) {
    machine_.AllowHostFile(RulesPath());
  }
  Files& MachineFiles() override { return machine_; }
  Volumes& MachineVolumes() override { return machine_; }
  CaseFolding& Folding() override { return machine_; }
  std::vector<fs::path> DriveFolders() const override {
    std::vector<fs::path> folders;
    for (const char letter : kLetters) folders.push_back(scratch_ / std::string(1, letter));
    return folders;
  }
  fs::path WindowsFolder() const override { return scratch_ / "C" / "WINDOWS"; }
  fs::path RulesFile() const override { return scratch_ / "Kestrix.dat"; }
  std::string RulesPath() const override { return RulesFile().string(); }
  void PrepareBareLoop(const std::vector<std::string>& windowsPaths) override {
    hostPaths_.clear();
    for (const std::string& path : windowsPaths) {
      if (auto host = machine_.Resolve(path)) hostPaths_.push_back(host->string());
    }
  }
  int BareLoop() override {
    int found = 0;
    for (const std::string& path : hostPaths_) {
      struct stat info {};
      found += ::stat(path.c_str(), &info) == 0 ? 1 : 0;
    }
    return found;
  }

 private:
  static posix::DriveMap Drives(const fs::path& scratch) {
    posix::DriveMap drives;
    for (const char letter : kLetters) {
      fs::create_directories(scratch / std::string(1, letter));
      drives.Map(letter, {.type = letter == 'C' ? DriveType::kFixed : DriveType::kRemovable,
                          .extentLength = 1,
                          .directory = scratch / std::string(1, letter)});
    }
    return drives;
  }

  fs::path scratch_;
  posix::PosixMachine machine_;
  std::vector<std::string> hostPaths_;
};

}  // namespace

std::unique_ptr<BenchMachine> MakeBenchMachine(const fs::path& scratch) {
  return std::make_unique<PosixBenchMachine>(scratch);
}

}  // namespace kestrix::bench

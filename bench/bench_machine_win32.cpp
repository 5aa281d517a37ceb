// The computer's own drives: those KESTRIX_BENCH_DRIVES names (letters, by
// default "C") are filled; the bare loop is GetFileAttributesW, one call per
// test, which is what Windows itself needs.
#include <windows.h>

#include <cstdlib>

#include "bench_machine.h"
#include "platform/win32/win32_machine.h"

namespace kestrix::bench {
namespace {

namespace fs = std::filesystem;

class Win32BenchMachine final : public BenchMachine {
 public:
  explicit Win32BenchMachine(const fs::path& scratch) : scratch_(scratch) { fs::create_directories(scratch); }
  Files& MachineFiles() override { return machine_; }
  Volumes& MachineVolumes() override { return machine_; }
  CaseFolding& Folding() override { return machine_; }
  std::vector<fs::path> DriveFolders() const override {
    const char* letters = std::getenv("KESTRIX_BENCH_DRIVES");
    std::vector<fs::path> folders;
    for (const char* letter = letters != nullptr ? letters : "C"; *letter != '\0'; ++letter) {
      folders.push_back(fs::path(std::string{*letter, ':', '\\'}));
    }
    return folders;
  }
  fs::path WindowsFolder() const override { return fs::path(win32::Widen(machine_.WindowsDirectory())); }
  fs::path RulesFile() const override { return scratch_ / "Kestrix.dat"; }
  std::string RulesPath() const override { return win32::Narrow(RulesFile().wstring()); }
  void PrepareBareLoop(const std::vector<std::string>& windowsPaths) override {
    widePaths_.clear();
    for (const std::string& path : windowsPaths) widePaths_.push_back(win32::Widen(path));
  }
  int BareLoop() override {
    int found = 0;
    for (const std::wstring& path : widePaths_) {
      const DWORD attributes = GetFileAttributesW(path.c_str());
      found += attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ? 1 : 0;
    }
    return found;
  }

 private:
  fs::path scratch_;
  mutable win32::Win32Machine machine_;
  std::vector<std::wstring> widePaths_;
};

}  // namespace

std::unique_ptr<BenchMachine> MakeBenchMachine(const fs::path& scratch) {
  return std::make_unique<Win32BenchMachine>(scratch);
}

}  // namespace kestrix::bench

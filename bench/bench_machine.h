// The machine sweep_ratio sweeps, on each backend: where the workload's
// files go and the bare existence test a sweep is measured against.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kestrix::bench {

class BenchMachine {
 public:
  virtual ~BenchMachine() = default;
  virtual Files& MachineFiles() = 0;
  virtual Volumes& MachineVolumes() = 0;
  virtual CaseFolding& Folding() = 0;
  // Host folders of the drive roots to fill, of the Windows directory, and
  // the rule database's host path.
  virtual std::vector<std::filesystem::path> DriveFolders() const = 0;
  virtual std::filesystem::path WindowsFolder() const = 0;
  virtual std::filesystem::path RulesFile() const = 0;
  // The path the sweep is given for the rule database.
  virtual std::string RulesPath() const = 0;
  // Readies the bare loop over these Windows paths.
  virtual void PrepareBareLoop(const std::vector<std::string>& windowsPaths) = 0;
  // One existence test per path, the cheapest the system has; the number found.
  virtual int BareLoop() = 0;
};

// A machine whose drives the benchmark may fill, below `scratch` where the
// backend makes its own drives.
std::unique_ptr<BenchMachine> MakeBenchMachine(const std::filesystem::path& scratch);

}  // namespace kestrix::bench

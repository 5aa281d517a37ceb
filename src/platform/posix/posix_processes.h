// The process table of /proc, seen through the drive map: a process's main
// executable is named by its Windows path, so it can be compared with a
// listed file.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_machine.h"

namespace kestrix::posix {

class PosixProcessTable final : public ProcessTable {
 public:
  explicit PosixProcessTable(const PosixMachine& machine) : machine_(machine) {}

  // Nothing to raise on POSIX: whether a process can be signalled is the
  // kernel's decision at the time. Always true.
  bool SetDebugPrivilege(bool enable) override;
  // Every numeric entry of /proc, with its command name (comm) as file name.
  std::vector<ProcessEntry> Snapshot() override;
  // A handle on the process (a pidfd where the kernel has them, so a reused
  // id is never hit); null for this process, for PID 1 and for a process
  // that is gone.
  std::unique_ptr<ProcessHandle> OpenProcess(std::uint32_t id) override;

 private:
  const PosixMachine& machine_;
};

}  // namespace kestrix::posix

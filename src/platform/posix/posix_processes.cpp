#include "platform/posix/posix_processes.h"

#include <dirent.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

namespace kestrix::posix {

namespace {

constexpr int kExitWaitMilliseconds = 5000;

// Headers older than the kernel call answer as an old kernel would.
int PidfdOpen(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

int PidfdSendSignal(int pidfd, int signal) {
#ifdef SYS_pidfd_send_signal
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
#else
  (void)pidfd;
  (void)signal;
  errno = ENOSYS;
  return -1;
#endif
}

std::string ProcPath(pid_t pid, std::string_view entry) {
  return "/proc/" + std::to_string(pid) + "/" + std::string(entry);
}

std::optional<std::string> ReadLink(const std::string& link) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
    if (length < 0) return std::nullopt;
    if (static_cast<std::size_t>(length) < target.size()) {
      target.resize(static_cast<std::size_t>(length));
      return target;
    }
    target.resize(target.size() * 2);  // possibly cut short; read again with room to spare
  }
}

std::optional<std::uint32_t> ParseProcessId(std::string_view name) {
  std::uint32_t id = 0;
  const auto parsed = std::from_chars(name.data(), name.data() + name.size(), id);
  if (name.empty() || parsed.ec != std::errc() || parsed.ptr != name.data() + name.size())
    return std::nullopt;
  return id;
}

// Empty when the process has gone since /proc listed it.
std::string CommandName(std::uint32_t id) {
  std::ifstream file(ProcPath(static_cast<pid_t>(id), "comm"), std::ios::binary);
  std::string name{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (name.ends_with('\n')) name.pop_back();
  return name;
}

class PosixProcessHandle final : public ProcessHandle {
 public:
  // `pidfd` is -1 where the kernel has no pidfds; the bare id then stands in.
  PosixProcessHandle(const PosixMachine& machine, pid_t pid, int pidfd)
      : machine_(machine), pid_(pid), pidfd_(pidfd) {}
  ~PosixProcessHandle() override {
    if (pidfd_ >= 0) ::close(pidfd_);
  }
  PosixProcessHandle(const PosixProcessHandle&) = delete;
  PosixProcessHandle& operator=(const PosixProcessHandle&) = delete;

  std::optional<std::string> MainModulePath() override {
    const std::string link = ProcPath(pid_, "exe");
    auto target = ReadLink(link);
    if (!target) return std::nullopt;
    // The link names a file by the path it had at exec time. Only when that
    // path still holds the running image does it name the process's
    // executable; a deleted or replaced file reads "... (deleted)" or names
    // another file, and is returned unmapped so it never equals a listed path.
    struct stat running {};
    struct stat onDisk {};
    const bool sameFile = ::stat(link.c_str(), &running) == 0 && ::stat(target->c_str(), &onDisk) == 0 &&
                          running.st_dev == onDisk.st_dev && running.st_ino == onDisk.st_ino;
    // Checked last: if the process is still there, /proc/PID was still its
    // own while we read it, not a successor's that reused the id.
    if (!StillRunning()) return std::nullopt;
    if (sameFile) {
      if (auto windowsPath = machine_.ToWindowsPath(*target)) return windowsPath;
    }
    return target;
  }

  // The file the process runs, by identity: /proc/PID/exe leads to the very
  // file, even under another name or when its path names another file now.
  std::optional<FileIdentity> MainModuleIdentity() override {
    struct stat running {};
    if (::stat(ProcPath(pid_, "exe").c_str(), &running) != 0) return std::nullopt;
    // Checked last, as above: the answer was the process's own.
    if (!StillRunning()) return std::nullopt;
    return IdentityOf(running);
  }

  // The signal is delivered at the process's leisure; the file it runs stays
  // busy until it has exited, so wait a little for that, as the pass that
  // follows will try to delete the file at once.
  void Terminate() override {
    if (pidfd_ < 0) {
      ::kill(pid_, SIGKILL);
      return;
    }
    if (PidfdSendSignal(pidfd_, SIGKILL) != 0) return;
    pollfd exited{.fd = pidfd_, .events = POLLIN, .revents = 0};
    ::poll(&exited, 1, kExitWaitMilliseconds);
  }

 private:
  bool StillRunning() const {
    const int answer = pidfd_ >= 0 ? PidfdSendSignal(pidfd_, 0) : ::kill(pid_, 0);
    return answer == 0 || errno == EPERM;
  }

  const PosixMachine& machine_;
  pid_t pid_;
  int pidfd_;
};

}  // namespace

bool PosixProcessTable::SetDebugPrivilege(bool /*enable*/) { return true; }

std::vector<ProcessEntry> PosixProcessTable::Snapshot() {
  std::vector<ProcessEntry> entries;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return entries;
  while (const dirent* entry = ::readdir(proc)) {
    const auto id = ParseProcessId(entry->d_name);
    if (!id || *id == 0 || *id > static_cast<std::uint32_t>(INT_MAX)) continue;
    entries.push_back({.id = *id, .exeFile = CommandName(*id)});
  }
  ::closedir(proc);
  return entries;
}

std::unique_ptr<ProcessHandle> PosixProcessTable::OpenProcess(std::uint32_t id) {
  // Killing ourselves or init would end the cleanup or the whole system.
  if (id == 0 || id == 1 || id > static_cast<std::uint32_t>(INT_MAX)) return nullptr;
  const auto pid = static_cast<pid_t>(id);
  if (pid == ::getpid()) return nullptr;

  const int pidfd = PidfdOpen(pid);
  if (pidfd >= 0) return std::make_unique<PosixProcessHandle>(machine_, pid, pidfd);
  if (errno != ENOSYS) return nullptr;  // gone, a thread rather than a process, or out of descriptors
  if (::kill(pid, 0) != 0 && errno != EPERM) return nullptr;
  return std::make_unique<PosixProcessHandle>(machine_, pid, -1);
}

}  // namespace kestrix::posix

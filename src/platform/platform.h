// The narrow services the engine needs from the machine it runs on. Each
// backend (Win32, or POSIX directory trees posing as drive letters)
// implements them; the engine never includes a system header.
//
// All text is UTF-8. Paths are Windows paths ("E:\Autorun.inf"); a backend
// decides how to find them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrix {

// GetDriveType's answers.
enum class DriveType : int {
  kUnknown = 0,
  kNoRootDir = 1,
  kRemovable = 2,
  kFixed = 3,
  kRemote = 4,
  kCdRom = 5,
  kRamDisk = 6,
};

// The first extent of a volume; all zero when the volume cannot be queried.
struct DiskExtent {
  std::uint32_t DiskNumber = 0;
  std::int64_t StartingOffset = 0;
  std::int64_t ExtentLength = 0;
};

class Files {
 public:
  virtual ~Files() = default;
  // True for an existing file; false for a directory or a missing path.
  virtual bool FileExists(std::string_view path) = 0;
  // Clears read-only, hidden, system and archive; false when refused.
  virtual bool ResetAttributes(std::string_view path) = 0;
  // The whole file as text lines (CR LF, CR or LF end a line; a NUL byte
  // ends the text). nullopt when the file cannot be opened, with the
  // system's reason in `reason`.
  virtual std::optional<std::vector<std::string>> ReadTextLines(std::string_view path,
                                                                std::string& reason) = 0;
  // Size in bytes (low 32 bits, signed) of the entry the path names, of any
  // attribute (a directory gives 0); -1 when nothing is found.
  virtual std::int32_t QueryFileSize(std::string_view path) = 0;
};

class Volumes {
 public:
  virtual ~Volumes() = default;
  // The Windows directory without a trailing separator, e.g. C:\WINDOWS.
  virtual std::string WindowsDirectory() = 0;
  // The temporary directory, ending in "\".
  virtual std::string TempDirectory() = 0;
  // The type of a drive root such as "E:\".
  virtual DriveType GetDriveType(std::string_view root) = 0;
  // The first extent of the volume of drive `letter` ('A' to 'Z').
  virtual DiskExtent GetFirstDiskExtent(char letter) = 0;
};

// Letter case as the system folds it. Folding is per code point, so every
// case-insensitive comparison of the engine behaves the same on each backend.
class CaseFolding {
 public:
  virtual ~CaseFolding() = default;
  virtual char32_t ToLower(char32_t c) const = 0;
};

// Handles pending window messages and timer ticks; long work calls it
// between items so the program stays responsive.
class MessagePump {
 public:
  virtual ~MessagePump() = default;
  virtual void PumpMessages() = 0;
};

}  // namespace kestrix

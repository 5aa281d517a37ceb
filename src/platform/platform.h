// The narrow services the engine needs from the machine it runs on. Each
// backend (Win32, or POSIX directory trees posing as drive letters)
// implements them; the engine never includes a system header.
//
// All text is UTF-8. Paths are Windows paths ("E:\Autorun.inf"); a backend
// decides how to find them. No method is named like a Win32 function, whose
// names <windows.h> redefines as macros.
#pragma once

#include <chrono>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
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

// What makes a file itself, whatever name or link leads to it: the volume
// and the file's number on it. Some file systems (ReFS) number files with
// 128 bits; the upper half is zero elsewhere.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  std::uint64_t indexHigh = 0;
  auto operator<=>(const FileIdentity&) const = default;
};

// Receives the lines of a text file one at a time, in file order, with the
// number of the line in the file (from 1). A line read two ways comes twice
// with one number.
using TextLineSink = std::function<void(std::string_view line, std::size_t number)>;

// A line longer than this is cut to its first part; the rest of it is skipped.
inline constexpr std::size_t kMaxTextLineBytes = std::size_t{1} << 20;

// An open file, read from its start in chunks.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // Fills up to the whole buffer; 0 at the end of the file, nullopt on an
  // error with the system's reason in `reason`.
  [[nodiscard]] virtual std::optional<std::size_t> Read(std::span<char> buffer, std::string& reason) = 0;
};

// Windows' file attribute bits, as Files reports and sets them.
inline constexpr std::uint32_t kAttributeReadOnly = 0x1;
inline constexpr std::uint32_t kAttributeHidden = 0x2;
inline constexpr std::uint32_t kAttributeSystem = 0x4;
inline constexpr std::uint32_t kAttributeArchive = 0x20;

// What a shortcut (.lnk) starts when it is opened.
struct ShellLink {
  std::string target;  // the program or document, as stored (it may hold %variables%)
  std::string arguments;
  std::string workingDirectory;
};

// A name in a folder; a folder's with its attribute bits (its read-only mark
// too). A file's bits are asked one by one (CurrentAttributes): reading them
// for every file of a stick's root would cost more than the listing.
struct FolderEntry {
  std::string name;
  bool folder = false;
  std::uint32_t attributes = 0;  // 0 for a file
};

class Files {
 public:
  virtual ~Files() = default;
  // True for an existing file; false for a directory or a missing path.
  [[nodiscard]] virtual bool FileExists(std::string_view path) = 0;
  // Clears read-only, hidden, system and archive; false when refused.
  [[nodiscard]] virtual bool ResetAttributes(std::string_view path) = 0;
  // Hands each line of a text file to `onLine` (CR LF, CR or LF end a line;
  // a NUL byte ends the text), reading the file as a stream, so that a file
  // of any size takes bounded memory. False when the file cannot be opened
  // or read, with the system's reason in `reason`.
  [[nodiscard]] virtual bool ReadTextLines(std::string_view path, const TextLineSink& onLine,
                                           std::string& reason) = 0;
  // Size in bytes (low 32 bits, signed) of the entry the path names, of any
  // attribute (a directory gives 0); -1 when nothing is found.
  virtual std::int32_t QueryFileSize(std::string_view path) = 0;
  // Deletes a file; false when it is not a file or cannot be deleted.
  [[nodiscard]] virtual bool RemoveFile(std::string_view path) = 0;
  // The path spelled in full, for comparing paths: absolute, with "." and
  // "..", doubled separators and trailing dots and blanks resolved, and
  // short names in their long form where the file exists.
  virtual std::string FullPathName(std::string_view path) = 0;
  // The identity of the file the path names; nullopt when there is none.
  [[nodiscard]] virtual std::optional<FileIdentity> IdentifyFile(std::string_view path) = 0;
  // Opens a file to read its bytes (read sharing only: a file another
  // program is writing is refused); null with the system's reason.
  virtual std::unique_ptr<ByteReader> OpenForReading(std::string_view path, std::string& reason) = 0;
  // The attribute bits (read-only, hidden, system, archive) the file had
  // before this machine first reset them, else the ones it has; nullopt
  // when there is no such file.
  [[nodiscard]] virtual std::optional<std::uint32_t> OriginalAttributes(std::string_view path) = 0;
  // The attribute bits of the file or folder a path names, as they are now;
  // nullopt when there is none, and for a link, which leads elsewhere.
  [[nodiscard]] virtual std::optional<std::uint32_t> CurrentAttributes(std::string_view path) = 0;
  // Sets the read-only, hidden, system and archive bits of a file or a
  // folder as given; false when refused.
  [[nodiscard]] virtual bool SetAttributes(std::string_view path, std::uint32_t attributes) = 0;
  // Creates the file, and any folders missing above it, with the bytes of
  // `source`. An existing file is replaced only when `replace` says so; a
  // directory never. False with the system's reason.
  [[nodiscard]] virtual bool WriteNewFile(std::string_view path, ByteReader& source, bool replace,
                                          std::string& reason) = 0;
  // Removes an empty folder (never a link to one); false when it is
  // missing, not empty or refused.
  [[nodiscard]] virtual bool RemoveFolder(std::string_view path) = 0;
  // The files and folders in a folder (not "." and "..", nor links a
  // backend can tell lead elsewhere, nor names no path can reach), in no
  // order, folders with their attribute bits as they are now; empty when it
  // cannot be listed.
  virtual std::vector<FolderEntry> ListFolder(std::string_view folder) = 0;
  // What a shortcut file starts; nullopt when the file is no shortcut or
  // cannot be read.
  [[nodiscard]] virtual std::optional<ShellLink> ReadShortcut(std::string_view path) = 0;
  // The file's permission bits where the backend has them (POSIX: the
  // mode's 07777 bits); nullopt elsewhere.
  [[nodiscard]] virtual std::optional<std::uint32_t> Permissions(std::string_view /*path*/) {
    return std::nullopt;
  }
  // Sets them where the backend has them; true where it has none.
  [[nodiscard]] virtual bool SetPermissions(std::string_view /*path*/, std::uint32_t /*bits*/) {
    return true;
  }
};

// A file of the store's folder, as a listing finds it.
struct StoreEntry {
  std::string name;
  std::uint64_t size = 0;
  std::int64_t ageSeconds = 0;  // since it was last written
  bool temporary = false;       // a file being written, or one an interruption left behind
};

// The store's lock: one program at a time holds it while it changes the
// store; released when destroyed. It keeps a mark that every change made
// under it moves on, so that a program whose last change left the mark
// knows the store as it stands without reading it again.
class StoreLock {
 public:
  virtual ~StoreLock() = default;
  virtual std::uint64_t Mark() = 0;
  // False when the mark cannot be written.
  [[nodiscard]] virtual bool SetMark(std::uint64_t mark) = 0;
};

// Bytes written whole to a temporary file of the store's folder and
// flushed to the disk; removed when destroyed unless placed.
class StagedFile {
 public:
  enum class Placed { kDone, kTaken, kFailed };
  virtual ~StagedFile() = default;
  // Gives the file its name. With `replace` false a file already of that
  // name stays as it is and the answer is kTaken; kFailed with the system's
  // reason.
  virtual Placed Place(std::string_view name, bool replace, std::string& reason) = 0;
};

// A folder of Kestrix's own on this machine (the quarantine store), outside
// the drives it sweeps; its files are named plainly, without folders. Every
// call first checks the folder is the store's own: not a link or a junction,
// and owned by this user (on Windows, for an elevated program, by the
// administrators or the system); a folder that is not is refused with that
// reason and nothing in it is touched.
class StoreFolder {
 public:
  virtual ~StoreFolder() = default;
  // Where it is, for messages.
  virtual std::string Location() const = 0;
  // Creates the folder when missing (closed to other users) and waits up
  // to `wait` for the lock; null with the reason (a busy store says so).
  virtual std::unique_ptr<StoreLock> Lock(std::chrono::milliseconds wait, std::string& reason) = 0;
  // Creates the folder when missing and writes the bytes of `source` to a
  // temporary file in it, readable by this user only; null with the reason
  // (a full or read-only disk, or the reader's own failure).
  virtual std::unique_ptr<StagedFile> Stage(ByteReader& source, std::string& reason) = 0;
  // Null with the reason when it cannot be opened, and for a file made by
  // someone this program does not trust with its store: another user (on
  // Windows, anyone but this user, or, for an elevated program, the
  // administrators and the system).
  virtual std::unique_ptr<ByteReader> Open(std::string_view name, std::string& reason) = 0;
  // A missing file is no error.
  [[nodiscard]] virtual bool Remove(std::string_view name) = 0;
  // Its files (not folders), in no order; nothing is removed. Size and age
  // are given for the names `described` picks (0 for others, whose asking
  // may cost a call per file). Empty when the folder is missing or refused.
  virtual std::vector<StoreEntry> Entries(const std::function<bool(std::string_view name)>& described) = 0;
};

// SHA-256 of bytes given in pieces.
class Sha256 {
 public:
  virtual ~Sha256() = default;
  virtual void Update(std::string_view bytes) = 0;
  // The digest in lower-case hexadecimal; ends the hashing.
  virtual std::string HexDigest() = 0;
};

// Hashing through the platform's own library (bcrypt on Windows, OpenSSL's
// libcrypto elsewhere).
class Hashing {
 public:
  virtual ~Hashing() = default;
  virtual std::unique_ptr<Sha256> StartSha256() = 0;
};

class Volumes {
 public:
  virtual ~Volumes() = default;
  // The Windows directory without a trailing separator, e.g. C:\WINDOWS.
  virtual std::string WindowsDirectory() = 0;
  // The temporary directory, ending in "\".
  virtual std::string TempDirectory() = 0;
  // The type of a drive root such as "E:\".
  virtual DriveType QueryDriveType(std::string_view root) = 0;
  // The first extent of the volume of drive `letter` ('A' to 'Z').
  virtual DiskExtent GetFirstDiskExtent(char letter) = 0;
  // What tells the volume now behind drive `letter` from any other (on
  // Windows its serial number, elsewhere the root's device and file
  // number); nullopt when there is no such drive.
  [[nodiscard]] virtual std::optional<std::string> VolumeIdentity(char letter) = 0;
  // The label of the volume behind drive `letter`; empty when it has none.
  virtual std::string VolumeLabel(char letter) = 0;
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

// The icon a balloon shows.
enum class BalloonKind : int { kNone = 0, kInfo = 1, kWarning = 2, kError = 3 };

// Notification-area balloons.
class Balloons {
 public:
  virtual ~Balloons() = default;
  // True when the shell took the balloon; callers may ignore it.
  virtual bool ShowBalloon(std::string_view title, std::string_view text, BalloonKind kind,
                           int timeoutSeconds) = 0;
};

// Message-box styles and answers, as Windows numbers them.
inline constexpr unsigned kQuestionYesNo = 0x24;
inline constexpr unsigned kQuestionYesNoDefaultNo = 0x124;
inline constexpr unsigned kQuestionYesNoSystemModal = 0x1024;
inline constexpr int kAnswerYes = 6;
inline constexpr int kAnswerNo = 7;

// Questions put to the user; a "\r" in the text breaks the line.
class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // The button pressed (kAnswerYes, kAnswerNo, ...).
  virtual int ShowMessage(std::string_view text, std::string_view caption, unsigned style) = 0;
};

// The desktop shell's view of a file.
class Shell {
 public:
  virtual ~Shell() = default;
  // Opens the file's properties sheet; failures are silent.
  virtual void ShowProperties(std::string_view path) = 0;
};

// A running process as a snapshot lists it.
struct ProcessEntry {
  std::uint32_t id = 0;
  std::string exeFile;  // the executable's file name as the snapshot gives it
};

// An opened process; closed when destroyed.
class ProcessHandle {
 public:
  virtual ~ProcessHandle() = default;
  // The full path of the main executable; nullopt when it cannot be queried.
  [[nodiscard]] virtual std::optional<std::string> MainModulePath() = 0;
  // The identity of the main executable's file, where the backend can tell
  // it; then it, not the path, decides whether the process runs a file.
  [[nodiscard]] virtual std::optional<FileIdentity> MainModuleIdentity() { return std::nullopt; }
  virtual void Terminate() = 0;
};

class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  // Enables or disables the right to open other users' processes; true
  // when the change left no error.
  [[nodiscard]] virtual bool SetDebugPrivilege(bool enable) = 0;
  // The running processes; empty when no snapshot can be taken.
  virtual std::vector<ProcessEntry> Snapshot() = 0;
  // Opens a process to query and terminate it; null when it cannot be opened.
  virtual std::unique_ptr<ProcessHandle> OpenProcess(std::uint32_t id) = 0;
};

// How grave an event is, as the event log shows it.
enum class EventSeverity : int { kInformation, kWarning, kError };

// The machine's event log, under Kestrix's own source.
class EventLog {
 public:
  virtual ~EventLog() = default;
  // Writes one event; `eventId` names its message, `strings` fill the
  // message's inserts in order. False when it was not written.
  virtual bool Report(EventSeverity severity, std::uint32_t eventId,
                      const std::vector<std::string>& strings) = 0;
};

// Registry value types, as Windows numbers them.
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegMultiSz = 7;

// A value exactly as stored: its type and its bytes, whatever they hold.
struct RegistryValue {
  std::uint32_t type = 0;
  std::string bytes;
  bool operator==(const RegistryValue&) const = default;
};

// A registry key below HKEY_LOCAL_MACHINE opened to read it; closed when
// destroyed.
class RegistryKey {
 public:
  virtual ~RegistryKey() = default;
  // The text of a REG_SZ or REG_EXPAND_SZ value up to its first NUL, not
  // expanded; empty for a missing value or one of zero length; nullopt for
  // a value of another type.
  [[nodiscard]] virtual std::optional<std::string> ReadText(std::string_view name) = 0;
  // The strings of a REG_MULTI_SZ value, in order (an empty one in the
  // middle is kept), or the text of a REG_SZ or REG_EXPAND_SZ value as one
  // string; empty for a missing value; nullopt for another type.
  [[nodiscard]] virtual std::optional<std::vector<std::string>> ReadTextList(std::string_view name) = 0;
  // The value as stored; nullopt when it is missing or cannot be read.
  [[nodiscard]] virtual std::optional<RegistryValue> ReadValue(std::string_view name) = 0;
};

// A key opened to read and write it.
class WritableRegistryKey : public RegistryKey {
 public:
  // Writes a REG_SZ value (its terminating NUL stored); false when refused.
  [[nodiscard]] virtual bool WriteText(std::string_view name, std::string_view text) = 0;
  // Writes a REG_MULTI_SZ value; false when refused.
  [[nodiscard]] virtual bool WriteTextList(std::string_view name, const std::vector<std::string>& texts) = 0;
  // Writes a value exactly as ReadValue gave it; false when refused.
  [[nodiscard]] virtual bool WriteValue(std::string_view name, const RegistryValue& value) = 0;
  // Deletes a value; true when it is gone (a missing one is no error).
  [[nodiscard]] virtual bool DeleteValue(std::string_view name) = 0;
};

// The registry below HKEY_LOCAL_MACHINE. Keys are opened with read access
// to read them and with write access only to write, so that a standard
// user, who may read but not change HKEY_LOCAL_MACHINE, reads everything.
// Paths may start with "\".
class Registry {
 public:
  virtual ~Registry() = default;
  // For reading; null when the key is missing or reading is refused.
  virtual std::unique_ptr<RegistryKey> OpenKey(std::string_view path) = 0;
  // Whether a key is there, even one this user may not read; nullopt when
  // the registry does not say.
  [[nodiscard]] virtual std::optional<bool> KeyExists(std::string_view path) = 0;
  // For reading and writing; creates a missing key; null when refused.
  virtual std::unique_ptr<WritableRegistryKey> OpenOrCreateKey(std::string_view path) = 0;
};

}  // namespace kestrix

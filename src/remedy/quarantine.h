// The quarantine: every file a removal deletes is kept first, so that a
// program wrongly listed (the real installer an Autorun.inf names) can be
// given back. Kept bytes are transformed, so that a kept worm can neither
// run nor be found by another scanner as it stands, and named by their
// content hash; each kept file has a record of where it was and why it was
// listed.
//
// The store holds "<sha256>.bin" (the transformed bytes, shared by every
// record of the same content) and "<id>.json" (one record, ids counting up
// from 1), and is shared: by both programs and by any number of them at
// once. Bytes are written under a temporary name first; then, holding the
// store's lock, a program gives them their name and creates the record
// under a name no other record has, and the listed file is deleted only
// after both. An interruption anywhere leaves at worst bytes without a
// record, which a later keeping removes once they are old. Listing and
// restoring take no lock and never remove anything.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "findings/listed_files.h"
#include "platform/platform.h"

namespace kestrix {

struct QuarantineRecord {
  std::string id;            // names the record in the store
  std::string path;          // the Windows path the file was listed under
  std::uint64_t size = 0;
  std::string sha256;        // of the original bytes, lower-case hexadecimal
  std::string time;          // when it was kept, UTC, ISO 8601
  std::string category;      // as listed
  std::string reason;        // why it was listed
  std::uint32_t attributes = 0;  // the attribute bits it had before the sweep reset them
  std::optional<std::uint32_t> permissions;  // its permission bits, where the machine has them
  std::optional<std::string> volume;         // the volume its drive stood for when it was kept
  // Why the record cannot be restored (its bytes are missing or of another
  // size, someone else made it, it cannot be read); empty when it can.
  std::string damage;
};

struct QuarantineServices {
  Files& files;
  Volumes& volumes;
  StoreFolder& store;
  Hashing& hashing;
};

inline constexpr std::uint64_t kDefaultQuarantineLimit = std::uint64_t{1} << 30;

// How long a program waits for another to finish its change of the store.
inline constexpr std::chrono::milliseconds kQuarantineLockWait{30'000};

// Bytes without a record and temporary files are removed once they are
// this old: older than any program could take between writing them and
// recording them.
inline constexpr std::int64_t kQuarantineLeftoverSeconds = 60 * 60;

// Where a kept file goes back to: its own path, or the Windows folder
// `folder` under the file's own name.
std::string RestorePath(const QuarantineRecord& record, const std::optional<std::string>& folder);

// True for an Autorun.inf at a drive's root, which restoring everything
// leaves out: put back, it would start a worm again.
bool IsDriveRootAutorun(std::string_view path);

class ProtectedList;

// Why a kept file is not put back to `path` although its record is sound:
// restoring `all` leaves out what would start a worm again, and a protected
// Windows file goes back only with `force`; `forceHint` tells the user how
// to give it.
std::optional<std::string> RestoreRefusal(const ProtectedList& guarded, bool all, bool force,
                                          std::string_view path, std::string_view forceHint);

class Quarantine {
 public:
  // `limitBytes` bounds the kept bytes (each content counted once); the
  // oldest kept files go first to make room.
  Quarantine(QuarantineServices services, std::uint64_t limitBytes);

  // Keeps the listed file's bytes and its record before the file is
  // deleted. Nullopt with the reason when it cannot (a full, busy or
  // refused store, a file larger than the limit, a file that changed while
  // it was read): the file must then stay where it is.
  std::optional<QuarantineRecord> Keep(const SuspectEntry& entry, std::string& reason);

  // Every record, oldest first, as the store holds them now, damaged ones
  // with their damage.
  std::vector<QuarantineRecord> List();

  // Puts the bytes back where RestorePath says, with the original
  // attributes, checked against the record's hash as they are written.
  // Only to a drive path (X:\...) of a drive there is, and without `folder`
  // only to the volume the file came from. Never replaces an existing file
  // unless `replace` says so. The record stays until it is purged.
  bool Restore(const QuarantineRecord& record, const std::optional<std::string>& folder, bool replace,
               std::string& reason);

  // Forgets a record, and its bytes when no other record keeps them.
  bool Purge(const QuarantineRecord& record);

  // Where the store is, for messages.
  std::string StoreLocation() const { return services_.store.Location(); }

 private:
  // What the store holds: read while holding the lock when another program
  // changed the store since this one last did, and kept up to date in
  // between, so that keeping many files never reads the store again.
  struct Content {
    std::optional<std::uint64_t> stored;  // the size of its kept bytes, when they are there
    std::size_t records = 0;              // records naming it, damaged ones too
    std::size_t sound = 0;                // records that count
  };
  struct Index {
    std::map<std::uint64_t, QuarantineRecord> records;  // by id, so oldest first; damaged ones too
    std::unordered_map<std::string, Content> contents;  // by hash
    std::uint64_t bytes = 0;  // of the contents sound records keep, each counted once
    std::uint64_t nextId = 1;
    bool unreadRecords = false;  // some record could not be read: no bytes may be removed
  };
  struct Read {
    Index index;
    std::vector<StoreEntry> leftovers;  // old bytes without a record, old temporary files
  };

  // With `writing`, under the lock: also finds what is left to remove.
  Read ReadStore(bool writing);
  void Add(Index& index, QuarantineRecord record, std::uint64_t id);
  // Takes the record out of the index and the store, and its bytes when no
  // other record names them; false when a file could not be removed.
  bool Drop(Index& index, std::uint64_t id);
  // Holds the lock, brings the index up to the store's state and marks the
  // store as changed by this program; null with the reason when the lock
  // cannot be had.
  std::unique_ptr<StoreLock> LockCurrent(std::string& reason);
  // Hashes and measures the file; false when it cannot be read or exceeds the limit.
  bool Measure(std::string_view path, std::uint64_t& size, std::string& sha256, std::string& reason);
  // Gives the record the next free id; `stale` when ids the index did not
  // know were found taken.
  bool PlaceRecord(QuarantineRecord& record, bool& stale, std::string& reason);

  QuarantineServices services_;
  std::uint64_t limit_;
  std::optional<Index> index_;
  std::uint64_t mark_ = 0;  // the store's mark this program's last change left
  std::optional<std::chrono::steady_clock::time_point> lastBusy_;  // when the lock was last not had
};

}  // namespace kestrix

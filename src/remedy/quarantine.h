// The quarantine: every file a removal deletes is kept first, so that a
// program wrongly listed (the real installer an Autorun.inf names) can be
// given back. Kept bytes are transformed, so that a kept worm can neither
// run nor be found by another scanner as it stands, and named by their
// content hash; each kept file has a record of where it was and why it was
// listed.
//
// The store holds "<sha256>.bin" (the transformed bytes, shared by every
// record of the same content) and "<id>.json" (one record, ids counting up
// from 1). Bytes are saved before their record and the listed file is
// deleted only after both, each save atomic, so an interruption anywhere
// leaves at worst bytes without a record, which the next reading of the
// store removes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "remedy/virus_list.h"

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
};

struct QuarantineServices {
  Files& files;
  StoreFolder& store;
  Hashing& hashing;
};

inline constexpr std::uint64_t kDefaultQuarantineLimit = std::uint64_t{1} << 30;

// Where a kept file goes back to: its own path, or the Windows folder
// `folder` under the file's own name.
std::string RestorePath(const QuarantineRecord& record, const std::optional<std::string>& folder);

class Quarantine {
 public:
  // `limitBytes` bounds the kept bytes (each content counted once); the
  // oldest kept files go first to make room.
  Quarantine(QuarantineServices services, std::uint64_t limitBytes);

  // Keeps the listed file's bytes and its record before the file is
  // deleted. Nullopt with the reason when it cannot (a full or read-only
  // store, a file larger than the limit, a file that changed while it was
  // read): the file must then stay where it is.
  std::optional<QuarantineRecord> Keep(const SuspectEntry& entry, std::string& reason);

  // Every record, oldest first, as the store holds them now; records that
  // cannot be read are left out.
  std::vector<QuarantineRecord> List();

  // Puts the bytes back where RestorePath says, with the original
  // attributes, checked against the record's hash as they are written. Never
  // replaces an existing file unless `replace` says so. The record stays
  // until it is purged.
  bool Restore(const QuarantineRecord& record, const std::optional<std::string>& folder, bool replace,
               std::string& reason);

  // Forgets a record, and its bytes when no other record keeps them.
  bool Purge(const QuarantineRecord& record);

 private:
  // What the store holds: read at the first need and at each List, and kept
  // up to date in between, so that keeping many files never reads the
  // store again. Ids found taken on the disk are skipped, so a record that
  // another program saved meanwhile is never overwritten.
  struct Index {
    std::map<std::uint64_t, QuarantineRecord> records;        // by id, so oldest first
    std::unordered_map<std::string, std::size_t> references;  // records per content hash
    std::uint64_t bytes = 0;                                  // each content counted once
    std::uint64_t nextId = 1;
  };

  Index& Loaded();
  Index ReadStore();
  void Add(Index& index, QuarantineRecord record, std::uint64_t id);
  // Takes the record out of the index and the store; false when a file of
  // it could not be removed.
  bool Drop(Index& index, const QuarantineRecord& record);
  // Hashes and measures the file; false when it cannot be read or exceeds the limit.
  bool Measure(std::string_view path, std::uint64_t& size, std::string& sha256, std::string& reason);

  QuarantineServices services_;
  std::uint64_t limit_;
  std::optional<Index> index_;
};

}  // namespace kestrix

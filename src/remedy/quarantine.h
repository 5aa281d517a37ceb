// The quarantine: every file a removal deletes is kept first, so that a
// program wrongly listed (the real installer an Autorun.inf names) can be
// given back. Kept bytes are transformed, so that a kept worm can neither
// run nor be found by another scanner as it stands, and named by their
// content hash; each kept file has a record of where it was and why it was
// listed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

class Quarantine {
 public:
  // `limitBytes` bounds what the store keeps; the oldest kept files go first.
  Quarantine(QuarantineServices services, std::uint64_t limitBytes);

  // Keeps the listed file's bytes and its record before the file is
  // deleted. False with the reason when it cannot (a full or read-only
  // store, a file larger than the limit, a file that changed while it was
  // read): the file must then stay where it is.
  bool Keep(const SuspectEntry& entry, std::string& reason);

  // Every record, oldest first.
  std::vector<QuarantineRecord> List();

  // Puts the bytes back at the record's path, or into `folder` under the
  // file's name, with the original attributes. Never replaces an existing
  // file unless `replace` says so. The record stays until it is purged.
  bool Restore(const QuarantineRecord& record, const std::optional<std::string>& folder, bool replace,
               std::string& reason);

  // Forgets a record, and its bytes when no other record keeps them.
  bool Purge(const QuarantineRecord& record);
};

}  // namespace kestrix

#include "remedy/quarantine.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>

#include "findings/protected_list.h"
#include "platform/common/text_file.h"

namespace kestrix {

namespace {

constexpr std::size_t kChunkBytes = 64 * 1024;
constexpr std::size_t kMaxRecordBytes = std::size_t{8} << 20;  // a reason holds at most one line of 1 MiB
constexpr std::string_view kBlobSuffix = ".bin";
constexpr std::string_view kRecordSuffix = ".json";

// XORed over kept bytes, so that neither a worm's own bytes nor an
// executable header stand in the store. No byte is zero: none passes unchanged.
constexpr std::array<unsigned char, 32> kConcealKey = {
    0xA7, 0x3C, 0x5E, 0x91, 0xD2, 0x48, 0x6B, 0xF0, 0x1D, 0x84, 0xC9, 0x37, 0x62, 0xBE, 0x0F, 0x75,
    0xE3, 0x29, 0x9A, 0x56, 0xCD, 0x13, 0x8F, 0x64, 0xB1, 0x4A, 0xF7, 0x2E, 0x98, 0x05, 0xDB, 0x6C};

std::string BlobName(std::string_view sha256) { return std::string(sha256).append(kBlobSuffix); }
std::string RecordName(std::uint64_t id) { return std::to_string(id).append(kRecordSuffix); }

// A record's id: decimal digits without a leading zero, over the whole
// range ids are written in.
std::optional<std::uint64_t> ParseId(std::string_view text) {
  std::uint64_t id = 0;
  if (text.empty() || text[0] == '0') return std::nullopt;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return id;
}

// No record takes this id or one past it: the next id would not fit.
constexpr std::uint64_t kLastId = std::numeric_limits<std::uint64_t>::max();

// A record names its bytes by hash; anything else would reach other files.
bool IsSha256(std::string_view text) {
  return text.size() == 64 &&
         std::ranges::all_of(text, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// The content hash a name of kept bytes carries; nullopt for other names.
std::optional<std::string> BlobHash(std::string_view name) {
  if (!name.ends_with(kBlobSuffix)) return std::nullopt;
  name.remove_suffix(kBlobSuffix.size());
  return IsSha256(name) ? std::optional<std::string>(name) : std::nullopt;
}

// A mark no program has left on the store before.
std::uint64_t NewMark(std::uint64_t old) {
  static std::mt19937_64 random(std::random_device{}());
  std::uint64_t mark = 0;
  while (mark == 0 || mark == old) mark = random();
  return mark;
}

std::string UtcNow() {
  using namespace std::chrono;
  const auto now = floor<seconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date(day);
  const hh_mm_ss time(now - day);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

std::string ToHex(std::string_view bytes) {
  constexpr std::string_view kHex = "0123456789abcdef";
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    text.append({kHex[byte >> 4], kHex[byte & 0xF]});
  }
  return text;
}

std::optional<std::string> FromHex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned char byte = 0;
    const auto [end, error] = std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
    if (error != std::errc() || end != text.data() + i + 2) return std::nullopt;
    bytes.push_back(static_cast<char>(byte));
  }
  return bytes;
}

// A path from a stick need not be UTF-8, which JSON text must be: such a
// path is kept byte for byte in "pathBytes" as well.
std::string RecordText(const QuarantineRecord& record) {
  nlohmann::json json = {{"path", record.path},
                         {"size", record.size},
                         {"sha256", record.sha256},
                         {"time", record.time},
                         {"category", record.category},
                         {"reason", record.reason},
                         {"attributes", record.attributes}};
  if (!IsValidUtf8(record.path)) json["pathBytes"] = ToHex(record.path);
  if (record.permissions) json["permissions"] = *record.permissions;
  if (record.volume) json["volume"] = *record.volume;
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<QuarantineRecord> ParseRecord(std::string_view text, std::uint64_t id) {
  const auto json = nlohmann::json::parse(text, nullptr, false);
  if (json.is_discarded() || !json.is_object()) return std::nullopt;
  try {
    QuarantineRecord record{.id = std::to_string(id),
                            .path = json.at("path").get<std::string>(),
                            .size = json.at("size").get<std::uint64_t>(),
                            .sha256 = json.at("sha256").get<std::string>(),
                            .time = json.at("time").get<std::string>(),
                            .category = json.at("category").get<std::string>(),
                            .reason = json.at("reason").get<std::string>(),
                            .attributes = json.at("attributes").get<std::uint32_t>(),
                            .permissions = std::nullopt,
                            .volume = std::nullopt,
                            .damage = {}};
    if (const auto bytes = json.find("pathBytes"); bytes != json.end()) {
      const auto path = FromHex(bytes->get<std::string>());
      if (!path) return std::nullopt;
      record.path = *path;
    }
    if (const auto permissions = json.find("permissions"); permissions != json.end())
      record.permissions = permissions->get<std::uint32_t>();
    if (const auto volume = json.find("volume"); volume != json.end())
      record.volume = volume->get<std::string>();
    if (!IsSha256(record.sha256)) return std::nullopt;
    return record;
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

// Reads `source` through the key, hashing the plain side (the source when
// keeping, the result when restoring), and fails at the end unless the
// plain bytes had the size and hash expected.
class KeyedReader final : public ByteReader {
 public:
  enum class Plain { kSource, kResult };

  KeyedReader(ByteReader& source, Plain plain, std::unique_ptr<Sha256> hash, std::uint64_t size,
              std::string_view sha256, std::string_view mismatch)
      : source_(source),
        plain_(plain),
        hash_(std::move(hash)),
        size_(size),
        sha256_(sha256),
        mismatch_(mismatch) {}

  std::optional<std::size_t> Read(std::span<char> buffer, std::string& reason) override {
    const auto got = source_.Read(buffer, reason);
    if (!got) return got;
    if (*got == 0) {
      if (!matched_) matched_ = position_ == size_ && hash_->HexDigest() == sha256_;
      return *matched_ ? got : Mismatch(reason);
    }
    if (position_ + *got > size_) return Mismatch(reason);
    const std::span<char> bytes = buffer.first(*got);
    if (plain_ == Plain::kSource) hash_->Update({bytes.data(), bytes.size()});
    for (char& c : bytes) c = static_cast<char>(c ^ kConcealKey[position_++ % kConcealKey.size()]);
    if (plain_ == Plain::kResult) hash_->Update({bytes.data(), bytes.size()});
    return got;
  }

 private:
  std::optional<std::size_t> Mismatch(std::string& reason) {
    matched_ = false;
    reason = mismatch_;
    return std::nullopt;
  }

  ByteReader& source_;
  Plain plain_;
  std::unique_ptr<Sha256> hash_;
  std::uint64_t size_;
  std::string sha256_;
  std::string mismatch_;
  std::uint64_t position_ = 0;
  std::optional<bool> matched_;
};

}  // namespace

std::string RestorePath(const QuarantineRecord& record, const std::optional<std::string>& folder) {
  if (!folder) return record.path;
  const auto slash = record.path.find_last_of("\\/:");
  std::string path = *folder;
  if (!path.empty() && !path.ends_with('\\') && !path.ends_with('/')) path += '\\';
  return path.append(slash == std::string::npos ? record.path : record.path.substr(slash + 1));
}

bool IsDriveRootAutorun(std::string_view path) {
  // Windows drops trailing dots and blanks: "E:\Autorun.inf." is that file.
  while (!path.empty() && (path.back() == '.' || path.back() == ' ')) path.remove_suffix(1);
  constexpr std::string_view kName = ":\\autorun.inf";
  return path.size() == kName.size() + 1 &&
         std::equal(kName.begin(), kName.end(), path.begin() + 1, [](char expected, char c) {
           return expected == ((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c);
         });
}

std::optional<std::string> RestoreRefusal(const ProtectedList& guarded, bool all, bool force,
                                          std::string_view path, std::string_view forceHint) {
  if (all && IsDriveRootAutorun(path))
    return "an Autorun.inf goes back to a drive's root only when its id is named";
  if (!force && guarded.IsProtected(path)) return "a protected Windows file; " + std::string(forceHint);
  return std::nullopt;
}

Quarantine::Quarantine(QuarantineServices services, std::uint64_t limitBytes)
    : services_(services), limit_(limitBytes) {}

void Quarantine::Add(Index& index, QuarantineRecord record, std::uint64_t id) {
  Content& content = index.contents[record.sha256];
  ++content.records;
  if (++content.sound == 1) index.bytes += record.size;
  content.stored = record.size;
  if (id < kLastId) index.nextId = std::max(index.nextId, id + 1);
  index.records.insert_or_assign(id, std::move(record));
}

Quarantine::Read Quarantine::ReadStore(bool writing) {
  Read read;
  Index& index = read.index;
  // A record's size and age matter not: only its bytes' do.
  const std::vector<StoreEntry> entries =
      services_.store.Entries([](std::string_view name) { return !name.ends_with(kRecordSuffix); });
  index.contents.reserve(entries.size() / 2);  // a record and its bytes per kept file
  for (const StoreEntry& entry : entries) {
    const std::string_view name = entry.name;
    if (entry.temporary) {
      if (writing && entry.ageSeconds >= kQuarantineLeftoverSeconds) read.leftovers.push_back(entry);
      continue;
    }
    if (const auto hash = BlobHash(name)) {
      index.contents[*hash].stored = entry.size;
      continue;
    }
    const auto id = name.ends_with(kRecordSuffix)
                        ? ParseId(name.substr(0, name.size() - kRecordSuffix.size()))
                        : std::nullopt;
    if (!id) continue;
    index.nextId = std::max(index.nextId, *id < kLastId ? *id + 1 : kLastId);
    QuarantineRecord record;
    record.id = std::to_string(*id);
    std::string text;
    std::string reason;
    const auto reader = services_.store.Open(name, reason);
    // Past the bound the text is cut, and no record parses.
    if (!reader || !ReadUpTo(*reader, kMaxRecordBytes + 1, text, reason)) {
      record.damage = "its record cannot be read: " + reason;
    } else if (auto parsed = ParseRecord(text, *id)) {
      record = std::move(*parsed);
    } else {
      record.damage = "its record is damaged";
    }
    index.unreadRecords = index.unreadRecords || record.sha256.empty();
    index.records.emplace(*id, std::move(record));
  }
  // A record counts, and is restored, only with its bytes at its size.
  for (auto& [id, record] : index.records) {
    if (record.sha256.empty()) continue;
    Content& content = index.contents[record.sha256];
    ++content.records;
    if (!record.damage.empty()) continue;
    if (!content.stored) {
      record.damage = "its kept bytes are missing";
    } else if (*content.stored != record.size) {
      record.damage = "its kept bytes are not of the size it had";
    } else if (++content.sound == 1) {
      index.bytes += record.size;
    }
  }
  // Bytes whose record was never made, or whose purge was cut short; while
  // a record cannot be read, they may still be its bytes.
  if (writing && !index.unreadRecords) {
    for (const StoreEntry& entry : entries) {
      const auto hash = entry.temporary ? std::nullopt : BlobHash(entry.name);
      if (hash && index.contents[*hash].records == 0 && entry.ageSeconds >= kQuarantineLeftoverSeconds)
        read.leftovers.push_back(entry);
    }
  }
  return read;
}

std::unique_ptr<StoreLock> Quarantine::LockCurrent(std::string& reason) {
  // A program that found the store busy does not keep its user waiting
  // again for every file of the same pass.
  const auto now = std::chrono::steady_clock::now();
  const bool waitedLately = lastBusy_ && now - *lastBusy_ < kQuarantineLockWait * 2;
  auto lock = services_.store.Lock(waitedLately ? std::chrono::milliseconds(0) : kQuarantineLockWait, reason);
  if (!lock) {
    lastBusy_ = now;
    return nullptr;
  }
  lastBusy_.reset();
  if (!index_ || lock->Mark() != mark_) {
    Read read = ReadStore(true);
    for (const StoreEntry& leftover : read.leftovers) {
      if (services_.store.Remove(leftover.name) && !leftover.temporary)
        read.index.contents.erase(*BlobHash(leftover.name));
    }
    index_ = std::move(read.index);
  }
  // Marked before anything changes: should this program end halfway,
  // every other one reads the store again.
  const std::uint64_t mark = NewMark(mark_);
  if (!lock->SetMark(mark)) {
    reason = "the quarantine's lock cannot be written";
    return nullptr;
  }
  mark_ = mark;
  return lock;
}

bool Quarantine::Drop(Index& index, std::uint64_t id) {
  const auto stored = index.records.find(id);
  if (stored == index.records.end()) return true;
  const QuarantineRecord record = std::move(stored->second);
  index.records.erase(stored);
  Content* content = record.sha256.empty() ? nullptr : &index.contents[record.sha256];
  if (content != nullptr) --content->records;
  if (content != nullptr && record.damage.empty() && --content->sound == 0) index.bytes -= record.size;
  // The record goes first: bytes left without it are removed later, never
  // a record left without its bytes. While a record cannot be read, any
  // bytes may be its own.
  if (!services_.store.Remove(RecordName(id))) return false;
  if (content == nullptr || content->records != 0 || index.unreadRecords) return true;
  index.contents.erase(record.sha256);
  return services_.store.Remove(BlobName(record.sha256));
}

bool Quarantine::Measure(std::string_view path, std::uint64_t& size, std::string& sha256,
                         std::string& reason) {
  const auto source = services_.files.OpenForReading(path, reason);
  if (!source) return false;
  const auto hash = services_.hashing.StartSha256();
  std::vector<char> chunk(kChunkBytes);
  size = 0;
  while (const auto got = source->Read(chunk, reason)) {
    if (*got == 0) {
      sha256 = hash->HexDigest();
      return true;
    }
    size += *got;
    if (size > limit_) {
      reason = "it is larger than the quarantine's limit of " + std::to_string(limit_) + " bytes";
      return false;
    }
    hash->Update({chunk.data(), *got});
  }
  return false;
}

bool Quarantine::PlaceRecord(QuarantineRecord& record, bool& stale, std::string& reason) {
  const std::string text = RecordText(record);
  MemoryByteReader reader(text);
  const auto staged = services_.store.Stage(reader, reason);
  if (!staged) return false;
  // Another program may have made records since this one last read the store.
  for (std::uint64_t& id = index_->nextId; id < kLastId; ++id) {
    switch (staged->Place(RecordName(id), false, reason)) {
      case StagedFile::Placed::kDone:
        record.id = std::to_string(id);
        return true;
      case StagedFile::Placed::kTaken:  // a record this program's index did not know
        stale = true;
        continue;
      case StagedFile::Placed::kFailed:
        return false;
    }
  }
  reason = "the quarantine has no record number left";
  return false;
}

std::optional<QuarantineRecord> Quarantine::Keep(const SuspectEntry& entry, std::string& reason) {
  std::string why;
  const auto fail = [&]() -> std::optional<QuarantineRecord> {
    reason = "it could not be kept in the quarantine (" + services_.store.Location() + "): " + why;
    return std::nullopt;
  };
  const std::string_view path = entry.path;
  QuarantineRecord record{
      .id = {},
      .path = entry.path,
      .size = 0,
      .sha256 = {},
      .time = UtcNow(),
      .category = entry.category,
      .reason = entry.reason,
      .attributes = services_.files.OriginalAttributes(path).value_or(0),
      .permissions = services_.files.Permissions(path),
      .volume = path.size() > 2 && path[1] == ':' ? services_.volumes.VolumeIdentity(path[0]) : std::nullopt,
      .damage = {}};
  // The bytes are named by their hash, so the file is read twice: once for
  // the hash, then to store it, checked against the first reading. Both
  // happen before the lock is taken: a large file read from a slow stick
  // keeps no other program waiting.
  if (!Measure(path, record.size, record.sha256, why)) return fail();
  const auto source = services_.files.OpenForReading(path, why);
  if (!source) return fail();
  KeyedReader concealed(*source, KeyedReader::Plain::kSource, services_.hashing.StartSha256(), record.size,
                        record.sha256, "it changed while it was read");
  const auto bytes = services_.store.Stage(concealed, why);
  if (!bytes) return fail();

  const auto lock = LockCurrent(why);
  if (!lock) return fail();
  Index& index = *index_;
  const auto needed = [&] {
    const auto kept = index.contents.find(record.sha256);
    return kept != index.contents.end() && kept->second.sound != 0 ? 0 : record.size;
  };
  bool removed = true;  // every file an eviction dropped from the index is gone from the store
  while (index.bytes + needed() > limit_) {
    const auto oldest =
        std::ranges::find_if(index.records, [](const auto& kept) { return kept.second.damage.empty(); });
    if (oldest == index.records.end()) break;
    removed = Drop(index, oldest->first) && removed;
  }
  // Bytes already there from another file of the same content stay, if
  // this program can read them (not another user's, left in a store made
  // before it was closed).
  Content& content = index.contents[record.sha256];
  std::string ignored;
  const bool stored = content.stored == record.size && services_.store.Open(BlobName(record.sha256), ignored);
  const bool placed = stored || bytes->Place(BlobName(record.sha256), true, why) == StagedFile::Placed::kDone;
  if (placed) content.stored = record.size;
  bool stale = false;
  const bool kept = placed && PlaceRecord(record, stale, why);
  if (kept) {
    Add(index, record, std::stoull(record.id));
  } else if (placed && content.records == 0 && !index.unreadRecords) {
    services_.store.Remove(BlobName(record.sha256));
    content.stored.reset();
  }
  if (!kept || !removed || stale) index_.reset();  // the store is read again at the next change
  if (!kept) return fail();
  return record;
}

std::vector<QuarantineRecord> Quarantine::List() {
  std::vector<QuarantineRecord> records;
  for (auto& [id, record] : ReadStore(false).index.records) records.push_back(std::move(record));
  return records;
}

bool Quarantine::Restore(const QuarantineRecord& record, const std::optional<std::string>& folder,
                         bool replace, std::string& reason) {
  if (!record.damage.empty()) {
    reason = record.damage;
    return false;
  }
  const std::string path = RestorePath(record, folder);
  const bool drivePath = path.size() > 3 && path[1] == ':' && path[2] == '\\' &&
                         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  if (!drivePath) {
    reason = "it would not go back to a drive (X:\\...)";
    return false;
  }
  const std::string drive = path.substr(0, 2);
  if (services_.volumes.QueryDriveType(path.substr(0, 3)) == DriveType::kNoRootDir) {
    reason = "drive " + drive + " is not there";
    return false;
  }
  if (!folder && record.volume && services_.volumes.VolumeIdentity(path[0]) != record.volume) {
    reason = "drive " + drive + " now stands for another volume than the one it was kept from";
    return false;
  }
  if (!replace && services_.files.FileExists(path)) {
    reason = "a file is already there";
    return false;
  }
  const auto blob = services_.store.Open(BlobName(record.sha256), reason);
  if (!blob) {
    reason = "its kept bytes cannot be read: " + reason;
    return false;
  }
  KeyedReader revealed(*blob, KeyedReader::Plain::kResult, services_.hashing.StartSha256(), record.size,
                       record.sha256, "its kept bytes are damaged");
  if (!services_.files.WriteNewFile(path, revealed, replace, reason)) return false;
  // Never a set-user or set-group mark: a file restored by an administrator
  // would run with the administrator's rights.
  if (record.permissions && !services_.files.SetPermissions(path, *record.permissions & 0777)) {
    reason = "it was written back, but its permissions could not be set";
    return false;
  }
  if (!services_.files.SetAttributes(path, record.attributes)) {
    reason = "it was written back, but its attributes could not be set";
    return false;
  }
  return true;
}

bool Quarantine::Purge(const QuarantineRecord& record) {
  const auto id = ParseId(record.id);
  std::string reason;
  const auto lock = id ? LockCurrent(reason) : nullptr;
  if (!lock) return false;
  // An id listed earlier may since have been purged and given to another file.
  const auto stored = index_->records.find(*id);
  if (stored == index_->records.end() || stored->second.sha256 != record.sha256 ||
      stored->second.time != record.time || stored->second.path != record.path) {
    return true;
  }
  const bool done = Drop(*index_, *id);
  if (!done) index_.reset();
  return done;
}

}  // namespace kestrix

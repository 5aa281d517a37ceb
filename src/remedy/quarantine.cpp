#include "remedy/quarantine.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>

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

// A record's id: decimal digits without a leading zero.
std::optional<std::uint64_t> ParseId(std::string_view text) {
  std::uint64_t id = 0;
  if (text.empty() || text.size() > 19 || text[0] == '0') return std::nullopt;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return id;
}

// A record names its bytes by hash; anything else would reach other files.
bool IsSha256(std::string_view text) {
  return text.size() == 64 &&
         std::ranges::all_of(text, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
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
                            .attributes = json.at("attributes").get<std::uint32_t>()};
    if (const auto bytes = json.find("pathBytes"); bytes != json.end()) {
      const auto path = FromHex(bytes->get<std::string>());
      if (!path) return std::nullopt;
      record.path = *path;
    }
    if (!IsSha256(record.sha256)) return std::nullopt;
    return record;
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

// The file whole, up to a bound (past it the text is cut, and no record
// parses); false when reading fails.
bool ReadAll(ByteReader& reader, std::string& text, std::string& reason) {
  std::array<char, 4096> chunk;
  while (const auto got = reader.Read(chunk, reason)) {
    if (*got == 0 || text.size() > kMaxRecordBytes) return true;
    text.append(chunk.data(), *got);
  }
  return false;
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

Quarantine::Quarantine(QuarantineServices services, std::uint64_t limitBytes)
    : services_(services), limit_(limitBytes) {}

Quarantine::Index& Quarantine::Loaded() {
  if (!index_) index_ = ReadStore();
  return *index_;
}

void Quarantine::Add(Index& index, QuarantineRecord record, std::uint64_t id) {
  if (++index.references[record.sha256] == 1) index.bytes += record.size;
  index.nextId = std::max(index.nextId, id + 1);
  index.records.insert_or_assign(id, std::move(record));
}

Quarantine::Index Quarantine::ReadStore() {
  Index index;
  std::vector<std::string> blobs;
  bool everyRecordRead = true;
  const std::vector<std::string> names = services_.store.Names();
  index.references.reserve(names.size() / 2);  // a record and its bytes per kept file
  for (const std::string& name : names) {
    const std::string_view view = name;
    if (view.ends_with(kBlobSuffix)) {
      blobs.push_back(name);
      continue;
    }
    const auto id = view.ends_with(kRecordSuffix)
                        ? ParseId(view.substr(0, view.size() - kRecordSuffix.size()))
                        : std::nullopt;
    if (!id) continue;
    index.nextId = std::max(index.nextId, *id + 1);
    std::string text;
    std::string reason;
    const auto reader = services_.store.Open(name, reason);
    if (!reader || !ReadAll(*reader, text, reason)) {
      everyRecordRead = false;
      continue;
    }
    if (auto record = ParseRecord(text, *id)) Add(index, std::move(*record), *id);
  }
  // Bytes whose record was never saved, or whose purge was cut short; while
  // a record could not be read, they may still be its bytes.
  if (everyRecordRead) {
    for (const std::string& blob : blobs) {
      if (!index.references.contains(blob.substr(0, blob.size() - kBlobSuffix.size())))
        services_.store.Remove(blob);
    }
  }
  return index;
}

bool Quarantine::Drop(Index& index, const QuarantineRecord& record) {
  const auto id = ParseId(record.id);
  const std::string sha256 = record.sha256;  // `record` may live in the index
  if (!id || !IsSha256(sha256)) return false;
  if (const auto stored = index.records.find(*id); stored != index.records.end()) {
    const auto references = index.references.find(stored->second.sha256);
    if (--references->second == 0) {
      index.bytes -= stored->second.size;
      index.references.erase(references);
    }
    index.records.erase(stored);
  }
  // The record goes first: bytes left without it are removed later, never
  // a record left without its bytes.
  if (!services_.store.Remove(RecordName(*id))) return false;
  return index.references.contains(sha256) || services_.store.Remove(BlobName(sha256));
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

std::optional<QuarantineRecord> Quarantine::Keep(const SuspectEntry& entry, std::string& reason) {
  std::string why;
  const auto fail = [&]() -> std::optional<QuarantineRecord> {
    reason = "it could not be kept in the quarantine (" + services_.store.Location() + "): " + why;
    return std::nullopt;
  };
  QuarantineRecord record{.id = {},
                          .path = entry.path,
                          .size = 0,
                          .sha256 = {},
                          .time = UtcNow(),
                          .category = entry.category,
                          .reason = entry.reason,
                          .attributes = services_.files.OriginalAttributes(entry.path).value_or(0)};
  // The bytes are named by their hash, so the file is read twice: once for
  // the hash, then to store it, checked against the first reading.
  if (!Measure(entry.path, record.size, record.sha256, why)) return fail();

  Index& index = Loaded();
  const auto needed = [&] { return index.references.contains(record.sha256) ? 0 : record.size; };
  while (index.bytes + needed() > limit_ && !index.records.empty())
    Drop(index, index.records.begin()->second);

  const auto source = services_.files.OpenForReading(entry.path, why);
  if (!source) return fail();
  KeyedReader concealed(*source, KeyedReader::Plain::kSource, services_.hashing.StartSha256(), record.size,
                        record.sha256, "it changed while it was read");
  if (!services_.store.Save(BlobName(record.sha256), concealed, why)) return fail();

  // Another program may have saved records since the store was read.
  for (std::string ignored; services_.store.Open(RecordName(index.nextId), ignored);) ++index.nextId;
  const std::uint64_t id = index.nextId;
  record.id = std::to_string(id);
  const std::string text = RecordText(record);
  MemoryByteReader recordReader(text);
  if (!services_.store.Save(RecordName(id), recordReader, why)) {
    if (!index.references.contains(record.sha256)) services_.store.Remove(BlobName(record.sha256));
    return fail();
  }
  Add(index, record, id);
  return record;
}

std::vector<QuarantineRecord> Quarantine::List() {
  index_ = ReadStore();
  std::vector<QuarantineRecord> records;
  records.reserve(index_->records.size());
  for (const auto& [id, record] : index_->records) records.push_back(record);
  return records;
}

bool Quarantine::Restore(const QuarantineRecord& record, const std::optional<std::string>& folder,
                         bool replace, std::string& reason) {
  const std::string path = RestorePath(record, folder);
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
  if (!services_.files.SetAttributes(path, record.attributes)) {
    reason = "it was written back, but its attributes could not be set";
    return false;
  }
  return true;
}

bool Quarantine::Purge(const QuarantineRecord& record) { return Drop(Loaded(), record); }

}  // namespace kestrix

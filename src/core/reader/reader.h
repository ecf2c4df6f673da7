// Reader: an open store file and the queries it answers.
//
// Open maps the file read-only, checks its header (and, when asked, its
// whole-file CRC-32), and parses the index into a KeyTable. After that the
// state never changes, so one Reader may be shared by several threads.
// Every position and length read from the file is checked against the file
// size before use, so a damaged or hostile file ends in a corrupt-kind error,
// never in a read outside the mapping.
#ifndef TARNDB_CORE_READER_READER_H_
#define TARNDB_CORE_READER_READER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/common/result.h"
#include "core/format/coding.h"
#include "core/format/key_order.h"
#include "core/format/layout.h"
#include "core/reader/key_table.h"
#include "core/reader/mapping.h"

namespace tarndb {

// The corrupt-kind error for a record that does not fit in its file:
// "{lead}{offset} out of bounds" when its head lies outside, "object at
// {offset} extends beyond file end" when its payload does. Lookups and
// scans use the lead "offset ", the deep check "object offset ".
Error RecordFitError(RecordFit fit, uint64_t offset, std::string_view lead);

// A payload inside the mapping; callers copy it out.
struct ObjectView {
  const uint8_t* data;
  size_t size;
};

class Reader {
 public:
  Reader(Reader&&) noexcept = default;
  Reader& operator=(Reader&&) noexcept = default;

  // Open and validate the store at path; verify checks the whole-file CRC.
  // Fails with the I/O, corrupt or version kind. Defined in open_store.cc.
  static Result<Reader> Open(std::string_view path, bool verify);

  // The payload of the ObjectRecord at offset. Fails (corrupt kind) with
  // "offset {offset} out of bounds" or "object at {offset} extends beyond
  // file end". The record's crc32 is not checked.
  Result<ObjectView> ReadObject(uint64_t offset) const {
    RecordHead head;
    const RecordFit fit = DecodeRecordHead(mapping_.data(), file_size_, offset, &head);
    if (fit == RecordFit::kInside) {
      return ObjectView{mapping_.data() + offset + kRecordHeadSize, head.length};
    }
    return RecordFitError(fit, offset, "offset ");
  }

  // Hint that the record at offset will be read soon (scans run ahead of
  // their reads so that cache misses overlap). Never faults.
  void Prefetch(uint64_t offset) const {
    if (offset < file_size_) __builtin_prefetch(mapping_.data() + offset);
  }

  // Object offset of key, or nothing when the key is absent.
  std::optional<uint64_t> Lookup(KeyView key) const {
    const int64_t e = table_.Find(key);
    if (e < 0) return std::nullopt;
    return table_.Offset(static_cast<size_t>(e));
  }

  // Lookup for keys[0, n) (n at most kMaxLookupBatch) into offsets[0, n),
  // with found[b] telling whether keys[b] is present. The cache misses of
  // the batch overlap; the records found are fetched ahead of their reads.
  static constexpr size_t kMaxLookupBatch = KeyTable::kMaxBatch;
  void LookupMany(const KeyView* keys, size_t n, uint64_t* offsets, bool* found) const {
    int64_t entries[KeyTable::kMaxBatch];
    table_.FindMany(keys, n, entries);
    for (size_t b = 0; b < n; ++b) {
      found[b] = entries[b] >= 0;
      offsets[b] = found[b] ? table_.Offset(static_cast<size_t>(entries[b])) : 0;
      if (found[b]) Prefetch(offsets[b]);
    }
  }

  // Index entries in index-section order.
  size_t entry_count() const { return table_.size(); }
  KeyView EntryKey(size_t i) const { return table_.Key(i); }
  uint64_t EntryOffset(size_t i) const { return table_.Offset(i); }

  // The entries [first, last) whose keys begin with prefix: a binary search
  // for the first key not less than prefix, then a forward scan while keys
  // begin with it.
  std::pair<size_t, size_t> PrefixRange(KeyView prefix) const;

  // The deep check: whole-file CRC-32, then the CRC-32 of every object that
  // an index entry names, each once, then the structure the header claims
  // (no checksum covers the header): the data section holds num_objects
  // records ending exactly at index_offset, and the index section ends
  // exactly at the end of the file. Defined in verify.cc.
  Status Verify() const;

  const std::string& path() const { return path_; }
  uint64_t file_size() const { return file_size_; }
  uint32_t num_keys() const { return num_keys_; }
  uint32_t num_objects() const { return num_objects_; }
  uint64_t index_offset() const { return index_offset_; }
  uint32_t file_crc32() const { return file_crc32_; }

 private:
  Reader(std::string path, Mapping mapping, uint64_t file_size, KeyTable table)
      : path_(std::move(path)),
        mapping_(std::move(mapping)),
        file_size_(file_size),
        table_(std::move(table)) {}

  // The structural part of Verify.
  Status VerifyStructure() const;

  std::string path_;
  Mapping mapping_;
  uint64_t file_size_ = 0;
  uint32_t num_keys_ = 0;
  uint32_t num_objects_ = 0;
  uint64_t index_offset_ = 0;
  uint32_t file_crc32_ = 0;
  uint64_t index_end_ = 0;  // where parsing the num_keys entries stopped
  KeyTable table_;
};

// Text of a CRC value in messages: "0x" and eight lower-case hex digits.
std::string CrcText(uint32_t crc);

// CRC-32 of a store file's bytes after the header (file_crc32 covers them).
uint32_t BodyCrc(const uint8_t* file, uint64_t file_size);

// "file CRC32 mismatch  stored=0x...  computed=0x..." (corrupt kind).
Error FileCrcMismatch(uint32_t stored, uint32_t computed);

}  // namespace tarndb

#endif  // TARNDB_CORE_READER_READER_H_

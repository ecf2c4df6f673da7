// Reader: an open store file and the queries it answers.
//
// Open maps the file read-only, checks its header (and, when asked, its
// whole-file CRC-32), and makes the index searchable without copying it:
// keys are compared where they lie in the mapping. A reader keeps only
// what it needs to find an entry:
//   - with the file's own hash index (the extension block, when the caller
//     allows it and it holds together), nothing: lookups probe the mapped
//     table and scans start from its mapped entry samples, so opening costs
//     the same for any number of keys;
//   - otherwise, from one pass over the index at open: a hash table of 8-byte
//     slots (10 bytes per key) and every 16th entry's position (0.5 bytes
//     per key);
//   - for an index whose keys are not in order (never written by tarndb),
//     a copy of its keys (KeyTable), whose results are the ones defined for
//     such an index.
// After opening the state never changes (but for the one-time switch away
// from a hash index that contradicts the index, below), so one Reader may
// be shared by several threads. Every position and length read from the
// file is checked against the file size before use: a damaged or hostile
// file ends in a corrupt-kind error, never in a read outside the mapping,
// and a hash index that names a slot the index contradicts is dropped for
// a table of the reader's own.
#ifndef TARNDB_CORE_READER_READER_H_
#define TARNDB_CORE_READER_READER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/common/result.h"
#include "core/format/extension.h"
#include "core/format/key_order.h"
#include "core/format/layout.h"
#include "core/reader/entry_samples.h"
#include "core/reader/key_table.h"
#include "core/reader/mapping.h"
#include "core/reader/slot_table.h"

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

// One entry grouped by the offset it names (see offset_groups.h).
struct OffsetGroupsRef {
  uint64_t offset;
  uint32_t entry;
};

class Reader {
 public:
  struct Options {
    bool verify = true;          // check the whole-file CRC-32 at open
    bool use_extension = false;  // use the file's hash index and samples when present
    bool populate = false;       // read the whole file into the page cache at open
    // Notice a file changed in place under the reader (see Intact), and
    // refuse, with verify, a file whose index does not end where the file
    // does.
    bool strict = false;
  };

  Reader(Reader&&) noexcept = default;
  Reader& operator=(Reader&&) noexcept = default;

  // Open and validate the store at path. Fails with the I/O, corrupt or
  // version kind. Defined in open_store.cc.
  static Result<Reader> Open(std::string_view path, const Options& options);

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

  // Hint that the record at offset will be read soon. Never faults.
  void Prefetch(uint64_t offset) const {
    if (offset < file_size_) __builtin_prefetch(mapping_.data() + offset);
  }

  // Object offset of key, or nothing when the key is absent. Where the index
  // holds a key more than once, the last entry counts. Fails (corrupt kind)
  // only when the reader had to stop trusting the file's hash index and
  // the index itself turned out damaged.
  Result<std::optional<uint64_t>> Find(KeyView key) const;

  // Find for keys[0, n) (n at most kMaxLookupBatch): offsets[b] and found[b]
  // for each. The batch's cache misses overlap, and the records found are
  // fetched ahead of their reads.
  static constexpr size_t kMaxLookupBatch = 32;
  Status FindMany(const KeyView* keys, size_t n, uint64_t* offsets, bool* found) const;

  // Index entries in index-section order.
  size_t entry_count() const { return num_keys_; }

  // A position in the index, from one entry to the next.
  class Cursor {
   public:
    bool done() const { return i_ >= count_; }
    size_t index() const { return i_; }
    size_t count() const { return count_; }
    KeyView key() const { return copied_ ? copied_->Key(i_) : entry_.key; }
    uint64_t offset() const { return copied_ ? copied_->Offset(i_) : entry_.offset; }
    // Where the current entry starts (absolute; 0 for a copied index).
    uint64_t position() const { return pos_; }
    // Move to the next entry. Fails (corrupt kind) when it does not fit in
    // the file, which only an index never scanned whole can show (or, for
    // a strict reader, with ChangedError when the file changed in place).
    Status Next() {
      if (++i_ >= count_ || copied_ != nullptr) return OkStatus();
      pos_ += entry_.encoded_size();
      const EntryFit fit = DecodeIndexEntry(file_, file_size_, pos_, &entry_);
      if (fit == EntryFit::kInside) [[likely]] return OkStatus();
      return Failed(fit);
    }

   private:
    friend class Reader;
    Status Failed(EntryFit fit);
    const Reader* reader_ = nullptr;
    const uint8_t* file_ = nullptr;
    uint64_t file_size_ = 0;
    const KeyTable* copied_ = nullptr;
    size_t i_ = 0;
    size_t count_ = 0;
    uint64_t pos_ = 0;
    IndexEntry entry_;
  };

  // A cursor at entry i (at the end when i is entry_count()).
  Result<Cursor> At(size_t i) const;

  // A position in the index moving backward, from one entry to the one
  // before, over the entries [first, end). Entries are found by walking
  // forward from a sample, so it decodes the entries of a block of 16 (at
  // most) at once and gives them out from the last. Defined in
  // reverse_cursor.cc.
  class ReverseCursor {
   public:
    bool done() const { return done_; }
    size_t index() const { return i_; }
    KeyView key() const { return block_[i_ - block_first_].key; }
    uint64_t offset() const { return block_[i_ - block_first_].offset; }
    // Move to the entry before. Fails as Cursor::Next does.
    Status Next();

   private:
    friend class Reader;
    Status LoadBlock(size_t last);  // the block that holds entry last
    const Reader* reader_ = nullptr;
    size_t first_ = 0;
    size_t i_ = 0;
    bool done_ = true;
    size_t block_first_ = 0;
    std::vector<IndexEntry> block_;
  };
  // A cursor at entry end - 1, moving down to entry first (done at once
  // when the range is empty).
  Result<ReverseCursor> Backward(size_t first, size_t end) const;

  // Call f(cursor) for the entries [first, last) in order, fetching each
  // one's record a few entries ahead (records lie in object order, entries
  // in key order: each read would otherwise be a cache miss of its own).
  // Stops early when f returns false. Fails when an entry does not fit.
  template <typename F>
  Status ForEach(size_t first, size_t last, F&& f) const;

  // The entries [first, last) whose keys begin with prefix: the first key
  // not less than prefix, then forward while keys begin with it. Defined
  // in queries.cc.
  Result<std::pair<size_t, size_t>> PrefixRange(KeyView prefix) const;
  // A cursor at the first entry whose key is not less than prefix.
  Result<Cursor> LowerBound(KeyView prefix) const;

  // The deep check: whole-file CRC-32, then the CRC-32 of every object that
  // an index entry names, each once, then the structure the header claims
  // (no checksum covers the header): the data section holds num_objects
  // records ending exactly at index_offset, and the index section ends
  // exactly at the end of the file. strict adds what the file format
  // requires of a well-formed index, beyond what its checksums cover: keys
  // strictly increasing, every entry naming the start of a stored object's
  // record, and a hash index (when the file has one) that finds every key at
  // its own entry and holds nothing else. Defined in verify.cc.
  Status Verify(bool strict = false) const;

  // Whether the file still is what it was at open: its header unchanged,
  // and no read ran past the end of a file cut short (readers opened strict
  // read zeros there instead of being killed). Store files are replaced by
  // rename; one rewritten or truncated in place under a reader fails this.
  bool Intact() const {
    return !mapping_.damaged() && std::memcmp(mapping_.data(), header_, kHeaderSize) == 0;
  }
  // The corrupt-kind refusal of a file changed in place since it was
  // opened: "the file changed while this reader had it open (store files
  // are replaced by rename, never rewritten in place): {path}".
  Error ChangedError() const;
  // e, or, for a reader opened strict whose file is no longer intact,
  // ChangedError(): an index that stops making sense in a file rewritten or
  // cut short in place tells of the change, not of damage to the store.
  Error Checked(Error e) const { return strict_ && !Intact() ? ChangedError() : std::move(e); }

  const std::string& path() const { return path_; }
  uint64_t file_size() const { return file_size_; }
  uint32_t num_keys() const { return num_keys_; }
  uint32_t num_objects() const { return num_objects_; }
  uint64_t index_offset() const { return index_offset_; }
  uint32_t file_crc32() const { return file_crc32_; }

  // The file's extension block, when the reader was asked to look for one
  // and found it; and whether lookups go through its hash index.
  const ExtensionBlock* extension() const { return extension_ ? &*extension_ : nullptr; }
  bool uses_file_hash_index() const {
    return extension_ && (num_keys_ == 0 || Current().table.mapped());
  }
  // A section of the extension block, viewed in the mapping, or nothing.
  std::optional<ObjectView> ExtensionSectionBytes(uint32_t type, uint32_t version) const {
    if (!extension_) return std::nullopt;
    const ExtensionSection* s = extension_->Find(type, version);
    if (s == nullptr) return std::nullopt;
    return ObjectView{mapping_.data() + extension_->payload_offset + s->offset,
                      static_cast<size_t>(s->length)};
  }
  // Bytes of this process's own memory that the lookup tables take.
  uint64_t private_bytes() const;

 private:
  // What lookups and scans use.
  struct Index {
    SlotTable table;
    EntrySamples samples;
    std::unique_ptr<KeyTable> copied;  // an index out of order
    uint64_t end = 0;                  // where the index ends; 0 when not scanned
  };
  // The switch away from a contradicted hash index, done once.
  struct Replacement {
    std::mutex building;
    std::atomic<const Index*> ready{nullptr};
    std::unique_ptr<Index> index;
    std::optional<Error> failure;  // the index could not be scanned
  };

  Reader(std::string path, Mapping mapping, uint64_t file_size)
      : path_(std::move(path)),
        mapping_(std::move(mapping)),
        file_size_(file_size),
        replacement_(std::make_unique<Replacement>()) {}

  // The index lookups use now.
  const Index& Current() const {
    const Index* replaced = replacement_->ready.load(std::memory_order_acquire);
    return replaced != nullptr ? *replaced : index_;
  }
  IndexSpan Span() const { return IndexSpan{mapping_.data(), file_size_, index_offset_}; }

  // Build the index by a pass over the index section (open_store.cc);
  // *block_named tells whether an entry names the extension block's record.
  Result<Index> ScanToIndex(bool* block_named = nullptr) const;
  // Use the file's extension block, if it holds together (open_store.cc).
  bool UseExtension();
  // Stop trusting the file's hash index: scan the index instead.
  Result<const Index*> Replace() const;
  // Find on an index with the key's hash in its table, nullopt when absent;
  // sets *contradicted when the table is caught lying.
  std::optional<uint64_t> FindIn(const Index& ix, KeyView key, uint64_t h,
                                 bool* contradicted) const;

  // Whether the samples of ix hold around block k: its sampled entry comes
  // before prefix, walking the block reaches the next sample (or the end
  // of the index) in key order, and that sample does not come before
  // prefix (queries.cc).
  bool BlockHolds(const Index& ix, uint64_t k, KeyView prefix) const;

  // Parts of Verify.
  Status VerifyStructure(uint64_t index_end, uint64_t* last_record) const;
  Status VerifyEntryTargets(const std::vector<OffsetGroupsRef>& by_offset) const;
  Status VerifyKeyOrder() const;
  Status VerifyHashIndex(const std::vector<OffsetGroupsRef>& by_offset,
                         uint64_t last_record) const;
  Result<bool> TableFindsEveryEntry() const;
  Result<bool> TableHoldsNothingElse(uint32_t recorded_run) const;

  std::string path_;
  Mapping mapping_;
  uint64_t file_size_ = 0;
  uint32_t num_keys_ = 0;
  uint32_t num_objects_ = 0;
  uint64_t index_offset_ = 0;
  uint32_t file_crc32_ = 0;
  uint8_t header_[kHeaderSize] = {};  // as read at open, for Intact
  bool strict_ = false;                // opened strict: changes in place are refused
  std::optional<ExtensionBlock> extension_;
  // The last record looked like an extension block, but an entry names it.
  bool last_record_is_value_ = false;
  Index index_;
  std::unique_ptr<Replacement> replacement_;
};

template <typename F>
Status Reader::ForEach(size_t first, size_t last, F&& f) const {
  constexpr size_t kReadAhead = 8;
  Result<Cursor> c = At(first);
  if (!c.ok()) return std::move(c.error());
  Result<Cursor> ahead = At(first + kReadAhead < last ? first + kReadAhead : last);
  if (!ahead.ok()) return std::move(ahead.error());
  Cursor& cur = c.value();
  for (; !cur.done() && cur.index() < last;) {
    if (!ahead.value().done() && ahead.value().index() < last) {
      Prefetch(ahead.value().offset());
      if (Status s = ahead.value().Next(); !s.ok()) return s;
    }
    if (!f(static_cast<const Cursor&>(cur))) return OkStatus();
    if (Status s = cur.Next(); !s.ok()) return s;
  }
  return OkStatus();
}

// "bad magic [b0, b1, b2, b3]": the error text for a header without the magic.
std::string MagicText(const uint8_t* header);

// Text of a CRC value in messages: "0x" and eight lower-case hex digits.
std::string CrcText(uint32_t crc);

// CRC-32 of a store file's bytes after the header (file_crc32 covers them).
uint32_t BodyCrc(const uint8_t* file, uint64_t file_size);

// "file CRC32 mismatch  stored=0x...  computed=0x..." (corrupt kind).
Error FileCrcMismatch(uint32_t stored, uint32_t computed);

}  // namespace tarndb

#endif  // TARNDB_CORE_READER_READER_H_

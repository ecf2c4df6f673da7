// FedStore: a store file read by ranges, its bytes fed by the package
// (fetched over HTTP or from object storage), with no I/O of its own.
//
// Every query is a step that runs against the bytes held so far: it either
// answers, or notes in FedBytes the ranges it needs next and returns
// nothing; the package fetches them all at once, feeds them, and runs the
// step again. The steps need, in order:
//   open:    the header; then the directory and trailer of the extension
//            block with its lookup header, in one range ending at
//            index_offset (files without a lookup header: also the hash
//            index's and the samples' headers, a range each);
//   lookup:  the slots from the key's home (a page of the table); then the
//            entry each slot with the key's tag names and, together, the
//            record the first of them names, or every one of them for a
//            batch (a record longer than the window, or a first candidate
//            that is another key when only its record came, asks once
//            more);
//   a scan:  the samples and entries of a search by key (a few dozen
//            probes a round), then the index section in large ranges.
// A range is checked as it is used: entries and records against the file's
// size, keys against the key sought, a slot's record offset against its
// entry, and every record's CRC-32. A hash index that lies (an entry
// outside the file, another record than its entry's, a run longer than it
// claims, or a key it does not find but the sorted index holds) is left
// for the search over the samples, as a local reader leaves it for its own
// table: a lying file never yields another key's value, and nothing
// outside the file is ever asked for.
#ifndef TARNDB_CORE_READER_FED_STORE_H_
#define TARNDB_CORE_READER_FED_STORE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "core/common/result.h"
#include "core/format/extension.h"
#include "core/format/hash_index.h"
#include "core/format/key_order.h"
#include "core/reader/fed_bytes.h"
#include "core/reader/index_scan.h"
#include "core/reader/reader.h"
#include "core/reader/slot_probe.h"

namespace tarndb {

// An index entry found by a step: its number, its position (relative to
// index_offset) and, copied, its key and record offset.
struct FedEntry {
  uint64_t index = 0;
  uint64_t pos = 0;
  std::vector<uint8_t> key;
  uint64_t offset = 0;
};

class FedStore {
 public:
  // The first range an open asks for (the header, and for a small file
  // more of it), and what the open's two ranges take at most.
  static constexpr uint64_t kFirstRange = 4096;
  static constexpr uint64_t kOpenBytes = uint64_t{64} << 10;

  // The store in the bytes held (the file is bytes.file_size() long), or
  // nothing with the ranges it needs noted. Fails with the corrupt or
  // version kind on the faults Reader::Open reports.
  static Result<std::optional<FedStore>> Open(FedBytes& bytes);

  uint64_t file_size() const { return file_size_; }
  uint32_t num_keys() const { return num_keys_; }
  uint32_t num_objects() const { return num_objects_; }
  uint64_t index_offset() const { return index_offset_; }
  uint32_t file_crc32() const { return file_crc32_; }
  const ExtensionBlock* extension() const { return extension_ ? &*extension_ : nullptr; }
  // Whether lookups go through the file's hash index (else by the samples,
  // or, in a file with neither, by a copy of the whole index section that
  // the first lookup or search fetches).
  bool uses_hash_index() const { return table_.has_value(); }
  bool has_lookup_header() const { return lookup_header_; }

  // The bytes of a section of the extension block: true with *out set
  // (nullopt when there is no such section), or false when they are needed.
  bool Section(FedBytes& bytes, uint32_t type, uint32_t version,
               std::optional<ObjectView>* out) const;

  // Where key's record lies: true with *offset (nullopt: absent) once the
  // step has what it needs; false when it needs more. record_window: the
  // record bytes to fetch with the entry; every_candidate: fetch them for
  // each slot whose tag matches, not only the first (a batch then saves
  // the round its keys whose first candidate is another key would cost).
  Result<bool> Locate(FedBytes& bytes, KeyView key, uint64_t record_window, bool every_candidate,
                      std::optional<uint64_t>* offset) const;

  // The payload of the record at offset, its CRC-32 checked; nullopt when
  // its bytes are needed (window: payload bytes to ask for beyond the head).
  Result<std::optional<ObjectView>> Record(FedBytes& bytes, uint64_t offset, uint64_t window) const;

  // The first entry whose key is not less than prefix (index num_keys() at
  // the end); nullopt when more bytes are needed.
  Result<std::optional<FedEntry>> LowerBound(FedBytes& bytes, KeyView prefix) const;

  // Entries from the one at (index, pos) on, as many as the held bytes
  // hold (at most max); empty with the next range needed when not even
  // the first is held. chunk: the bytes to ask for then.
  Result<std::vector<FedEntry>> Entries(FedBytes& bytes, uint64_t index, uint64_t pos, size_t max,
                                        uint64_t chunk) const;

  // Where the block of entries that holds entry index begins: the block's
  // first entry's number (index rounded down to a multiple of the sample
  // interval) and position, from the samples (or the held index of a file
  // without them); nullopt when more bytes are needed. A reverse scan walks
  // the index a block at a time from these. Fails when index is not an
  // entry's or the position lies outside the index.
  Result<std::optional<std::pair<uint64_t, uint64_t>>> BlockStart(FedBytes& bytes,
                                                                  uint64_t index) const;

  // The entry at pos (relative to index_offset), asking for room for a key
  // of want_key bytes when its bytes are needed.
  EntryRead EntryAt(FedBytes& bytes, uint64_t pos, uint64_t want_key, IndexEntry* e,
                    bool table = false) const;

 private:
  // The file's hash index and samples, where a lookup finds them.
  struct Table {
    SlotRun run;
    uint64_t capacity = 0;
    HashKey seed;
    uint64_t slots_at = 0;  // absolute
  };
  struct Samples {
    uint64_t count = 0;
    uint64_t at = 0;  // absolute offset of the first position
  };

  FedStore() = default;
  // The extension block's tables, once its headers are held (fed_open.cc).
  Result<bool> TakeTables(FedBytes& bytes);
  // The sample search of LowerBound: the first sample whose key is not
  // less than prefix, or nullopt when more bytes are needed.
  Result<std::optional<uint64_t>> SampleBound(FedBytes& bytes, KeyView prefix) const;
  // A lookup through the hash index: settled (found or absent), bytes
  // needed, or left to the sorted search (a tag that matched another key,
  // or a table caught lying).
  enum class ByHash { kSettled, kNeedBytes, kAskSamples };
  ByHash LookupByHash(FedBytes& bytes, KeyView key, uint64_t record_window, bool every_candidate,
                      std::optional<uint64_t>* offset) const;

  // The index section held whole, for a file without a hash index and
  // samples: its bytes, and the table and samples of one pass over it.
  struct HeldIndex {
    std::vector<uint8_t> bytes;
    IndexScan scan;
  };
  // The held index, once its bytes were fed; nullptr when they are needed.
  Result<const HeldIndex*> Held(FedBytes& bytes) const;
  Result<std::optional<FedEntry>> HeldLowerBound(const HeldIndex& held, KeyView prefix) const;

  uint64_t file_size_ = 0;
  uint32_t num_keys_ = 0;
  uint32_t num_objects_ = 0;
  uint64_t index_offset_ = 0;
  uint32_t file_crc32_ = 0;
  std::optional<ExtensionBlock> extension_;
  bool lookup_header_ = false;
  std::optional<Table> table_;
  std::optional<Samples> samples_;
  // Made by the first call that needs it (calls on one store are serial).
  mutable std::shared_ptr<const HeldIndex> held_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_READER_FED_STORE_H_

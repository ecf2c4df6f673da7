// SlotTable: a reader's hash table from keys to index entries.
//
// The same contract serves two homes: a table kept in the file's extension
// block (mapped, big-endian, shared by every process through the page
// cache) and one a reader builds in its own memory when the file has none
// (native order, on huge pages when large). Either way a slot names an
// entry by its position in the index section, and, where the slot is wide
// enough, its object's record offset too, so that a lookup fetches the
// entry and the record at the same time. Keys are confirmed against the
// entry's bytes; nothing read from a slot is used before it is checked
// against the file.
#ifndef TARNDB_CORE_READER_SLOT_TABLE_H_
#define TARNDB_CORE_READER_SLOT_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/common/big_buffer.h"
#include "core/format/hash_index.h"
#include "core/format/layout.h"
#include "core/reader/slot_probe.h"

namespace tarndb {

// Where the index section lies in a mapped file.
struct IndexSpan {
  const uint8_t* file = nullptr;
  uint64_t file_size = 0;
  uint64_t index_offset = 0;

  // The entry at pos (relative to index_offset), if it fits in the file.
  bool Decode(uint64_t pos, IndexEntry* e) const {
    if (index_offset > file_size || pos > file_size - index_offset) return false;
    return DecodeIndexEntry(file, file_size, index_offset + pos, e) == EntryFit::kInside;
  }
  void Prefetch(uint64_t pos) const {
    if (index_offset <= file_size && pos < file_size - index_offset) {
      __builtin_prefetch(file + index_offset + pos);
    }
  }
};

class SlotTable {
 public:
  SlotTable() = default;
  SlotTable(SlotTable&&) noexcept = default;
  SlotTable& operator=(SlotTable&&) noexcept = default;

  // A table kept in the file: header and slots as the HIDX section holds them.
  static SlotTable Mapped(const HashIndexHeader& header, const uint8_t* slots);

  // An empty table of this reader's own, for entries entries of an index
  // section of index_size bytes whose records end before data_end.
  static SlotTable Owned(uint64_t entries, uint64_t index_size, uint64_t data_end);

  bool empty() const { return capacity_ == 0; }
  bool mapped() const { return mapped_ != nullptr; }
  const SlotCodec& codec() const { return codec_; }
  uint64_t capacity() const { return capacity_; }
  uint64_t slot_count() const { return slot_count_; }
  HashKey seed() const { return seed_; }
  // Bytes of this process's memory the table takes.
  uint64_t owned_bytes() const { return owned_.size(); }

  uint64_t Hash(KeyView key) const { return KeyHash(seed_, key); }
  uint64_t Home(uint64_t h) const { return HomeSlot(h, capacity_); }

  // The slot's first word (0 when empty) and, for a 16-byte slot, its
  // record offset.
  uint64_t Word(uint64_t i) const {
    if (mapped_ == nullptr) return reinterpret_cast<const uint64_t*>(owned_.data())[i];
    return DecodeSlotWord(mapped_ + i * codec_.width);
  }
  uint64_t WideOffset(uint64_t i) const { return DecodeSlotOffset(mapped_ + i * 16); }
  void PrefetchSlot(uint64_t i) const {
    __builtin_prefetch(mapped_ != nullptr ? mapped_ + i * codec_.width
                                          : owned_.data() + i * sizeof(uint64_t));
  }

  // The record offset a slot names, when it names one.
  std::optional<uint64_t> SlotOffset(uint64_t i, uint64_t word) const {
    if (codec_.width == 16) return WideOffset(i);
    if (codec_.off_bits > 0) return codec_.PackedOffsetOf(word);
    return std::nullopt;
  }

  // Find key (hash h) among the entries of ix. A slot whose entry does not
  // fit in the file, or whose record offset differs from its entry's, or a
  // run longer than a table kept in the file says it has, sets
  // *contradicted (a table kept in the file can lie; the caller stops
  // trusting it) and the search stops. *collided is set when a slot's tag
  // matched but its entry held another key: a table kept in the file may
  // then have been pointed away from the key, and an absent result is worth
  // confirming. The record is prefetched for the caller unless
  // fetch_record is false (a check that never reads it).
  std::optional<Hit> Find(const IndexSpan& ix, KeyView key, uint64_t h, bool* contradicted,
                          bool* collided, bool fetch_record = true) const;

  // Building an owned table: place a slot's word (Word of the codec), or
  // point the slot of the entry at old_pos to another entry (a key the
  // index holds twice).
  void Insert(uint64_t h, uint64_t word);
  void Replace(uint64_t h, uint64_t old_pos, uint64_t pos, uint64_t record_offset);

 private:
  void GrowTail();

  SlotCodec codec_;
  uint64_t capacity_ = 0;
  uint64_t slot_count_ = 0;
  uint64_t run_limit_ = UINT64_MAX;  // slots a search may probe
  HashKey seed_;
  const uint8_t* mapped_ = nullptr;
  BigBuffer owned_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_READER_SLOT_TABLE_H_

// KeyTable: the reader's in-memory index of a store's keys.
//
// All key bytes are copied once, at open, into one contiguous arena, in
// index-section order. Entry i records where its key starts in the arena and
// its object offset; its key ends where entry i + 1's starts (a sentinel
// entry closes the last one). The hash table is open-addressing with linear
// probing over 32-bit slots: the low bits hold entry + 1, the spare high
// bits a tag from the hash, so most non-matching probes never touch the
// arena. Memory per key: the key bytes, 16 bytes of entry and 4 to 8 bytes
// of slots; no per-key heap allocation.
#ifndef TARNDB_CORE_READER_KEY_TABLE_H_
#define TARNDB_CORE_READER_KEY_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/common/keyed_hash.h"
#include "core/format/key_order.h"

namespace tarndb {

class KeyTable {
 public:
  // Room for up to max_keys entries whose keys total at most max_key_bytes.
  // Both bounds come from the file's size, never from its header alone.
  KeyTable(size_t max_keys, size_t max_key_bytes);
  KeyTable(KeyTable&&) noexcept = default;
  KeyTable& operator=(KeyTable&&) noexcept = default;

  // Append an entry (within the room reserved). A key already present is
  // re-pointed in the hash table to this later entry; both entries stay in
  // the ordered list.
  void Append(const uint8_t* key, size_t key_len, uint64_t offset);

  // Close the last entry and give back unused arena space.
  void Finish();

  size_t size() const { return entries_.empty() ? 0 : entries_.size() - 1; }

  KeyView Key(size_t i) const {
    return KeyView{arena_.get() + entries_[i].key_pos,
                   static_cast<size_t>(entries_[i + 1].key_pos - entries_[i].key_pos)};
  }
  uint64_t Offset(size_t i) const { return entries_[i].offset; }

  // Entry number that the hash table holds for key, or -1.
  int64_t Find(KeyView key) const;

 private:
  struct Entry {
    uint64_t key_pos;  // start of the key in the arena
    uint64_t offset;   // object offset from the index entry
  };
  struct FreeDeleter {
    void operator()(uint8_t* p) const noexcept { std::free(p); }
  };

  std::unique_ptr<uint8_t[], FreeDeleter> arena_;
  size_t arena_used_ = 0;
  size_t arena_capacity_ = 0;
  std::vector<Entry> entries_;  // n entries and, after Finish, a sentinel
  std::vector<uint32_t> slots_;
  uint64_t mask_ = 0;
  unsigned entry_bits_ = 0;  // low bits of a slot that hold entry + 1
  HashKey hash_key_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_READER_KEY_TABLE_H_

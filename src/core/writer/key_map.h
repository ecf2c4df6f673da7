// KeyMap: the writer's map from distinct keys to object IDs.
//
// Keys live back to back in a ChunkedArena, each stored as it will appear in
// the index section (big-endian u16 length, then the bytes), so building
// copies them straight out. The hash table is open-addressing with linear
// probing; each slot holds a 32-bit hash tag and the entry number, so most
// probes that do not match never touch key bytes. Memory per key: the key
// and its 2-byte length, 12 bytes of entry, and 8 bytes per slot.
//
// Keys that arrive in strictly increasing order (a sorted input, the common
// case for batch jobs) need no table: they are appended as they come, a
// repeat of the last key re-points it, and the entries are already in index
// order. The table is built from them when the first key arrives out of
// order.
#ifndef TARNDB_CORE_WRITER_KEY_MAP_H_
#define TARNDB_CORE_WRITER_KEY_MAP_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/common/big_buffer.h"
#include "core/common/keyed_hash.h"
#include "core/format/key_order.h"
#include "core/writer/chunked_arena.h"

namespace tarndb {

// The object ID of a deleted key (a tombstone): no object has it, since
// IDs stop at 2^32 - 2. It travels through the map and the runs like any
// other, so the last call for a key wins whether it put or deleted.
inline constexpr uint32_t kTombstoneId = UINT32_MAX;

class KeyMap {
 public:
  KeyMap();

  // A repeated key that a map in keep-first mode saw: the ID its first put
  // gave and the ID of the put that repeated it.
  struct Repeat {
    uint32_t first_id = 0;
    uint32_t repeat_id = 0;
  };

  // Keep the first put of each key instead of the last, and remember, of
  // all repeats seen, the one with the lowest repeating ID (with its key),
  // for callers to whom a repeated key is an error.
  void KeepFirst() { keep_first_ = true; }
  // The repeat with the lowest repeat_id so far, if any; its key in *key.
  bool EarliestRepeat(Repeat* repeat, std::vector<uint8_t>* key) const {
    if (!has_repeat_) return false;
    *repeat = repeat_;
    *key = repeat_key_;
    return true;
  }

  // Bytes the map holds now, and the most that its next growth step adds
  // while the old and new tables both exist. A conservative estimate for
  // keeping the writer within its memory budget.
  uint64_t memory_bytes() const;
  uint64_t growth_bytes() const;

  // Map key (at most 65,535 bytes) to obj_id; a later put of the same key
  // wins. Queued: applied by Flush, which Put calls itself when the queue
  // is full. On a failed allocation (std::bad_alloc) this put is not queued
  // and the map is as before.
  void Put(KeyView key, uint32_t obj_id);

  // Apply the queued puts. Everything below reads the map as of the last
  // Flush. On a failed allocation the puts not yet applied stay queued.
  void Flush();

  // Puts queued and not yet applied.
  size_t pending() const { return queue_.size(); }

  // Whether every key so far arrived above the one before, so that entry
  // order is index order.
  bool in_order() const { return in_order_; }

  // Whether key is in the map.
  bool Contains(KeyView key) const { return Find(key, Hash(key)) >= 0; }

  size_t size() const { return entries_.size(); }

  // The key of entry i as stored: u16 big-endian length, then the bytes.
  const uint8_t* StoredKey(size_t i) const { return entries_[i]; }
  KeyView Key(size_t i) const;
  uint32_t ObjectId(size_t i) const { return obj_ids_[i]; }

  // Hints for passes over the entries in an order of their own (sorting,
  // writing the index): first the entry, then, once it is cached, its key.
  void PrefetchEntry(size_t i) const {
    __builtin_prefetch(&entries_[i]);
    __builtin_prefetch(&obj_ids_[i]);
  }
  void PrefetchKey(size_t i) const { __builtin_prefetch(entries_[i]); }

 private:
  struct Queued {
    size_t pos;  // of the key bytes in queue_bytes_
    uint32_t size;
    uint32_t obj_id;
  };

  uint64_t Hash(KeyView key) const { return SipHash13(hash_key_, key.data, key.size); }
  // Index of key's entry, or -1 when absent.
  int64_t Find(KeyView key, uint64_t hash) const;
  // Add an absent key with obj_id.
  void Insert(KeyView key, uint64_t hash, uint32_t obj_id);
  // Store key with obj_id as the next entry.
  void Append(KeyView key, uint32_t obj_id);
  // Build the table over the entries appended in order, and use it from now.
  void LeaveOrder();
  void Grow();
  // A put of an existing entry: re-point it, or in keep-first mode note the
  // repeat.
  void Repoint(size_t entry, uint32_t obj_id);

  std::vector<Queued> queue_;
  std::vector<uint8_t> queue_bytes_;

  ChunkedArena arena_;
  std::vector<const uint8_t*> entries_;  // stored keys, in insertion order
  std::vector<uint32_t> obj_ids_;        // parallel to entries_
  SlotArray<uint64_t> slots_;            // (hash >> 32 << 32) | (entry + 1); 0 = empty
  uint64_t mask_ = 0;
  unsigned shift_ = 0;  // position = hash >> shift_
  HashKey hash_key_;
  bool in_order_ = true;  // no table yet; see the class comment
  bool keep_first_ = false;
  bool has_repeat_ = false;
  Repeat repeat_;
  std::vector<uint8_t> repeat_key_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_KEY_MAP_H_

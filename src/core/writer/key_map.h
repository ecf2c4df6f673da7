// KeyMap: the writer's map from distinct keys to object IDs.
//
// Keys live back to back in a ChunkedArena, each stored as it will appear in
// the index section (big-endian u16 length, then the bytes), so building
// copies them straight out. The hash table is open-addressing with linear
// probing; each slot holds a 32-bit hash tag and the entry number, so most
// probes that do not match never touch key bytes. Memory per key: the key
// and its 2-byte length, 12 bytes of entry, and 8 bytes per slot.
#ifndef TARNDB_CORE_WRITER_KEY_MAP_H_
#define TARNDB_CORE_WRITER_KEY_MAP_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/common/keyed_hash.h"
#include "core/format/key_order.h"
#include "core/writer/chunked_arena.h"

namespace tarndb {

class KeyMap {
 public:
  KeyMap();

  // The keyed hash of key, computed once per call and passed to Find and
  // Insert.
  uint64_t Hash(KeyView key) const { return SipHash13(hash_key_, key.data, key.size); }

  // Index of key's entry, or -1 when absent.
  int64_t Find(KeyView key, uint64_t hash) const;

  // Add key with obj_id; the caller has checked that key is absent (Find
  // returned -1), that it fits a u16 length and that the count limit allows
  // one more key.
  void Insert(KeyView key, uint64_t hash, uint32_t obj_id);

  // Point an existing entry at another object.
  void SetObject(size_t entry, uint32_t obj_id) { obj_ids_[entry] = obj_id; }

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
  void Grow();

  ChunkedArena arena_;
  std::vector<const uint8_t*> entries_;  // stored keys, in insertion order
  std::vector<uint32_t> obj_ids_;        // parallel to entries_
  std::vector<uint64_t> slots_;          // (hash >> 32 << 32) | (entry + 1); 0 = empty
  uint64_t mask_ = 0;
  unsigned shift_ = 0;                   // position = hash >> shift_
  HashKey hash_key_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_KEY_MAP_H_

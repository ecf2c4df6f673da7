// KeyTable: the reader's in-memory index of a store's keys.
//
// All key bytes are copied once, at open, into one contiguous arena, in
// index-section order. Entry i is 14 packed bytes: where its key starts in
// the arena (48 bits, enough for 2^32 keys of 65,535 bytes) and its object
// offset (64 bits); its key ends where entry i + 1's starts, and a sentinel
// entry closes the last one.
//
// The hash table over the entries is built on the first point lookup, not
// at open: opening stays proportional to copying the index, and readers used
// only for scans never pay for it. It is open-addressing with linear
// probing over 32-bit slots; the low bits of a slot hold entry + 1 and the
// spare high bits a tag from the hash, so most non-matching probes never
// touch the arena. Memory per key: the key bytes, 14 bytes of entry and 4 to
// 8 bytes of slots, with no per-key heap allocation.
#ifndef TARNDB_CORE_READER_KEY_TABLE_H_
#define TARNDB_CORE_READER_KEY_TABLE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

#include "core/common/big_buffer.h"
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

  // Append an entry, within the room reserved.
  void Append(const uint8_t* key, size_t key_len, uint64_t offset) {
    if (key_len) std::memcpy(arena_.data() + arena_used_, key, key_len);
    StoreEntry(count_++, arena_used_, offset);
    arena_used_ += key_len;
  }

  // Close the last entry and give back unused reserved space.
  void Finish();

  size_t size() const { return count_; }
  // Bytes of memory the table holds.
  uint64_t owned_bytes() const {
    return arena_.size() + entries_.size() + (index_->built ? index_->slots.size() * 4 : 0);
  }

  KeyView Key(size_t i) const {
    const uint64_t begin = KeyPos(i);
    return KeyView{arena_.data() + begin, static_cast<size_t>(KeyPos(i + 1) - begin)};
  }
  uint64_t Offset(size_t i) const {
    uint64_t v;
    std::memcpy(&v, entries_.data() + i * kEntrySize + 6, 8);
    return v;
  }

  // Entry number of key, or -1. Where the index holds a key more than once,
  // the last entry is the one found.
  int64_t Find(KeyView key) const;

  // Find for keys[0, n), n at most kMaxBatch, into entries[0, n). The keys
  // are hashed first and their slots, entries and key bytes fetched stage
  // by stage for the whole batch, so that the cache misses of different
  // keys overlap instead of following one another.
  static constexpr size_t kMaxBatch = 32;
  void FindMany(const KeyView* keys, size_t n, int64_t* entries) const;

 private:
  static constexpr size_t kEntrySize = 14;

  struct HashIndex {
    std::atomic<bool> built{false};
    std::mutex building;
    SlotArray<uint32_t> slots;
    uint64_t mask = 0;
    unsigned shift = 0;       // position = hash >> shift
    unsigned entry_bits = 0;  // low bits of a slot holding entry + 1
    HashKey key;
  };

  uint64_t KeyPos(size_t i) const {
    uint64_t v;  // little-endian 48-bit field; the load reads 2 bytes beyond
    std::memcpy(&v, entries_.data() + i * kEntrySize, 8);
    return v & 0xFFFFFFFFFFFFull;
  }
  void StoreEntry(size_t i, uint64_t key_pos, uint64_t offset) {
    uint8_t* p = entries_.data() + i * kEntrySize;
    std::memcpy(p, &key_pos, 6);
    std::memcpy(p + 6, &offset, 8);
  }
  void BuildIndex() const;
  // Entry number of key with the given hash, or -1.
  int64_t Probe(const HashIndex& ix, KeyView key, uint64_t hash) const;
  static uint32_t EntryMask(const HashIndex& ix) {
    return ix.entry_bits >= 32 ? 0xFFFFFFFFu
                               : static_cast<uint32_t>((uint64_t{1} << ix.entry_bits) - 1);
  }
  // The hash index, built by the first caller that needs it.
  const HashIndex& Index() const {
    if (!index_->built.load(std::memory_order_acquire)) BuildIndexOnce();
    return *index_;
  }
  void BuildIndexOnce() const;

  BigBuffer arena_;
  size_t arena_used_ = 0;
  // count_ + 1 entries (the sentinel) and 2 bytes of slack for KeyPos.
  BigBuffer entries_;
  size_t count_ = 0;
  std::unique_ptr<HashIndex> index_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_READER_KEY_TABLE_H_

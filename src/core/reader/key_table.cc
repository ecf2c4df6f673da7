#include "core/reader/key_table.h"

#include <bit>
#include <memory>

namespace tarndb {
KeyTable::KeyTable(size_t max_keys, size_t max_key_bytes)
    : arena_(max_key_bytes),
      entries_((max_keys + 1) * kEntrySize + 2),
      index_(std::make_unique<HashIndex>()) {}
// Both bounds may be far above what the index holds (they come from the
// file's size); untouched pages cost nothing and Finish gives them back.

void KeyTable::Finish() {
  StoreEntry(count_, arena_used_, 0);
  std::memset(entries_.data() + (count_ + 1) * kEntrySize, 0, 2);
  entries_.Shrink((count_ + 1) * kEntrySize + 2);
  arena_.Shrink(arena_used_);
}

void KeyTable::BuildIndex() const {
  HashIndex& ix = *index_;
  const size_t n = count_;
  // At most 3/4 full, as a power of two.
  const size_t capacity = std::bit_ceil(n + n / 3 + 1 < 8 ? size_t{8} : n + n / 3 + 1);
  SlotArray<uint32_t> slots(capacity);  // zero-filled: all empty
  const uint64_t mask = capacity - 1;
  const unsigned shift = 64 - static_cast<unsigned>(std::countr_zero(capacity));
  const unsigned entry_bits = static_cast<unsigned>(std::bit_width(n));
  const uint32_t entry_mask =
      entry_bits >= 32 ? 0xFFFFFFFFu : static_cast<uint32_t>((uint64_t{1} << entry_bits) - 1);
  const HashKey key = HashKey::ForNewTable();

  // Keys are hashed a batch ahead of their insertion and the slots they will
  // land in are prefetched, so the cache misses of a large table overlap
  // instead of following one another.
  constexpr size_t kBatch = 16;
  uint64_t hashes[kBatch];
  for (size_t base = 0; base < n; base += kBatch) {
    const size_t m = n - base < kBatch ? n - base : kBatch;
    for (size_t b = 0; b < m; ++b) {
      const KeyView k = Key(base + b);
      hashes[b] = SipHash13(key, k.data, k.size);
      __builtin_prefetch(&slots[hashes[b] >> shift], 1);
    }
    for (size_t b = 0; b < m; ++b) {
      const size_t e = base + b;
      const uint64_t hash = hashes[b];
      const uint32_t tag = static_cast<uint32_t>(hash) & ~entry_mask;
      const uint32_t slot_value = tag | static_cast<uint32_t>(e + 1);
      for (uint64_t pos = hash >> shift;; pos = (pos + 1) & mask) {
        const uint32_t slot = slots[pos];
        if (slot == 0) {
          slots[pos] = slot_value;
          break;
        }
        // A key the index holds twice: the later entry replaces the earlier.
        if ((slot & ~entry_mask) == tag && KeysEqual(Key((slot & entry_mask) - 1), Key(e))) {
          slots[pos] = slot_value;
          break;
        }
      }
    }
  }
  ix.slots = std::move(slots);
  ix.mask = mask;
  ix.shift = shift;
  ix.entry_bits = entry_bits;
  ix.key = key;
}

void KeyTable::BuildIndexOnce() const {
  // A mutex rather than std::call_once, whose fast path in libstdc++ still
  // sets thread-local state on every call. If building throws (out of
  // memory), the flag stays clear and the next lookup tries again.
  std::lock_guard<std::mutex> lock(index_->building);
  if (!index_->built.load(std::memory_order_relaxed)) {
    BuildIndex();
    index_->built.store(true, std::memory_order_release);
  }
}

int64_t KeyTable::Find(KeyView key) const {
  if (count_ == 0) return -1;
  const HashIndex& ix = Index();
  return Probe(ix, key, SipHash13(ix.key, key.data, key.size));
}

int64_t KeyTable::Probe(const HashIndex& ix, KeyView key, uint64_t hash) const {
  const uint32_t entry_mask = EntryMask(ix);
  const uint32_t tag = static_cast<uint32_t>(hash) & ~entry_mask;
  for (uint64_t pos = hash >> ix.shift;; pos = (pos + 1) & ix.mask) {
    const uint32_t slot = ix.slots[pos];
    if (slot == 0) return -1;
    if ((slot & ~entry_mask) == tag) {
      const size_t e = (slot & entry_mask) - 1;
      if (KeysEqual(Key(e), key)) return static_cast<int64_t>(e);
    }
  }
}

void KeyTable::FindMany(const KeyView* keys, size_t n, int64_t* entries) const {
  if (count_ == 0) {
    for (size_t b = 0; b < n; ++b) entries[b] = -1;
    return;
  }
  const HashIndex& ix = Index();
  const uint32_t entry_mask = EntryMask(ix);
  uint64_t hashes[kMaxBatch];
  // Stage 1: hash, fetch the home slots.
  for (size_t b = 0; b < n; ++b) {
    hashes[b] = SipHash13(ix.key, keys[b].data, keys[b].size);
    __builtin_prefetch(&ix.slots[hashes[b] >> ix.shift]);
  }
  // Stage 2: a home slot whose tag matches names the likely entry; fetch it.
  size_t likely[kMaxBatch];
  for (size_t b = 0; b < n; ++b) {
    const uint32_t slot = ix.slots[hashes[b] >> ix.shift];
    const uint32_t tag = static_cast<uint32_t>(hashes[b]) & ~entry_mask;
    likely[b] = slot != 0 && (slot & ~entry_mask) == tag ? (slot & entry_mask) - 1 : count_;
    if (likely[b] < count_) __builtin_prefetch(entries_.data() + likely[b] * kEntrySize);
  }
  // Stage 3: fetch the likely entries' key bytes.
  for (size_t b = 0; b < n; ++b) {
    if (likely[b] < count_) __builtin_prefetch(arena_.data() + KeyPos(likely[b]));
  }
  // Stage 4: the full probe, now mostly from the cache.
  for (size_t b = 0; b < n; ++b) entries[b] = Probe(ix, keys[b], hashes[b]);
}

}  // namespace tarndb

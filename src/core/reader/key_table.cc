#include "core/reader/key_table.h"

#include <bit>
#include <cstring>
#include <new>

namespace tarndb {
namespace {

inline uint32_t SlotTag(uint64_t hash, unsigned entry_bits) {
  // Take the tag from the hash's top bits; the position uses the low bits.
  return entry_bits >= 32 ? 0u
                          : static_cast<uint32_t>((hash >> 32) << entry_bits) ;
}

}  // namespace

KeyTable::KeyTable(size_t max_keys, size_t max_key_bytes) : hash_key_(HashKey::ForNewTable()) {
  entries_.reserve(max_keys + 1);
  if (max_key_bytes > 0) {
    // malloc leaves the pages untouched, so the part of this bound that the
    // keys do not use costs no resident memory; Finish returns it.
    arena_.reset(static_cast<uint8_t*>(std::malloc(max_key_bytes)));
    if (!arena_) throw std::bad_alloc();
    arena_capacity_ = max_key_bytes;
  }
  // At most 3/4 full, as a power of two.
  const size_t want = max_keys + max_keys / 3 + 1;
  const size_t capacity = std::bit_ceil(want < 8 ? size_t{8} : want);
  slots_.assign(capacity, 0);
  mask_ = capacity - 1;
  entry_bits_ = static_cast<unsigned>(std::bit_width(max_keys + 1));
}

void KeyTable::Append(const uint8_t* key, size_t key_len, uint64_t offset) {
  if (key_len) std::memcpy(arena_.get() + arena_used_, key, key_len);
  const KeyView view{arena_.get() + arena_used_, key_len};
  const size_t entry = entries_.size();
  entries_.push_back(Entry{arena_used_, offset});
  arena_used_ += key_len;

  const uint64_t hash = SipHash13(hash_key_, key, key_len);
  const uint32_t tag = SlotTag(hash, entry_bits_);
  const uint32_t entry_mask =
      entry_bits_ >= 32 ? 0xFFFFFFFFu : static_cast<uint32_t>((uint64_t{1} << entry_bits_) - 1);
  for (uint64_t pos = hash & mask_;; pos = (pos + 1) & mask_) {
    const uint32_t slot = slots_[pos];
    if (slot == 0) {
      slots_[pos] = tag | static_cast<uint32_t>(entry + 1);
      return;
    }
    if ((slot & ~entry_mask) == tag) {
      // A duplicated key: the later entry wins. The earlier entry's key is
      // closed by this one's start, so compare against its arena bytes.
      const size_t other = (slot & entry_mask) - 1;
      const uint64_t other_pos = entries_[other].key_pos;
      const uint64_t other_end = entries_[other + 1].key_pos;
      if (KeysEqual(KeyView{arena_.get() + other_pos, static_cast<size_t>(other_end - other_pos)},
                    view)) {
        slots_[pos] = tag | static_cast<uint32_t>(entry + 1);
        return;
      }
    }
  }
}

void KeyTable::Finish() {
  entries_.push_back(Entry{arena_used_, 0});
  if (arena_used_ < arena_capacity_ && arena_) {
    if (arena_used_ == 0) {
      arena_.reset();
    } else if (void* p = std::realloc(arena_.get(), arena_used_)) {
      (void)arena_.release();
      arena_.reset(static_cast<uint8_t*>(p));
    }
    arena_capacity_ = arena_used_;
  }
}

int64_t KeyTable::Find(KeyView key) const {
  if (size() == 0) return -1;
  const uint64_t hash = SipHash13(hash_key_, key.data, key.size);
  const uint32_t tag = SlotTag(hash, entry_bits_);
  const uint32_t entry_mask =
      entry_bits_ >= 32 ? 0xFFFFFFFFu : static_cast<uint32_t>((uint64_t{1} << entry_bits_) - 1);
  for (uint64_t pos = hash & mask_;; pos = (pos + 1) & mask_) {
    const uint32_t slot = slots_[pos];
    if (slot == 0) return -1;
    if ((slot & ~entry_mask) == tag) {
      const size_t e = (slot & entry_mask) - 1;
      if (KeysEqual(Key(e), key)) return static_cast<int64_t>(e);
    }
  }
}

}  // namespace tarndb


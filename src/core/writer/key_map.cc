#include "core/writer/key_map.h"

#include <bit>
#include <cstring>
#include <utility>

#include "core/common/grow.h"
#include "core/format/coding.h"

namespace tarndb {
namespace {

constexpr size_t kInitialSlots = 16;

// Puts applied per batch: enough misses in flight to overlap well, few
// enough that the prefetched slots are still cached when they are probed.
constexpr size_t kBatch = 64;

// Slot layout: the high 32 bits of the key's hash (the tag), then entry + 1.
inline uint64_t MakeSlot(uint64_t hash, size_t entry) {
  return (hash & 0xFFFFFFFF00000000ull) | (static_cast<uint64_t>(entry) + 1);
}
inline size_t SlotEntry(uint64_t slot) { return static_cast<size_t>(slot & 0xFFFFFFFFu) - 1; }
inline bool TagMatches(uint64_t slot, uint64_t hash) { return ((slot ^ hash) >> 32) == 0; }

}  // namespace

KeyMap::KeyMap()
    : slots_(kInitialSlots),
      mask_(kInitialSlots - 1),
      shift_(64 - static_cast<unsigned>(std::countr_zero(kInitialSlots))),
      hash_key_(HashKey::ForNewTable()) {}

KeyView KeyMap::Key(size_t i) const {
  const uint8_t* p = entries_[i];
  return KeyView{p + 2, LoadBE16(p)};
}

int64_t KeyMap::Find(KeyView key, uint64_t h) const {
  if (in_order_) {
    size_t lo = 0, hi = entries_.size();  // binary search for key
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      const int c = CompareKeys(Key(mid), key);
      if (c == 0) return static_cast<int64_t>(mid);
      if (c < 0) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return -1;
  }
  for (uint64_t pos = h >> shift_;; pos = (pos + 1) & mask_) {
    const uint64_t slot = slots_[pos];
    if (slot == 0) return -1;
    if (TagMatches(slot, h) && KeysEqual(Key(SlotEntry(slot)), key)) {
      return static_cast<int64_t>(SlotEntry(slot));
    }
  }
}

void KeyMap::Insert(KeyView key, uint64_t h, uint32_t obj_id) {
  // Every allocation comes before the first change, so a failed one leaves
  // the map as it was. Keep the load at or below 3/4 so misses stay short
  // under linear probing.
  if ((entries_.size() + 1) * 4 > slots_.size() * 3) Grow();
  const size_t entry = entries_.size();
  Append(key, obj_id);
  uint64_t pos = h >> shift_;
  while (slots_[pos] != 0) pos = (pos + 1) & mask_;
  slots_[pos] = MakeSlot(h, entry);
}

void KeyMap::Append(KeyView key, uint32_t obj_id) {
  ReserveOneMore(entries_);
  ReserveOneMore(obj_ids_);
  uint8_t* stored = arena_.AllocateContiguous(2 + key.size);
  StoreBE16(stored, static_cast<uint16_t>(key.size));
  if (key.size) std::memcpy(stored + 2, key.data, key.size);
  entries_.push_back(stored);
  obj_ids_.push_back(obj_id);
}

void KeyMap::LeaveOrder() {
  // Size the table for what is there plus room, then fill it; nothing
  // changes until the allocation has succeeded.
  size_t capacity = slots_.size();
  while ((entries_.size() + 1) * 4 > capacity * 3) capacity *= 2;
  SlotArray<uint64_t> slots(capacity);
  const uint64_t mask = capacity - 1;
  const unsigned shift = 64 - static_cast<unsigned>(std::countr_zero(capacity));
  for (size_t e = 0; e < entries_.size(); ++e) {
    const uint64_t h = Hash(Key(e));
    uint64_t pos = h >> shift;
    while (slots[pos] != 0) pos = (pos + 1) & mask;
    slots[pos] = MakeSlot(h, e);
  }
  slots_ = std::move(slots);
  mask_ = mask;
  shift_ = shift;
  in_order_ = false;
}

void KeyMap::Put(KeyView key, uint32_t obj_id) {
  if (in_order_) {
    const int c = entries_.empty() ? 1 : CompareKeys(key, Key(entries_.size() - 1));
    if (c > 0) return Append(key, obj_id);
    if (c == 0) return Repoint(entries_.size() - 1, obj_id);  // the last put wins
    LeaveOrder();
  }
  if (queue_.size() == kBatch) Flush();  // before queuing: a failure leaves this put out
  ReserveOneMore(queue_);
  const size_t pos = queue_bytes_.size();
  queue_bytes_.insert(queue_bytes_.end(), key.data, key.data + key.size);
  queue_.push_back(Queued{pos, static_cast<uint32_t>(key.size), obj_id});
}

void KeyMap::Flush() {
  const size_t n = queue_.size();
  uint64_t hashes[kBatch];
  for (size_t i = 0; i < n; ++i) {
    const Queued& q = queue_[i];
    hashes[i] = Hash(KeyView{queue_bytes_.data() + q.pos, q.size});
    __builtin_prefetch(&slots_[hashes[i] >> shift_]);
  }
  size_t done = 0;
  try {
    for (; done < n; ++done) {
      const Queued& q = queue_[done];
      const KeyView key{queue_bytes_.data() + q.pos, q.size};
      const int64_t entry = Find(key, hashes[done]);
      if (entry >= 0) {
        Repoint(static_cast<size_t>(entry), q.obj_id);
      } else {
        Insert(key, hashes[done], q.obj_id);
      }
    }
  } catch (...) {
    // Keep the puts not yet applied, in order, for the next Flush.
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<ptrdiff_t>(done));
    throw;
  }
  queue_.clear();
  queue_bytes_.clear();
  // A batch of very long keys may have grown the byte queue to megabytes;
  // do not keep that for the writer's lifetime.
  if (queue_bytes_.capacity() > (size_t{1} << 20)) queue_bytes_.shrink_to_fit();
}

void KeyMap::Repoint(size_t entry, uint32_t obj_id) {
  if (!keep_first_) {
    obj_ids_[entry] = obj_id;
    return;
  }
  if (has_repeat_ && repeat_.repeat_id <= obj_id) return;
  const KeyView key = Key(entry);
  repeat_key_.assign(key.data, key.data + key.size);
  repeat_ = Repeat{obj_ids_[entry], obj_id};
  has_repeat_ = true;
}

uint64_t KeyMap::memory_bytes() const {
  return arena_.size() + 2 * entries_.size() + entries_.capacity() * sizeof(entries_[0]) +
         obj_ids_.capacity() * sizeof(obj_ids_[0]) + slots_.size() * sizeof(uint64_t) +
         queue_bytes_.capacity() + queue_.capacity() * sizeof(Queued);
}

uint64_t KeyMap::growth_bytes() const {
  // The entry vectors double, and the slot table doubles or (leaving the
  // in-order mode) is made for all entries; each while the old one lives.
  const uint64_t vectors = 2 * (entries_.capacity() + 8) * (sizeof(entries_[0]) + sizeof(uint32_t));
  const uint64_t table = 2 * (slots_.size() + entries_.size() * 2) * sizeof(uint64_t);
  return vectors + table;
}

void KeyMap::Grow() {
  SlotArray<uint64_t> old(slots_.size() * 2);
  std::swap(old, slots_);
  mask_ = slots_.size() - 1;
  --shift_;
  // While the table has at most 2^32 slots, its positions come from the 32
  // hash bits each slot keeps; beyond that the keys are hashed again.
  const bool from_tags = shift_ >= 32;
  for (const uint64_t slot : old) {
    if (slot == 0) continue;
    const uint64_t h = from_tags ? slot : Hash(Key(SlotEntry(slot)));
    uint64_t pos = h >> shift_;
    while (slots_[pos] != 0) pos = (pos + 1) & mask_;
    slots_[pos] = slot;
  }
}

}  // namespace tarndb

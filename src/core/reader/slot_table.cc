#include "core/reader/slot_table.h"

#include <cstring>

namespace tarndb {
namespace {

// Slots past the last home that an owned table starts with; runs that pass
// the last home are short (a few slots at a load of 0.8), so this rarely
// needs to grow.
constexpr uint64_t kInitialTail = 1024;

}  // namespace

SlotTable SlotTable::Mapped(const HashIndexHeader& header, const uint8_t* slots) {
  SlotTable t;
  t.codec_ = header.codec;
  t.capacity_ = header.capacity;
  t.slot_count_ = header.slot_count;
  t.run_limit_ = header.RunLimit();
  t.seed_ = header.seed;
  t.mapped_ = slots;
  return t;
}

SlotTable SlotTable::Owned(uint64_t entries, uint64_t index_size, uint64_t data_end) {
  SlotTable t;
  t.codec_ = SlotCodec::For(index_size, data_end, /*wide_allowed=*/false);
  t.capacity_ = HashCapacityFor(entries);
  t.slot_count_ = t.capacity_ + kInitialTail;
  t.seed_ = HashKey::ForNewTable();
  t.owned_ = BigBuffer(t.slot_count_ * sizeof(uint64_t), BigBuffer::kZeroed, BigBuffer::kHugePages);
  return t;
}

std::optional<Hit> SlotTable::Find(const IndexSpan& ix, KeyView key, uint64_t h, bool* contradicted,
                                   bool* collided, bool fetch_record) const {
  const uint64_t tag = codec_.tag_of(h);
  const uint64_t home = Home(h);
  // Past the limit, the slot after a run of its length must be empty.
  const uint64_t stop = slot_count_ - home > run_limit_ ? home + run_limit_ + 1 : slot_count_;
  for (uint64_t i = home; i < slot_count_; ++i) {
    if (i == stop) {  // a run longer than any the table has: it lies
      *contradicted = true;
      return std::nullopt;
    }
    const uint64_t word = Word(i);
    if (word == 0) return std::nullopt;
    if (codec_.TagOf(word) != tag) continue;
    const uint64_t pos = codec_.PosOf(word) - 1;
    const std::optional<uint64_t> slot_offset = SlotOffset(i, word);
    if (fetch_record && slot_offset && *slot_offset < ix.file_size) {
      // The record's head and the start of its payload, fetched while the
      // entry is read to confirm the key.
      __builtin_prefetch(ix.file + *slot_offset);
      __builtin_prefetch(ix.file + (*slot_offset + 64 < ix.file_size ? *slot_offset + 64 : 0));
    }
    IndexEntry e;
    if (!ix.Decode(pos, &e)) {
      *contradicted = true;
      return std::nullopt;
    }
    if (!KeysEqual(e.key, key)) {
      *collided = true;
      continue;
    }
    if (slot_offset && *slot_offset != e.offset) {
      *contradicted = true;
      return std::nullopt;
    }
    return Hit{pos, e.offset};
  }
  return std::nullopt;
}

void SlotTable::GrowTail() {
  const uint64_t count = slot_count_ + (slot_count_ - capacity_) + kInitialTail;
  BigBuffer bigger(count * sizeof(uint64_t), BigBuffer::kZeroed, BigBuffer::kHugePages);
  std::memcpy(bigger.data(), owned_.data(), slot_count_ * sizeof(uint64_t));
  owned_ = std::move(bigger);
  slot_count_ = count;
}

void SlotTable::Insert(uint64_t h, uint64_t word) {
  auto* slots = reinterpret_cast<uint64_t*>(owned_.data());
  uint64_t i = Home(h);
  while (i < slot_count_ && slots[i] != 0) ++i;
  if (i == slot_count_) {
    GrowTail();
    slots = reinterpret_cast<uint64_t*>(owned_.data());
  }
  slots[i] = word;
}

void SlotTable::Replace(uint64_t h, uint64_t old_pos, uint64_t pos, uint64_t record_offset) {
  auto* slots = reinterpret_cast<uint64_t*>(owned_.data());
  for (uint64_t i = Home(h); i < slot_count_ && slots[i] != 0; ++i) {
    if (codec_.PosOf(slots[i]) == old_pos + 1) {
      slots[i] = codec_.Word(h, pos, record_offset);
      return;
    }
  }
}

}  // namespace tarndb

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

namespace {

// Slots and entries of a table and an index at hand in memory.
struct HeldAccess {
  const SlotTable& table;
  const IndexSpan& ix;
  bool fetch_record;

  bool Slot(uint64_t i, uint64_t* word) const {
    *word = table.Word(i);
    return true;
  }
  std::optional<uint64_t> SlotOffset(uint64_t i, uint64_t word) const {
    return table.SlotOffset(i, word);
  }
  void Candidate(std::optional<uint64_t> slot_offset) const {
    if (fetch_record && slot_offset && *slot_offset < ix.file_size) {
      // The record's head and the start of its payload, fetched while the
      // entry is read to confirm the key.
      __builtin_prefetch(ix.file + *slot_offset);
      __builtin_prefetch(ix.file + (*slot_offset + 64 < ix.file_size ? *slot_offset + 64 : 0));
    }
  }
  EntryRead Entry(uint64_t pos, KeyView, IndexEntry* e) const {
    return ix.Decode(pos, e) ? EntryRead::kInside : EntryRead::kOutside;
  }
};

}  // namespace

std::optional<Hit> SlotTable::Find(const IndexSpan& ix, KeyView key, uint64_t h, bool* contradicted,
                                   bool* collided, bool fetch_record) const {
  HeldAccess access{*this, ix, fetch_record};
  Hit hit;
  switch (ProbeSlots(SlotRun{codec_, slot_count_, run_limit_}, Home(h), h, key, access, &hit,
                     collided)) {
    case ProbeEnd::kFound:
      return hit;
    case ProbeEnd::kContradicted:
      *contradicted = true;
      return std::nullopt;
    default:
      return std::nullopt;
  }
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

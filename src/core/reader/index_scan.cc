#include "core/reader/index_scan.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <vector>

#include "core/common/big_buffer.h"
#include "core/common/posix.h"

namespace tarndb {
namespace {

// Slots staged for an owned table, partitioned by the top bits of their
// hash as the scan finds them. Each partition's slots live in one range of
// the table, a range that fits in cache, and partitions are placed in the
// table's order, so that filling a table far larger than the cache costs a
// pass over it rather than a cache and TLB miss per key. Within a
// partition, slots keep the index's order.
class StagedSlots {
 public:
  explicit StagedSlots(uint64_t entries) {
    // Partitions of about 8,192 slots (with their probe runs, 80 KiB of
    // table), but at most 1,024: the scan appends to every partition at
    // once, and past about a thousand streams their pages no longer fit the
    // TLB.
    const uint64_t want = std::bit_ceil(std::max<uint64_t>(entries / 8192, 1));
    partitions_ = std::min<uint64_t>(want, kMaxPartitions);
    shift_ = 64 - std::countr_zero(partitions_);
    // Room for a partition a few standard deviations above its mean; the
    // rare slot beyond goes to the overflow list.
    const uint64_t mean = entries / partitions_ + 1;
    room_ = mean + 8 * static_cast<uint64_t>(std::sqrt(static_cast<double>(mean))) + 64;
    // Written in order within each partition and freed when the open
    // returns: huge pages would only make the kernel compact memory first.
    slots_ = BigBuffer(partitions_ * room_ * sizeof(Slot), BigBuffer::kUninitialised,
                       BigBuffer::kNormalPages);
    fill_.assign(partitions_, 0);
  }

  void Add(uint64_t hash, uint64_t word) {
    const uint64_t k = partitions_ == 1 ? 0 : hash >> shift_;
    if (fill_[k] == room_) {
      overflow_.push_back({hash, word});
    } else {
      slots()[k * room_ + fill_[k]++] = {hash, word};
    }
  }

  template <typename F>
  void ForEach(F&& f) const {
    for (uint64_t k = 0; k < partitions_; ++k) {
      const Slot* first = slots() + k * room_;
      for (uint64_t j = 0; j < fill_[k]; ++j) f(first[j].hash, first[j].word);
    }
    for (const Slot& s : overflow_) f(s.hash, s.word);
  }

 private:
  static constexpr uint64_t kMaxPartitions = 1024;
  struct Slot {
    uint64_t hash, word;
  };
  Slot* slots() const { return reinterpret_cast<Slot*>(slots_.data()); }

  unsigned shift_ = 64;
  uint64_t partitions_ = 1;
  uint64_t room_ = 0;
  BigBuffer slots_;
  std::vector<uint64_t> fill_;
  std::vector<Slot> overflow_;
};

// An entry whose key equals the one before it: it takes over the slot of
// the entry at prev_pos.
struct Repeat {
  uint64_t hash, prev_pos, pos, offset;
};

}  // namespace

Error EntryFitError(EntryFit fit) {
  return Error::Corrupt(fit == EntryFit::kNoKeyLength ? "index section truncated (key_len)"
                                                      : "index section truncated (key + offset)");
}

Result<IndexScan> ScanIndex(const uint8_t* file, uint64_t size, uint64_t index_offset,
                            uint32_t num_keys, uint64_t watched) {
  IndexScan scan;
  // Every entry takes at least 10 bytes: the section's length bounds how
  // many can be real, whatever num_keys claims, so a lying header cannot
  // make the table huge.
  const uint64_t section = index_offset <= size ? size - index_offset : 0;
  const uint64_t max_entries = std::min<uint64_t>(num_keys, section / kEntryOverhead);
  scan.table = SlotTable::Owned(max_entries, section, index_offset);
  scan.samples.Reserve(max_entries);
  const SlotCodec& codec = scan.table.codec();

  StagedSlots staged(max_entries);
  std::vector<Repeat> repeats;
  KeyView prev;
  uint64_t prev_pos = 0;
  uint64_t p = index_offset;
  for (uint32_t i = 0; i < num_keys; ++i) {
    // A long pass hears signal handlers (Ctrl-C) every 65,536 entries.
    if ((i & 0xFFFF) == 0xFFFF) {
      if (Status s = StopIfInterrupted(""); !s.ok()) return std::move(s.error());
    }
    IndexEntry e;
    const EntryFit fit = DecodeIndexEntry(file, size, p, &e);
    if (fit != EntryFit::kInside) return EntryFitError(fit);
    const int order = i == 0 ? -1 : CompareKeys(prev, e.key);
    if (order > 0) scan.in_order = false;
    if (order == 0) scan.unique = false;
    if (e.offset == watched) scan.names_watched = true;
    const uint64_t pos = p - index_offset;
    if (scan.in_order) {
      if ((i & ((uint32_t{1} << EntrySamples::kShift) - 1)) == 0) scan.samples.Append(pos);
      const uint64_t h = scan.table.Hash(e.key);
      if (order == 0) {
        repeats.push_back({h, prev_pos, pos, e.offset});
      } else {
        staged.Add(h, codec.Word(h, pos, e.offset));
      }
    }
    prev = e.key;
    prev_pos = pos;
    p += e.encoded_size();
  }
  scan.end = p;
  if (!scan.in_order) {  // the keys will be copied instead
    scan.table = SlotTable();
    scan.samples.Clear();
    return scan;
  }
  staged.ForEach([&scan](uint64_t h, uint64_t word) { scan.table.Insert(h, word); });
  // A key the index holds twice: the later entry wins. Repeats are taken in
  // the index's order, so a run of equal keys ends at its last entry.
  for (const Repeat& r : repeats) scan.table.Replace(r.hash, r.prev_pos, r.pos, r.offset);
  return scan;
}

}  // namespace tarndb

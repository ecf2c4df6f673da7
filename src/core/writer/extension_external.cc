#include "core/writer/extension_external.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/format/coding.h"
#include "core/format/crc32.h"
#include "core/format/extension.h"
#include "core/format/hash_index.h"
#include "core/format/layout.h"
#include "core/writer/extension_builder.h"
#include "core/writer/external_sort.h"

namespace tarndb {
namespace {

// One key's slot, to be placed at the first free slot from its home.
struct Item {
  uint64_t home;
  uint64_t word;    // the slot's first word
  uint64_t offset;  // its second word, in 16-byte slots
};

// Items as records of the external sorter, in order of home, then of
// index position.
struct ItemFormat {
  static constexpr size_t kHead = sizeof(Item);
  static constexpr size_t kMaxRecord = sizeof(Item);
  SlotCodec codec;

  static Item Read(const uint8_t* r) {
    Item it;
    std::memcpy(&it, r, sizeof it);
    return it;
  }
  bool Less(const Item& a, const Item& b) const {
    return a.home != b.home ? a.home < b.home : codec.PosOf(a.word) < codec.PosOf(b.word);
  }
  size_t SizeAt(const uint8_t*) const { return sizeof(Item); }
  bool Less(const uint8_t* a, const uint8_t* b) const { return Less(Read(a), Read(b)); }
};

using ItemSorter = ExternalSorter<ItemFormat>;

constexpr size_t kReadBuffer = size_t{256} << 10;

// Pass 1: an item per entry of the index section, sorted into runs of what
// the budget holds, or left in *items, sorted, when they all fit; the
// entries' sample positions on the way.
Status SortItems(const ExternalExtensionInput& in, const HashIndexHeader& header,
                 ItemSorter* sorter, std::vector<Item>* held, std::vector<uint64_t>* samples) {
  const ItemFormat format{header.codec};
  std::vector<Item>& items = *held;
  const auto sort = [&]() {
    std::sort(items.begin(), items.end(),
              [&format](const Item& a, const Item& b) { return format.Less(a, b); });
  };
  samples->reserve(static_cast<size_t>(SamplesHeader::CountFor(in.num_entries)));
  const size_t sample_bytes = samples->capacity() * sizeof(uint64_t);
  const size_t room = in.memory > sample_bytes + 2 * kReadBuffer
                          ? in.memory - sample_bytes - 2 * kReadBuffer
                          : size_t{1} << 20;
  items.reserve(std::max<size_t>(1024, std::min<uint64_t>(room / sizeof(Item), in.num_entries)));
  const auto spill = [&]() -> Status {
    sort();
    Result<ItemSorter::RunWriter> run = sorter->NewRun(kMinRunBuffer);
    if (!run.ok()) return std::move(run.error());
    for (const Item& item : items) {
      Status s = run.value().Append(reinterpret_cast<const uint8_t*>(&item), sizeof item);
      if (!s.ok()) return s;
    }
    items.clear();
    return run.value().Finish();
  };
  SpillReader index(in.index, in.index_begin, in.index_size, kReadBuffer);
  uint64_t pos = 0;
  for (uint64_t i = 0; i < in.num_entries; ++i) {
    if (Status s = index.Need(kMaxKeyLength + kEntryOverhead); !s.ok()) return s;
    IndexEntry e;
    if (DecodeIndexEntry(index.at(), index.avail(), 0, &e) != EntryFit::kInside) {
      return in.index->Fail("read", EIO);
    }
    if ((i & ((uint64_t{1} << kSampleShift) - 1)) == 0) samples->push_back(pos);
    const uint64_t h = KeyHash(in.seed, e.key);
    if (items.size() == items.capacity()) {
      if (Status s = spill(); !s.ok()) return s;
    }
    items.push_back(
        Item{HomeSlot(h, header.capacity), header.codec.Word(h, pos, e.offset), e.offset});
    index.Skip(e.encoded_size());
    pos += e.encoded_size();
  }
  if (sorter->empty()) {
    sort();
    return OkStatus();
  }
  if (Status s = items.empty() ? OkStatus() : spill(); !s.ok()) return s;
  items = std::vector<Item>();  // the merge's buffers take the memory now
  return OkStatus();
}

// Pass 2: place the items in home order (those held, or the sorter's), each
// at the first free slot from its home, and append the slots to body; sets
// the header's slot count and longest run.
Status PlaceItems(HashIndexHeader* header, size_t memory, const std::vector<Item>& held,
                  ItemSorter* sorter, Appender* body) {
  const SlotCodec codec = header->codec;
  uint64_t next_free = 0;  // first slot not yet written
  uint64_t run = 0, longest = 0;
  static const uint8_t kZeros[4096] = {};
  const auto write_zeros = [&](uint64_t slots) -> Status {
    for (uint64_t bytes = slots * codec.width; bytes > 0;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(bytes, sizeof kZeros));
      if (Status s = body->Append(kZeros, n); !s.ok()) return s;
      bytes -= n;
    }
    return OkStatus();
  };
  const auto place = [&](const Item& item) -> Status {
    const uint64_t at = std::max(item.home, next_free);
    run = at == next_free && next_free > 0 ? run + 1 : 1;
    longest = std::max(longest, run);
    if (Status z = write_zeros(at - next_free); !z.ok()) return z;
    uint8_t slot[16];
    EncodeSlot(codec, item.word, item.offset, slot);
    next_free = at + 1;
    return body->Append(slot, codec.width);
  };
  Status s = sorter->Merge(
      memory, [&place](const uint8_t* r, size_t) { return place(ItemFormat::Read(r)); });
  for (size_t i = 0; i < held.size() && s.ok(); ++i) s = place(held[i]);
  if (!s.ok()) return s;
  const uint64_t min_slots = MinSlotCount(header->capacity);
  if (next_free < min_slots) {
    if (Status z = write_zeros(min_slots - next_free); !z.ok()) return z;
    next_free = min_slots;
  }
  header->slot_count = next_free;
  header->max_run = static_cast<uint32_t>(std::min<uint64_t>(longest, UINT32_MAX));
  return OkStatus();
}

}  // namespace

Result<WrittenRecord> WriteSectionsRecord(const std::vector<SectionBytes>* sections,
                                          const SpillFile& out, uint64_t out_pos, size_t buffer) {
  const ExtensionBuilder ext(sections);
  if (ext.payload_size() > kMaxObjectLength) {
    return Error::Other("extension sections too large for one object");
  }
  Appender block(&out, out_pos, buffer);
  Status s = ext.EmitRecord([&block](const uint8_t* p, size_t n) { return block.Append(p, n); });
  if (s.ok()) s = block.Flush();
  if (!s.ok()) return std::move(s.error());
  return WrittenRecord{block.appended(), block.crc()};
}

Result<WrittenRecord> WriteHashRecord(HashIndexHeader header, const std::vector<uint64_t>& samples,
                                      const std::vector<SectionBytes>* sections, size_t memory,
                                      const PlaceSlots& place, const SpillFile& out,
                                      uint64_t out_pos) {
  // The head and the HIDX header go in front once the slot count is known.
  // The slots' write buffer and the samples, both held while the slots are
  // placed, come out of the placing's share of the budget.
  const uint64_t payload_pos = out_pos + kRecordHeadSize;
  const size_t body_buffer = std::clamp<size_t>(memory / 16, kMinRunBuffer, size_t{1} << 20);
  Appender body(&out, payload_pos + kHashIndexHeaderSize, body_buffer);
  const size_t taken = body_buffer + samples.capacity() * sizeof(uint64_t);
  const size_t place_memory =
      memory > taken + 2 * kMinRunBuffer ? memory - taken : 2 * kMinRunBuffer;
  if (Status s = place(&header, place_memory, &body); !s.ok()) return std::move(s.error());

  const ExtensionLayout layout{true, kHashIndexHeaderSize + header.slot_count * header.codec.width,
                               samples.size(), sections, header};
  if (layout.payload_size() > kMaxObjectLength) {
    return Error::Other("too many keys for a hash index in one object");
  }
  Status s = EmitAfterSlots(layout, samples,
                            [&body](const uint8_t* p, size_t n) { return body.Append(p, n); });
  if (s.ok()) s = body.Flush();
  if (!s.ok()) return std::move(s.error());

  uint8_t front[kRecordHeadSize + kHashIndexHeaderSize];
  header.EncodeTo(front + kRecordHeadSize);
  const uint64_t rest = body.appended();
  const uint32_t payload_crc =
      crc32::Combine(crc32::Value(front + kRecordHeadSize, kHashIndexHeaderSize), body.crc(), rest);
  RecordHead{static_cast<uint32_t>(layout.payload_size()), payload_crc}.EncodeTo(front);
  if (Status w = out.WriteAt(front, sizeof front, out_pos); !w.ok()) return std::move(w.error());
  return WrittenRecord{kRecordHeadSize + layout.payload_size(),
                       crc32::Combine(crc32::Value(front, sizeof front), body.crc(), rest)};
}

Result<WrittenRecord> WriteExtensionExternally(const ExternalExtensionInput& in,
                                               const SpillFile& out, uint64_t out_pos) {
  HashIndexHeader header;
  header.codec = SlotCodec::For(in.index_size, in.data_end, /*wide_allowed=*/true);
  header.capacity = HashCapacityFor(in.num_entries);
  header.num_entries = in.num_entries;
  header.seed = in.seed;
  header.index_size = in.index_size;

  ItemSorter sorter(in.spill_dir, ItemFormat{header.codec});
  std::vector<Item> held;
  std::vector<uint64_t> samples;
  if (Status s = SortItems(in, header, &sorter, &held, &samples); !s.ok()) {
    return std::move(s.error());
  }
  return WriteHashRecord(
      header, samples, in.sections, in.memory,
      [&](HashIndexHeader* h, size_t memory, Appender* body) {
        return PlaceItems(h, memory, held, &sorter, body);
      },
      out, out_pos);
}

}  // namespace tarndb

#include "core/writer/extension_external.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <queue>
#include <vector>

#include "core/format/coding.h"
#include "core/format/crc32.h"
#include "core/format/extension.h"
#include "core/format/hash_index.h"
#include "core/format/layout.h"

namespace tarndb {
namespace {

struct Item {
  uint64_t home;
  uint64_t word;    // the slot's first word
  uint64_t offset;  // its second word, in 16-byte slots
};

constexpr size_t kReadBuffer = size_t{256} << 10;

}  // namespace

Result<WrittenRecord> WriteExtensionExternally(const ExternalExtensionInput& in,
                                               const SpillFile& out, uint64_t out_pos) {
  HashIndexHeader header;
  header.codec = SlotCodec::For(in.index_size, in.data_end, /*wide_allowed=*/true);
  header.capacity = HashCapacityFor(in.num_entries);
  header.num_entries = in.num_entries;
  header.seed = in.seed;
  header.index_size = in.index_size;
  const SlotCodec codec = header.codec;
  const bool wide = codec.width == 16;

  // Pass 1: items from the index section, sorted by (home, position) in
  // runs of what the budget holds.
  std::vector<uint64_t> samples;
  samples.reserve(static_cast<size_t>((in.num_entries >> kSampleShift) + 1));
  const size_t sample_bytes = samples.capacity() * sizeof(uint64_t);
  const size_t room = in.memory > sample_bytes + 2 * kReadBuffer
                          ? in.memory - sample_bytes - 2 * kReadBuffer
                          : size_t{1} << 20;
  std::vector<Item> items;
  items.reserve(std::max<size_t>(1024, std::min<uint64_t>(room / sizeof(Item), in.num_entries)));
  const auto by_home = [&codec](const Item& a, const Item& b) {
    return a.home != b.home ? a.home < b.home : codec.PosOf(a.word) < codec.PosOf(b.word);
  };
  SpillFile runs_file;
  std::vector<std::pair<uint64_t, uint64_t>> runs;  // (begin, count) in runs_file
  uint64_t runs_end = 0;
  const auto spill_items = [&]() -> Status {
    std::sort(items.begin(), items.end(), by_home);
    if (!runs_file.valid()) {
      Result<SpillFile> made = SpillFile::Create(in.spill_dir, "spill file");
      if (!made.ok()) return std::move(made.error());
      runs_file = std::move(made.value());
    }
    const uint64_t bytes = items.size() * sizeof(Item);
    if (Status s =
            runs_file.WriteAt(reinterpret_cast<const uint8_t*>(items.data()), bytes, runs_end);
        !s.ok()) {
      return s;
    }
    runs.emplace_back(runs_end, items.size());
    runs_end += bytes;
    items.clear();
    return OkStatus();
  };

  SpillReader index(in.index, in.index_begin, in.index_size, kReadBuffer);
  uint64_t pos = 0;
  for (uint64_t i = 0; i < in.num_entries; ++i) {
    if (Status s = index.Need(kMaxKeyLength + kEntryOverhead); !s.ok()) return std::move(s.error());
    if (index.avail() < 2) return in.index->Fail("read", EIO);
    const size_t key_len = LoadBE16(index.at());
    if (index.avail() < kEntryOverhead + key_len) return in.index->Fail("read", EIO);
    const KeyView key{index.at() + 2, key_len};
    const uint64_t record_offset = LoadBE64(index.at() + 2 + key_len);
    if ((i & ((uint64_t{1} << kSampleShift) - 1)) == 0) samples.push_back(pos);
    const uint64_t h = KeyHash(in.seed, key);
    if (items.size() == items.capacity()) {
      if (Status s = spill_items(); !s.ok()) return std::move(s.error());
    }
    items.push_back(
        Item{HomeSlot(h, header.capacity), codec.Word(h, pos, record_offset), record_offset});
    index.Skip(kEntryOverhead + key_len);
    pos += kEntryOverhead + key_len;
  }
  const bool in_memory = runs.empty();
  if (in_memory) {
    std::sort(items.begin(), items.end(), by_home);
  } else if (!items.empty()) {
    if (Status s = spill_items(); !s.ok()) return std::move(s.error());
    items = std::vector<Item>();
  }

  // Pass 2: place the items in home order and write the slots.
  const uint64_t payload_pos = out_pos + kRecordHeadSize;
  Appender body(&out, payload_pos + kHashIndexHeaderSize, size_t{1} << 20);
  uint64_t next_free = 0;  // first slot not yet written
  static const uint8_t kZeros[4096] = {};
  const auto write_zeros = [&](uint64_t slots) -> Status {
    uint64_t bytes = slots * codec.width;
    while (bytes > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(bytes, sizeof kZeros));
      if (Status s = body.Append(kZeros, n); !s.ok()) return s;
      bytes -= n;
    }
    return OkStatus();
  };
  const auto place = [&](const Item& item) -> Status {
    const uint64_t at = std::max(item.home, next_free);
    if (Status s = write_zeros(at - next_free); !s.ok()) return s;
    uint8_t slot[16];
    StoreBE64(slot, item.word);
    if (wide) StoreBE64(slot + 8, item.offset);
    next_free = at + 1;
    return body.Append(slot, codec.width);
  };
  if (in_memory) {
    for (const Item& item : items) {
      if (Status s = place(item); !s.ok()) return std::move(s.error());
    }
  } else {
    const size_t buffer =
        std::clamp<size_t>(in.memory / (runs.size() + 1), size_t{64} << 10, size_t{4} << 20);
    std::vector<SpillReader> readers;
    readers.reserve(runs.size());
    for (const auto& [begin, count] : runs) {
      readers.emplace_back(&runs_file, begin, count * sizeof(Item), buffer);
    }
    const auto item_of = [&readers](size_t r) {
      Item it;
      std::memcpy(&it, readers[r].at(), sizeof it);
      return it;
    };
    std::vector<Item> heads(readers.size());
    const auto later = [&heads, &by_home](size_t a, size_t b) {
      if (by_home(heads[a], heads[b])) return false;
      if (by_home(heads[b], heads[a])) return true;
      return a > b;
    };
    std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heap(later);
    for (size_t r = 0; r < readers.size(); ++r) {
      if (Status s = readers[r].Need(sizeof(Item)); !s.ok()) return std::move(s.error());
      if (readers[r].avail() >= sizeof(Item)) {
        heads[r] = item_of(r);
        heap.push(r);
      }
    }
    while (!heap.empty()) {
      const size_t r = heap.top();
      heap.pop();
      if (Status s = place(heads[r]); !s.ok()) return std::move(s.error());
      readers[r].Skip(sizeof(Item));
      if (Status s = readers[r].Need(sizeof(Item)); !s.ok()) return std::move(s.error());
      if (readers[r].avail() >= sizeof(Item)) {
        heads[r] = item_of(r);
        heap.push(r);
      }
    }
  }
  if (next_free < MinSlotCount(header.capacity)) {
    if (Status s = write_zeros(MinSlotCount(header.capacity) - next_free); !s.ok()) {
      return std::move(s.error());
    }
    next_free = MinSlotCount(header.capacity);
  }
  header.slot_count = next_free;
  runs_file.Close();

  // The samples and the directory and trailer.
  uint8_t samples_head[kSamplesHeaderSize] = {};
  samples_head[0] = kSampleShift;
  StoreBE64(samples_head + 8, samples.size());
  Status s = body.Append(samples_head, sizeof samples_head);
  for (size_t i = 0; i < samples.size() && s.ok(); ++i) {
    uint8_t b[8];
    StoreBE64(b, samples[i]);
    s = body.Append(b, 8);
  }
  const uint64_t hidx_size = kHashIndexHeaderSize + header.slot_count * codec.width;
  std::vector<ExtensionSection> sections = {
      {kHashIndexSection, kHashIndexVersion, 0, hidx_size},
      {kSamplesSection, kSamplesVersion, hidx_size, kSamplesHeaderSize + 8 * samples.size()},
  };
  uint64_t sections_size = hidx_size + kSamplesHeaderSize + 8 * samples.size();
  if (in.sections != nullptr) {
    for (size_t i = 0; i < in.sections->size() && s.ok(); ++i) {
      const std::vector<uint8_t>& bytes = (*in.sections)[i].bytes;
      if (!bytes.empty()) s = body.Append(bytes.data(), bytes.size());
    }
    sections_size = AppendSectionEntries(*in.sections, sections_size, &sections);
  }
  const std::vector<uint8_t> tail =
      EncodeExtensionTail(sections, sections_size, kExtensionSortedUnique);
  if (s.ok()) s = body.Append(tail.data(), tail.size());
  if (s.ok()) s = body.Flush();
  if (!s.ok()) return std::move(s.error());

  const uint64_t payload_size = sections_size + tail.size();
  if (payload_size > kMaxObjectLength) {
    return Error::Other("too many keys for a hash index in one object");
  }
  // The head and the HIDX header go in front, now that they are known.
  uint8_t front[kRecordHeadSize + kHashIndexHeaderSize];
  header.EncodeTo(front + kRecordHeadSize);
  const uint64_t rest = body.appended();
  const uint32_t payload_crc =
      crc32::Combine(crc32::Value(front + kRecordHeadSize, kHashIndexHeaderSize), body.crc(), rest);
  RecordHead{static_cast<uint32_t>(payload_size), payload_crc}.EncodeTo(front);
  if (Status w = out.WriteAt(front, sizeof front, out_pos); !w.ok()) return std::move(w.error());
  return WrittenRecord{kRecordHeadSize + payload_size,
                       crc32::Combine(crc32::Value(front, sizeof front), body.crc(), rest)};
}

}  // namespace tarndb

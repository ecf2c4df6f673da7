#include "core/writer/extension_builder.h"

#include <algorithm>

namespace tarndb {

ExtensionBuilder::ExtensionBuilder(uint64_t num_entries, uint64_t index_size, uint64_t data_end,
                                   HashKey seed, const std::vector<SectionBytes>* extra)
    : extra_(extra) {
  header_.codec = SlotCodec::For(index_size, data_end, /*wide_allowed=*/true);
  header_.capacity = HashCapacityFor(num_entries);
  header_.num_entries = num_entries;
  header_.seed = seed;
  header_.index_size = index_size;
  slots_.assign(MinSlotCount(header_.capacity), 0);
  if (header_.codec.width == 16) offsets_.assign(MinSlotCount(header_.capacity), 0);
  samples_.reserve((num_entries >> kSampleShift) + 1);
}

ExtensionBuilder::ExtensionBuilder(const std::vector<SectionBytes>* extra)
    : hash_index_(false), extra_(extra) {}

void ExtensionBuilder::Place(uint64_t home, uint64_t word, uint64_t offset) {
  // Linear probing that never wraps: a run that passes the last home slot
  // goes on into slots added at the end.
  uint64_t pos = home;
  while (pos < slots_.size() && slots_[pos] != 0) ++pos;
  if (pos == slots_.size()) {
    slots_.push_back(0);
    if (header_.codec.width == 16) offsets_.push_back(0);
  }
  slots_[pos] = word;
  if (header_.codec.width == 16) offsets_[pos] = offset;
}

void ExtensionBuilder::Add(KeyView key, uint64_t pos, uint64_t record_offset) {
  if ((added_ & ((uint64_t{1} << kSampleShift) - 1)) == 0) samples_.push_back(pos);
  const uint64_t h = KeyHash(header_.seed, key);
  const uint64_t home = HomeSlot(h, header_.capacity);
  // A table larger than the cache costs a miss per key: fetch this key's
  // slot now and place the key added kPrefetchDepth keys ago.
  __builtin_prefetch(slots_.data() + home, 1);
  if (header_.codec.width == 16) __builtin_prefetch(offsets_.data() + home, 1);
  const size_t at = added_ % kPrefetchDepth;
  if (pending_count_ == kPrefetchDepth) {
    Place(pending_[at].home, pending_[at].word, pending_[at].offset);
  } else {
    ++pending_count_;
  }
  pending_[at] = {home, header_.codec.Word(h, pos, record_offset), record_offset};
  ++added_;
}

void ExtensionBuilder::Finish() {
  // The oldest pending key sits just past the newest, in ring order.
  for (size_t k = pending_count_; k > 0; --k) {
    const Pending& p = pending_[(added_ - k) % kPrefetchDepth];
    Place(p.home, p.word, p.offset);
  }
  pending_count_ = 0;
  uint64_t run = 0, longest = 0;
  for (const uint64_t word : slots_) {
    run = word != 0 ? run + 1 : 0;
    longest = run > longest ? run : longest;
  }
  header_.max_run = static_cast<uint32_t>(std::min<uint64_t>(longest, UINT32_MAX));
}

uint64_t ExtensionLayout::sections_size() const {
  uint64_t size =
      hash_index ? hidx_size + kSamplesHeaderSize + 8 * sample_count + kLookupHeaderSize : 0;
  if (extra != nullptr) {
    for (const SectionBytes& s : *extra) size += s.bytes.size();
  }
  return size;
}

uint64_t ExtensionLayout::payload_size() const {
  const uint64_t sections = (hash_index ? 3 : 0) + (extra != nullptr ? extra->size() : 0);
  return sections_size() + sections * kExtensionDirEntrySize + kExtensionTrailerSize;
}

std::vector<ExtensionSection> ExtensionLayout::Directory() const {
  std::vector<ExtensionSection> directory;
  uint64_t end = 0;
  if (hash_index) {
    directory.push_back({kHashIndexSection, kHashIndexVersion, 0, hidx_size});
    end = hidx_size + kSamplesHeaderSize + 8 * sample_count;
    directory.push_back({kSamplesSection, kSamplesVersion, hidx_size, end - hidx_size});
  }
  if (extra != nullptr) end = AppendSectionEntries(*extra, end, &directory);
  if (hash_index) {
    directory.push_back({kLookupHeaderSection, kLookupHeaderVersion, end, kLookupHeaderSize});
  }
  return directory;
}

ExtensionLayout ExtensionBuilder::Layout() const {
  HashIndexHeader header = header_;
  header.slot_count = slots_.size();
  return ExtensionLayout{hash_index_, kHashIndexHeaderSize + slots_.size() * header_.codec.width,
                         samples_.size(), extra_, header};
}

uint64_t ExtensionBuilder::payload_size() const { return Layout().payload_size(); }

}  // namespace tarndb

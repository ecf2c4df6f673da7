// Lookups, records and scans of a FedStore: steps that answer from the
// bytes held or note the ranges they need.
#include <algorithm>
#include <string>

#include "core/format/crc32.h"
#include "core/format/layout.h"
#include "core/reader/fed_store.h"
#include "core/reader/index_scan.h"

namespace tarndb {
namespace {

// Probes of the sample search per round: each round costs a round trip for
// the samples and one for their entries, and narrows the search this many
// times.
constexpr uint64_t kSearchFanout = 32;
// Slots asked for from a key's home: a search walks the rest of the run its
// home lies in, which at a load of 0.8 is seldom 64 slots long (runs of a
// few dozen slots are common; asking for too few costs a round).
constexpr uint64_t kSlotsAhead = 64;
// Bytes asked for an entry of a search whose key length is not known yet.
constexpr uint64_t kEntryGuess = 256;
// The bytes a search walks its last block in: a page of the index.
constexpr uint64_t kIndexPage = 4096;

Error SamplesLie() { return Error::Corrupt("entry samples do not match the index"); }

}  // namespace

EntryRead FedStore::EntryAt(FedBytes& bytes, uint64_t pos, uint64_t want_key, IndexEntry* e,
                            bool table) const {
  const uint64_t section = file_size_ - index_offset_;
  if (pos > section || section - pos < 2) return EntryRead::kOutside;
  const uint64_t at = index_offset_ + pos;
  const uint8_t* p = bytes.Get(at, 2, kEntryOverhead + want_key, table);
  if (p == nullptr) return EntryRead::kMissing;
  const uint64_t key_len = LoadBE16(p);
  if (section - pos - 2 < key_len + 8) return EntryRead::kOutside;
  p = bytes.Get(at, kEntryOverhead + key_len, 0, table);
  if (p == nullptr) return EntryRead::kMissing;
  // The held bytes from at, read as a file that starts there.
  (void)DecodeIndexEntry(p, kEntryOverhead + key_len, 0, e);
  return EntryRead::kInside;
}

namespace {

// A lookup's access to the slots and entries held so far.
struct FedAccess {
  const FedStore& store;
  FedBytes& bytes;
  const SlotCodec& codec;
  uint64_t slots_at, slot_count, record_window;
  bool every_candidate;
  const uint8_t* held = nullptr;  // the slot last read
  bool pending = false;           // a candidate's entry is still to come

  bool Slot(uint64_t i, uint64_t* word) {
    const uint64_t ahead = std::min(kSlotsAhead, slot_count - i) * codec.width;
    held = bytes.Get(slots_at + i * codec.width, codec.width, ahead, /*table=*/true);
    if (held == nullptr) return false;
    *word = DecodeSlotWord(held);
    return true;
  }
  std::optional<uint64_t> SlotOffset(uint64_t, uint64_t word) const {
    if (codec.width == 16) return DecodeSlotOffset(held);
    if (codec.off_bits > 0) return codec.PackedOffsetOf(word);
    return std::nullopt;
  }
  void Candidate(std::optional<uint64_t> offset) {
    // The record comes in the same round as the entry that confirms it:
    // the first candidate's only for one key, since the run's later
    // candidates (often several in a long run with a short tag) are most
    // likely other keys; a batch asks for them all rather than a round more.
    if (offset && record_window > 0 && (every_candidate || !pending)) {
      bytes.Want(*offset, kRecordHeadSize + record_window);
    }
  }
  EntryRead Entry(uint64_t pos, KeyView key, IndexEntry* e) {
    const EntryRead read = store.EntryAt(bytes, pos, key.size, e);
    pending = pending || read == EntryRead::kMissing;
    return read;
  }
};

}  // namespace

FedStore::ByHash FedStore::LookupByHash(FedBytes& bytes, KeyView key, uint64_t record_window,
                                        bool every_candidate,
                                        std::optional<uint64_t>* offset) const {
  const Table& t = *table_;
  const uint64_t h = KeyHash(t.seed, key);
  FedAccess access{*this,         bytes,          t.run.codec, t.slots_at, t.run.slot_count,
                   record_window, every_candidate};
  Hit hit;
  bool collided = false;
  const size_t mark = bytes.needed().size();
  switch (ProbeSlots(t.run, HomeSlot(h, t.capacity), h, key, access, &hit, &collided)) {
    case ProbeEnd::kFound:
      *offset = hit.offset;
      return ByHash::kSettled;
    case ProbeEnd::kNeedBytes:
      return ByHash::kNeedBytes;
    case ProbeEnd::kAbsent:
      if (!collided) return ByHash::kSettled;
      [[fallthrough]];
    default:
      // A tag that matched another key, or a table caught lying: the sorted
      // index decides. The records its slots named are not needed.
      bytes.DropNeededFrom(mark);
      return ByHash::kAskSamples;
  }
}

Result<bool> FedStore::Locate(FedBytes& bytes, KeyView key, uint64_t record_window,
                              bool every_candidate, std::optional<uint64_t>* offset) const {
  *offset = std::nullopt;
  if (num_keys_ == 0) return true;
  if (table_) {
    const ByHash by_hash = LookupByHash(bytes, key, record_window, every_candidate, offset);
    if (by_hash != ByHash::kAskSamples) return by_hash == ByHash::kSettled;
  }
  if (!samples_) {  // neither hash index nor samples: the index held whole
    Result<const HeldIndex*> held = Held(bytes);
    if (!held.ok()) return std::move(held.error());
    if (held.value() == nullptr) return false;
    const IndexScan& scan = held.value()->scan;
    const IndexSpan span{held.value()->bytes.data(), held.value()->bytes.size(), 0};
    bool contradicted = false, collided = false;
    if (!scan.table.empty()) {
      const std::optional<Hit> hit =
          scan.table.Find(span, key, scan.table.Hash(key), &contradicted, &collided, false);
      if (hit) *offset = hit->offset;
    }
    return true;
  }
  Result<std::optional<FedEntry>> bound = LowerBound(bytes, key);
  if (!bound.ok()) return std::move(bound.error());
  if (!bound.value()) return false;
  const FedEntry& e = *bound.value();
  if (e.index < num_keys_ && KeysEqual(KeyView{e.key.data(), e.key.size()}, key)) {
    *offset = e.offset;
  }
  return true;
}

Result<std::optional<ObjectView>> FedStore::Record(FedBytes& bytes, uint64_t offset,
                                                   uint64_t window) const {
  if (offset > file_size_ || file_size_ - offset < kRecordHeadSize) {
    return RecordFitError(RecordFit::kHeadOutside, offset, "offset ");
  }
  const uint8_t* p = bytes.Get(offset, kRecordHeadSize, kRecordHeadSize + window);
  if (p == nullptr) return std::optional<ObjectView>();
  RecordHead head;
  // The held bytes from offset, read as a file that starts there.
  const RecordFit fit = DecodeRecordHead(p, file_size_ - offset, 0, &head);
  if (fit != RecordFit::kInside) return RecordFitError(fit, offset, "offset ");
  p = bytes.Get(offset, kRecordHeadSize + head.length);
  if (p == nullptr) return std::optional<ObjectView>();
  if (crc32::Value(p + kRecordHeadSize, head.length) != head.crc32) {
    return Error::Corrupt("object CRC32 mismatch at offset " + std::to_string(offset));
  }
  return std::optional<ObjectView>(ObjectView{p + kRecordHeadSize, head.length});
}

Result<std::optional<uint64_t>> FedStore::SampleBound(FedBytes& bytes, KeyView prefix) const {
  const Samples& s = *samples_;
  uint64_t lo = 0, hi = s.count;
  while (lo < hi) {
    // kSearchFanout probes spread over [lo, hi), the first at lo.
    const uint64_t span = hi - lo;
    const uint64_t m = std::min(span, kSearchFanout);
    uint64_t probes[kSearchFanout];
    uint64_t positions[kSearchFanout];
    IndexEntry entries[kSearchFanout];
    bool missing = false;
    for (uint64_t j = 0; j < m; ++j) {
      probes[j] = lo + span * j / m;
      // Samples and their entries are pages of the tables, which the package
      // keeps (a search's first rounds probe the same samples for every key).
      const uint8_t* p = bytes.Get(s.at + 8 * probes[j], 8, 8, /*table=*/true);
      missing = missing || p == nullptr;
      if (p != nullptr) positions[j] = SamplesHeader::PositionAt(p, 0);
    }
    if (missing) return std::optional<uint64_t>();
    for (uint64_t j = 0; j < m; ++j) {
      const EntryRead read = EntryAt(bytes, positions[j], kEntryGuess, &entries[j], true);
      if (read == EntryRead::kOutside) return EntryFitError(EntryFit::kNoKeyAndOffset);
      missing = missing || read == EntryRead::kMissing;
    }
    if (missing) return std::optional<uint64_t>();
    uint64_t j = 0;
    while (j < m && CompareKeys(entries[j].key, prefix) < 0) ++j;
    if (j == m) {
      lo = probes[m - 1] + 1;
    } else {
      hi = probes[j];
      if (j > 0) lo = probes[j - 1] + 1;
    }
  }
  return std::optional<uint64_t>(lo);
}

Result<std::optional<FedEntry>> FedStore::LowerBound(FedBytes& bytes, KeyView prefix) const {
  if (!samples_) {
    Result<const HeldIndex*> held = Held(bytes);
    if (!held.ok()) return std::move(held.error());
    if (held.value() == nullptr) return std::optional<FedEntry>();
    return HeldLowerBound(*held.value(), prefix);
  }
  Result<std::optional<uint64_t>> bound = SampleBound(bytes, prefix);
  if (!bound.ok()) return std::move(bound.error());
  if (!bound.value()) return std::optional<FedEntry>();
  // The lower bound lies in the block before the first sample not less than
  // prefix; the block must run in key order exactly to that sample.
  const uint64_t lo = *bound.value();
  const uint64_t count = samples_->count;
  uint64_t index = 0, pos = 0, next = 0;
  const uint8_t* p = lo > 0 ? bytes.Get(samples_->at + 8 * (lo - 1), 8) : nullptr;
  const uint8_t* q = lo < count ? bytes.Get(samples_->at + 8 * lo, 8) : nullptr;
  if ((lo > 0 && p == nullptr) || (lo < count && q == nullptr)) return std::optional<FedEntry>();
  if (lo > 0) {
    index = (lo - 1) << EntrySamples::kShift;
    pos = SamplesHeader::PositionAt(p, 0);
  }
  const uint64_t limit = lo < count ? lo << EntrySamples::kShift : num_keys_;
  if (lo < count) next = SamplesHeader::PositionAt(q, 0);
  KeyView prev;
  bool walked = false;
  for (; index < num_keys_; ++index) {
    IndexEntry e;
    const EntryRead read = EntryAt(bytes, pos, kIndexPage, &e, /*table=*/true);
    if (read == EntryRead::kOutside) return EntryFitError(EntryFit::kNoKeyAndOffset);
    if (read == EntryRead::kMissing) return std::optional<FedEntry>();
    if ((walked && CompareKeys(prev, e.key) >= 0) || (index == limit && pos != next)) {
      return SamplesLie();
    }
    if (CompareKeys(e.key, prefix) >= 0) {
      return std::optional<FedEntry>(FedEntry{
          index, pos, std::vector<uint8_t>(e.key.data, e.key.data + e.key.size), e.offset});
    }
    prev = e.key;
    walked = true;
    pos += e.encoded_size();
  }
  return std::optional<FedEntry>(FedEntry{num_keys_, pos, {}, 0});
}

Result<std::vector<FedEntry>> FedStore::Entries(FedBytes& bytes, uint64_t index, uint64_t pos,
                                                size_t max, uint64_t chunk) const {
  std::vector<FedEntry> out;
  const uint64_t section = file_size_ - index_offset_;
  for (; index < num_keys_ && out.size() < max; ++index) {
    const size_t mark = bytes.needed().size();
    IndexEntry e;
    const EntryRead read = EntryAt(bytes, pos, chunk, &e);
    if (read == EntryRead::kOutside) {
      return EntryFitError(pos > section || section - pos < 2 ? EntryFit::kNoKeyLength
                                                              : EntryFit::kNoKeyAndOffset);
    }
    if (read == EntryRead::kMissing) {
      if (!out.empty()) bytes.DropNeededFrom(mark);  // the caller comes back for the rest
      break;
    }
    out.push_back(
        FedEntry{index, pos, std::vector<uint8_t>(e.key.data, e.key.data + e.key.size), e.offset});
    pos += e.encoded_size();
  }
  return out;
}

Result<std::optional<std::pair<uint64_t, uint64_t>>> FedStore::BlockStart(FedBytes& bytes,
                                                                          uint64_t index) const {
  using Start = std::optional<std::pair<uint64_t, uint64_t>>;
  if (index >= num_keys_) return Error::Other("entry " + std::to_string(index) + " past the last");
  const uint64_t block = index >> EntrySamples::kShift;
  uint64_t pos = 0;
  if (samples_) {
    if (block >= samples_->count) return SamplesLie();
    const uint8_t* p = bytes.Get(samples_->at + 8 * block, 8, 8, /*table=*/true);
    if (p == nullptr) return Start();
    pos = SamplesHeader::PositionAt(p, 0);
  } else {
    Result<const HeldIndex*> held = Held(bytes);
    if (!held.ok()) return std::move(held.error());
    if (held.value() == nullptr) return Start();
    pos = held.value()->scan.samples.At(block);
  }
  const uint64_t section = file_size_ - index_offset_;
  if (pos > section || section - pos < kEntryOverhead) return SamplesLie();
  return Start(std::in_place, block << EntrySamples::kShift, pos);
}

Result<const FedStore::HeldIndex*> FedStore::Held(FedBytes& bytes) const {
  if (held_) return held_.get();
  const uint64_t section = file_size_ - index_offset_;
  const uint8_t* p = bytes.Get(index_offset_, section);
  if (p == nullptr) return static_cast<const HeldIndex*>(nullptr);
  auto held = std::make_shared<HeldIndex>();
  held->bytes.assign(p, p + section);
  // Positions relative to the section's start: the copy is a file whose
  // index begins at 0.
  Result<IndexScan> scanned = ScanIndex(held->bytes.data(), section, 0, num_keys_);
  if (!scanned.ok()) return std::move(scanned.error());
  if (!scanned.value().in_order) {
    return Error::Other("the store's index is not in key order, which a reader of ranges needs");
  }
  held->scan = std::move(scanned.value());
  held_ = std::move(held);
  return held_.get();
}

Result<std::optional<FedEntry>> FedStore::HeldLowerBound(const HeldIndex& held,
                                                         KeyView prefix) const {
  const IndexSpan span{held.bytes.data(), held.bytes.size(), 0};
  const EntrySamples& samples = held.scan.samples;
  uint64_t lo = 0, hi = samples.count();
  while (lo < hi) {  // the first sample not less than prefix
    const uint64_t mid = lo + (hi - lo) / 2;
    IndexEntry e;
    (void)span.Decode(samples.At(mid), &e);  // the scan checked every entry
    if (CompareKeys(e.key, prefix) < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  uint64_t index = lo == 0 ? 0 : (lo - 1) << EntrySamples::kShift;
  uint64_t pos = lo == 0 ? 0 : samples.At(lo - 1);
  for (; index < num_keys_; ++index) {
    IndexEntry e;
    (void)span.Decode(pos, &e);
    if (CompareKeys(e.key, prefix) >= 0) {
      return std::optional<FedEntry>(FedEntry{
          index, pos, std::vector<uint8_t>(e.key.data, e.key.data + e.key.size), e.offset});
    }
    pos += e.encoded_size();
  }
  return std::optional<FedEntry>(FedEntry{num_keys_, pos, {}, 0});
}

}  // namespace tarndb

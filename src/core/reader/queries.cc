// Lookups, cursors and prefix ranges of an open Reader.
#include <algorithm>
#include <cstring>
#include <string>

#include "core/format/layout.h"
#include "core/reader/index_scan.h"
#include "core/reader/reader.h"

namespace tarndb {

Error RecordFitError(RecordFit fit, uint64_t offset, std::string_view lead) {
  if (fit == RecordFit::kHeadOutside) {
    return Error::Corrupt(std::string(lead) + std::to_string(offset) + " out of bounds");
  }
  return Error::Corrupt("object at " + std::to_string(offset) + " extends beyond file end");
}

Error Reader::ChangedError() const {
  return Error::Corrupt(
      "the file changed while this reader had it open (store files are replaced by rename, never "
      "rewritten in place): " +
      path_);
}

uint64_t Reader::private_bytes() const {
  const Index& ix = Current();
  uint64_t bytes = ix.table.owned_bytes() + ix.samples.owned_bytes();
  if (ix.copied) bytes += ix.copied->owned_bytes();
  return bytes;
}

std::optional<uint64_t> Reader::FindIn(const Index& ix, KeyView key, uint64_t h,
                                       bool* contradicted) const {
  if (ix.copied) {
    const int64_t e = ix.copied->Find(key);
    if (e < 0) return std::nullopt;
    return ix.copied->Offset(static_cast<size_t>(e));
  }
  if (ix.table.empty()) return std::nullopt;
  bool collided = false;
  const std::optional<Hit> hit = ix.table.Find(Span(), key, h, contradicted, &collided);
  if (hit) return hit->offset;
  if (collided && ix.table.mapped() && !*contradicted) {
    // A slot with the key's tag named another entry: in an honest table a
    // rare coincidence, in a damaged one the key's slot pointed elsewhere.
    // Confirm the absence in the sorted index itself (a binary search over
    // the samples); an index that holds the key convicts the table.
    Result<Cursor> c = LowerBound(key);
    if (!c.ok() || (!c.value().done() && KeysEqual(c.value().key(), key))) *contradicted = true;
  }
  return std::nullopt;
}

Result<const Reader::Index*> Reader::Replace() const {
  Replacement& r = *replacement_;
  std::lock_guard<std::mutex> lock(r.building);
  if (const Index* ready = r.ready.load(std::memory_order_relaxed)) return ready;
  if (r.failure) return Error(*r.failure);
  Result<Index> scanned = ScanToIndex();
  if (!scanned.ok()) {
    r.failure = scanned.error();
    return std::move(scanned.error());
  }
  r.index = std::make_unique<Index>(std::move(scanned.value()));
  r.ready.store(r.index.get(), std::memory_order_release);
  return r.index.get();
}

Result<std::optional<uint64_t>> Reader::Find(KeyView key) const {
  const Index& ix = Current();
  bool contradicted = false;
  const uint64_t h = ix.table.empty() ? 0 : ix.table.Hash(key);
  std::optional<uint64_t> offset = FindIn(ix, key, h, &contradicted);
  if (!contradicted) return offset;
  // The file's hash index named an entry the index contradicts: from now
  // on this reader uses a table of its own.
  Result<const Index*> replaced = Replace();
  if (!replaced.ok()) return Checked(std::move(replaced.error()));
  const Index& own = *replaced.value();
  return FindIn(own, key, own.table.empty() ? 0 : own.table.Hash(key), &contradicted);
}

Status Reader::FindMany(const KeyView* keys, size_t n, uint64_t* offsets, bool* found) const {
  const Index& ix = Current();
  if (ix.copied) {
    int64_t entries[kMaxLookupBatch];
    ix.copied->FindMany(keys, n, entries);
    for (size_t b = 0; b < n; ++b) {
      found[b] = entries[b] >= 0;
      offsets[b] = found[b] ? ix.copied->Offset(static_cast<size_t>(entries[b])) : 0;
      if (found[b]) Prefetch(offsets[b]);
    }
    return OkStatus();
  }
  if (!ix.table.empty()) {
    // Hash the batch and fetch the home slots; then fetch what each home
    // slot names (its entry, and its record where the slot holds the
    // offset); then search, now mostly from the cache.
    const SlotTable& t = ix.table;
    const IndexSpan span = Span();
    uint64_t hashes[kMaxLookupBatch];  // of the keys, under the table's seed
    for (size_t b = 0; b < n; ++b) {
      hashes[b] = t.Hash(keys[b]);
      t.PrefetchSlot(t.Home(hashes[b]));
    }
    for (size_t b = 0; b < n; ++b) {
      const uint64_t home = t.Home(hashes[b]);
      const uint64_t word = t.Word(home);
      if (word == 0 || t.codec().TagOf(word) != t.codec().tag_of(hashes[b])) continue;
      span.Prefetch(t.codec().PosOf(word) - 1);
      if (const std::optional<uint64_t> o = t.SlotOffset(home, word)) Prefetch(*o);
    }
    bool contradicted = false;
    for (size_t b = 0; b < n && !contradicted; ++b) {
      const std::optional<uint64_t> offset = FindIn(ix, keys[b], hashes[b], &contradicted);
      found[b] = offset.has_value();
      offsets[b] = offset.value_or(0);
      if (offset && !t.codec().has_offset()) Prefetch(*offset);
    }
    if (!contradicted) return OkStatus();
  }
  for (size_t b = 0; b < n; ++b) {  // no keys, or a contradicted table
    Result<std::optional<uint64_t>> offset = Find(keys[b]);
    if (!offset.ok()) return std::move(offset.error());
    found[b] = offset.value().has_value();
    offsets[b] = found[b] ? *offset.value() : 0;
  }
  return OkStatus();
}

Status Reader::Cursor::Failed(EntryFit fit) {
  i_ = count_;
  return reader_->Checked(EntryFitError(fit));
}

Result<Reader::Cursor> Reader::At(size_t i) const {
  const Index& ix = Current();
  Cursor c;
  c.reader_ = this;
  c.file_ = mapping_.data();
  c.file_size_ = file_size_;
  c.count_ = num_keys_;
  c.i_ = i < num_keys_ ? i : num_keys_;
  if (ix.copied) {
    c.copied_ = ix.copied.get();
    return c;
  }
  if (c.done()) return c;
  // From the sample at or before entry i, walk forward.
  const uint64_t k = i >> EntrySamples::kShift;
  const uint64_t sample = k < ix.samples.count() ? ix.samples.At(k) : UINT64_MAX;
  if (sample > file_size_ - index_offset_) return Checked(EntryFitError(EntryFit::kNoKeyLength));
  c.pos_ = index_offset_ + sample;
  c.i_ = k << EntrySamples::kShift;
  const EntryFit fit = DecodeIndexEntry(mapping_.data(), file_size_, c.pos_, &c.entry_);
  if (fit != EntryFit::kInside) return Checked(EntryFitError(fit));
  while (c.i_ < i) {
    if (Status s = c.Next(); !s.ok()) return std::move(s.error());
  }
  return c;
}

bool Reader::BlockHolds(const Index& ix, uint64_t k, KeyView prefix) const {
  const IndexSpan span = Span();
  IndexEntry e;
  uint64_t pos = ix.samples.At(k);
  if (!span.Decode(pos, &e) || CompareKeys(e.key, prefix) >= 0) return false;
  const uint64_t first = k << EntrySamples::kShift;
  const uint64_t last = std::min<uint64_t>(first + (uint64_t{1} << EntrySamples::kShift), num_keys_);
  KeyView prev = e.key;
  for (uint64_t i = first + 1; i < last; ++i) {
    pos += e.encoded_size();
    if (!span.Decode(pos, &e) || CompareKeys(prev, e.key) >= 0) return false;
    prev = e.key;
  }
  pos += e.encoded_size();
  if (last == num_keys_) return index_offset_ + pos == file_size_;
  return pos == ix.samples.At(k + 1) && span.Decode(pos, &e) && CompareKeys(e.key, prefix) >= 0;
}

Result<Reader::Cursor> Reader::LowerBound(KeyView prefix) const {
  const Index& ix = Current();
  if (ix.copied) return At(PrefixRange(prefix).value().first);
  // The first sample whose key is not less than prefix; the lower bound
  // lies in the block before it.
  uint64_t lo = 0, hi = ix.samples.count();
  const IndexSpan span = Span();
  while (lo < hi) {
    const uint64_t mid = lo + (hi - lo) / 2;
    IndexEntry e;
    if (!span.Decode(ix.samples.At(mid), &e)) {
      return Checked(EntryFitError(EntryFit::kNoKeyAndOffset));
    }
    if (CompareKeys(e.key, prefix) < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  // The file's samples are checked where they are used: a sample that lies
  // would hide keys from the scan. One that does not hold sets the file's
  // hash index and samples aside for the reader's own.
  if (lo > 0 && ix.samples.mapped() && !BlockHolds(ix, lo - 1, prefix)) {
    Result<const Index*> replaced = Replace();
    if (!replaced.ok()) return Checked(std::move(replaced.error()));
    return LowerBound(prefix);
  }
  Result<Cursor> c = At(lo == 0 ? 0 : (lo - 1) << EntrySamples::kShift);
  if (!c.ok()) return c;
  while (!c.value().done() && CompareKeys(c.value().key(), prefix) < 0) {
    if (Status s = c.value().Next(); !s.ok()) return std::move(s.error());
  }
  // Where a scan starts was read from the file: from a file changed in
  // place it would start, or find nothing, among another store's keys.
  if (strict_ && !Intact()) return ChangedError();
  return c;
}

Result<std::pair<size_t, size_t>> Reader::PrefixRange(KeyView prefix) const {
  const Index& ix = Current();
  const auto begins_with = [&](KeyView k) {
    return k.size >= prefix.size &&
           (prefix.size == 0 || std::memcmp(k.data, prefix.data, prefix.size) == 0);
  };
  if (ix.copied) {
    // Lower bound by halving a window [base, base + size). The exact steps
    // matter: an index that is not sorted gives whatever they yield.
    const KeyTable& t = *ix.copied;
    const size_t n = t.size();
    if (n == 0) return std::pair<size_t, size_t>{0, 0};
    size_t base = 0;
    size_t size = n;
    while (size > 1) {
      const size_t half = size / 2;
      const size_t mid = base + half;
      if (CompareKeys(t.Key(mid), prefix) < 0) base = mid;
      size -= half;
    }
    const size_t first = base + (CompareKeys(t.Key(base), prefix) < 0 ? 1 : 0);
    size_t last = first;
    while (last < n && begins_with(t.Key(last))) ++last;
    return std::pair<size_t, size_t>{first, last};
  }
  Result<Cursor> c = LowerBound(prefix);
  if (!c.ok()) return std::move(c.error());
  Cursor& cur = c.value();
  const size_t first = cur.index();
  while (!cur.done() && begins_with(cur.key())) {
    if (Status s = cur.Next(); !s.ok()) return std::move(s.error());
  }
  return std::pair<size_t, size_t>{first, cur.index()};
}

}  // namespace tarndb

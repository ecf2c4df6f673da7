// The tombstone section: encoder and decoder side by side (layout in
// tombstones.h).
#include "core/format/tombstones.h"

#include <algorithm>

#include "core/format/coding.h"

namespace tarndb {

void TombstoneSectionBuilder::Add(KeyView key) {
  if ((count_ & ((uint64_t{1} << kTombstoneSampleShift) - 1)) == 0) {
    samples_.push_back(entries_.size());
  }
  const size_t at = entries_.size();
  entries_.resize(at + 2 + key.size);
  StoreBE16(entries_.data() + at, static_cast<uint16_t>(key.size));
  if (key.size != 0) std::copy(key.data, key.data + key.size, entries_.data() + at + 2);
  ++count_;
}

SectionBytes TombstoneSectionBuilder::Finish() {
  SectionBytes s{kTombstoneSection, kTombstoneVersion, {}};
  s.bytes.resize(kTombstoneHeaderSize + 8 * samples_.size() + entries_.size());
  uint8_t* p = s.bytes.data();
  StoreBE64(p, count_);
  p[8] = kTombstoneSampleShift;
  p += kTombstoneHeaderSize;
  for (const uint64_t pos : samples_) {
    StoreBE64(p, pos);
    p += 8;
  }
  std::copy(entries_.begin(), entries_.end(), p);
  *this = TombstoneSectionBuilder();
  return s;
}

Result<TombstoneList> TombstoneList::Parse(const uint8_t* data, size_t size) {
  if (size < kTombstoneHeaderSize) return Error::Corrupt("tombstone section truncated");
  const uint64_t count = LoadBE64(data);
  if (data[8] != kTombstoneSampleShift) return Error::Corrupt("tombstone section: unknown shift");
  const uint64_t samples = (count >> kTombstoneSampleShift) + ((count & 15) != 0 ? 1 : 0);
  // By subtraction: a count near 2^64 cannot wrap the product.
  if (samples > (size - kTombstoneHeaderSize) / 8) {
    return Error::Corrupt("tombstone section: samples past its end");
  }
  TombstoneList t;
  t.samples_ = data + kTombstoneHeaderSize;
  t.sample_count_ = samples;
  t.entries_ = t.samples_ + 8 * samples;
  t.entries_size_ = size - kTombstoneHeaderSize - 8 * samples;
  t.count_ = count;
  // One pass checks every entry's bounds, the order and the samples, so
  // that lookups and cursors need no checks of their own.
  size_t pos = 0;
  KeyView previous{};
  for (uint64_t i = 0; i < count; ++i) {
    if (t.entries_size_ - pos < 2) return Error::Corrupt("tombstone section: entry past its end");
    const size_t n = LoadBE16(t.entries_ + pos);
    if (t.entries_size_ - pos - 2 < n) {
      return Error::Corrupt("tombstone section: entry past its end");
    }
    const KeyView key{t.entries_ + pos + 2, n};
    if (i != 0 && CompareKeys(previous, key) >= 0) {
      return Error::Corrupt("tombstone section: keys out of order");
    }
    if ((i & 15) == 0 && LoadBE64(t.samples_ + 8 * (i >> kTombstoneSampleShift)) != pos) {
      return Error::Corrupt("tombstone section: a sample names the wrong entry");
    }
    previous = key;
    pos += 2 + n;
  }
  if (pos != t.entries_size_) return Error::Corrupt("tombstone section: bytes after its entries");
  return t;
}

void TombstoneList::Cursor::Seek(size_t pos) {
  pos_ = pos;
  key_size_ = pos < end_ ? LoadBE16(base_ + pos) : 0;
}

TombstoneList::Cursor TombstoneList::CursorAt(size_t pos) const {
  Cursor c;
  c.base_ = entries_;
  c.end_ = entries_size_;
  c.Seek(pos);
  return c;
}

size_t TombstoneList::SampleBefore(KeyView key) const {
  // The first sample whose key is greater than key; the one before it.
  uint64_t lo = 0, hi = sample_count_;
  while (lo < hi) {
    const uint64_t mid = lo + (hi - lo) / 2;
    const size_t pos = LoadBE64(samples_ + 8 * mid);
    const KeyView k{entries_ + pos + 2, LoadBE16(entries_ + pos)};
    if (CompareKeys(k, key) <= 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo == 0 ? 0 : LoadBE64(samples_ + 8 * (lo - 1));
}

TombstoneList::Cursor TombstoneList::LowerBound(KeyView key) const {
  Cursor c = CursorAt(SampleBefore(key));
  while (!c.done() && CompareKeys(c.key(), key) < 0) c.Next();
  return c;
}

bool TombstoneList::Contains(KeyView key) const {
  if (count_ == 0) return false;
  const Cursor c = LowerBound(key);
  return !c.done() && CompareKeys(c.key(), key) == 0;
}

}  // namespace tarndb

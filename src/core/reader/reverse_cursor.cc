// Reader::ReverseCursor: the index walked from the last entry to the first.
#include <algorithm>

#include "core/reader/index_scan.h"
#include "core/reader/reader.h"

namespace tarndb {

Status Reader::ReverseCursor::LoadBlock(size_t last) {
  // The block's first entry is a sampled one (or the range's first, or
  // any entry of a copied index, where At costs nothing).
  const size_t start = std::max(first_, (last >> EntrySamples::kShift) << EntrySamples::kShift);
  Result<Cursor> c = reader_->At(start);
  if (!c.ok()) return std::move(c.error());
  block_.clear();
  for (Cursor& cur = c.value(); cur.index() <= last; ) {
    if (cur.done()) return reader_->Checked(EntryFitError(EntryFit::kNoKeyLength));
    block_.push_back(IndexEntry{cur.key(), cur.offset()});
    if (cur.index() == last) break;
    if (Status s = cur.Next(); !s.ok()) return s;
  }
  block_first_ = start;
  return OkStatus();
}

Status Reader::ReverseCursor::Next() {
  if (done_) return OkStatus();
  if (i_ == first_) {
    done_ = true;
    return OkStatus();
  }
  --i_;
  if (i_ >= block_first_) return OkStatus();
  if (Status s = LoadBlock(i_); !s.ok()) {
    done_ = true;
    return s;
  }
  return OkStatus();
}

Result<Reader::ReverseCursor> Reader::Backward(size_t first, size_t end) const {
  ReverseCursor c;
  c.reader_ = this;
  end = std::min<size_t>(end, num_keys_);
  c.first_ = first;
  if (first >= end) return c;
  c.i_ = end - 1;
  c.done_ = false;
  c.block_.reserve(size_t{1} << EntrySamples::kShift);
  if (Status s = c.LoadBlock(c.i_); !s.ok()) return std::move(s.error());
  return c;
}

}  // namespace tarndb

// Scan: one reader's index entries walked forward or backward between
// bounds, the common part of the readers' and the shards' iterators.
#ifndef TARNDB_BINDINGS_STORE_SCAN_H_
#define TARNDB_BINDINGS_STORE_SCAN_H_

#include <cstring>
#include <optional>
#include <string>

#include "core/common/result.h"
#include "core/format/key_order.h"
#include "core/reader/reader.h"

namespace tarndb::py::store {

// The keys k a scan gives: start <= k < stop (either bound may be absent),
// in key order or the other way.
struct ScanBounds {
  std::optional<std::string> start;
  std::optional<std::string> stop;
  bool reverse = false;
};

class Scan {
 public:
  Scan() = default;
  // The entries of r from its first (or, reversed, its last) entry within
  // bounds.
  static Result<Scan> Over(const Reader& r, const ScanBounds& bounds);
  // r's entries from its first, all of them, or those whose keys begin with
  // prefix (from the first key not less than it, while keys begin with it).
  static Result<Scan> From(const Reader& r, const std::string* prefix);

  bool done() const {
    if (back_) return back_->done();
    if (fwd_.done()) return true;
    if (bound_ == Bound::kNone) return false;
    const KeyView k = fwd_.key();
    if (bound_ == Bound::kStop) return CompareKeys(k, View(limit_)) >= 0;
    return k.size < limit_.size() ||
           (!limit_.empty() && std::memcmp(k.data, limit_.data(), limit_.size()) != 0);
  }
  bool reverse() const { return back_.has_value(); }
  KeyView key() const { return back_ ? back_->key() : fwd_.key(); }
  uint64_t offset() const { return back_ ? back_->offset() : fwd_.offset(); }
  size_t index() const { return back_ ? back_->index() : fwd_.index(); }
  Status Next() { return back_ ? back_->Next() : fwd_.Next(); }
  // The forward cursor (for a reader that reads ahead of it).
  const Reader::Cursor& cursor() const { return fwd_; }
  // Entries left, when the scan is unbounded and forward; else nothing.
  std::optional<size_t> remaining() const {
    if (back_ || bound_ != Bound::kNone) return std::nullopt;
    return fwd_.done() ? 0 : fwd_.count() - fwd_.index();
  }

 private:
  enum class Bound : uint8_t { kNone, kPrefix, kStop };
  static KeyView View(const std::string& s) {
    return KeyView{reinterpret_cast<const unsigned char*>(s.data()), s.size()};
  }
  Reader::Cursor fwd_;
  std::optional<Reader::ReverseCursor> back_;
  Bound bound_ = Bound::kNone;
  std::string limit_;  // the prefix, or the stop key
};

inline Result<Scan> Scan::From(const Reader& r, const std::string* prefix) {
  Scan s;
  Result<Reader::Cursor> c = prefix != nullptr ? r.LowerBound(View(*prefix)) : r.At(0);
  if (!c.ok()) return std::move(c.error());
  s.fwd_ = c.value();
  if (prefix != nullptr) {
    s.bound_ = Bound::kPrefix;
    s.limit_ = *prefix;
  }
  return s;
}

inline Result<Scan> Scan::Over(const Reader& r, const ScanBounds& bounds) {
  const auto index_of = [&r](const std::optional<std::string>& key, size_t none) -> Result<size_t> {
    if (!key) return none;
    Result<Reader::Cursor> c = r.LowerBound(View(*key));
    if (!c.ok()) return std::move(c.error());
    return c.value().index();
  };
  Scan s;
  if (!bounds.reverse) {
    Result<Reader::Cursor> c = bounds.start ? r.LowerBound(View(*bounds.start)) : r.At(0);
    if (!c.ok()) return std::move(c.error());
    s.fwd_ = c.value();
    if (bounds.stop) {
      s.bound_ = Bound::kStop;
      s.limit_ = *bounds.stop;
    }
    return s;
  }
  Result<size_t> first = index_of(bounds.start, 0);
  if (!first.ok()) return std::move(first.error());
  Result<size_t> end = index_of(bounds.stop, r.entry_count());
  if (!end.ok()) return std::move(end.error());
  Result<Reader::ReverseCursor> c = r.Backward(first.value(), end.value());
  if (!c.ok()) return std::move(c.error());
  s.back_ = std::move(c.value());
  return s;
}

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_SCAN_H_

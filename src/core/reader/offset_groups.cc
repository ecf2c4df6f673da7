#include "core/reader/offset_groups.h"

#include <algorithm>
#include <array>

namespace tarndb {
namespace {

// 11-bit digits: 2,048 buckets keep the scatter's write streams few enough
// for the caches; a 30-bit file offset takes three passes.
constexpr unsigned kDigitBits = 11;
constexpr size_t kBuckets = size_t{1} << kDigitBits;
constexpr size_t kSmall = 64;

void RadixSortByOffset(std::vector<OffsetGroups::Ref>& refs) {
  const size_t n = refs.size();
  if (n <= kSmall) {
    std::stable_sort(refs.begin(), refs.end(),
                     [](const auto& a, const auto& b) { return a.offset < b.offset; });
    return;
  }
  uint64_t bits = 0;
  for (const auto& r : refs) bits |= r.offset;
  std::vector<OffsetGroups::Ref> out(n);
  std::array<size_t, kBuckets> start;
  for (unsigned shift = 0; shift < 64 && (bits >> shift) != 0; shift += kDigitBits) {
    start.fill(0);
    for (const auto& r : refs) ++start[(r.offset >> shift) & (kBuckets - 1)];
    if (*std::max_element(start.begin(), start.end()) == n) continue;  // one digit: in order
    size_t sum = 0;
    for (size_t& s : start) sum += std::exchange(s, sum);
    for (const auto& r : refs) out[start[(r.offset >> shift) & (kBuckets - 1)]++] = r;
    refs.swap(out);
  }
}

}  // namespace

Result<OffsetGroups> OffsetGroups::Of(const Reader& reader, uint64_t* index_end) {
  OffsetGroups groups;
  const size_t n = reader.entry_count();
  groups.refs_.resize(n);
  Result<Reader::Cursor> c = reader.At(0);
  if (!c.ok()) return std::move(c.error());
  Reader::Cursor& cur = c.value();
  uint64_t end = reader.index_offset();
  for (; !cur.done();) {
    groups.refs_[cur.index()] = Ref{cur.offset(), static_cast<uint32_t>(cur.index())};
    end = cur.position() + kEntryOverhead + cur.key().size;
    if (Status s = cur.Next(); !s.ok()) return std::move(s.error());
  }
  if (index_end != nullptr) *index_end = end;
  RadixSortByOffset(groups.refs_);  // LSD radix sort is stable
  return groups;
}

std::vector<uint32_t> OffsetGroups::FirstEntries() const {
  std::vector<uint32_t> first(refs_.size());
  for (size_t i = 0; i < refs_.size();) {
    size_t j = i;
    while (j < refs_.size() && refs_[j].offset == refs_[i].offset)
      first[refs_[j++].entry] = refs_[i].entry;
    i = j;
  }
  return first;
}

}  // namespace tarndb

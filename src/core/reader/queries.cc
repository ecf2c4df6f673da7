// Object reads and prefix ranges of an open Reader.
#include <string>

#include "core/format/coding.h"
#include "core/format/layout.h"
#include "core/reader/reader.h"

namespace tarndb {

Error RecordFitError(RecordFit fit, uint64_t offset, std::string_view lead) {
  if (fit == RecordFit::kHeadOutside) {
    return Error::Corrupt(std::string(lead) + std::to_string(offset) + " out of bounds");
  }
  return Error::Corrupt("object at " + std::to_string(offset) + " extends beyond file end");
}

std::pair<size_t, size_t> Reader::PrefixRange(KeyView prefix) const {
  const size_t n = table_.size();
  if (n == 0) return {0, 0};
  // Lower bound by halving a window [base, base + size). The exact steps
  // matter: an index that is not sorted gives whatever they yield.
  size_t base = 0;
  size_t size = n;
  while (size > 1) {
    const size_t half = size / 2;
    const size_t mid = base + half;
    if (CompareKeys(table_.Key(mid), prefix) < 0) base = mid;
    size -= half;
  }
  const size_t first = base + (CompareKeys(table_.Key(base), prefix) < 0 ? 1 : 0);
  size_t last = first;
  while (last < n) {
    const KeyView k = table_.Key(last);
    if (k.size < prefix.size ||
        (prefix.size && std::memcmp(k.data, prefix.data, prefix.size) != 0)) {
      break;
    }
    ++last;
  }
  return {first, last};
}

}  // namespace tarndb

#include "core/reader/index_scan.h"

#include <algorithm>

namespace tarndb {

Error EntryFitError(EntryFit fit) {
  return Error::Corrupt(fit == EntryFit::kNoKeyLength ? "index section truncated (key_len)"
                                                      : "index section truncated (key + offset)");
}

Result<IndexScan> ScanIndex(const uint8_t* file, uint64_t size, uint64_t index_offset,
                            uint32_t num_keys) {
  IndexScan scan;
  // Every entry takes at least 10 bytes: the section's length bounds how
  // many can be real, whatever num_keys claims, so a lying header cannot
  // make the table huge.
  const uint64_t section = index_offset <= size ? size - index_offset : 0;
  const uint64_t max_entries = std::min<uint64_t>(num_keys, section / kEntryOverhead);
  scan.table = SlotTable::Owned(max_entries, section, index_offset);
  scan.samples.Reserve(max_entries);

  // Entries are decoded in batches; their keys are hashed and their home
  // slots fetched for the whole batch before any is placed, so that the
  // table's cache misses overlap.
  constexpr size_t kBatch = 16;
  uint64_t pos[kBatch], offset[kBatch], hash[kBatch];
  bool repeat[kBatch];
  KeyView prev;
  uint64_t p = index_offset;
  for (uint32_t done = 0; done < num_keys;) {
    const size_t m = std::min<uint64_t>(kBatch, num_keys - done);
    for (size_t b = 0; b < m; ++b) {
      IndexEntry e;
      const EntryFit fit = DecodeIndexEntry(file, size, p, &e);
      if (fit != EntryFit::kInside) return EntryFitError(fit);
      const uint64_t i = done + b;
      const int order = i == 0 ? -1 : CompareKeys(prev, e.key);
      if (order > 0) scan.in_order = false;
      if (order == 0) scan.unique = false;
      if (scan.in_order) {
        if ((i & ((uint64_t{1} << EntrySamples::kShift) - 1)) == 0) {
          scan.samples.Append(p - index_offset);
        }
        pos[b] = p - index_offset;
        offset[b] = e.offset;
        repeat[b] = order == 0;
        hash[b] = scan.table.Hash(e.key);
        scan.table.PrefetchHome(hash[b]);
      }
      prev = e.key;
      p += e.encoded_size();
    }
    if (scan.in_order) {
      for (size_t b = 0; b < m; ++b) {
        // A key the index holds twice: the later entry replaces the earlier.
        if (repeat[b]) {
          scan.table.ReplaceLast(hash[b], pos[b], offset[b]);
        } else {
          scan.table.Insert(hash[b], pos[b], offset[b]);
        }
      }
    }
    done += static_cast<uint32_t>(m);
  }
  scan.end = p;
  if (!scan.in_order) {  // the keys will be copied instead
    scan.table = SlotTable();
    scan.samples.Clear();
  }
  return scan;
}

}  // namespace tarndb

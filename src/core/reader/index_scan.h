// ScanIndex: one pass over a store's index section when a reader opens it
// without a hash index of the file's own.
//
// The pass checks that each of the num_keys entries fits in the file (the
// open's truncation errors), notes whether the keys are in order, and, for
// an index in order, records the entry samples and fills the reader's own
// hash table. An index out of order is still checked to its end; the
// reader then falls back to copying its keys (KeyTable), whose results for
// such an index are the ones defined for it.
#ifndef TARNDB_CORE_READER_INDEX_SCAN_H_
#define TARNDB_CORE_READER_INDEX_SCAN_H_

#include <cstdint>

#include "core/common/result.h"
#include "core/reader/entry_samples.h"
#include "core/reader/slot_table.h"

namespace tarndb {

struct IndexScan {
  bool in_order = true;  // no key is smaller than the one before it
  bool unique = true;    // and none equals it
  uint64_t end = 0;      // where the last entry ends (absolute)
  bool names_watched = false;  // an entry names the record at the watched offset
  EntrySamples samples;  // filled only for an index in order
  SlotTable table;       // the same
};

// Fails (corrupt kind) with "index section truncated (key_len)" or
// "index section truncated (key + offset)" at the first entry that does not
// fit.
// watched: a record offset to look out for among the entries' offsets (the
// extension block's, which no entry may name).
Result<IndexScan> ScanIndex(const uint8_t* file, uint64_t size, uint64_t index_offset,
                            uint32_t num_keys, uint64_t watched = UINT64_MAX);

// The truncation error for an entry that does not fit.
Error EntryFitError(EntryFit fit);

}  // namespace tarndb

#endif  // TARNDB_CORE_READER_INDEX_SCAN_H_

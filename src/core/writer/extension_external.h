// Building the extension block when its hash table does not fit the
// writer's memory budget.
//
// The table uses linear probing that never wraps, so it can be built
// without holding it: every key's (home slot, slot words) item is made in
// one pass over the finished index section, the items are sorted by home
// in bounded memory (sorted runs in a spill file, then a merge), and each
// is placed at the first slot from its home that follows the one placed
// before it. The slots come out in order and go straight to the file. The
// result has the layout that ExtensionBuilder writes (core/format/
// hash_index.h), with the entries of one cluster in order of home, then of
// index position.
#ifndef TARNDB_CORE_WRITER_EXTENSION_EXTERNAL_H_
#define TARNDB_CORE_WRITER_EXTENSION_EXTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/common/keyed_hash.h"
#include "core/common/result.h"
#include "core/format/extension.h"
#include "core/format/hash_index.h"
#include "core/writer/spill_file.h"

namespace tarndb {

// The extension record as written: its size (head and payload) and the
// CRC-32 of those bytes.
struct WrittenRecord {
  uint64_t bytes = 0;
  uint32_t crc = 0;
};

struct ExternalExtensionInput {
  const SpillFile* index = nullptr;  // holds the index section ...
  uint64_t index_begin = 0;          // ... from here
  uint64_t index_size = 0;
  uint64_t num_entries = 0;
  uint64_t data_end = 0;  // where the extension record starts
  HashKey seed;
  std::string spill_dir;                                // for the sorted runs of items
  size_t memory = 0;                                    // for buffers and samples
  const std::vector<SectionBytes>* sections = nullptr;  // stored after the samples
};

// Write the extension record (head and payload) to out at out_pos.
Result<WrittenRecord> WriteExtensionExternally(const ExternalExtensionInput& in,
                                               const SpillFile& out, uint64_t out_pos);

// The extension record of sections alone (no hash index), written to out
// at out_pos through a buffer of buffer bytes.
Result<WrittenRecord> WriteSectionsRecord(const std::vector<SectionBytes>* sections,
                                          const SpillFile& out, uint64_t out_pos, size_t buffer);

// Writes the slots of the table that *header describes (all but slot_count
// and max_run, which it sets) to body, in order, within memory bytes.
using PlaceSlots = std::function<Status(HashIndexHeader* header, size_t memory, Appender* body)>;

// The extension record around a hash index whose slots place writes:
// the head and the HIDX header, the slots, then the samples, sections
// (may be null), lookup header, directory and trailer, written to out at
// out_pos. memory bounds the buffers and what place is given.
Result<WrittenRecord> WriteHashRecord(HashIndexHeader header, const std::vector<uint64_t>& samples,
                                      const std::vector<SectionBytes>* sections, size_t memory,
                                      const PlaceSlots& place, const SpillFile& out,
                                      uint64_t out_pos);

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_EXTENSION_EXTERNAL_H_

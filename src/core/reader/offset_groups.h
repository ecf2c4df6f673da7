// OffsetGroups: which index entries name the same object.
//
// Index entries refer to objects by offset, several entries may share one,
// and the listings and the deep check visit each object once. Grouping the
// entries by offset with a stable radix sort answers that without a hash
// table: the work is sequential, it needs two arrays, and offsets chosen by
// a hostile file cost no more than honest ones.
#ifndef TARNDB_CORE_READER_OFFSET_GROUPS_H_
#define TARNDB_CORE_READER_OFFSET_GROUPS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/reader/reader.h"

namespace tarndb {

class OffsetGroups {
 public:
  using Ref = OffsetGroupsRef;

  // The entries of reader grouped by offset. Fails (corrupt kind) when an
  // entry does not fit in the file; *index_end, when given, is set to where
  // the last entry ends.
  static Result<OffsetGroups> Of(const Reader& reader, uint64_t* index_end = nullptr);

  // Every entry once, ascending by offset; entries with the same offset
  // keep index order, so the first of each run is the first to name it.
  const std::vector<Ref>& by_offset() const { return refs_; }

  // For each entry, the first entry (in index order) with the same offset.
  std::vector<uint32_t> FirstEntries() const;

 private:
  OffsetGroups() = default;

  std::vector<Ref> refs_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_READER_OFFSET_GROUPS_H_

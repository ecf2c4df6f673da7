// Sorting a writer's keys into index order (unsigned bytewise, shorter key
// first on a common prefix).
#ifndef TARNDB_CORE_WRITER_KEY_SORT_H_
#define TARNDB_CORE_WRITER_KEY_SORT_H_

#include <cstdint>
#include <vector>

#include "core/writer/key_map.h"

namespace tarndb {

// The entry numbers of keys, in index order.
std::vector<uint32_t> SortedEntries(const KeyMap& keys);

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_KEY_SORT_H_

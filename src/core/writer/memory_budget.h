// How much memory a writer may use, and the defaults every binding shares.
#ifndef TARNDB_CORE_WRITER_MEMORY_BUDGET_H_
#define TARNDB_CORE_WRITER_MEMORY_BUDGET_H_

#include <cstdint>

namespace tarndb {

// A writer's memory budget when its caller names none.
inline constexpr uint64_t kDefaultMemoryLimit = uint64_t{256} << 20;
// The smallest memory budget: room for the buffers and a few keys.
inline constexpr uint64_t kMinMemoryLimit = uint64_t{1} << 20;

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_MEMORY_BUDGET_H_

// How much memory a writer may use, and how that budget is divided: the one
// place that decides the size of every buffer and of the keys' share.
#ifndef TARNDB_CORE_WRITER_MEMORY_BUDGET_H_
#define TARNDB_CORE_WRITER_MEMORY_BUDGET_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/writer/external_sort.h"
#include "core/writer/key_map.h"
#include "core/writer/key_sort.h"

namespace tarndb {

// A writer's memory budget when its caller names none.
inline constexpr uint64_t kDefaultMemoryLimit = uint64_t{256} << 20;
// The smallest memory budget: room for the buffers and a few keys.
inline constexpr uint64_t kMinMemoryLimit = uint64_t{1} << 20;

class MemoryBudget {
 public:
  // limit 0: no limit (keys and positions stay in memory, nothing spills).
  explicit MemoryBudget(uint64_t limit)
      : limit_(limit),
        io_buffer_(limit == 0 ? size_t{1} << 20
                              : static_cast<size_t>(std::clamp<uint64_t>(
                                    limit / 16, uint64_t{64} << 10, uint64_t{1} << 20))) {}

  bool limited() const { return limit_ != 0; }
  uint64_t limit() const { return limit_; }

  // The write buffer of the data file and of the build's tail.
  size_t io_buffer() const { return io_buffer_; }
  // Record positions held in memory before they go to a spill file.
  size_t position_chunk() const {
    return limited() ? io_buffer_ / sizeof(uint64_t) : std::numeric_limits<size_t>::max();
  }
  // The write buffer of a run of spilled keys.
  size_t run_buffer() const { return std::max(io_buffer_, kMinRunBuffer); }

  // What the buffers leave to the keys: the key map, its sort and the
  // in-memory hash table of the build.
  uint64_t keys() const {
    if (!limited()) return std::numeric_limits<uint64_t>::max();
    const uint64_t fixed = 2 * io_buffer_ + run_buffer();
    return limit_ > fixed ? limit_ - fixed : limit_ / 2;
  }
  // The read buffers of a merge of spilled runs (of keys, or of the
  // external hash index's slots): the keys' share, which is free by then.
  size_t merge() const {
    return limited() ? static_cast<size_t>(keys()) : std::numeric_limits<size_t>::max() / 2;
  }

  // Whether one more key would take the keys past their share: the map
  // as it is or as its next growth makes it, or the map with what sorting
  // it (and building an in-memory hash table, with hash_table) adds.
  bool KeysOver(const KeyMap& keys, bool hash_table) const {
    if (!limited()) return false;
    const uint64_t n = keys.size() + keys.pending() + 1;
    const uint64_t at_build =
        n * (sizeof(KeyOrder::Digit) + (hash_table ? kTableBytesPerKey : 0));
    return keys.memory_bytes() + std::max(keys.growth_bytes(), at_build) > this->keys();
  }

  // Bytes per key of an in-memory hash table: up to 16-byte slots at load
  // 0.8.
  static constexpr uint64_t kTableBytesPerKey = 20;

 private:
  uint64_t limit_;
  size_t io_buffer_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_MEMORY_BUDGET_H_

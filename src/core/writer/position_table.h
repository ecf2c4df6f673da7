// PositionTable: the file position of every object's record, by object ID.
//
// The newest positions are kept in memory; once they fill a chunk, the chunk
// goes to a spill file that stays mapped for reading, so the table takes a
// bounded amount of memory however many objects there are (the mapped pages
// are page cache, which the kernel may reclaim, not the writer's own memory).
#ifndef TARNDB_CORE_WRITER_POSITION_TABLE_H_
#define TARNDB_CORE_WRITER_POSITION_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/common/result.h"
#include "core/writer/spill_file.h"

namespace tarndb {

class PositionTable {
 public:
  // chunk: positions kept in memory before they are spilled to a file in
  // spill_dir.
  PositionTable(std::string spill_dir, size_t chunk);
  PositionTable(PositionTable&& o) noexcept;
  PositionTable& operator=(PositionTable&& o) noexcept;
  PositionTable(const PositionTable&) = delete;
  PositionTable& operator=(const PositionTable&) = delete;
  ~PositionTable();

  // Make sure that the next Append needs no allocation or I/O: spills the
  // chunk when it is full. On failure the table is unchanged.
  Status Reserve();
  // Only after a successful Reserve.
  void Append(uint64_t pos) { tail_.push_back(pos); }

  uint64_t size() const { return spilled_ + tail_.size(); }
  uint64_t operator[](uint64_t id) const {
    return id >= spilled_ ? tail_[static_cast<size_t>(id - spilled_)] : map_[id];
  }
  void Prefetch(uint64_t id) const {
    __builtin_prefetch(id >= spilled_ ? &tail_[static_cast<size_t>(id - spilled_)] : &map_[id]);
  }
  uint64_t memory_bytes() const { return chunk_ * sizeof(uint64_t); }

 private:
  void Unmap();

  std::string spill_dir_;
  size_t chunk_;
  std::vector<uint64_t> tail_;
  uint64_t spilled_ = 0;
  SpillFile file_;
  const uint64_t* map_ = nullptr;
  size_t map_bytes_ = 0;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_POSITION_TABLE_H_

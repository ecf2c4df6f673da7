#include "core/writer/position_table.h"

#include <errno.h>
#include <sys/mman.h>

#include <algorithm>
#include <utility>

namespace tarndb {

PositionTable::PositionTable(std::string spill_dir, size_t chunk)
    : spill_dir_(std::move(spill_dir)), chunk_(chunk < 1024 ? 1024 : chunk) {}

PositionTable::PositionTable(PositionTable&& o) noexcept
    : spill_dir_(std::move(o.spill_dir_)),
      chunk_(o.chunk_),
      tail_(std::move(o.tail_)),
      spilled_(std::exchange(o.spilled_, 0)),
      file_(std::move(o.file_)),
      map_(std::exchange(o.map_, nullptr)),
      map_bytes_(std::exchange(o.map_bytes_, 0)) {}

PositionTable& PositionTable::operator=(PositionTable&& o) noexcept {
  if (this != &o) {
    Unmap();
    spill_dir_ = std::move(o.spill_dir_);
    chunk_ = o.chunk_;
    tail_ = std::move(o.tail_);
    spilled_ = std::exchange(o.spilled_, 0);
    file_ = std::move(o.file_);
    map_ = std::exchange(o.map_, nullptr);
    map_bytes_ = std::exchange(o.map_bytes_, 0);
  }
  return *this;
}

PositionTable::~PositionTable() { Unmap(); }

void PositionTable::Unmap() {
  if (map_ != nullptr) ::munmap(const_cast<uint64_t*>(map_), map_bytes_);
  map_ = nullptr;
  map_bytes_ = 0;
}

Status PositionTable::Reserve() {
  if (tail_.size() < tail_.capacity()) return OkStatus();
  if (tail_.size() < chunk_) {
    tail_.reserve(tail_.capacity() < 1024 ? 1024 : std::min(chunk_, tail_.capacity() * 2));
    return OkStatus();
  }
  if (!file_.valid()) {
    Result<SpillFile> made = SpillFile::Create(spill_dir_, "spill file");
    if (!made.ok()) return std::move(made.error());
    file_ = std::move(made.value());
  }
  const uint64_t bytes = tail_.size() * sizeof(uint64_t);
  if (Status s = file_.WriteAt(reinterpret_cast<const uint8_t*>(tail_.data()), bytes,
                               spilled_ * sizeof(uint64_t));
      !s.ok()) {
    return s;
  }
  const uint64_t need = (spilled_ + tail_.size()) * sizeof(uint64_t);
  if (need > map_bytes_) {
    // Map well past the end of the file: pages beyond it are never read,
    // and the mapping need not move for a long while.
    size_t len = map_bytes_ ? map_bytes_ * 2 : size_t{64} << 20;
    while (len < need) len *= 2;
    void* p = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, file_.fd(), 0);
    if (p == MAP_FAILED) return file_.Fail("map", errno);
    Unmap();
    map_ = static_cast<const uint64_t*>(p);
    map_bytes_ = len;
  }
  spilled_ += tail_.size();
  tail_.clear();
  return OkStatus();
}

}  // namespace tarndb

#include "core/writer/chunked_arena.h"

#include <algorithm>
#include <cstring>

namespace tarndb {
namespace {

// Chunks start small so a tiny writer stays tiny, and double up to a cap so
// that the unused tail of the last chunk is bounded.
constexpr size_t kFirstChunk = size_t{64} << 10;
constexpr size_t kMaxChunk = size_t{16} << 20;

}  // namespace

ChunkedArena::Chunk& ChunkedArena::AddChunk(size_t min_bytes) {
  size_t capacity =
      chunks_.empty() ? kFirstChunk : std::min(chunks_.back().capacity * 2, kMaxChunk);
  capacity = std::max(capacity, min_bytes);
  chunks_.push_back(Chunk{std::make_unique_for_overwrite<uint8_t[]>(capacity), 0, capacity});
  return chunks_.back();
}

void ChunkedArena::Reserve(size_t n) {
  size_t room = 0;
  for (size_t i = fill_; i < chunks_.size() && room < n; ++i) {
    room += chunks_[i].capacity - chunks_[i].used;
  }
  if (room < n) AddChunk(n - room);
}

void ChunkedArena::Append(const uint8_t* data, size_t n) {
  Reserve(n);  // the only step that can fail
  size_ += n;
  while (n > 0) {
    Chunk& c = chunks_[fill_];
    const size_t take = std::min(n, c.capacity - c.used);
    if (take) std::memcpy(c.data.get() + c.used, data, take);
    c.used += take;
    data += take;
    n -= take;
    if (c.used == c.capacity && fill_ + 1 < chunks_.size()) ++fill_;
  }
}

uint8_t* ChunkedArena::AllocateContiguous(size_t n) {
  Chunk* c = chunks_.empty() || chunks_.back().capacity - chunks_.back().used < n ? &AddChunk(n)
                                                                                  : &chunks_.back();
  fill_ = chunks_.size() - 1;
  uint8_t* p = c->data.get() + c->used;
  c->used += n;
  size_ += n;
  return p;
}

}  // namespace tarndb

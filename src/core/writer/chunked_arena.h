// ChunkedArena: an append-only byte store made of separately allocated
// chunks, so growing it never copies what it holds (a single vector would
// briefly need twice the memory on every reallocation) and pointers into it
// stay valid for its whole life.
#ifndef TARNDB_CORE_WRITER_CHUNKED_ARENA_H_
#define TARNDB_CORE_WRITER_CHUNKED_ARENA_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tarndb {

class ChunkedArena {
 public:
  ChunkedArena() = default;
  ChunkedArena(ChunkedArena&&) = default;
  ChunkedArena& operator=(ChunkedArena&&) = default;

  // Make sure the next n appended bytes need no allocation. Append calls it
  // itself; callers that append several pieces as one unit call it first, so
  // that a failed allocation leaves the arena exactly as it was.
  void Reserve(size_t n);

  // Append data[0, n); the bytes may span chunk boundaries. On a failed
  // allocation (std::bad_alloc) nothing is appended.
  void Append(const uint8_t* data, size_t n);

  // Return n contiguous, uninitialised bytes that stay at this address for
  // the arena's life. Space left at the end of the current chunk is skipped
  // when n does not fit there.
  uint8_t* AllocateContiguous(size_t n);

  // Bytes appended or allocated so far (skipped space not counted).
  uint64_t size() const { return size_; }

  // Call f(data, n) for the bytes of each chunk in order; for an arena
  // filled by Append alone, this visits exactly the appended bytes.
  template <typename F>
  void ForEachChunk(F&& f) const {
    for (const Chunk& c : chunks_) {
      if (c.used) f(c.data.get(), c.used);
    }
  }

 private:
  struct Chunk {
    std::unique_ptr<uint8_t[]> data;
    size_t used = 0;
    size_t capacity = 0;
  };

  // Start a chunk with room for at least min_bytes.
  Chunk& AddChunk(size_t min_bytes);

  std::vector<Chunk> chunks_;
  size_t fill_ = 0;  // chunk that Append writes to next
  uint64_t size_ = 0;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_CHUNKED_ARENA_H_

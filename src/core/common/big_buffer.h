// BigBuffer: an owned block of memory for large tables that are read at
// random (hash slots, key arenas).
//
// Blocks of 2 MiB or more come straight from mmap; untouched pages cost no
// memory, so a block may be reserved for an upper bound and trimmed later.
// Blocks read at random (hash slots) may be offered to the kernel for
// transparent huge pages: a lookup into a table of tens of megabytes then
// costs a cache miss without a TLB miss on top. That is a choice per block,
// because getting huge pages can make the kernel compact memory first,
// which is not worth it for blocks filled and read in order. Smaller blocks
// come from malloc.
#ifndef TARNDB_CORE_COMMON_BIG_BUFFER_H_
#define TARNDB_CORE_COMMON_BIG_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <utility>

namespace tarndb {

class BigBuffer {
 public:
  BigBuffer() = default;
  enum Fill { kUninitialised, kZeroed };
  enum Pages { kNormalPages, kHugePages };

  // At least `bytes` bytes. Throws std::bad_alloc when the memory cannot be
  // had.
  explicit BigBuffer(size_t bytes, Fill fill = kUninitialised, Pages pages = kNormalPages);
  BigBuffer(BigBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        mapped_(std::exchange(o.mapped_, false)) {}
  BigBuffer& operator=(BigBuffer&& o) noexcept {
    if (this != &o) {
      Release();
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      mapped_ = std::exchange(o.mapped_, false);
    }
    return *this;
  }
  BigBuffer(const BigBuffer&) = delete;
  BigBuffer& operator=(const BigBuffer&) = delete;
  ~BigBuffer() { Release(); }

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

  // Give back the memory beyond the first `bytes` bytes (best effort).
  void Shrink(size_t bytes) noexcept;

 private:
  void Release() noexcept;

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  bool mapped_ = false;
};

// A zero-filled hash table of n trivially copyable slots, on huge pages
// when large.
template <typename T>
class SlotArray {
 public:
  SlotArray() = default;
  explicit SlotArray(size_t n)
      : memory_(n * sizeof(T), BigBuffer::kZeroed, BigBuffer::kHugePages), size_(n) {}
  SlotArray(SlotArray&& o) noexcept
      : memory_(std::move(o.memory_)), size_(std::exchange(o.size_, 0)) {}
  SlotArray& operator=(SlotArray&& o) noexcept {
    memory_ = std::move(o.memory_);
    size_ = std::exchange(o.size_, 0);
    return *this;
  }

  T& operator[](size_t i) { return slots()[i]; }
  const T& operator[](size_t i) const { return slots()[i]; }
  size_t size() const { return size_; }
  const T* begin() const { return slots(); }
  const T* end() const { return slots() + size_; }

 private:
  T* slots() const { return reinterpret_cast<T*>(memory_.data()); }

  BigBuffer memory_;
  size_t size_ = 0;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_COMMON_BIG_BUFFER_H_

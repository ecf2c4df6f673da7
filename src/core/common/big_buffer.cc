#include "core/common/big_buffer.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace tarndb {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kPage = 4096;

inline size_t RoundUp(size_t n, size_t to) { return (n + to - 1) / to * to; }

}  // namespace

BigBuffer::BigBuffer(size_t bytes, Fill fill, Pages pages) {
  if (bytes < kHugePage) {
    void* p = fill == kZeroed ? std::calloc(bytes ? bytes : 1, 1) : std::malloc(bytes ? bytes : 1);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(p);
    size_ = bytes;
    return;
  }
  // Anonymous mappings are zero-filled, so kZeroed needs nothing more.
  const size_t length = RoundUp(bytes, pages == kHugePages ? kHugePage : kPage);
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  if (pages == kHugePages) ::madvise(p, length, MADV_HUGEPAGE);  // a hint only
  data_ = static_cast<uint8_t*>(p);
  size_ = length;
  mapped_ = true;
}

void BigBuffer::Shrink(size_t bytes) noexcept {
  if (!mapped_) return;  // malloc'd blocks are small
  const size_t keep = RoundUp(bytes ? bytes : 1, kPage);
  if (keep >= size_) return;
  ::munmap(data_ + keep, size_ - keep);
  size_ = keep;
}

void BigBuffer::Release() noexcept {
  if (data_ == nullptr) return;
  if (mapped_) {
    ::munmap(data_, size_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  size_ = 0;
  mapped_ = false;
}

}  // namespace tarndb

#include "core/reader/mapping.h"

#include <errno.h>
#include <sys/mman.h>

#include <cstdint>
#include <string>
#include <utility>

#include "core/common/posix.h"
#include "core/reader/truncation_guard.h"

namespace tarndb {

Result<Mapping> Mapping::Map(int fd, uint64_t length, std::string_view path, bool populate) {
  if (length > static_cast<uint64_t>(INT64_MAX)) {
    return Error::Io("mmap failed: memory map length overflows isize", 0, std::string(path));
  }
  const size_t map_length = length == 0 ? 1 : static_cast<size_t>(length);
  void* p =
      ::mmap(nullptr, map_length, PROT_READ, MAP_SHARED | (populate ? MAP_POPULATE : 0), fd, 0);
  if (p == MAP_FAILED) return IoError("mmap failed: ", errno, path);
  return Mapping(static_cast<const uint8_t*>(p), map_length);
}

void Mapping::GuardTruncation() {
  if (guard_ < 0 && base_ != nullptr) guard_ = truncation_guard::Register(base_, length_);
}

bool Mapping::damaged() const { return truncation_guard::Damaged(guard_); }

void Mapping::Release() noexcept {
  truncation_guard::Unregister(std::exchange(guard_, -1));
  if (base_ != nullptr) ::munmap(const_cast<uint8_t*>(base_), length_);
  base_ = nullptr;
  length_ = 0;
}

}  // namespace tarndb

// Mapping: a read-only shared memory map of a whole file, unmapped when it
// goes away.
#ifndef TARNDB_CORE_READER_MAPPING_H_
#define TARNDB_CORE_READER_MAPPING_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "core/common/result.h"

namespace tarndb {

class Mapping {
 public:
  Mapping() = default;
  Mapping(Mapping&& o) noexcept
      : base_(std::exchange(o.base_, nullptr)),
        length_(std::exchange(o.length_, 0)),
        guard_(std::exchange(o.guard_, -1)) {}
  Mapping& operator=(Mapping&& o) noexcept {
    if (this != &o) {
      Release();
      base_ = std::exchange(o.base_, nullptr);
      length_ = std::exchange(o.length_, 0);
      guard_ = std::exchange(o.guard_, -1);
    }
    return *this;
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() { Release(); }

  // Map length bytes of fd from offset 0, read-only and shared. A zero
  // length is mapped as one byte so that the call succeeds for an empty
  // file. populate reads the whole file into the page cache now, for a warm
  // start. Fails with the I/O kind: "mmap failed: {error}", naming path.
  static Result<Mapping> Map(int fd, uint64_t length, std::string_view path, bool populate = false);

  const uint8_t* data() const { return base_; }

  // Watch the mapping for reads past the end of a file cut short while it
  // is mapped: they then read zeros and damaged() turns true, instead of
  // the process being killed (see truncation_guard.h).
  void GuardTruncation();
  bool damaged() const;

 private:
  Mapping(const uint8_t* base, size_t length) : base_(base), length_(length) {}
  void Release() noexcept;

  const uint8_t* base_ = nullptr;
  size_t length_ = 0;  // the length passed to mmap, for munmap
  int guard_ = -1;     // truncation_guard handle
};

}  // namespace tarndb

#endif  // TARNDB_CORE_READER_MAPPING_H_

// OffsetMap: a per-call hash map from object offsets to a 32-bit value, used
// to visit each object once (verify, objects listing) and to reuse an object
// already read (the items listing). Offsets come from the file, so the hash
// is keyed like the key index. Sized up front for the number of entries.
#ifndef TARNDB_CORE_READER_OFFSET_MAP_H_
#define TARNDB_CORE_READER_OFFSET_MAP_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/common/keyed_hash.h"

namespace tarndb {

class OffsetMap {
 public:
  explicit OffsetMap(size_t max_entries)
      : hash_key_(HashKey::ForNewTable()) {
    const size_t capacity = std::bit_ceil(max_entries * 2 < 8 ? size_t{8} : max_entries * 2);
    slots_.assign(capacity, Slot{kEmpty, 0});
    mask_ = capacity - 1;
  }

  // If offset is present, return a pointer to its value; otherwise insert
  // it with value and return nullptr.
  const uint32_t* FindOrInsert(uint64_t offset, uint32_t value) {
    if (offset == kEmpty) {  // the one offset that cannot live in a slot
      if (has_max_) return &max_value_;
      has_max_ = true;
      max_value_ = value;
      return nullptr;
    }
    for (uint64_t pos = SipHash13U64(hash_key_, offset) & mask_;; pos = (pos + 1) & mask_) {
      Slot& s = slots_[pos];
      if (s.offset == offset) return &s.value;
      if (s.offset == kEmpty) {
        s = Slot{offset, value};
        return nullptr;
      }
    }
  }

 private:
  static constexpr uint64_t kEmpty = ~uint64_t{0};
  struct Slot {
    uint64_t offset;
    uint32_t value;
  };

  std::vector<Slot> slots_;
  uint64_t mask_ = 0;
  bool has_max_ = false;
  uint32_t max_value_ = 0;
  HashKey hash_key_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_READER_OFFSET_MAP_H_

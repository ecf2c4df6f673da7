// Sorting a writer's keys into index order (unsigned bytewise, shorter key
// first on a common prefix).
#ifndef TARNDB_CORE_WRITER_KEY_SORT_H_
#define TARNDB_CORE_WRITER_KEY_SORT_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/writer/key_map.h"

namespace tarndb {

// The entry numbers of a key map's keys, in index order.
class KeyOrder {
 public:
  explicit KeyOrder(const KeyMap& keys);

  size_t size() const { return size_; }
  uint32_t operator[](size_t i) const {
    return in_order_ ? static_cast<uint32_t>(i) : digits_[i].entry;
  }

  // One key as the sort sees it: 8 of its bytes, from a depth that all keys
  // of its group share, read into a compact record once. Exposed for the
  // implementation only.
  struct Digit {
    uint64_t window;  // key bytes [depth, depth + 8), big-endian, zero-padded
    uint32_t entry;
    uint32_t rest;  // bytes of the key from depth, capped at 9 ("more than 8")
  };

 private:
  size_t size_;
  bool in_order_;              // no sort needed: the order is the entry order
  std::vector<Digit> digits_;  // sorted in place; holds the final order
};

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_KEY_SORT_H_

// The one key order of a store file: unsigned bytes compared over the common
// length, and where one key is a prefix of the other, the shorter first.
#ifndef TARNDB_CORE_FORMAT_KEY_ORDER_H_
#define TARNDB_CORE_FORMAT_KEY_ORDER_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarndb {

// A view of key bytes; the bytes are not owned.
struct KeyView {
  const unsigned char* data = nullptr;
  size_t size = 0;
};

namespace key_order_internal {

// The 8 bytes at p as a number that orders as the bytes do.
inline uint64_t OrderWord(const unsigned char* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
  return w;
}

}  // namespace key_order_internal

// Negative, zero or positive as a sorts before, equal to or after b.
inline int CompareKeys(KeyView a, KeyView b) {
  const size_t common = a.size < b.size ? a.size : b.size;
  if (common >= 8) {
    // Keys are short, and neighbours in order share long prefixes: 8 bytes
    // a step, the last step overlapping the one before (whose bytes were
    // equal), beats a call of memcmp.
    using key_order_internal::OrderWord;
    for (size_t i = 0;; i += 8) {
      const size_t at = i + 8 <= common ? i : common - 8;
      const uint64_t x = OrderWord(a.data + at);
      const uint64_t y = OrderWord(b.data + at);
      if (x != y) return x < y ? -1 : 1;
      if (at + 8 == common) break;
    }
  } else if (common != 0) {
    // memcmp compares as unsigned char, which is the order we need.
    const int c = std::memcmp(a.data, b.data, common);
    if (c != 0) return c;
  }
  return a.size < b.size ? -1 : (a.size > b.size ? 1 : 0);
}

inline bool KeysEqual(KeyView a, KeyView b) {
  return a.size == b.size && (a.size == 0 || std::memcmp(a.data, b.data, a.size) == 0);
}

}  // namespace tarndb

#endif  // TARNDB_CORE_FORMAT_KEY_ORDER_H_

// The one key order of a store file: unsigned bytes compared over the common
// length, and where one key is a prefix of the other, the shorter first.
#ifndef TARNDB_CORE_FORMAT_KEY_ORDER_H_
#define TARNDB_CORE_FORMAT_KEY_ORDER_H_

#include <cstddef>
#include <cstring>

namespace tarndb {

// A view of key bytes; the bytes are not owned.
struct KeyView {
  const unsigned char* data = nullptr;
  size_t size = 0;
};

// Negative, zero or positive as a sorts before, equal to or after b.
inline int CompareKeys(KeyView a, KeyView b) {
  const size_t common = a.size < b.size ? a.size : b.size;
  // memcmp compares as unsigned char, which is the order we need.
  const int c = common ? std::memcmp(a.data, b.data, common) : 0;
  if (c != 0) return c;
  return a.size < b.size ? -1 : (a.size > b.size ? 1 : 0);
}

inline bool KeysEqual(KeyView a, KeyView b) {
  return a.size == b.size && (a.size == 0 || std::memcmp(a.data, b.data, a.size) == 0);
}

}  // namespace tarndb

#endif  // TARNDB_CORE_FORMAT_KEY_ORDER_H_

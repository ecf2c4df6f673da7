// Packed pairs: a batch of (key, value) byte strings laid end to end in one
// buffer, each as key length (u32, big-endian), value length (u32), key
// bytes, value bytes. A sharded build hands each shard's part of a
// partition from worker to worker this way: one bytes object is pickled as
// one copy, where a list of keys and values is pickled object by object.
#ifndef TARNDB_BINDINGS_STORE_PACKED_PAIRS_H_
#define TARNDB_BINDINGS_STORE_PACKED_PAIRS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/format/coding.h"
#include "core/format/key_order.h"

namespace tarndb::py::store {

constexpr size_t kPackedPairHead = 8;

// Writes one pair at out; returns the end of what it wrote.
inline uint8_t* PutPackedPair(uint8_t* out, KeyView key, const uint8_t* value, size_t size) {
  StoreBE32(out, static_cast<uint32_t>(key.size));
  StoreBE32(out + 4, static_cast<uint32_t>(size));
  out += kPackedPairHead;
  if (key.size) std::memcpy(out, key.data, key.size);
  out += key.size;
  if (size) std::memcpy(out, value, size);
  return out + size;
}

// Reads pairs back in order, every length checked against the buffer.
class PackedPairReader {
 public:
  PackedPairReader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

  // The next pair, or false at the end or at a pair cut short (then
  // cut_short() is true).
  bool Next(KeyView* key, const uint8_t** value, size_t* value_size) {
    const size_t left = static_cast<size_t>(end_ - p_);
    if (left == 0) return false;
    if (left < kPackedPairHead) return cut_short_ = true, false;
    const size_t k = LoadBE32(p_), v = LoadBE32(p_ + 4);
    if (left - kPackedPairHead < k || left - kPackedPairHead - k < v) {
      return cut_short_ = true, false;
    }
    *key = KeyView{p_ + kPackedPairHead, k};
    *value = p_ + kPackedPairHead + k;
    *value_size = v;
    p_ += kPackedPairHead + k + v;
    return true;
  }
  bool cut_short() const { return cut_short_; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
  bool cut_short_ = false;
};

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_PACKED_PAIRS_H_

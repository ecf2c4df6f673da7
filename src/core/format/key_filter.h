// The key filter of a layer: a blocked Bloom filter over every key the file
// decides (its puts and its tombstones), so that a lookup in a stack of
// layers skips, with one cache line read, the layers that cannot hold the
// key.
//
//   KFLT version 1 (all integers big-endian):
//      0  probes u8          bits set per key, 1 to 16
//      1  reserved, 7 bytes  zero
//      8  block_count u64    blocks of 64 bytes, 1 or more
//     16  seed               two u64, k0 then k1: the SipHash-1-3 key
//     32  blocks             block_count x 64 bytes
//
// A key's hash h is SipHash-1-3 of its bytes under the seed; its block is
// the high 64 bits of the 128-bit product h x block_count. Then, starting
// from g = h, for each probe: g = (g xor (g >> 31)) x 0x9E3779B97F4A7C15
// (mod 2^64) and bit b = g >> 55 (0 to 511) of the block is set, that is
// bit b % 8 (least significant first) of the block's byte b / 8. A key may
// be in the file only when all its bits are set.
//
// Writers use kFilterSeed unless given another seed: a public seed lets
// every layer of a stack share one hash of the key. A caller who chooses
// keys that share a block only raises that block's false positives, which
// costs probes that a stack without filters makes anyway.
#ifndef TARNDB_CORE_FORMAT_KEY_FILTER_H_
#define TARNDB_CORE_FORMAT_KEY_FILTER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/common/keyed_hash.h"
#include "core/common/result.h"
#include "core/format/extension.h"
#include "core/format/hash_index.h"
#include "core/format/key_order.h"

namespace tarndb {

inline constexpr uint32_t kKeyFilterSection = SectionType("KFLT");
inline constexpr uint32_t kKeyFilterVersion = 1;
inline constexpr size_t kKeyFilterHeaderSize = 32;
inline constexpr size_t kFilterBlockBytes = 64;
// What a writer makes: 12 bits per key, 8 probes (about 0.5% of absent
// keys pass).
inline constexpr unsigned kFilterBitsPerKey = 12;
inline constexpr unsigned kFilterProbes = 8;
// The 16 ASCII bytes "tarndb key filtr" read as two little-endian u64.
inline constexpr HashKey kFilterSeed{0x6b2062646e726174ULL, 0x72746c6966207965ULL};

inline uint64_t FilterHash(HashKey seed, KeyView key) { return SipHash13(seed, key.data, key.size); }

// The bit positions of a hash within its block, in probe order.
inline unsigned FilterBit(uint64_t* g) {
  *g = (*g ^ (*g >> 31)) * 0x9E3779B97F4A7C15ULL;
  return static_cast<unsigned>(*g >> 55);
}

// The same spread as a hash index's home slot.
inline uint64_t FilterBlock(uint64_t h, uint64_t block_count) { return HomeSlot(h, block_count); }

// Builds the section for at most key_bound keys (a bound is enough: more
// blocks only lower the false positives).
class KeyFilterBuilder {
 public:
  explicit KeyFilterBuilder(uint64_t key_bound, HashKey seed = kFilterSeed);
  void Add(KeyView key);
  // The whole section.
  SectionBytes Finish() const;
  // Bytes of memory the builder holds.
  uint64_t memory_bytes() const { return blocks_.size(); }

 private:
  HashKey seed_;
  uint64_t block_count_ = 1;
  std::vector<uint8_t> blocks_;
};

// A filter section viewed where it lies (in a mapping that outlives it).
class KeyFilter {
 public:
  // Fails (corrupt kind) when its header and length disagree.
  static Result<KeyFilter> Parse(const uint8_t* data, size_t size);

  HashKey seed() const { return seed_; }
  // Whether a key with this hash (FilterHash under seed()) may be held.
  bool MayContain(uint64_t h) const {
    const uint8_t* block = blocks_ + kFilterBlockBytes * FilterBlock(h, block_count_);
    uint64_t g = h;
    for (unsigned i = 0; i < probes_; ++i) {
      const unsigned b = FilterBit(&g);
      if ((block[b >> 3] & (1u << (b & 7))) == 0) return false;
    }
    return true;
  }
  void Prefetch(uint64_t h) const {
    __builtin_prefetch(blocks_ + kFilterBlockBytes * FilterBlock(h, block_count_));
  }

 private:
  HashKey seed_;
  unsigned probes_ = 0;
  uint64_t block_count_ = 0;
  const uint8_t* blocks_ = nullptr;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_FORMAT_KEY_FILTER_H_

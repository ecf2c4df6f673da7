#include "core/common/shard_hash.h"

#include "core/common/siphash.h"

namespace tarndb {

uint64_t ShardHash(const void* data, size_t n) {
  return siphash::Hash(kShardHashK0, kShardHashK1, data, n);
}

// Lamping and Veach, "A Fast, Minimal Memory, Consistent Hash Algorithm"
// (2014), as published. The division and product are IEEE-754 double
// operations, rounded to nearest, so every conforming implementation
// (C, Java, Python floats, ...) takes the same jumps.
uint32_t JumpConsistentHash(uint64_t key, uint32_t buckets) {
  int64_t b = -1;
  int64_t j = 0;
  while (j < static_cast<int64_t>(buckets)) {
    b = j;
    key = key * 2862933555777941757ull + 1;
    j = static_cast<int64_t>(static_cast<double>(b + 1) * (static_cast<double>(int64_t{1} << 31) /
                                                           static_cast<double>((key >> 33) + 1)));
  }
  return static_cast<uint32_t>(b);
}

}  // namespace tarndb

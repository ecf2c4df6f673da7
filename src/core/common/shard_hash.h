// The shard function of sharded stores: which of n shard files holds a key.
//
// It must give the same answer on every machine, in every process and in
// every language that reads a sharded store, so it uses no per-process
// seed: SipHash-1-3 of the key bytes under a fixed, published key, then the
// jump consistent hash (Lamping and Veach) of that 64-bit value into n
// buckets. The jump hash moves as few keys as possible when n changes:
// going from n to n + 1 shards moves only the keys that land in the new
// shard, about 1 / (n + 1) of them. docs/format.md gives the definition and
// known answers.
#ifndef TARNDB_CORE_COMMON_SHARD_HASH_H_
#define TARNDB_CORE_COMMON_SHARD_HASH_H_

#include <cstddef>
#include <cstdint>

namespace tarndb {

// The SipHash-1-3 key: the 16 ASCII bytes "tarndb shard key", read as two
// little-endian 64-bit words ("tarndb s", then "hard key").
inline constexpr uint64_t kShardHashK0 = 0x732062646e726174ull;
inline constexpr uint64_t kShardHashK1 = 0x79656b2064726168ull;

// The largest shard count: the jump hash works on signed 32-bit buckets.
inline constexpr uint32_t kMaxShards = 0x7fffffffu;

// SipHash-1-3 of data[0, n) under the fixed key above.
uint64_t ShardHash(const void* data, size_t n);

// The jump consistent hash of key into [0, buckets); buckets is 1 to
// kMaxShards.
uint32_t JumpConsistentHash(uint64_t key, uint32_t buckets);

// The shard of a key among n shards: JumpConsistentHash(ShardHash(key), n).
inline uint32_t ShardOf(const void* data, size_t size, uint32_t n) {
  return JumpConsistentHash(ShardHash(data, size), n);
}

}  // namespace tarndb

#endif  // TARNDB_CORE_COMMON_SHARD_HASH_H_

// A keyed, randomly seeded hash for the in-memory hash tables.
//
// Keys of a store come from files and callers that may be hostile, so the
// tables hash with SipHash-1-3 (what CPython uses for str and bytes) under a
// secret key. The key of each table is derived from 64 bytes drawn once per
// process from the operating system's random source and from a per-table
// counter, so bucket layouts differ between tables and between runs.
#ifndef TARNDB_CORE_COMMON_KEYED_HASH_H_
#define TARNDB_CORE_COMMON_KEYED_HASH_H_

#include <cstddef>
#include <cstdint>

#include "core/common/siphash.h"

namespace tarndb {

struct HashKey {
  uint64_t k0 = 0;
  uint64_t k1 = 0;

  // A fresh key for one table.
  static HashKey ForNewTable();
  // A key drawn from the operating system's random source alone, for a
  // table stored in a file (its seed must not be derivable from others).
  static HashKey FromRandomSource();
};

// SipHash-1-3 of data[0, n) under key.
inline uint64_t SipHash13(HashKey key, const void* data, size_t n) {
  return siphash::Hash(key.k0, key.k1, data, n);
}

// SipHash-1-3 of one 64-bit value (for tables keyed by file offsets).
inline uint64_t SipHash13U64(HashKey key, uint64_t value) {
  return siphash::HashU64(key.k0, key.k1, value);
}

}  // namespace tarndb

#endif  // TARNDB_CORE_COMMON_KEYED_HASH_H_

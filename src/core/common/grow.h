// Growth helper for vectors that must stay unchanged when an allocation
// fails: reserve room for one more element up front, doubling as push_back
// would, so the push_back that follows cannot throw.
#ifndef TARNDB_CORE_COMMON_GROW_H_
#define TARNDB_CORE_COMMON_GROW_H_

#include <cstddef>
#include <vector>

namespace tarndb {

template <typename T>
void ReserveOneMore(std::vector<T>& v) {
  if (v.size() == v.capacity()) v.reserve(v.capacity() < 8 ? 8 : v.capacity() * 2);
}

}  // namespace tarndb

#endif  // TARNDB_CORE_COMMON_GROW_H_

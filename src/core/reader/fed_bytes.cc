#include "core/reader/fed_bytes.h"

#include <algorithm>
#include <cstring>

namespace tarndb {

void FedBytes::Feed(uint64_t offset, const uint8_t* bytes, size_t n) {
  if (offset >= file_size_ || n == 0) return;
  uint64_t begin = offset;
  uint64_t end = offset + std::min<uint64_t>(n, file_size_ - offset);
  // The first piece that may meet [begin, end): the one before begin.
  auto it = pieces_.upper_bound(begin);
  if (it != pieces_.begin()) {
    auto before = std::prev(it);
    if (before->first + before->second.size() >= begin) it = before;
  }
  std::vector<uint8_t> joined;
  auto first = it;
  for (; it != pieces_.end() && it->first <= end; ++it) {
    begin = std::min(begin, it->first);
    end = std::max<uint64_t>(end, it->first + it->second.size());
  }
  joined.resize(static_cast<size_t>(end - begin));
  // Older pieces first, then the new bytes over them (they are the same
  // file's bytes; a lying server is caught by the checks, not here).
  for (auto p = first; p != it; ++p) {
    std::memcpy(joined.data() + (p->first - begin), p->second.data(), p->second.size());
  }
  std::memcpy(joined.data() + (offset - begin), bytes,
              static_cast<size_t>(std::min<uint64_t>(n, file_size_ - offset)));
  pieces_.erase(first, it);
  pieces_.emplace(begin, std::move(joined));
}

uint64_t FedBytes::HeldFrom(uint64_t offset, const uint8_t** at) const {
  auto it = pieces_.upper_bound(offset);
  if (it == pieces_.begin()) return 0;
  --it;
  const uint64_t end = it->first + it->second.size();
  if (offset >= end) return 0;
  *at = it->second.data() + (offset - it->first);
  return end - offset;
}

const uint8_t* FedBytes::Get(uint64_t offset, uint64_t len, uint64_t want, bool table) {
  const uint8_t* at = nullptr;
  if (len > 0 && HeldFrom(offset, &at) >= len) return at;
  Want(offset, std::max(len, want), table);
  return nullptr;
}

void FedBytes::Want(uint64_t offset, uint64_t len, bool table) {
  if (offset >= file_size_ || len == 0) return;
  const uint64_t end = offset + std::min(len, file_size_ - offset);
  const uint8_t* at = nullptr;
  if (HeldFrom(offset, &at) >= end - offset) return;
  needed_.push_back({offset, end, table});
}

}  // namespace tarndb

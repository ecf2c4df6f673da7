// Most-significant-digit sort with 8-byte digits.
//
// Comparing keys through pointers into the arena costs two cache misses per
// comparison. Instead each key is represented by the 8 bytes at the current
// depth, read once into a compact record, and the records are sorted as
// integers. Keys that tie on all 8 bytes and go on beyond them form a run
// that is sorted again on the next 8 bytes. Realistic keys share long
// prefixes ("user/004211/profile"), which this handles with a few passes
// over small runs instead of many long memcmp calls.
#include "core/writer/key_sort.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace tarndb {
namespace {

struct Digit {
  uint64_t window;  // key bytes [depth, depth + 8), big-endian, zero-padded
  uint32_t entry;
  uint32_t rest;    // bytes of the key from depth, capped at 9 ("more than 8")
};

constexpr uint32_t kContinues = 9;

// Shorter keys sort first among equal windows: a key that ends inside the
// window is a prefix of any other key with that window.
inline bool DigitLess(const Digit& a, const Digit& b) {
  return a.window != b.window ? a.window < b.window : a.rest < b.rest;
}

Digit MakeDigit(const KeyMap& keys, uint32_t entry, size_t depth) {
  const KeyView k = keys.Key(entry);
  uint8_t buf[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  const size_t avail = k.size > depth ? k.size - depth : 0;
  const size_t take = avail < 8 ? avail : 8;
  if (take) std::memcpy(buf, k.data + depth, take);
  uint64_t w = 0;
  for (uint8_t b : buf) w = (w << 8) | b;
  return Digit{w, entry, static_cast<uint32_t>(avail > 8 ? kContinues : avail)};
}

// Sort order[first, last), whose keys all share their first `depth` bytes.
void SortRun(const KeyMap& keys, uint32_t* order, size_t n, size_t depth,
             std::vector<Digit>& scratch) {
  if (n < 2) return;
  scratch.resize(n);
  for (size_t i = 0; i < n; ++i) scratch[i] = MakeDigit(keys, order[i], depth);
  std::sort(scratch.begin(), scratch.begin() + static_cast<ptrdiff_t>(n), DigitLess);
  for (size_t i = 0; i < n; ++i) order[i] = scratch[i].entry;

  // Find runs that tie on the whole window and continue past it. Their
  // bounds are collected first because recursion reuses the scratch space.
  std::vector<std::pair<size_t, size_t>> runs;
  for (size_t i = 0; i < n;) {
    size_t j = i + 1;
    while (j < n && scratch[j].window == scratch[i].window && scratch[j].rest == scratch[i].rest) {
      ++j;
    }
    if (j - i > 1 && scratch[i].rest == kContinues) runs.emplace_back(i, j - i);
    i = j;
  }
  for (const auto& [start, len] : runs) SortRun(keys, order + start, len, depth + 8, scratch);
}

}  // namespace

std::vector<uint32_t> SortedEntries(const KeyMap& keys) {
  std::vector<uint32_t> order(keys.size());
  std::iota(order.begin(), order.end(), uint32_t{0});
  std::vector<Digit> scratch;
  SortRun(keys, order.data(), order.size(), 0, scratch);
  return order;
}

}  // namespace tarndb

// Most-significant-digit sort with 8-byte digits.
//
// Comparing keys through pointers into the arena costs two cache misses per
// comparison. Instead each key is represented by the 8 bytes at the current
// depth, read once into a compact record, and the records are sorted as
// integers, byte by byte. Keys that tie on all 8 bytes and go on beyond them form a run
// that is sorted again on the next 8 bytes; short runs are finished by
// direct comparison. Realistic keys share long prefixes
// ("user/004211/profile"), which this handles with a few passes over small
// runs instead of many long memcmp calls.
#include "core/writer/key_sort.h"

#include <algorithm>
#include <cstring>

namespace tarndb {
namespace {

using Digit = KeyOrder::Digit;

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

// Digits are sorted by an in-place most-significant-byte radix sort of the
// window ("American flag sort"): bytes on which a group agrees cost one
// counting pass and no moves, and small groups fall back to comparisons.
constexpr size_t kSmallGroup = 48;

void SortDigits(Digit* a, size_t n, int byte) {
  for (;;) {
    if (n <= kSmallGroup) {
      std::sort(a, a + n, DigitLess);
      return;
    }
    if (byte < 0) {  // equal windows: order by how far each key goes on
      std::sort(a, a + n, [](const Digit& x, const Digit& y) { return x.rest < y.rest; });
      return;
    }
    const unsigned shift = 8 * static_cast<unsigned>(byte);
    size_t count[256] = {};
    for (size_t i = 0; i < n; ++i) ++count[(a[i].window >> shift) & 0xFF];
    if (count[(a[0].window >> shift) & 0xFF] == n) {  // all agree on this byte
      --byte;
      continue;
    }
    size_t next[256];  // where the next element of each bucket goes
    size_t end[256];
    size_t sum = 0;
    for (size_t b = 0; b < 256; ++b) {
      next[b] = sum;
      sum += count[b];
      end[b] = sum;
    }
    // Cycle leader: put every element into its bucket with one move each.
    for (size_t b = 0; b < 256; ++b) {
      while (next[b] < end[b]) {
        Digit d = a[next[b]];
        size_t db = (d.window >> shift) & 0xFF;
        while (db != b) {
          std::swap(d, a[next[db]++]);
          db = (d.window >> shift) & 0xFF;
        }
        a[next[b]++] = d;
      }
    }
    size_t start = 0;
    for (size_t b = 0; b < 256; ++b) {
      if (count[b] > 1) SortDigits(a + start, count[b], byte - 1);
      start += count[b];
    }
    return;
  }
}

// Runs this short are finished with direct comparisons from the shared
// depth on; memcmp is quick over a long common prefix, and the run does not
// need another pass.
constexpr size_t kSmallRun = 16;

struct Run {
  size_t start;
  size_t size;
  size_t depth;  // the keys of the run share their first `depth` bytes
};

// Sort one run of digits in place; push the sub-runs that need the next 8
// bytes onto `work`.
void SortRun(const KeyMap& keys, Digit* digits, const Run& run, std::vector<Run>& work) {
  Digit* base = digits + run.start;
  const size_t n = run.size;
  if (n <= kSmallRun) {
    std::sort(base, base + n, [&keys, depth = run.depth](const Digit& a, const Digit& b) {
      const KeyView ka = keys.Key(a.entry);
      const KeyView kb = keys.Key(b.entry);
      return CompareKeys(KeyView{ka.data + depth, ka.size - depth},
                         KeyView{kb.data + depth, kb.size - depth}) < 0;
    });
    return;
  }
  if (run.depth > 0) {
    for (size_t i = 0; i < n; ++i) {
      // Below the first level a run's keys lie scattered in the arena.
      if (i + 16 < n) keys.PrefetchEntry(base[i + 16].entry);
      if (i + 8 < n) keys.PrefetchKey(base[i + 8].entry);
      base[i] = MakeDigit(keys, base[i].entry, run.depth);
    }
  }
  SortDigits(base, n, 7);
  // Keys that tie on the whole window and go on past it form a sub-run.
  for (size_t i = 0; i < n;) {
    size_t j = i + 1;
    while (j < n && base[j].window == base[i].window && base[j].rest == base[i].rest) ++j;
    if (j - i > 1 && base[i].rest == kContinues) {
      work.push_back(Run{run.start + i, j - i, run.depth + 8});
    }
    i = j;
  }
}

}  // namespace

KeyOrder::KeyOrder(const KeyMap& keys) : size_(keys.size()), in_order_(keys.in_order()) {
  if (in_order_) return;  // the keys arrived sorted: entry i is the i-th key
  digits_.resize(size_);
  // The first level reads the keys in arena order, front to back.
  for (size_t e = 0; e < digits_.size(); ++e) {
    digits_[e] = MakeDigit(keys, static_cast<uint32_t>(e), 0);
  }
  // An explicit work list instead of recursion: keys of 65,535 bytes that
  // share long prefixes would otherwise nest thousands of calls deep.
  std::vector<Run> work{Run{0, digits_.size(), 0}};
  while (!work.empty()) {
    const Run run = work.back();
    work.pop_back();
    SortRun(keys, digits_.data(), run, work);
  }
}

}  // namespace tarndb

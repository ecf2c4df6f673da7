// The tombstone section of a delta: the keys a layer deletes from the
// layers below it, in index order, with samples for a binary search.
//
//   TOMB version 1 (all integers big-endian):
//      0  count u64           tombstones
//      8  shift u8            4: a sample every 16 entries
//      9  reserved, 7 bytes   zero
//     16  samples             ceil(count / 16) u64: positions of entries
//                             0, 16, 32, ... relative to the first entry
//     ..  entries             key_len u16 | key, strictly increasing in key
//                             order, back to back to the section's end
//
// A file holds a key either in its index or as a tombstone, never both.
// Readers that know only the store format ignore the section: they read
// the file as the store of its puts.
#ifndef TARNDB_CORE_FORMAT_TOMBSTONES_H_
#define TARNDB_CORE_FORMAT_TOMBSTONES_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/common/result.h"
#include "core/format/extension.h"
#include "core/format/key_order.h"

namespace tarndb {

inline constexpr uint32_t kTombstoneSection = SectionType("TOMB");
inline constexpr uint32_t kTombstoneVersion = 1;
inline constexpr size_t kTombstoneHeaderSize = 16;
inline constexpr unsigned kTombstoneSampleShift = 4;

// Builds the section from keys given in strictly increasing order.
class TombstoneSectionBuilder {
 public:
  void Add(KeyView key);
  uint64_t count() const { return count_; }
  // The whole section; the builder is left empty.
  SectionBytes Finish();

 private:
  uint64_t count_ = 0;
  std::vector<uint64_t> samples_;
  std::vector<uint8_t> entries_;
};

// A tombstone section viewed where it lies (in a mapping that outlives it),
// checked whole when parsed: every entry in bounds and in order, every
// sample where it should be. An empty list stands for a file without one.
class TombstoneList {
 public:
  TombstoneList() = default;
  // Fails (corrupt kind) naming what does not hold together.
  static Result<TombstoneList> Parse(const uint8_t* data, size_t size);

  uint64_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  bool Contains(KeyView key) const;

  // Entries from a position (relative to the first entry) on, in order.
  class Cursor {
   public:
    bool done() const { return pos_ >= end_; }
    KeyView key() const { return KeyView{base_ + pos_ + 2, key_size_}; }
    void Next() { Seek(pos_ + 2 + key_size_); }

   private:
    friend class TombstoneList;
    void Seek(size_t pos);
    const uint8_t* base_ = nullptr;
    size_t pos_ = 0;
    size_t end_ = 0;
    size_t key_size_ = 0;
  };
  Cursor Begin() const { return CursorAt(0); }
  // The first entry whose key is not less than key.
  Cursor LowerBound(KeyView key) const;

 private:
  Cursor CursorAt(size_t pos) const;
  // The position of the last sampled entry whose key is not greater than
  // key (0 when none is).
  size_t SampleBefore(KeyView key) const;

  const uint8_t* samples_ = nullptr;
  uint64_t sample_count_ = 0;
  const uint8_t* entries_ = nullptr;
  size_t entries_size_ = 0;
  uint64_t count_ = 0;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_FORMAT_TOMBSTONES_H_

// EntrySamples: the positions of every 16th index entry (entries 0, 16,
// 32, ...), relative to the index section's start. With them a reader
// reaches entry i by walking at most 15 entries, and binary-searches the
// sorted index by sampled keys, without holding a position per entry.
#ifndef TARNDB_CORE_READER_ENTRY_SAMPLES_H_
#define TARNDB_CORE_READER_ENTRY_SAMPLES_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/format/coding.h"
#include "core/format/hash_index.h"

namespace tarndb {

class EntrySamples {
 public:
  static constexpr unsigned kShift = kSampleShift;

  EntrySamples() = default;
  // Samples kept in the file: count big-endian u64 positions at p.
  static EntrySamples Mapped(const uint8_t* p, uint64_t count) {
    EntrySamples s;
    s.mapped_ = p;
    s.count_ = count;
    return s;
  }

  void Reserve(uint64_t entries) { owned_.reserve((entries >> kShift) + 1); }
  void Append(uint64_t pos) {
    owned_.push_back(pos);
    count_ = owned_.size();
  }
  void Clear() {
    owned_.clear();
    owned_.shrink_to_fit();
    count_ = 0;
  }

  uint64_t count() const { return count_; }
  // Whether the samples are the file's own (checked where they are used)
  // rather than the reader's.
  bool mapped() const { return mapped_ != nullptr; }
  uint64_t At(uint64_t k) const { return mapped_ ? SamplesHeader::PositionAt(mapped_, k) : owned_[k]; }
  uint64_t owned_bytes() const { return owned_.capacity() * sizeof(uint64_t); }

 private:
  const uint8_t* mapped_ = nullptr;
  uint64_t count_ = 0;
  std::vector<uint64_t> owned_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_READER_ENTRY_SAMPLES_H_

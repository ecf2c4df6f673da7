// RecordCopier: a compaction's records, copied as stored bytes from the
// layers' mappings into the new store's data section, in the order the
// merge names them.
//
// Records that follow one another in a layer and are named one after the
// other (a base written in key order and read in key order) are copied as
// one run: a single append of their bytes, which the data file's appender
// takes through its buffer, or, for a long run, straight from the mapping
// with one write. Each record's CRC-32 is still checked on the way.
//
// An object that several entries of one layer name is copied once: before
// the merge, a pass over each layer's index finds the offsets named more
// than once (one bit per 8 bytes of its data section, in windows of at
// most half the budget); each such record then costs 16 bytes until the
// merge ends, which keeps where its copy went.
#ifndef TARNDB_CORE_WRITER_RECORD_COPIER_H_
#define TARNDB_CORE_WRITER_RECORD_COPIER_H_

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/common/result.h"
#include "core/reader/layers.h"
#include "core/writer/spill_file.h"

namespace tarndb {

// The records of one layer that more than one of its entries name, sorted,
// with the offset of each one's copy once made.
class SharedObjects {
 public:
  static constexpr uint64_t kNotCopied = UINT64_MAX;

  // Read the whole index of r; memory bounds the bitmap's window.
  static Result<SharedObjects> Find(const Reader& r, uint64_t memory);

  uint64_t memory_bytes() const { return offsets_.size() * 16; }
  // Where the copy of the record at offset went (kNotCopied: not yet), or
  // null when the record is not shared.
  uint64_t* Copy(uint64_t offset) {
    if (offsets_.empty()) return nullptr;
    auto it = std::lower_bound(offsets_.begin(), offsets_.end(), offset);
    if (it == offsets_.end() || *it != offset) return nullptr;
    return &copies_[static_cast<size_t>(it - offsets_.begin())];
  }

 private:
  std::vector<uint64_t> offsets_;
  std::vector<uint64_t> copies_;
};

class RecordCopier {
 public:
  // out appends to the new data section; shared: one per layer of stack.
  RecordCopier(const LayerStack& stack, std::vector<SharedObjects> shared, Appender* out)
      : stack_(stack), shared_(std::move(shared)), out_(out) {}

  // The offset in the new file of the record at offset of layer: where a
  // shared record was copied before, else copied now. Fails (corrupt kind,
  // naming the layer's file and the offset) for a record that does not fit
  // in its file or whose CRC-32 does not match, and as the appender fails.
  Result<uint64_t> Copy(uint32_t layer, uint64_t offset);
  // Append the run still pending: after the last Copy.
  Status Finish() { return FlushRun(); }

  uint64_t records() const { return records_; }

 private:
  Status FlushRun();

  const LayerStack& stack_;
  std::vector<SharedObjects> shared_;
  Appender* out_;
  uint64_t records_ = 0;
  // The run being gathered: records [begin, end) of layer, at bytes in
  // its mapping, to go to out_begin in the new file.
  struct Run {
    uint32_t layer = 0;
    uint64_t begin = 0;
    uint64_t end = 0;
    const uint8_t* bytes = nullptr;
    uint64_t out_begin = 0;
  } run_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_RECORD_COPIER_H_

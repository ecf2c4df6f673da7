// Sorted runs of keys in a spill file, and the merge that joins them: the
// external sort that keeps a writer's keys within its memory budget.
//
// A run is a key map's entries in index order, each as
//   key_len u16 | key | object ID u32   (big-endian, back to back)
// Runs are numbered in the order they were written; for a key found in
// several runs the entry of the latest run wins, as the last put of a key
// does in memory.
#ifndef TARNDB_CORE_WRITER_KEY_RUNS_H_
#define TARNDB_CORE_WRITER_KEY_RUNS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "core/common/result.h"
#include "core/format/coding.h"
#include "core/format/key_order.h"
#include "core/writer/external_sort.h"
#include "core/writer/key_map.h"
#include "core/writer/key_sort.h"

namespace tarndb {

// The record of a key in a run, for the external sorter.
struct KeyRecordFormat {
  static constexpr size_t kHead = 2;
  static constexpr size_t kMaxRecord = 2 + 65535 + 4;
  static KeyView Key(const uint8_t* r) { return KeyView{r + 2, LoadBE16(r)}; }
  static uint32_t ObjectId(const uint8_t* r) { return LoadBE32(r + 2 + LoadBE16(r)); }
  size_t SizeAt(const uint8_t* r) const { return 2 + size_t{LoadBE16(r)} + 4; }
  bool Less(const uint8_t* a, const uint8_t* b) const { return CompareKeys(Key(a), Key(b)) < 0; }
};

class KeyRuns {
 public:
  // A repeated key across runs (keep-first writers): the IDs of its first
  // two puts.
  using RepeatSink = std::function<void(KeyView key, uint32_t first_id, uint32_t repeat_id)>;

  explicit KeyRuns(std::string spill_dir) : sorter_(std::move(spill_dir), KeyRecordFormat{}) {}

  bool empty() const { return sorter_.empty(); }
  size_t size() const { return sorter_.runs(); }

  // Write the entries of keys in `order` as the newest run. On failure
  // nothing is added and the bytes written are given back.
  Status Spill(const KeyMap& keys, const KeyOrder& order, size_t buffer_size);

  // Merge all runs, calling emit(key, obj_id) once per distinct key in
  // index order (the winning entry: the latest run's, or with keep_first
  // the earliest's), and repeat for every key in more than one run. At most
  // memory bytes go to read buffers.
  Status Merge(size_t memory, bool keep_first, const RepeatSink& repeat,
               const std::function<Status(KeyView key, uint32_t obj_id)>& emit);

 private:
  ExternalSorter<KeyRecordFormat> sorter_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_KEY_RUNS_H_

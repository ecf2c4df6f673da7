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
#include <vector>

#include "core/common/result.h"
#include "core/format/key_order.h"
#include "core/writer/key_map.h"
#include "core/writer/key_sort.h"
#include "core/writer/spill_file.h"

namespace tarndb {

// The largest entry of a run.
inline constexpr size_t kMaxRunEntry = 2 + 65535 + 4;
// The smallest read or write buffer of a run: it holds any entry.
inline constexpr size_t kMinRunBuffer = size_t{128} << 10;

class KeyRuns {
 public:
  struct Run {
    uint64_t begin = 0;
    uint64_t bytes = 0;
    uint64_t count = 0;
  };
  // A repeated key across runs (keep-first writers): the IDs of its first
  // two puts.
  using RepeatSink = std::function<void(KeyView key, uint32_t first_id, uint32_t repeat_id)>;

  explicit KeyRuns(std::string spill_dir) : spill_dir_(std::move(spill_dir)) {}

  bool empty() const { return runs_.empty(); }
  size_t size() const { return runs_.size(); }
  uint64_t entries() const;

  // Write the entries of keys in `order` as the newest run. On failure
  // nothing is added and the bytes written are given back.
  Status Spill(const KeyMap& keys, const KeyOrder& order, size_t buffer_size);

  // Merge all runs, calling emit(key, obj_id) once per distinct key in
  // index order (the winning entry: the latest run's, or with keep_first
  // the earliest's), and repeat for every key in more than one run. At most
  // memory bytes go to read buffers: more runs than fit are first merged
  // in groups into new runs, which replace them.
  Status Merge(size_t memory, bool keep_first, const RepeatSink& repeat,
               const std::function<Status(KeyView key, uint32_t obj_id)>& emit);

 private:
  Status EnsureFile();
  // Merge runs [first, last) into emit; see Merge.
  Status MergeGroup(size_t first, size_t last, size_t buffer, bool keep_first,
                    const RepeatSink& repeat,
                    const std::function<Status(KeyView key, uint32_t obj_id)>& emit);

  std::string spill_dir_;
  SpillFile file_;
  uint64_t end_ = 0;  // of the last run
  std::vector<Run> runs_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_KEY_RUNS_H_

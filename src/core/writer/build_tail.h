// What a build writes after the data section: the extension record (when
// the file gets one) and the index section, from the writer's keys held in
// memory or merged from their spilled runs.
#ifndef TARNDB_CORE_WRITER_BUILD_TAIL_H_
#define TARNDB_CORE_WRITER_BUILD_TAIL_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/common/keyed_hash.h"
#include "core/common/result.h"
#include "core/format/extension.h"
#include "core/writer/key_map.h"
#include "core/writer/key_runs.h"
#include "core/writer/layer_sections.h"
#include "core/writer/record_store.h"
#include "core/writer/spill_file.h"

namespace tarndb {

struct TailInput {
  const RecordStore* records = nullptr;
  bool hash_index = false;                              // an extension block with a hash index
  const std::vector<SectionBytes>* sections = nullptr;  // the caller's sections (may be empty)
  HashKey seed;                                         // of the hash index
  size_t buffer = 0;                                    // write buffer
  LayerSections* layer = nullptr;  // tombstones and filter (may be null: none)
  bool layered() const { return layer != nullptr && layer->active(); }
  bool has_extension() const { return hash_index || !sections->empty() || layered(); }
};

// What was written: the index's entries, the extension record's bytes (0
// without one), and the size and CRC-32 of everything after the data.
struct TailFigures {
  uint64_t num_keys = 0;
  uint64_t ext_bytes = 0;
  uint64_t bytes = 0;
  uint32_t crc = 0;
};

// Keys held in memory: append the tail to out, which stands at the end of
// the data section.
Status AppendTail(const KeyMap& keys, const TailInput& in, Appender* out, TailFigures* figures);

// How the spilled runs are merged: keeping each key's first put or last,
// with the memory for read buffers, and where repeats are reported.
struct MergeInput {
  KeyRuns* runs = nullptr;
  bool keep_first = false;
  KeyRuns::RepeatSink repeat;
  size_t memory = 0;
  std::string spill_dir;  // for the index while the extension block is built
  // Asked once the index is merged: true when the build fails anyway (a
  // repeated key), so that the extension block is not built for nothing.
  std::function<bool()> fails_anyway;
};

// Keys in runs: write the tail to the data file from the end of the data
// section on.
Status WriteTailFromRuns(const MergeInput& merge, const TailInput& in, const SpillFile& data,
                         TailFigures* figures);

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_BUILD_TAIL_H_

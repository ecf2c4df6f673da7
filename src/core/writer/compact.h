// Compaction: a stack of layers (a base and its deltas) merged into one
// store without tombstones, by a streaming k-way merge of the layers'
// sorted indexes and tombstone lists (LayerStack::Merge). The newest layer
// that holds a key decides it; a deleted key is dropped.
//
// Values are copied as stored bytes, never decoded: each record's CRC-32
// is checked as it is copied, and the copy keeps it; records that follow
// one another in a layer and in the merge go as one run (record_copier.h).
// An object that several keys of one layer share stays one object.
//
// The merge has what a build from unsorted keys must work for: keys in
// index order, once each, with their records' bytes. So the new file is
// written directly, not through a Writer: the records stream into a data
// file beside the target; the index entries, whose positions and record
// offsets are known as they are made, stream into a spill file (the
// extension block goes before them); the hash index's slots are placed
// from the merged keys by StreamedHashIndex, without a sort. The file is
// published as a writer's build publishes it: atomically, durably, and
// only when the whole merge succeeded.
//
// Memory: finding the shared objects of a layer takes one bit per 8 bytes
// of its data section, in windows of at most half the budget; each shared
// object then costs 16 bytes until the merge ends. The hash index's items
// take 16 bytes a key, held up to what the budget leaves (the rest spill);
// the samples 0.5 bytes a key; a key filter, when asked for, 1.5 bytes a
// key; two write buffers and 4 MiB for placing the slots.
#ifndef TARNDB_CORE_WRITER_COMPACT_H_
#define TARNDB_CORE_WRITER_COMPACT_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/common/result.h"
#include "core/format/extension.h"
#include "core/reader/layers.h"
#include "core/writer/writer.h"

namespace tarndb {

struct CompactOptions {
  // Of the output: memory_limit is the whole compaction's budget;
  // extension asks for a hash index, filter for a key filter; the seed,
  // spill_dir and target apply as for a writer (records, unique_keys are
  // not used).
  WriterOptions writer;
  // Sections for the output's extension block (a value codec, say).
  std::vector<SectionBytes> sections;
  // Called every 65,536 keys with the live keys written so far; returning
  // false stops the compaction (failing with the I/O kind, errno EINTR)
  // before anything is published.
  std::function<bool(uint64_t keys_done)> progress;
};

// Merge stack into a new store at path. Fails, publishing nothing, with
// the corrupt kind for a record whose CRC-32 does not match (naming the
// layer's file and the offset), or as a writer's build fails.
Result<BuildFigures> Compact(const LayerStack& stack, const std::string& path,
                             CompactOptions options);

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_COMPACT_H_

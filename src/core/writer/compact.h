// Compaction: a stack of layers (a base and its deltas) merged into one
// store without tombstones, by a streaming k-way merge of the layers'
// sorted indexes and tombstone lists (LayerStack::Merge). The newest layer
// that holds a key decides it; a deleted key is dropped.
//
// Values are copied as stored bytes, never decoded: each record's CRC-32
// is checked as it is copied, and the copy keeps it. An object that
// several keys of one layer share stays one object. The output is built by
// the one writer engine (Writer, records streamed into a data file beside
// the target) and published by its build: atomically, durably, and only
// when the whole merge succeeded. Its keys arrive in index order, so the
// writer needs no sort of its own, and spill within its budget as any
// writer's keys do.
//
// Memory: finding the shared objects of a layer takes one bit per 8 bytes
// of its data section, in windows of at most half the budget (a layer
// whose bitmap is larger is read once per window); each shared object then
// costs 12 bytes until the merge ends. The writer gets the budget less
// those. Nothing else grows with the stack.
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
  // Of the output (records are always streamed to a data file beside it);
  // memory_limit is the whole compaction's budget.
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

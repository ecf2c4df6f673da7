// The binding's one door to the core's writer. Every name of the core's
// writer API that the binding uses (its classes, options, limits and the
// checks of a target) appears here and in core_writer.cc, so that a change
// to that API is met in this one place.
#ifndef TARNDB_BINDINGS_STORE_CORE_WRITER_H_
#define TARNDB_BINDINGS_STORE_CORE_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/common/keyed_hash.h"
#include "core/common/result.h"
#include "core/format/extension.h"
#include "core/reader/layers.h"
#include "core/writer/memory_budget.h"
#include "core/writer/writer.h"

namespace tarndb::py::store {

// The writer a Writer instance holds: values and keys in bounded memory,
// built into a store file.
using CoreWriter = Writer;

// The smallest and the default memory budget of a writer, in bytes.
inline constexpr uint64_t kWriterMinMemory = kMinMemoryLimit;
inline constexpr uint64_t kWriterDefaultMemory = kDefaultMemoryLimit;

// What Writer()'s arguments ask for; absent: the core's default.
struct WriterSettings {
  std::optional<uint64_t> memory_limit;
  std::optional<std::string> spill_dir;
  std::optional<bool> hash_index;
  std::optional<std::string> target;  // checked by CheckTarget
  std::optional<bool> unique_keys;
  std::optional<HashKey> seed;
  std::optional<bool> filter;
};

// Whether target is something a store may replace (not a directory,
// device, FIFO or socket), before a writer bound to it writes values into
// its directory.
Status CheckTarget(const std::string& target);

// A new writer with settings.
CoreWriter NewCoreWriter(WriterSettings settings);

// Merge stack into one store at path (core/writer/compact.h), with the
// writer's settings (memory_limit is the compaction's budget), sections for
// its extension block, and progress called every 65,536 keys (false stops).
Result<BuildFigures> CompactStack(const LayerStack& stack, const std::string& path,
                                  WriterSettings settings, std::vector<SectionBytes> sections,
                                  std::function<bool(uint64_t)> progress);

// Ok, or the core's error for a key of size bytes, over the length limit.
Status CheckKeyLength(size_t size);

// Publish data[0, size) as the whole file at path (the core's publishing
// path: a temporary name beside it, locked, synced, renamed).
Status PublishSmallFile(const uint8_t* data, size_t size, const std::string& path);

}  // namespace tarndb::py::store

#endif  // TARNDB_BINDINGS_STORE_CORE_WRITER_H_

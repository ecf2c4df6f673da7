// Writer: collects objects and keys in memory and builds a store file.
//
// Objects are kept as ready-made ObjectRecords (length, CRC-32, payload)
// back to back in one ChunkedArena, which is therefore the data section of
// the file byte for byte: building writes it out without a second copy.
// Object IDs are dense and 0-based; identical payloads get separate IDs.
#ifndef TARNDB_CORE_WRITER_WRITER_H_
#define TARNDB_CORE_WRITER_WRITER_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/result.h"
#include "core/format/key_order.h"
#include "core/writer/chunked_arena.h"
#include "core/writer/key_map.h"
#include "core/writer/key_sort.h"

namespace tarndb {

class ExtensionBuilder;

// How to build: with the extension block (hash index and entry samples) or
// exactly the base format.
struct BuildOptions {
  bool extension = false;
};

// What a build wrote: counts and the file's size in bytes.
struct BuildFigures {
  uint64_t objects = 0;
  uint64_t keys = 0;
  uint64_t bytes = 0;
};

class Writer {
 public:
  Writer() = default;
  Writer(Writer&&) = default;
  Writer& operator=(Writer&&) = default;

  // Copy payload[0, n) as a new object and return its ID. Fails (other kind)
  // for a payload over 4,294,967,295 bytes or a 4,294,967,296th object;
  // the writer is then unchanged.
  Result<uint64_t> AddObject(const uint8_t* payload, size_t n);

  // Whether a key of key_size bytes fits a store file: fails (other kind)
  // with "key of {n} bytes exceeds the 65535-byte limit" when it does not.
  static Status CheckKeyLength(size_t key_size);

  // Map key to obj_id; a key already present is re-pointed (last call wins).
  // Fails (other kind), leaving the writer unchanged, for a key over 65,535
  // bytes, an obj_id that names no object, or a 4,294,967,296th key.
  Status AddKey(KeyView key, uint64_t obj_id);

  uint64_t object_count() const { return record_pos_.size(); }
  // Distinct keys. Applies the queued key puts first, which changes nothing
  // observable; hence not const.
  uint64_t key_count() {
    if (keys_.pending() != 0) keys_.Flush();
    return keys_.size();
  }

  // Write the store file to path atomically (temporary file, fsync, rename,
  // directory sync) and report what was written. The writer's objects and
  // keys are not changed (queued key puts are applied first; with none
  // queued, Build and key_count only read the writer, so that they may run
  // at the same time). Defined in build.cc.
  Result<BuildFigures> Build(std::string_view path, const BuildOptions& options = {});

 private:
  // Write header, data and index to the temporary file (with the
  // permission bits mode, when given), sync it, rename it to path and sync
  // the directory; returns the file's size. Defined in build.cc.
  Result<uint64_t> WriteAndPublish(const std::string& tmp, std::string_view path,
                                   const KeyOrder& order, const ExtensionBuilder* ext,
                                   std::optional<mode_t> mode) const;
  // The extension block for the keys in order. Defined in build.cc.
  std::unique_ptr<ExtensionBuilder> MakeExtension(const KeyOrder& order) const;

  ChunkedArena records_;              // the data section, without the header
  std::vector<uint64_t> record_pos_;  // position of each record in records_
  KeyMap keys_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_WRITER_H_

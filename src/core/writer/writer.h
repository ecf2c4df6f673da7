// Writer: collects objects and keys and builds a store file; the one writer
// engine behind both bindings.
//
// Objects get dense, 0-based IDs in the order they are added (identical
// payloads get separate IDs); their records wait for the build in a
// RecordStore: streamed to a data file that becomes the store, or held in
// memory. Keys are kept in a KeyMap until they would pass the memory
// budget, then written out as a sorted run (key_runs.h); building merges
// the runs. The last put of a key wins, or, for a unique-key writer, a
// key put twice fails the build.
//
// How each place of the records builds:
//   - data file: the build appends the extension block and the index to
//     the data file, writes the header and publishes the file (publish.h):
//     linked into place, or copied where it lies on another file system.
//   - memory: the build writes the whole file into a temporary file named
//     beside the target from its creation (NamedTempFile), then renames it.
//     Its failures keep that file's name (emptied when its writing failed),
//     and its write errors carry the system's text alone.
//
// Failures: a full disk (ENOSPC, EDQUOT, EFBIG) while adding leaves the
// writer as it was, usable once there is room. Any other I/O failure of
// the data file, and a failed fsync of it (after which its bytes cannot be
// trusted), closes the writer: its files are freed and every later call
// fails. A failed build leaves the writer usable; so does an interrupted
// one, which stops only before the rename that publishes.
#ifndef TARNDB_CORE_WRITER_WRITER_H_
#define TARNDB_CORE_WRITER_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/keyed_hash.h"
#include "core/common/result.h"
#include "core/format/extension.h"
#include "core/format/key_order.h"
#include "core/writer/key_map.h"
#include "core/writer/key_runs.h"
#include "core/writer/layer_sections.h"
#include "core/writer/memory_budget.h"
#include "core/writer/record_store.h"

namespace tarndb {

struct WriterOptions {
  // Records held in memory are built without a memory limit.
  RecordPlace records = RecordPlace::kDataFile;
  // Bytes the writer may use; 0: no limit (keys are never spilled).
  uint64_t memory_limit = kDefaultMemoryLimit;
  std::string spill_dir;  // key runs and other spill files; empty: DefaultTempDir()
  std::string target;     // the store to be built, when known (its directory takes the data file)
  bool extension = true;  // write the extension block with a hash index
  // A key put twice is an error found by Build, which reports the earliest
  // repeat; keys keep their first object meanwhile.
  bool unique_keys = false;
  std::optional<HashKey> seed;  // of the hash index; random when absent
  // Give the file a key filter (layer_sections.h); a file with tombstones
  // always gets one.
  bool filter = false;
};

// What a build wrote: counts and the file's size in bytes.
struct BuildFigures {
  uint64_t objects = 0;
  uint64_t keys = 0;
  uint64_t bytes = 0;
};

class Writer {
 public:
  explicit Writer(WriterOptions options);
  Writer(Writer&&) = default;
  Writer& operator=(Writer&&) = default;

  // Store payload[0, n) as a new object and return its ID. Fails with the
  // other kind for a payload over 4,294,967,295 bytes or a 4,294,967,296th
  // object, with the I/O kind when the data file cannot be written; the
  // writer is then unchanged.
  // known_crc, when given, is the payload's CRC-32 (a record copied from
  // another store, its CRC checked), which is then not computed again.
  Result<uint64_t> AddObject(const uint8_t* payload, size_t n, const uint32_t* known_crc = nullptr);

  // Whether a key of key_size bytes fits a store file: fails (other kind)
  // with "key of {n} bytes exceeds the 65535-byte limit" when it does not.
  static Status CheckKeyLength(size_t key_size);

  // Map key to obj_id (the last call wins). Fails (other kind), leaving the
  // writer unchanged, for a key over 65,535 bytes, an obj_id that names no
  // object, or a 4,294,967,296th key; with the I/O kind when keys must be
  // spilled and cannot be. With spill_first given, a call that would first
  // sort the keys held and write them out as a run (a long call) adds
  // nothing and sets *spill_first instead, for the caller to call again
  // without it (and without its own locks).
  Status AddKey(KeyView key, uint64_t obj_id, bool* spill_first = nullptr);

  // Record a tombstone for key: the built file deletes it from the layers
  // below it (a delta). Within this writer the last AddKey or DeleteKey of
  // a key wins. Fails, and spills, as AddKey does.
  Status DeleteKey(KeyView key, bool* spill_first = nullptr);

  uint64_t object_count() const { return records_.count(); }
  // Distinct keys put (deleted ones not counted); merges the spilled runs to count them. Applies the
  // queued key puts first, which changes nothing observable.
  Result<uint64_t> KeyCount();
  // Runs of keys spilled so far (for tests and figures).
  size_t runs() const { return runs_.size(); }

  // Store section (its type not the hash index's or the samples') in the
  // extension block of the files this writer builds, in place of one of
  // the same type and version given before.
  void SetSection(SectionBytes section);

  // Write and publish the store file at path (see the file comment). A
  // path that names something other than a regular file or a symbolic link
  // is refused before anything is written (a directory only when the
  // records are in a data file: else the rename refuses it); the new file
  // takes the permission bits of the file it replaces. With the records
  // held in memory and no keys spilled, it only reads the writer, so that
  // KeyCount may run at the same time.
  Result<BuildFigures> Build(std::string_view path);

 private:
  Status CheckOpen() const;
  // A failure of the data file: disk-full errors pass through; others
  // close the writer.
  Error DataFailure(Error e);
  // Close the writer for good after e; returns e saying so.
  Error CloseWith(Error e);
  bool has_extension() const {
    return opt_.extension || !sections_.empty() || opt_.filter || has_tombstones_;
  }
  Status SpillKeys();
  // AddKey and DeleteKey once the object ID is known to be good.
  Status PutKey(KeyView key, uint32_t obj_id, bool* spill_first);
  // What a build adds for a layer (tombstones, filter).
  LayerSections NewLayerSections() const;
  void NoteRepeat(KeyView key, uint64_t first_id, uint64_t repeat_id);
  void TakeMapRepeat();
  KeyMap NewKeyMap() const;
  Status CheckBuildLimits() const;
  HashKey Seed() const;
  // The two ways to build; see the file comment.
  Result<BuildFigures> BuildFromMemory(const std::string& target, std::optional<mode_t> mode);
  Result<BuildFigures> BuildDataFile(const std::string& target, std::optional<mode_t> mode);
  // The header of a file with the data section ending at data_end, its
  // CRC-32 data_crc, and tail after it.
  std::vector<uint8_t> Header(uint64_t data_end, uint32_t data_crc, const struct TailFigures& tail)
      const;

  WriterOptions opt_;
  MemoryBudget budget_;
  RecordStore records_;
  KeyMap keys_;
  KeyRuns runs_;
  std::optional<uint64_t> counted_keys_;
  struct Repeat {
    std::vector<uint8_t> key;
    uint64_t first_id = 0;
    uint64_t repeat_id = 0;
  };
  std::optional<Repeat> repeat_;
  std::string closed_;
  std::vector<SectionBytes> sections_;
  bool has_tombstones_ = false;  // DeleteKey was called
  uint64_t spilled_entries_ = 0;  // keys written to runs, repeats included
};

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_WRITER_H_

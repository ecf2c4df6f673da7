// StreamWriter: builds a store of any size in bounded memory.
//
// Records go to the data file as they are added: an unnamed file laid out
// as the store itself (40 bytes left for the header, then the data
// section), made in the target's directory when the target is known from
// the start, else in a spill directory. Building then appends the index
// (and the extension block) to it, writes the header and links the file
// into place: nothing is copied, unless the data file lies on another file
// system than the target, when it is copied once with copy_file_range.
//
// Keys are kept in a KeyMap until it would pass the key budget, then
// written out as a sorted run (key_runs.h); building merges the runs. The
// positions of records are kept by a PositionTable. The hash table of the
// extension block is built in memory when the keys are, else externally
// (extension_external.h).
//
// Failures: a full disk (ENOSPC, EDQUOT, EFBIG) while adding leaves the
// writer as it was, usable once there is room. Any other I/O failure of
// the data file, and a failed fsync of it (after which its bytes cannot be
// trusted), closes the writer: its files are freed and every later call
// fails. A failed build frees what it wrote, leaves no file behind and
// leaves the writer usable; so does an interrupted one (see publish.h), which
// stops only before the rename that publishes.
#ifndef TARNDB_CORE_WRITER_STREAM_WRITER_H_
#define TARNDB_CORE_WRITER_STREAM_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
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
#include "core/writer/memory_budget.h"
#include "core/writer/position_table.h"
#include "core/writer/spill_file.h"
#include "core/writer/writer.h"

namespace tarndb {

struct StreamOptions {
  std::string spill_dir;  // key runs and other spill files; empty: DefaultTempDir()
  std::string data_dir;   // the data file; empty: spill_dir
  std::string target;     // the store to be built, when known (data_dir holds it)
  uint64_t memory_limit = kDefaultMemoryLimit;
  bool extension = true;  // write the extension block (hash index)
  // A key put twice is an error found by Build, which reports the earliest
  // repeat (repeat()); keys keep their first object meanwhile.
  bool unique_keys = false;
  std::optional<HashKey> seed;  // of the hash index; random when absent
};

class StreamWriter {
 public:
  explicit StreamWriter(StreamOptions options);
  StreamWriter(StreamWriter&&) = default;
  StreamWriter& operator=(StreamWriter&&) = default;

  // As Writer::AddObject; also fails with the I/O kind when the data file
  // cannot be written.
  Result<uint64_t> AddObject(const uint8_t* payload, size_t n);
  // As Writer::AddKey; also fails with the I/O kind when keys must be
  // spilled and cannot be. The key limit is checked when the keys are
  // counted (at Build), since runs may repeat keys. With spill_first given,
  // a call that would first sort the keys held and write them out as a run
  // (a long call) adds nothing and sets *spill_first instead, for the caller
  // to call again without it (and without its own locks).
  Status AddKey(KeyView key, uint64_t obj_id, bool* spill_first = nullptr);

  uint64_t object_count() const { return positions_.size(); }
  // Distinct keys; merges the spilled runs to count them.
  Result<uint64_t> KeyCount();
  // Runs of keys spilled so far (for tests and figures).
  size_t runs() const { return runs_.size(); }

  // Store section (its type not the hash index's or the samples') in the
  // extension block of the files this writer builds, in place of one of
  // the same type and version given before.
  void SetSection(SectionBytes section);

  // Write and publish the store file at path. Unique-key writers fail with
  // "duplicate key" when a key was put twice. A path that names something
  // other than a regular file or a symbolic link is refused before anything
  // is written (InspectTarget); the new file takes the permission bits of
  // the file it replaces. Errors about the file being built name path.
  Result<BuildFigures> Build(std::string_view path);

  struct Repeat {
    std::vector<uint8_t> key;
    uint64_t first_id = 0;
    uint64_t repeat_id = 0;
  };
  // For a unique-key writer: the repeated key whose repeating put came
  // first, if any was seen.
  const std::optional<Repeat>& repeat() const { return repeat_; }

  // Why the writer was closed; empty while it is usable.
  const std::string& closed_reason() const { return closed_; }

 private:
  Status CheckOpen() const;
  // Create the data file, or after a build that published it, continue in
  // a copy of it.
  Status EnsureDataFile();
  // A failure of the data file: disk-full errors pass through; others
  // close the writer.
  Error DataFailure(Error e);
  // Close the writer for good after e; returns e saying so.
  Error CloseWith(Error e);
  bool KeysOverBudget() const;
  // Whether files get an extension block: for the hash index, or for the
  // caller's sections.
  bool has_extension() const { return opt_.extension || !sections_.empty(); }
  Status SpillKeys();
  void NoteRepeat(KeyView key, uint64_t first_id, uint64_t repeat_id);
  void TakeMapRepeat();
  KeyMap NewKeyMap() const;

  // Write the body after the data section (extension record and index) to
  // the data file from data_end; *tail_crc and *tail_bytes describe it.
  Status WriteTail(uint64_t data_end, uint64_t* num_keys, uint64_t* ext_bytes, uint32_t* tail_crc,
                   uint64_t* tail_bytes);
  Status WriteTailInMemory(uint64_t data_end, uint64_t* num_keys, uint64_t* ext_bytes,
                           uint32_t* tail_crc, uint64_t* tail_bytes);
  Status WriteTailMerged(uint64_t data_end, uint64_t* num_keys, uint64_t* ext_bytes,
                         uint32_t* tail_crc, uint64_t* tail_bytes);

  StreamOptions opt_;
  size_t buffer_size_;
  uint64_t key_budget_;
  std::unique_ptr<SpillFile> data_;
  std::unique_ptr<Appender> out_;  // appends records to data_
  bool published_ = false;         // data_ is now a published store
  PositionTable positions_;
  KeyMap keys_;
  KeyRuns runs_;
  std::optional<uint64_t> counted_keys_;
  std::optional<Repeat> repeat_;
  std::string closed_;
  std::vector<SectionBytes> sections_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_STREAM_WRITER_H_

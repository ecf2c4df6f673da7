// RecordStore: the records of a writer's values (length, CRC-32, payload),
// back to back in object-ID order: the data section of the store to come.
//
// They wait for the build in one of two places. In a data file: an unnamed
// file laid out as the store itself (40 bytes left for the header, then the
// records), made in the target's directory when the target is known from
// the start, else in the spill directory; the build appends the rest to it
// and it becomes the store. Or in memory, in a ChunkedArena, for a build
// that writes the whole file at once. The file position of every record is
// kept by a PositionTable (in memory, or partly spilled by the budget).
#ifndef TARNDB_CORE_WRITER_RECORD_STORE_H_
#define TARNDB_CORE_WRITER_RECORD_STORE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/common/result.h"
#include "core/writer/chunked_arena.h"
#include "core/writer/memory_budget.h"
#include "core/writer/position_table.h"
#include "core/writer/spill_file.h"

namespace tarndb {

enum class RecordPlace { kDataFile, kMemory };

// A new data file for the store at target (which may be empty: not known):
// unnamed, in target's directory when that takes one (and then named for
// target in its errors), else in spill_dir.
Result<std::unique_ptr<SpillFile>> CreateDataFile(const std::string& target,
                                                  const std::string& spill_dir);

class RecordStore {
 public:
  // target: the store to be built, when known (its directory then takes
  // the data file).
  RecordStore(RecordPlace place, const MemoryBudget& budget, std::string spill_dir,
              std::string target);

  RecordPlace place() const { return place_; }

  // Append the record of payload[0, n); returns its object ID. Fails with
  // the other kind for a payload over 4,294,967,295 bytes or a
  // 4,294,967,296th object, with the I/O kind when the data file cannot be
  // written; the store is then as it was (a failed allocation too).
  // known_crc, when given, is the payload's CRC-32, already computed.
  Result<uint64_t> Add(const uint8_t* payload, size_t n, const uint32_t* known_crc = nullptr);

  uint64_t count() const { return positions_.size(); }
  // The absolute file position of object id's record.
  uint64_t position(uint64_t id) const { return positions_[id]; }
  void Prefetch(uint64_t id) const { positions_.Prefetch(id); }
  // Where the data section ends: the header and every record.
  uint64_t data_end() const;

  // Records held in memory: f(data, n) for each piece in order.
  template <typename F>
  void ForEachChunk(F&& f) const {
    arena_.ForEachChunk(f);
  }

  // The data file, made if there is none yet, with every record written
  // out; its CRC-32 of [40, data_end()).
  Status FlushDataFile();
  const SpillFile& data_file() const { return *data_; }
  // Name the data file for a build to target in its errors when it lies in
  // target's directory (it becomes that store), else by its directory.
  void NameDataFileFor(const std::string& target);
  uint32_t data_crc() const;
  // The data file has been given a name (it is a published store now):
  // records added from now on go to a copy of it.
  void DataFilePublished() { published_ = true; }
  // Drop every record and the data file (after a failure that leaves the
  // file's contents in doubt).
  void Clear();

 private:
  Status EnsureDataFile();

  RecordPlace place_;
  MemoryBudget budget_;
  std::string spill_dir_;
  std::string target_;
  PositionTable positions_;
  ChunkedArena arena_;  // kMemory
  std::unique_ptr<SpillFile> data_;
  std::unique_ptr<Appender> out_;  // appends records to data_
  bool published_ = false;         // data_ is now a published store
};

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_RECORD_STORE_H_

// FedBytes: the byte ranges of a file that the package has fetched for a
// reader that reads the file by ranges (over HTTP, from object storage).
//
// The core does no I/O for such a file: a step of a lookup asks FedBytes
// for what it needs; what is held is returned in place, and what is not is
// noted as needed and the step ends. The package fetches the needed ranges
// (all of a step's at once), feeds them, and runs the step again. A step
// never reads a byte it was not given, and every range it asks for lies
// inside the file.
#ifndef TARNDB_CORE_READER_FED_BYTES_H_
#define TARNDB_CORE_READER_FED_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace tarndb {

// A range of the file a step needs: [begin, end). Pages of the tables
// (slots, samples, the index section) are worth keeping between calls;
// entries and records of a lookup are not.
struct NeededRange {
  uint64_t begin = 0;
  uint64_t end = 0;
  bool table = false;
};

class FedBytes {
 public:
  explicit FedBytes(uint64_t file_size) : file_size_(file_size) {}

  uint64_t file_size() const { return file_size_; }

  // Hold bytes[0, n) as the file's bytes from offset on (cut at the end of
  // the file); pieces that meet or overlap are joined.
  void Feed(uint64_t offset, const uint8_t* bytes, size_t n);

  // The bytes [offset, offset + len) when one held piece covers them; else
  // nullptr, with [offset, offset + want) (at least len, cut at the end of
  // the file) noted as needed. The range must lie inside the file.
  const uint8_t* Get(uint64_t offset, uint64_t len, uint64_t want = 0, bool table = false);
  // How many bytes are held from offset on, in the piece that holds offset
  // (0 when none does), and where they are.
  uint64_t HeldFrom(uint64_t offset, const uint8_t** at) const;
  // Note [offset, offset + len) as needed unless it is held.
  void Want(uint64_t offset, uint64_t len, bool table = false);

  const std::vector<NeededRange>& needed() const { return needed_; }
  void ClearNeeded() { needed_.clear(); }
  // Forget what was noted as needed after the first mark ranges.
  void DropNeededFrom(size_t mark) {
    if (mark < needed_.size()) needed_.resize(mark);
  }
  // Forget every piece (the package keeps what is worth keeping).
  void Clear() {
    pieces_.clear();
    needed_.clear();
  }

 private:
  uint64_t file_size_;
  std::map<uint64_t, std::vector<uint8_t>> pieces_;  // by first offset, disjoint, not touching
  std::vector<NeededRange> needed_;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_READER_FED_BYTES_H_

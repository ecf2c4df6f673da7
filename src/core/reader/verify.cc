// Reader::Verify: the deep integrity check.
#include <string>

#include "core/format/crc32.h"
#include "core/format/layout.h"
#include "core/reader/offset_groups.h"
#include "core/reader/reader.h"

namespace tarndb {

namespace {

// The record check for one object; the failure texts of the deep check.
Status CheckRecord(const uint8_t* file, uint64_t size, uint64_t o) {
  RecordHead head;
  const RecordFit fit = DecodeRecordHead(file, size, o, &head);
  if (fit != RecordFit::kInside) return RecordFitError(fit, o, "object offset ");
  if (crc32::Value(file + o + kRecordHeadSize, head.length) != head.crc32) {
    return Error::Corrupt("object CRC32 mismatch at offset " + std::to_string(o));
  }
  return OkStatus();
}

}  // namespace

Status Reader::Verify() const {
  const uint32_t computed = BodyCrc(mapping_.data(), file_size_);
  if (computed != file_crc32_) return FileCrcMismatch(file_crc32_, computed);

  // Each object once, however many entries name it. Objects are checked in
  // file order, which reads the data section front to back; the failure
  // reported is the one met first in index order, as if the entries had
  // been walked in that order.
  const OffsetGroups groups(*this);
  const auto& refs = groups.by_offset();
  uint32_t first_failure = UINT32_MAX;
  for (size_t i = 0; i < refs.size();) {
    const uint64_t o = refs[i].offset;
    if (refs[i].entry < first_failure && !CheckRecord(mapping_.data(), file_size_, o).ok()) {
      first_failure = refs[i].entry;
    }
    while (i < refs.size() && refs[i].offset == o) ++i;
  }
  if (first_failure != UINT32_MAX) {
    return CheckRecord(mapping_.data(), file_size_, table_.Offset(first_failure));
  }
  return VerifyStructure();
}

Status Reader::VerifyStructure() const {
  // Walk the records from the header on; stop at the first one that would
  // cross index_offset (or the end of the file, if that comes first).
  const uint64_t limit = index_offset_ < file_size_ ? index_offset_ : file_size_;
  uint64_t end = kHeaderSize;
  uint64_t records = 0;
  RecordHead head;
  while (end < limit &&
         DecodeRecordHead(mapping_.data(), limit, end, &head) == RecordFit::kInside) {
    end += kRecordHeadSize + head.length;
    ++records;
  }
  if (records != num_objects_ || end != index_offset_) {
    return Error::Corrupt("data section holds " + std::to_string(records) + " records ending at " +
                          std::to_string(end) + ", header says " + std::to_string(num_objects_) +
                          " ending at " + std::to_string(index_offset_));
  }
  if (index_end_ != file_size_) {
    return Error::Corrupt("index section ends at " + std::to_string(index_end_) +
                          ", file ends at " + std::to_string(file_size_));
  }
  return OkStatus();
}

}  // namespace tarndb

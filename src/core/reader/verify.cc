// Reader::Verify: the deep integrity check.
#include <string>

#include "core/format/coding.h"
#include "core/format/crc32.h"
#include "core/format/layout.h"
#include "core/reader/offset_map.h"
#include "core/reader/reader.h"

namespace tarndb {

Status Reader::Verify() const {
  const uint32_t computed = BodyCrc(mapping_.data(), file_size_);
  if (computed != file_crc32_) return FileCrcMismatch(file_crc32_, computed);
  // Each record once, however many keys share it, in index order.
  const size_t n = table_.size();
  OffsetMap seen(n);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t o = table_.Offset(i);
    if (seen.FindOrInsert(o, 0) != nullptr) continue;
    if (o > file_size_ || file_size_ - o < kRecordHeadSize) {
      return Error::Corrupt("object offset " + std::to_string(o) + " out of bounds");
    }
    const uint8_t* record = mapping_.data() + o;
    const uint32_t length = LoadBE32(record);
    const uint32_t stored = LoadBE32(record + 4);
    if (file_size_ - o - kRecordHeadSize < length) {
      return Error::Corrupt("object at " + std::to_string(o) + " extends beyond file end");
    }
    if (crc32::Value(record + kRecordHeadSize, length) != stored) {
      return Error::Corrupt("object CRC32 mismatch at offset " + std::to_string(o));
    }
  }
  return VerifyStructure();
}

Status Reader::VerifyStructure() const {
  // Walk the records from the header on; stop at the first one that would
  // cross index_offset (or the end of the file, if that comes first).
  const uint64_t limit = index_offset_ < file_size_ ? index_offset_ : file_size_;
  uint64_t end = kHeaderSize;
  uint64_t records = 0;
  while (end < limit && limit - end >= kRecordHeadSize) {
    const uint64_t length = LoadBE32(mapping_.data() + end);
    if (limit - end - kRecordHeadSize < length) break;
    end += kRecordHeadSize + length;
    ++records;
  }
  if (records != num_objects_ || end != index_offset_) {
    return Error::Corrupt("data section holds " + std::to_string(records) +
                          " records ending at " + std::to_string(end) + ", header says " +
                          std::to_string(num_objects_) + " ending at " +
                          std::to_string(index_offset_));
  }
  if (index_end_ != file_size_) {
    return Error::Corrupt("index section ends at " + std::to_string(index_end_) +
                          ", file ends at " + std::to_string(file_size_));
  }
  return OkStatus();
}

}  // namespace tarndb

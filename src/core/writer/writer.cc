#include "core/writer/writer.h"

#include <string>

#include "core/common/grow.h"
#include "core/format/crc32.h"
#include "core/format/layout.h"

namespace tarndb {

Result<uint64_t> Writer::AddObject(const uint8_t* payload, size_t n) {
  if (n > kMaxObjectLength) {
    return Error::Other("object of " + std::to_string(n) +
                        " bytes exceeds the 4294967295-byte limit");
  }
  if (record_pos_.size() >= kMaxCount) {
    return Error::Other("too many objects (limit 4294967295)");
  }
  uint8_t head[kRecordHeadSize];
  RecordHead{static_cast<uint32_t>(n), crc32::Value(payload, n)}.EncodeTo(head);
  // Allocate before changing anything, so a failure leaves the writer as
  // it was.
  ReserveOneMore(record_pos_);
  records_.Reserve(sizeof head + n);
  const uint64_t id = record_pos_.size();
  record_pos_.push_back(records_.size());
  records_.Append(head, sizeof head);
  records_.Append(payload, n);
  return id;
}

Status Writer::CheckKeyLength(size_t key_size) {
  if (key_size <= kMaxKeyLength) return OkStatus();
  return Error::Other("key of " + std::to_string(key_size) + " bytes exceeds the 65535-byte limit");
}

Status Writer::AddKey(KeyView key, uint64_t obj_id) {
  if (Status s = CheckKeyLength(key.size); !s.ok()) return s;
  if (obj_id >= object_count()) {
    return Error::Other("obj_id " + std::to_string(obj_id) + " out of range (have " +
                        std::to_string(object_count()) + " objects)");
  }
  // Only close to the limit does the count need the queued puts applied.
  if (keys_.size() + keys_.pending() >= kMaxCount) {
    keys_.Flush();
    if (keys_.size() >= kMaxCount && !keys_.Contains(key)) {
      return Error::Other("too many keys (limit 4294967295)");
    }
  }
  keys_.Put(key, static_cast<uint32_t>(obj_id));
  return OkStatus();
}

}  // namespace tarndb

#include "core/format/layout.h"

#include <cstring>

#include "core/format/coding.h"

namespace tarndb {

void StoreHeader::EncodeTo(uint8_t dst[kHeaderSize]) const {
  std::memset(dst, 0, kHeaderSize);  // reserved1 and reserved2 stay zero
  std::memcpy(dst, magic, sizeof magic);
  dst[kVersionPos] = version;
  StoreBE32(dst + kNumKeysPos, num_keys);
  StoreBE32(dst + kNumObjectsPos, num_objects);
  StoreBE64(dst + kIndexOffsetPos, index_offset);
  StoreBE64(dst + kDataOffsetPos, kDataOffset);
  StoreBE32(dst + kFileCrcPos, file_crc32);
}

StoreHeader StoreHeader::DecodeFrom(const uint8_t src[kHeaderSize]) {
  StoreHeader h;
  std::memcpy(h.magic, src, sizeof h.magic);
  h.version = src[kVersionPos];
  h.num_keys = LoadBE32(src + kNumKeysPos);
  h.num_objects = LoadBE32(src + kNumObjectsPos);
  h.index_offset = LoadBE64(src + kIndexOffsetPos);
  h.file_crc32 = LoadBE32(src + kFileCrcPos);
  return h;
}

void RecordHead::EncodeTo(uint8_t dst[kRecordHeadSize]) const {
  StoreBE32(dst, length);
  StoreBE32(dst + 4, crc32);
}

}  // namespace tarndb

#include "core/format/layout.h"

#include <cstring>

#include "core/format/coding.h"

namespace tarndb {

void StoreHeader::EncodeTo(uint8_t dst[kHeaderSize]) const {
  std::memset(dst, 0, kHeaderSize);  // reserved1 and reserved2 stay zero
  std::memcpy(dst, kMagic, sizeof kMagic);
  dst[kVersionPos] = kFormatVersion;
  StoreBE32(dst + kNumKeysPos, num_keys);
  StoreBE32(dst + kNumObjectsPos, num_objects);
  StoreBE64(dst + kIndexOffsetPos, index_offset);
  StoreBE64(dst + kDataOffsetPos, kDataOffset);
  StoreBE32(dst + kFileCrcPos, file_crc32);
}

void EncodeRecordHead(uint8_t dst[kRecordHeadSize], uint32_t length, uint32_t crc) {
  StoreBE32(dst, length);
  StoreBE32(dst + 4, crc);
}

}  // namespace tarndb

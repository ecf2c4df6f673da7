#include "core/format/lookup_header.h"

#include <cstring>

#include "core/format/coding.h"
#include "core/format/crc32.h"

namespace tarndb {

namespace {
constexpr size_t kCovered = kHashIndexHeaderSize + kSamplesHeaderSize;
}  // namespace

void LookupHeader::EncodeTo(uint8_t dst[kLookupHeaderSize]) const {
  std::memset(dst, 0, kLookupHeaderSize);
  hash_index.EncodeTo(dst);
  samples.EncodeTo(dst + kHashIndexHeaderSize);
  StoreBE32(dst + kCovered, crc32::Value(dst, kCovered));
}

std::optional<LookupHeader> LookupHeader::DecodeFrom(const uint8_t* src, uint64_t length) {
  if (length < kLookupHeaderSize) return std::nullopt;
  if (crc32::Value(src, kCovered) != LoadBE32(src + kCovered)) return std::nullopt;
  return LookupHeader{HashIndexHeader::DecodeFrom(src),
                      SamplesHeader::DecodeFrom(src + kHashIndexHeaderSize)};
}

}  // namespace tarndb

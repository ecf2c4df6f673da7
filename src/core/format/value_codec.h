// The value codec section of the extension block, "VCDC" version 1: how a
// store's values were compressed (all integers big-endian):
//
//   name_len u8 | name (ASCII) | raw_bytes u64 | stored_bytes u64 |
//   dict_len u32 | dict_crc32 u32 | dictionary[dict_len]
//
// raw_bytes and stored_bytes are the values' total size before and after
// compression; dict_crc32 is the CRC-32 of the dictionary (empty: none).
#ifndef TARNDB_CORE_FORMAT_VALUE_CODEC_H_
#define TARNDB_CORE_FORMAT_VALUE_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/common/result.h"
#include "core/format/extension.h"

namespace tarndb {

inline constexpr uint32_t kValueCodecSection = SectionType("VCDC");
inline constexpr uint32_t kValueCodecVersion = 1;

struct ValueCodec {
  std::string name;
  std::vector<uint8_t> dictionary;
  uint64_t raw_bytes = 0;
  uint64_t stored_bytes = 0;

  // The section's bytes. The name must be at most 255 ASCII bytes.
  std::vector<uint8_t> Encode() const;
  // The codec a section holds, or a corrupt-kind error "value codec section
  // damaged: {why}" when it is cut short, names its codec in other than
  // ASCII, or its dictionary does not match its CRC-32.
  static Result<ValueCodec> Decode(const uint8_t* data, size_t size);
};

}  // namespace tarndb

#endif  // TARNDB_CORE_FORMAT_VALUE_CODEC_H_

// The lookup header: section "LKHD" version 1 of the extension block, a copy
// of what a lookup needs from the hash index and the samples, written just
// before the directory. A reader that fetches the file by ranges reads the
// trailer, the directory and this section in one range ending at
// index_offset, and can then look keys up without first fetching the
// headers at the front of a block that may be gigabytes long.
//
//    0  the HIDX header, byte for byte (56 bytes)
//   56  the SMPL header, byte for byte (16 bytes)
//   72  crc32 u32 of bytes [0, 72)
//   76  reserved u32, zero
//
// A reader that does not know the section ignores it; verify() checks that
// it is the copy it claims to be.
#ifndef TARNDB_CORE_FORMAT_LOOKUP_HEADER_H_
#define TARNDB_CORE_FORMAT_LOOKUP_HEADER_H_

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/format/extension.h"
#include "core/format/hash_index.h"

namespace tarndb {

inline constexpr uint32_t kLookupHeaderSection = SectionType("LKHD");
inline constexpr uint32_t kLookupHeaderVersion = 1;
inline constexpr size_t kLookupHeaderSize = 80;

struct LookupHeader {
  HashIndexHeader hash_index;
  SamplesHeader samples;

  void EncodeTo(uint8_t dst[kLookupHeaderSize]) const;
  // The header in a section of length bytes at src, or nothing when the
  // section is too short or its checksum does not match.
  static std::optional<LookupHeader> DecodeFrom(const uint8_t* src, uint64_t length);
};

}  // namespace tarndb

#endif  // TARNDB_CORE_FORMAT_LOOKUP_HEADER_H_

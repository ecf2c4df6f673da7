// Byte layout of a store file. All integers are unsigned big-endian, with no
// alignment or padding anywhere; offsets are absolute file positions.
//
//   StoreHeader (40 bytes)
//     0  magic "TRND"        4  version (2)      5  reserved1[3] = 0
//     8  num_keys  u32      12  num_objects u32
//    16  index_offset u64   24  data_offset u64 (always 40)
//    32  file_crc32 u32     36  reserved2 u32 = 0
//   data section, from 40: one ObjectRecord per object, in object-ID order
//     length u32 | crc32 u32 (of the payload alone) | payload[length]
//   index section, from index_offset to end of file: one IndexEntry per key,
//   ascending by unsigned bytewise key order (shorter key first on a tie)
//     key_len u16 | key[key_len] | offset u64 (of the key's ObjectRecord)
//
// file_crc32 covers every byte from 40 to the end of the file; the header
// itself is covered by no checksum.
#ifndef TARNDB_CORE_FORMAT_LAYOUT_H_
#define TARNDB_CORE_FORMAT_LAYOUT_H_

#include <cstddef>
#include <cstdint>

namespace tarndb {

inline constexpr size_t kHeaderSize = 40;
inline constexpr uint8_t kMagic[4] = {'T', 'R', 'N', 'D'};
inline constexpr uint8_t kFormatVersion = 2;
inline constexpr uint64_t kDataOffset = kHeaderSize;

// Sizes of the fixed parts of a record and an index entry.
inline constexpr size_t kRecordHeadSize = 8;     // length + crc32
inline constexpr size_t kEntryOverhead = 2 + 8;  // key_len + offset

// Largest values the field widths can carry.
inline constexpr uint64_t kMaxKeyLength = 0xFFFF;
inline constexpr uint64_t kMaxObjectLength = 0xFFFFFFFFu;
inline constexpr uint64_t kMaxCount = 0xFFFFFFFFu;

// Field positions inside the header.
inline constexpr size_t kVersionPos = 4;
inline constexpr size_t kNumKeysPos = 8;
inline constexpr size_t kNumObjectsPos = 12;
inline constexpr size_t kIndexOffsetPos = 16;
inline constexpr size_t kDataOffsetPos = 24;
inline constexpr size_t kFileCrcPos = 32;

// The header fields a writer sets; the rest are constants.
struct StoreHeader {
  uint32_t num_keys = 0;
  uint32_t num_objects = 0;
  uint64_t index_offset = kHeaderSize;
  uint32_t file_crc32 = 0;

  // Write the 40 header bytes to dst.
  void EncodeTo(uint8_t dst[kHeaderSize]) const;
};

// Write the 8-byte head of an ObjectRecord.
void EncodeRecordHead(uint8_t dst[kRecordHeadSize], uint32_t length, uint32_t crc);

}  // namespace tarndb

#endif  // TARNDB_CORE_FORMAT_LAYOUT_H_

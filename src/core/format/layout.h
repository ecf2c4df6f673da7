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
#include <cstring>

#include "core/format/coding.h"
#include "core/format/key_order.h"

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

// The header fields a writer sets and a reader uses. The magic, the
// version and data_offset are constants when encoding; decoding reports the
// magic and version found and leaves checking them to the reader, and skips
// data_offset and the reserved bytes, which no reader uses.
struct StoreHeader {
  uint8_t magic[4] = {kMagic[0], kMagic[1], kMagic[2], kMagic[3]};
  uint8_t version = kFormatVersion;
  uint32_t num_keys = 0;
  uint32_t num_objects = 0;
  uint64_t index_offset = kHeaderSize;
  uint32_t file_crc32 = 0;

  // Write the 40 header bytes to dst.
  void EncodeTo(uint8_t dst[kHeaderSize]) const;
  // Read the header from the first 40 bytes at src.
  static StoreHeader DecodeFrom(const uint8_t src[kHeaderSize]);
  bool HasMagic() const {
    return magic[0] == kMagic[0] && magic[1] == kMagic[1] && magic[2] == kMagic[2] &&
           magic[3] == kMagic[3];
  }
};

// The 8-byte head of an ObjectRecord.
struct RecordHead {
  uint32_t length = 0;
  uint32_t crc32 = 0;

  void EncodeTo(uint8_t dst[kRecordHeadSize]) const;
  // The head at src, unchecked (DecodeRecordHead checks it against a file).
  static RecordHead DecodeFrom(const uint8_t src[kRecordHeadSize]) {
    return RecordHead{LoadBE32(src), LoadBE32(src + 4)};
  }
};

// Where a record lies relative to the end of its file.
enum class RecordFit {
  kInside,         // head and payload lie in the file
  kHeadOutside,    // fewer than 8 bytes from the offset to the end
  kPayloadOutside  // the head fits; the payload runs past the end
};

// Decode the record at offset in a file of size bytes starting at file.
// *head is set unless the head lies outside. Positions are checked by
// subtraction, so no offset + length can wrap around.
inline RecordFit DecodeRecordHead(const uint8_t* file, uint64_t size, uint64_t offset,
                                  RecordHead* head) {
  if (offset > size || size - offset < kRecordHeadSize) return RecordFit::kHeadOutside;
  *head = RecordHead::DecodeFrom(file + offset);
  return size - offset - kRecordHeadSize >= head->length ? RecordFit::kInside
                                                         : RecordFit::kPayloadOutside;
}

// One IndexEntry, viewed in the file.
struct IndexEntry {
  KeyView key;
  uint64_t offset = 0;  // the object offset it names

  // Bytes the entry takes: key_len, key, offset.
  uint64_t encoded_size() const { return kEntryOverhead + key.size; }
};

// Write the entry for key and the record at offset to dst (encoded_size()
// bytes); returns the byte after it.
inline uint8_t* EncodeIndexEntry(KeyView key, uint64_t offset, uint8_t* dst) {
  StoreBE16(dst, static_cast<uint16_t>(key.size));
  if (key.size) std::memcpy(dst + 2, key.data, key.size);
  StoreBE64(dst + 2 + key.size, offset);
  return dst + kEntryOverhead + key.size;
}

// Where an index entry lies relative to the end of its file.
enum class EntryFit {
  kInside,
  kNoKeyLength,     // fewer than 2 bytes from pos to the end
  kNoKeyAndOffset,  // key_len fits; the key and offset run past the end
};

// Decode the entry at pos in a file of size bytes starting at file,
// checking by subtraction as DecodeRecordHead does.
inline EntryFit DecodeIndexEntry(const uint8_t* file, uint64_t size, uint64_t pos,
                                 IndexEntry* entry) {
  if (pos > size || size - pos < 2) return EntryFit::kNoKeyLength;
  const uint16_t key_len = LoadBE16(file + pos);
  if (size - pos - 2 < uint64_t{key_len} + 8) return EntryFit::kNoKeyAndOffset;
  entry->key = KeyView{file + pos + 2, key_len};
  entry->offset = LoadBE64(file + pos + 2 + key_len);
  return EntryFit::kInside;
}

}  // namespace tarndb

#endif  // TARNDB_CORE_FORMAT_LAYOUT_H_

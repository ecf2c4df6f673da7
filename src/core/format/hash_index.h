// The hash index and the entry samples: two sections of the extension block
// that let a reader find keys without reading or copying the index section.
//
// Hash index, section "HIDX" version 1:
//    0  slot_width u8 (8 or 16)   1  pos_bits u8   2  off_bits u8   3  zero
//    4  max_run u32: the longest run of occupied slots (0 in files that
//       predate it: unknown)
//    8  capacity u64      home positions are 0 .. capacity - 1
//   16  slot_count u64    capacity plus the slots that runs spill into
//   24  num_entries u64   index entries described, = the header's num_keys
//   32  seed u64 x 2      the SipHash-1-3 key (k0, k1)
//   48  index_size u64    bytes of the index section (file size - index_offset)
//   56  slot_count slots of slot_width bytes
//
// Entry samples, section "SMPL" version 1:
//    0  shift u8 (samples every 2^shift entries)   1  zero[7]
//    8  count u64
//   16  count positions u64, of entries 0, 2^shift, 2·2^shift, ...
//
// Positions are relative to index_offset. A key's hash h is SipHash-1-3 of
// its bytes under the seed; its home slot is the high 64 bits of
// h × capacity; it lies in the first slot from its home on that holds it
// (linear probing, never wrapping: the slots after capacity take the runs
// that pass the end). An empty slot ends a search.
//
// A slot names one entry: its position, and, in most files, its object's
// record offset too, so that a reader fetches the entry and the record at
// once. Encodings (all big-endian):
//   width 8, off_bits > 0:  [tag | pos + 1 (pos_bits) | offset - 40 (off_bits)]
//   width 8, off_bits = 0:  [tag | pos + 1 (pos_bits)]
//   width 16:               [tag | pos + 1 (pos_bits)], then the record offset u64
// The tag is the low bits of h, as many as the slot leaves (64 - pos_bits -
// off_bits); a zero slot (or first word) is empty.
#ifndef TARNDB_CORE_FORMAT_HASH_INDEX_H_
#define TARNDB_CORE_FORMAT_HASH_INDEX_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "core/common/keyed_hash.h"
#include "core/format/coding.h"
#include "core/format/extension.h"
#include "core/format/key_order.h"
#include "core/format/layout.h"

namespace tarndb {

inline constexpr uint32_t kHashIndexSection = SectionType("HIDX");
inline constexpr uint32_t kSamplesSection = SectionType("SMPL");
inline constexpr uint32_t kHashIndexVersion = 1;
inline constexpr uint32_t kSamplesVersion = 1;
inline constexpr size_t kHashIndexHeaderSize = 56;
inline constexpr size_t kSamplesHeaderSize = 16;
inline constexpr unsigned kSampleShift = 4;  // a sample every 16 entries

// The longest probe a table whose longest run is unknown (0) is trusted
// with: far beyond what a table at a load of 0.8 meets (a run of over 2,000
// slots is not to be expected below 2^32 keys).
inline constexpr uint64_t kUnrecordedRunLimit = 4096;
// The longest run a table may claim; a writer meets none anywhere near.
inline constexpr uint64_t kMaxRecordedRun = 8192;

// Slots per entry: 5/4, a load of 0.8 at most.
inline constexpr uint64_t HashCapacityFor(uint64_t entries) { return entries + entries / 4 + 1; }

// Slots a writer stores at least: the homes, and room for the runs that
// pass the last home (almost always enough, so that a file's size does not
// depend on its random seed).
inline constexpr uint64_t MinSlotCount(uint64_t capacity) {
  return capacity + (capacity < 64 ? capacity : 64);
}

// The home slot of hash h in a table of capacity slots: the high 64 bits of
// the 128-bit product, which spreads h over any capacity without a division.
__extension__ typedef unsigned __int128 Uint128;
inline uint64_t HomeSlot(uint64_t h, uint64_t capacity) {
  return static_cast<uint64_t>((static_cast<Uint128>(h) * capacity) >> 64);
}

// How a table's slots are encoded.
struct SlotCodec {
  unsigned width = 8;     // bytes per slot
  unsigned pos_bits = 0;  // bits of pos + 1
  unsigned off_bits = 0;  // bits of record offset - 40, or 0 when the slot holds none

  // The codec for an index section of index_size bytes whose records end
  // before data_end, for a table kept in the file (wide) or in a reader's
  // memory (narrow: an entry position only, when both do not fit in 8 bytes).
  static SlotCodec For(uint64_t index_size, uint64_t data_end, bool wide_allowed);

  bool has_offset() const { return width == 16 || off_bits > 0; }
  unsigned tag_bits() const { return 64 - pos_bits - (width == 8 ? off_bits : 0); }
  uint64_t tag_of(uint64_t h) const {
    const unsigned t = tag_bits();
    return t >= 64 ? h : h & ((uint64_t{1} << t) - 1);
  }
  // The first (or only) word of a slot: tag, pos + 1 and, packed, the
  // offset. An offset the field cannot hold (only a damaged index has one)
  // is stored as all ones: "read it from the entry".
  uint64_t Word(uint64_t h, uint64_t pos, uint64_t record_offset) const {
    uint64_t w = (tag_of(h) << pos_bits | (pos + 1));
    if (width == 8 && off_bits > 0) {
      const uint64_t none = (uint64_t{1} << off_bits) - 1;
      const bool fits = record_offset >= kDataOffset && record_offset - kDataOffset < none;
      w = w << off_bits | (fits ? record_offset - kDataOffset : none);
    }
    return w;
  }
  // Parts of a first word.
  uint64_t TagOf(uint64_t word) const {
    return tag_bits() >= 64 ? word : word >> (64 - tag_bits());
  }
  uint64_t PosOf(uint64_t word) const {  // pos + 1; 0 in an empty slot
    const unsigned low = width == 8 ? off_bits : 0;
    return (word >> low) & ((pos_bits >= 64) ? ~uint64_t{0} : (uint64_t{1} << pos_bits) - 1);
  }
  // The record offset packed in a first word; nothing when the field is
  // all ones.
  std::optional<uint64_t> PackedOffsetOf(uint64_t word) const {
    const uint64_t none = (uint64_t{1} << off_bits) - 1;
    const uint64_t field = word & none;
    if (field == none) return std::nullopt;
    return field + kDataOffset;
  }
};

// The SMPL section header; the positions follow it, big-endian u64 each.
struct SamplesHeader {
  unsigned shift = kSampleShift;
  uint64_t count = 0;

  void EncodeTo(uint8_t dst[kSamplesHeaderSize]) const {
    std::memset(dst, 0, kSamplesHeaderSize);
    dst[0] = static_cast<uint8_t>(shift);
    StoreBE64(dst + 8, count);
  }
  static SamplesHeader DecodeFrom(const uint8_t src[kSamplesHeaderSize]) {
    return SamplesHeader{src[0], LoadBE64(src + 8)};
  }
  // The k-th position of the samples at positions (what follows the header).
  static uint64_t PositionAt(const uint8_t* positions, uint64_t k) {
    return LoadBE64(positions + 8 * k);
  }
  static void EncodePosition(uint64_t pos, uint8_t dst[8]) { StoreBE64(dst, pos); }
  // Samples a table of num_entries entries has.
  static uint64_t CountFor(uint64_t num_entries) {
    return (num_entries + (uint64_t{1} << kSampleShift) - 1) >> kSampleShift;
  }
};

// One slot of codec's width: the first word, then (16-byte slots) the
// record offset.
inline void EncodeSlot(const SlotCodec& codec, uint64_t word, uint64_t offset, uint8_t* dst) {
  StoreBE64(dst, word);
  if (codec.width == 16) StoreBE64(dst + 8, offset);
}
inline uint64_t DecodeSlotWord(const uint8_t* slot) { return LoadBE64(slot); }
inline uint64_t DecodeSlotOffset(const uint8_t* slot) { return LoadBE64(slot + 8); }

// The HIDX section header.
struct HashIndexHeader {
  SlotCodec codec;
  uint64_t capacity = 0;
  uint64_t slot_count = 0;
  uint64_t num_entries = 0;
  HashKey seed;
  uint64_t index_size = 0;
  uint32_t max_run = 0;  // the longest run of occupied slots; 0: unknown

  void EncodeTo(uint8_t dst[kHashIndexHeaderSize]) const;
  static HashIndexHeader DecodeFrom(const uint8_t src[kHashIndexHeaderSize]);
  // Whether the fields make sense for a section of section_length bytes.
  bool Consistent(uint64_t section_length) const;
  // Whether they are what a writer makes for its index of index_size bytes
  // after records ending at data_end: the slot codec, capacity and slot
  // count it derives, and a run it can have made.
  bool AsWritten(uint64_t data_end) const;
  // How many slots from its home a search may probe before the table is
  // caught lying.
  uint64_t RunLimit() const { return max_run != 0 ? max_run : kUnrecordedRunLimit; }
};

// Bytes of the file the hash index takes: the extension block's record,
// less the sections that are not the index's own (a value codec's
// dictionary, say).
uint64_t HashIndexFileBytes(const ExtensionBlock& block);

// The hash a table uses for key under seed.
inline uint64_t KeyHash(HashKey seed, KeyView key) { return SipHash13(seed, key.data, key.size); }

}  // namespace tarndb

#endif  // TARNDB_CORE_FORMAT_HASH_INDEX_H_

#include "core/format/hash_index.h"

#include <cstring>

namespace tarndb {

SlotCodec SlotCodec::For(uint64_t index_size, uint64_t data_end, bool wide_allowed) {
  SlotCodec c;
  c.pos_bits = static_cast<unsigned>(std::bit_width(index_size | 1));
  const uint64_t max_off = data_end > kDataOffset ? data_end - kDataOffset : 0;
  const unsigned off_bits = static_cast<unsigned>(std::bit_width(max_off | 1));
  if (c.pos_bits + off_bits <= 60) {  // leaves a tag of 4 bits or more
    c.off_bits = off_bits;
  } else if (wide_allowed) {
    c.width = 16;
  }
  return c;
}

void HashIndexHeader::EncodeTo(uint8_t dst[kHashIndexHeaderSize]) const {
  std::memset(dst, 0, kHashIndexHeaderSize);
  dst[0] = static_cast<uint8_t>(codec.width);
  dst[1] = static_cast<uint8_t>(codec.pos_bits);
  dst[2] = static_cast<uint8_t>(codec.off_bits);
  StoreBE32(dst + 4, max_run);
  StoreBE64(dst + 8, capacity);
  StoreBE64(dst + 16, slot_count);
  StoreBE64(dst + 24, num_entries);
  StoreBE64(dst + 32, seed.k0);
  StoreBE64(dst + 40, seed.k1);
  StoreBE64(dst + 48, index_size);
}

HashIndexHeader HashIndexHeader::DecodeFrom(const uint8_t src[kHashIndexHeaderSize]) {
  HashIndexHeader h;
  h.codec.width = src[0];
  h.codec.pos_bits = src[1];
  h.codec.off_bits = src[2];
  h.max_run = LoadBE32(src + 4);
  h.capacity = LoadBE64(src + 8);
  h.slot_count = LoadBE64(src + 16);
  h.num_entries = LoadBE64(src + 24);
  h.seed = HashKey{LoadBE64(src + 32), LoadBE64(src + 40)};
  h.index_size = LoadBE64(src + 48);
  return h;
}

bool HashIndexHeader::Consistent(uint64_t section_length) const {
  const SlotCodec& c = codec;
  if (c.width != 8 && c.width != 16) return false;
  if (c.pos_bits == 0 || c.pos_bits > 63 || (c.width == 16 && c.off_bits != 0)) return false;
  if (c.width == 8 && c.pos_bits + c.off_bits > 60) return false;
  if (capacity == 0 || capacity < num_entries || slot_count < capacity) return false;
  if (section_length < kHashIndexHeaderSize) return false;
  return (section_length - kHashIndexHeaderSize) / c.width >= slot_count;
}

bool HashIndexHeader::AsWritten(uint64_t data_end) const {
  const SlotCodec expected = SlotCodec::For(index_size, data_end, /*wide_allowed=*/true);
  return codec.width == expected.width && codec.pos_bits == expected.pos_bits &&
         codec.off_bits == expected.off_bits && capacity == HashCapacityFor(num_entries) &&
         slot_count >= MinSlotCount(capacity) && slot_count - capacity <= kMaxRecordedRun &&
         max_run <= kMaxRecordedRun;
}

uint64_t HashIndexFileBytes(const ExtensionBlock& block) {
  uint64_t bytes = kRecordHeadSize + block.payload_size;
  for (const ExtensionSection& s : block.sections) {
    if (s.type != kHashIndexSection && s.type != kSamplesSection) bytes -= s.length;
  }
  return bytes;
}

}  // namespace tarndb

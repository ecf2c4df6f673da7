// Big-endian fixed-width integer codecs.
//
// Every integer in a store file is big-endian and unaligned, so fields are
// read and written byte by byte through uint8_t; nothing is cast or
// memcpy'd into a struct. Compilers turn these into single bswap'd loads.
#ifndef TARNDB_CORE_FORMAT_CODING_H_
#define TARNDB_CORE_FORMAT_CODING_H_

#include <cstdint>

namespace tarndb {

inline uint16_t LoadBE16(const uint8_t* p) {
  return static_cast<uint16_t>((uint16_t{p[0]} << 8) | uint16_t{p[1]});
}

inline uint32_t LoadBE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline uint64_t LoadBE64(const uint8_t* p) {
  return (uint64_t{LoadBE32(p)} << 32) | uint64_t{LoadBE32(p + 4)};
}

inline void StoreBE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

inline void StoreBE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

inline void StoreBE64(uint8_t* p, uint64_t v) {
  StoreBE32(p, static_cast<uint32_t>(v >> 32));
  StoreBE32(p + 4, static_cast<uint32_t>(v));
}

}  // namespace tarndb

#endif  // TARNDB_CORE_FORMAT_CODING_H_

// CRC-32 of IEEE 802.3: reflected polynomial 0xEDB88320, initial value and
// final complement 0xFFFFFFFF. Value("123456789") is 0xCBF43926 and the CRC
// of no bytes is 0. Used per object payload and over the whole file body.
#ifndef TARNDB_CORE_FORMAT_CRC32_H_
#define TARNDB_CORE_FORMAT_CRC32_H_

#include <cstddef>
#include <cstdint>

namespace tarndb::crc32 {

// Return the CRC-32 of data[0, n) appended to a stream whose CRC-32 is crc.
// Extend(Extend(0, a), b) == Value(a ++ b).
uint32_t Extend(uint32_t crc, const uint8_t* data, size_t n);

// Return the CRC-32 of data[0, n).
inline uint32_t Value(const uint8_t* data, size_t n) { return Extend(0, data, n); }

// Portable table-driven implementation; always available, and the reference
// that faster implementations are checked against.
uint32_t ExtendPortable(uint32_t crc, const uint8_t* data, size_t n);

// The same CRC computed by a chosen implementation: 0 table-driven,
// 1 PCLMULQDQ, 2 VPCLMULQDQ. Levels the CPU lacks must not be asked for;
// tests use this to check every implementation against the others.
uint32_t ExtendAccelerated(uint32_t crc, const uint8_t* data, size_t n, int level);

// The best level this CPU supports, which Extend uses.
int AccelerationLevel();

// The CRC-32 of a ++ b from crc_a = Value(a), crc_b = Value(b) and the
// length of b, without the bytes: lets parts of a file be checksummed in
// any order and joined in file order. Costs O(log len_b) steps.
uint32_t Combine(uint32_t crc_a, uint32_t crc_b, uint64_t len_b);

}  // namespace tarndb::crc32

#endif  // TARNDB_CORE_FORMAT_CRC32_H_

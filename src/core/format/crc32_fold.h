// Constants for CRC-32 by carry-less multiplication ("folding").
//
// A 16-byte block X, loaded little-endian, holds the message bits in
// reflected order: bit i of the low qword L is the coefficient of x^(127-i)
// and bit i of the high qword H that of x^(63-i), counted from the block's
// end. Folding X over a distance of D bits (to combine it with the block
// that ends D bits later) needs F = X * x^D mod P, of degree < 128:
//   F = L * (x^(64+D) mod P) + H * (x^D mod P).
// A carry-less product of two reflected 64-bit values comes out one
// position short of the block layout (it represents the product times x),
// so the constants are x^(64+D-1) mod P and x^(D-1) mod P, each reflected
// into the top 32 bits of a qword. Any multiple of P makes no difference:
// only the CRC of the folded result is taken.
#ifndef TARNDB_CORE_FORMAT_CRC32_FOLD_H_
#define TARNDB_CORE_FORMAT_CRC32_FOLD_H_

#include <cstdint>

namespace tarndb::crc32 {

// x^n mod P for the CRC-32 polynomial 0x04C11DB7, in normal bit order
// (bit j is the coefficient of x^j).
constexpr uint32_t XPowModP(unsigned n) {
  uint32_t r = 1;  // x^0
  for (unsigned i = 0; i < n; ++i) {
    const bool carry = (r & 0x80000000u) != 0;
    r <<= 1;
    if (carry) r ^= 0x04C11DB7u;
  }
  return r;
}

// x^n mod P, reflected into a qword: coefficient x^j at bit 63 - j.
constexpr uint64_t ReflectedQword(uint32_t poly) {
  uint64_t out = 0;
  for (unsigned j = 0; j < 32; ++j) {
    if (poly & (1u << j)) out |= uint64_t{1} << (63 - j);
  }
  return out;
}

// The pair of constants that folds a block over `distance_bits`: the first
// multiplies the low qword, the second the high qword.
struct FoldPair {
  uint64_t low;
  uint64_t high;
};

constexpr FoldPair FoldConstants(unsigned distance_bits) {
  return FoldPair{ReflectedQword(XPowModP(64 + distance_bits - 1)),
                  ReflectedQword(XPowModP(distance_bits - 1))};
}

// A polynomial of degree <= 32 (bit j the coefficient of x^j) reflected
// into the low 33 bits of a qword: x^j at bit 32 - j.
constexpr uint64_t Reflected33(uint64_t poly) {
  uint64_t out = 0;
  for (unsigned j = 0; j < 33; ++j) {
    if ((poly >> j) & 1) out |= uint64_t{1} << (32 - j);
  }
  return out;
}

// floor(x^64 / P) for P = x^32 + 0x04C11DB7, a polynomial of degree 32.
constexpr uint64_t X64DivP() {
  constexpr uint64_t kP = 0x104C11DB7u;
  // The first quotient bit is x^32, which leaves x^32 * (P - x^32) below
  // x^64; then one bit at a time.
  uint64_t quotient = uint64_t{1} << 32;
  uint64_t rest = (kP ^ (uint64_t{1} << 32)) << 32;
  for (int shift = 31; shift >= 0; --shift) {
    if ((rest >> (32 + shift)) & 1) {
      quotient |= uint64_t{1} << shift;
      rest ^= kP << shift;
    }
  }
  return quotient;
}

// The constants that reduce a folded 16-byte value to its CRC: folds to 64
// and then 32 bits (x^96 and x^64 mod P), then Barrett's reduction by the
// quotient floor(x^64 / P) and P itself, all reflected into 33 bits.
struct ReduceConstants {
  uint64_t fold96 = Reflected33(XPowModP(96));
  uint64_t fold64 = Reflected33(XPowModP(64));
  uint64_t quotient = Reflected33(X64DivP());
  uint64_t poly = Reflected33(0x104C11DB7u);
};

}  // namespace tarndb::crc32

#endif  // TARNDB_CORE_FORMAT_CRC32_FOLD_H_

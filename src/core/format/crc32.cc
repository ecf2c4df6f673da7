// Slicing-by-8 CRC-32 (IEEE, reflected). Tables are built at compile time.
#include "core/format/crc32.h"

#include <array>

namespace tarndb::crc32 {
namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;

using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables MakeTables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    for (size_t s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  }
  return t;
}

constexpr Tables kTables = MakeTables();

}  // namespace

uint32_t ExtendPortable(uint32_t crc, const uint8_t* p, size_t n) {
  uint32_t c = ~crc;
  while (n >= 8) {
    // Little-endian assembly of the next 8 bytes, byte by byte so the code
    // does not depend on alignment or host byte order.
    const uint32_t lo = c ^ (uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
                             (uint32_t{p[3]} << 24));
    const uint32_t hi =
        uint32_t{p[4]} | (uint32_t{p[5]} << 8) | (uint32_t{p[6]} << 16) | (uint32_t{p[7]} << 24);
    c = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
        kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
        kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  while (n--) c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFF];
  return ~c;
}

namespace {

// Polynomials over GF(2) modulo P in the reflected representation of the
// CRC: bit 31 is the coefficient of x^0, bit 0 that of x^31.
constexpr uint32_t kOne = 0x80000000u;

uint32_t MultModP(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t m = kOne; m != 0; m >>= 1) {
    if (a & m) product ^= b;
    b = (b & 1) ? (b >> 1) ^ kPolynomial : b >> 1;  // b * x
  }
  return product;
}

// x^(2^k) mod P for k = 0..63.
struct PowerTable {
  uint32_t x2k[64];
  constexpr PowerTable() : x2k{} {
    uint32_t p = kOne >> 1;  // x^1
    for (int k = 0; k < 64; ++k) {
      x2k[k] = p;
      uint32_t sq = 0, a = p, b = p;  // p * p, as MultModP
      for (uint32_t m = kOne; m != 0; m >>= 1) {
        if (a & m) sq ^= b;
        b = (b & 1) ? (b >> 1) ^ kPolynomial : b >> 1;
      }
      p = sq;
    }
  }
};
constexpr PowerTable kPowers;

}  // namespace

uint32_t Combine(uint32_t crc_a, uint32_t crc_b, uint64_t len_b) {
  // Appending len_b bytes multiplies a's register by x^(8 len_b); the
  // initial and final complements cancel out in this form.
  uint32_t shift = kOne;
  uint64_t n = len_b;
  for (int k = 3; n != 0 && k < 64; ++k, n >>= 1) {
    if (n & 1) shift = MultModP(kPowers.x2k[k], shift);
  }
  return MultModP(shift, crc_a) ^ crc_b;
}

#if !defined(__x86_64__)
// Other machines use the table-driven code throughout.
uint32_t Extend(uint32_t crc, const uint8_t* data, size_t n) {
  return ExtendPortable(crc, data, n);
}
uint32_t ExtendAccelerated(uint32_t crc, const uint8_t* data, size_t n, int) {
  return ExtendPortable(crc, data, n);
}
int AccelerationLevel() { return 0; }
#endif

}  // namespace tarndb::crc32

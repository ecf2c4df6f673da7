// SipHash-1-3: one compression round per 8-byte word and three finalisation
// rounds, keyed by 128 bits. Inline, because every point lookup hashes once
// and the keys are short.
#ifndef TARNDB_CORE_COMMON_SIPHASH_H_
#define TARNDB_CORE_COMMON_SIPHASH_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarndb::siphash {

inline uint64_t Rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

// Little-endian loads (x86-64 and aarch64 Linux are little-endian).
inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline uint64_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

struct State {
  uint64_t v0, v1, v2, v3;

  State(uint64_t k0, uint64_t k1)
      : v0(k0 ^ 0x736f6d6570736575ull),
        v1(k1 ^ 0x646f72616e646f6dull),
        v2(k0 ^ 0x6c7967656e657261ull),
        v3(k1 ^ 0x7465646279746573ull) {}

  inline void Round() {
    v0 += v1;
    v1 = Rotl(v1, 13);
    v1 ^= v0;
    v0 = Rotl(v0, 32);
    v2 += v3;
    v3 = Rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = Rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = Rotl(v1, 17);
    v1 ^= v2;
    v2 = Rotl(v2, 32);
  }
  inline void Absorb(uint64_t m) {
    v3 ^= m;
    Round();
    v0 ^= m;
  }
  inline uint64_t Finish() {
    v2 ^= 0xff;
    Round();
    Round();
    Round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

// The last word: the 0..7 trailing bytes, little-endian, with the length's
// low byte on top. Loads stay inside [p, p + n): inputs of 8 bytes or more
// read the 8 bytes that end at the input's end and shift; shorter ones use
// two overlapping loads of 4 bytes, or single bytes.
inline uint64_t LastWord(const uint8_t* p, size_t n) {
  const size_t tail = n & 7;
  uint64_t last = uint64_t{n & 0xff} << 56;
  if (tail == 0) return last;
  if (n >= 8) return last | (Load64(p + n - 8) >> (8 * (8 - tail)));
  if (n >= 4) return last | Load32(p) | (Load32(p + n - 4) << (8 * (n - 4)));
  uint64_t v = p[0];
  if (n > 1) v |= uint64_t{p[1]} << 8;
  if (n > 2) v |= uint64_t{p[2]} << 16;
  return last | v;
}

inline uint64_t Hash(uint64_t k0, uint64_t k1, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  State st(k0, k1);
  const size_t full = n & ~size_t{7};
  for (size_t i = 0; i < full; i += 8) st.Absorb(Load64(p + i));
  st.Absorb(LastWord(p, n));
  return st.Finish();
}

inline uint64_t HashU64(uint64_t k0, uint64_t k1, uint64_t value) {
  State st(k0, k1);
  st.Absorb(value);
  st.Absorb(uint64_t{8} << 56);
  return st.Finish();
}

}  // namespace tarndb::siphash

#endif  // TARNDB_CORE_COMMON_SIPHASH_H_

// CRC-32 with PCLMULQDQ (16 bytes per lane) and, where the CPU has it,
// VPCLMULQDQ over AVX-512 (four lanes per register). See crc32_fold.h for
// how the constants are derived.
//
// Outline of one pass over data[0, n):
//   1. XOR the incoming CRC state into the first four bytes: the state of a
//      reflected CRC is exactly what those bits would contribute.
//   2. Fold 16-byte blocks together until one 128-bit value is left whose
//      polynomial is congruent to the processed message.
//   3. The CRC of that 16-byte value (with a zero starting state) is the
//      CRC of the processed message; finish it and any tail of fewer than
//      16 bytes with the table-driven code.
#if defined(__x86_64__)

#include <immintrin.h>

#include <cstring>

#include "core/format/crc32.h"
#include "core/format/crc32_fold.h"

namespace tarndb::crc32 {
namespace {

constexpr FoldPair k128 = FoldConstants(128);
constexpr FoldPair k256 = FoldConstants(256);
constexpr FoldPair k384 = FoldConstants(384);
constexpr FoldPair k512 = FoldConstants(512);
constexpr FoldPair k2048 = FoldConstants(2048);

#define TARNDB_PCLMUL __attribute__((target("pclmul,sse4.1")))
#define TARNDB_VPCLMUL __attribute__((target("avx512f,avx512bw,avx512vl,vpclmulqdq,pclmul,sse4.1")))

TARNDB_PCLMUL inline __m128i Pair(FoldPair k) {
  return _mm_set_epi64x(static_cast<long long>(k.high), static_cast<long long>(k.low));
}

// x folded over the distance that k encodes.
TARNDB_PCLMUL inline __m128i Fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

TARNDB_PCLMUL inline __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

constexpr ReduceConstants kReduce;
static_assert(kReduce.fold96 == 0xCCAA009Eu && kReduce.fold64 == 0x163CD6124u &&
              kReduce.quotient == 0x1F7011641u && kReduce.poly == 0x1DB710641u);

// The CRC register (from a zero start) after the 16 bytes of x, without
// leaving the vector unit: x's 128 bits folded to 96 (the low qword times
// x^96), then to 64 (the low 32 bits times x^64), then Barrett's reduction
// to 32: the quotient q = floor(t * floor(x^64 / P) / x^64), and t - q * P
// in the upper half.
TARNDB_PCLMUL uint32_t Reduce(__m128i x) {
  const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
  const __m128i folds = _mm_set_epi64x(static_cast<long long>(kReduce.fold64),
                                       static_cast<long long>(kReduce.fold96));
  const __m128i barrett = _mm_set_epi64x(static_cast<long long>(kReduce.quotient),
                                         static_cast<long long>(kReduce.poly));
  __m128i t = _mm_xor_si128(_mm_clmulepi64_si128(x, folds, 0x00), _mm_srli_si128(x, 8));
  t = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(t, low32), folds, 0x10),
                    _mm_srli_si128(t, 4));
  __m128i q = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(t, low32), barrett, 0x10), low32);
  q = _mm_clmulepi64_si128(q, barrett, 0x00);
  return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(q, t), 1));
}

// Fold the remaining whole blocks into x one at a time, then step 3: the CRC
// of the folded 16-byte value, then the tail of fewer than 16 bytes.
TARNDB_PCLMUL uint32_t Finish(__m128i x, const uint8_t* p, size_t n) {
  const __m128i k1 = Pair(k128);
  while (n >= 16) {
    x = _mm_xor_si128(Fold(x, k1), Load(p));
    p += 16;
    n -= 16;
  }
  // ExtendPortable takes the complement of the register.
  return ExtendPortable(~Reduce(x), p, n);
}

// Fold-by-4 over 64-byte strides, then one block at a time. Needs n >= 64.
TARNDB_PCLMUL uint32_t ExtendPclmul(uint32_t crc, const uint8_t* p, size_t n) {
  __m128i x0 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(~crc)));
  __m128i x1 = Load(p + 16);
  __m128i x2 = Load(p + 32);
  __m128i x3 = Load(p + 48);
  p += 64;
  n -= 64;
  const __m128i k4 = Pair(k512);
  while (n >= 64) {
    x0 = _mm_xor_si128(Fold(x0, k4), Load(p));
    x1 = _mm_xor_si128(Fold(x1, k4), Load(p + 16));
    x2 = _mm_xor_si128(Fold(x2, k4), Load(p + 32));
    x3 = _mm_xor_si128(Fold(x3, k4), Load(p + 48));
    p += 64;
    n -= 64;
  }
  const __m128i x = _mm_xor_si128(_mm_xor_si128(Fold(x0, Pair(k384)), Fold(x1, Pair(k256))),
                                  _mm_xor_si128(Fold(x2, Pair(k128)), x3));
  return Finish(x, p, n);
}

TARNDB_VPCLMUL inline __m512i Pair512(FoldPair k) {
  const auto lo = static_cast<long long>(k.low);
  const auto hi = static_cast<long long>(k.high);
  return _mm512_set_epi64(hi, lo, hi, lo, hi, lo, hi, lo);
}

TARNDB_VPCLMUL inline __m512i Fold512(__m512i x, __m512i k) {
  return _mm512_xor_si512(_mm512_clmulepi64_epi128(x, k, 0x00),
                          _mm512_clmulepi64_epi128(x, k, 0x11));
}

TARNDB_VPCLMUL inline __m512i Load512(const uint8_t* p) { return _mm512_loadu_si512(p); }

// Four 64-byte registers (16 lanes) over 256-byte strides. Needs n >= 256.
TARNDB_VPCLMUL uint32_t ExtendVpclmul(uint32_t crc, const uint8_t* p, size_t n) {
  __m512i z0 = _mm512_xor_si512(Load512(p),
                                _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(~crc))));
  __m512i z1 = Load512(p + 64);
  __m512i z2 = Load512(p + 128);
  __m512i z3 = Load512(p + 192);
  p += 256;
  n -= 256;
  const __m512i k16 = Pair512(k2048);
  while (n >= 256) {
    z0 = _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(z0, k16, 0x00),
                                   _mm512_clmulepi64_epi128(z0, k16, 0x11), Load512(p), 0x96);
    z1 = _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(z1, k16, 0x00),
                                   _mm512_clmulepi64_epi128(z1, k16, 0x11), Load512(p + 64), 0x96);
    z2 = _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(z2, k16, 0x00),
                                   _mm512_clmulepi64_epi128(z2, k16, 0x11), Load512(p + 128), 0x96);
    z3 = _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(z3, k16, 0x00),
                                   _mm512_clmulepi64_epi128(z3, k16, 0x11), Load512(p + 192), 0x96);
    p += 256;
    n -= 256;
  }
  // Each register sits 512 bits before the next.
  const __m512i k4 = Pair512(k512);
  z1 = _mm512_xor_si512(Fold512(z0, k4), z1);
  z2 = _mm512_xor_si512(Fold512(z1, k4), z2);
  z3 = _mm512_xor_si512(Fold512(z2, k4), z3);
  // Its four lanes sit 384, 256, 128 and 0 bits before the end; the last
  // lane is taken as it is (its constants are zero).
  const __m512i lane_k =
      _mm512_set_epi64(0, 0, static_cast<long long>(k128.high), static_cast<long long>(k128.low),
                       static_cast<long long>(k256.high), static_cast<long long>(k256.low),
                       static_cast<long long>(k384.high), static_cast<long long>(k384.low));
  alignas(64) __m128i lanes[4];
  _mm512_store_si512(lanes, Fold512(z3, lane_k));
  __m128i x = _mm_xor_si128(_mm_xor_si128(lanes[0], lanes[1]), lanes[2]);
  _mm512_store_si512(lanes, z3);
  x = _mm_xor_si128(x, lanes[3]);
  return Finish(x, p, n);
}

using ExtendFn = uint32_t (*)(uint32_t, const uint8_t*, size_t);

struct Implementations {
  ExtendFn small;  // for 64 <= n < 256
  ExtendFn large;  // for n >= 256
};

Implementations Choose() {
  __builtin_cpu_init();
  const bool pclmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  const bool vpclmul = pclmul && __builtin_cpu_supports("avx512f") &&
                       __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
                       __builtin_cpu_supports("vpclmulqdq");
  if (!pclmul) return {ExtendPortable, ExtendPortable};
  return {ExtendPclmul, vpclmul ? ExtendVpclmul : ExtendPclmul};
}

const Implementations kChosen = Choose();

}  // namespace

uint32_t Extend(uint32_t crc, const uint8_t* data, size_t n) {
  if (n < 64) return ExtendPortable(crc, data, n);
  return n < 256 ? kChosen.small(crc, data, n) : kChosen.large(crc, data, n);
}

uint32_t ExtendAccelerated(uint32_t crc, const uint8_t* data, size_t n, int level) {
  if (level >= 2 && n >= 256) return ExtendVpclmul(crc, data, n);
  if (level >= 1 && n >= 64) return ExtendPclmul(crc, data, n);
  return ExtendPortable(crc, data, n);
}

int AccelerationLevel() {
  if (kChosen.small == ExtendPortable) return 0;
  return kChosen.large == ExtendVpclmul ? 2 : 1;
}

}  // namespace tarndb::crc32

#endif  // __x86_64__

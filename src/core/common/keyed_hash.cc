#include "core/common/keyed_hash.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>

namespace tarndb {
namespace {

inline uint64_t Rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  uint64_t v0, v1, v2, v3;

  explicit SipState(HashKey k)
      : v0(k.k0 ^ 0x736f6d6570736575ull),
        v1(k.k1 ^ 0x646f72616e646f6dull),
        v2(k.k0 ^ 0x6c7967656e657261ull),
        v3(k.k1 ^ 0x7465646279746573ull) {}

  inline void Round() {
    v0 += v1; v1 = Rotl(v1, 13); v1 ^= v0; v0 = Rotl(v0, 32);
    v2 += v3; v3 = Rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = Rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = Rotl(v1, 17); v1 ^= v2; v2 = Rotl(v2, 32);
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

inline uint64_t LoadLE64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);  // x86-64 and aarch64 Linux are little-endian
  return v;
}

// 64 bytes from getrandom, or /dev/urandom where the call is missing. If both
// fail (a sandbox without either), the clock and the address of a local are
// the last resort so the process still runs, with weaker seeding.
std::array<uint64_t, 8> DrawProcessSeed() {
  std::array<uint64_t, 8> seed{};
  auto* out = reinterpret_cast<uint8_t*>(seed.data());
  size_t got = 0;
  while (got < sizeof seed) {
    const ssize_t n = getrandom(out + got, sizeof seed - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  if (got < sizeof seed) {
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      while (got < sizeof seed) {
        const ssize_t n = read(fd, out + got, sizeof seed - got);
        if (n > 0) {
          got += static_cast<size_t>(n);
        } else if (!(n < 0 && errno == EINTR)) {
          break;
        }
      }
      close(fd);
    }
  }
  if (got < sizeof seed) {
    const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    seed[0] ^= static_cast<uint64_t>(now);
    seed[1] ^= reinterpret_cast<uintptr_t>(&seed);
  }
  return seed;
}

const std::array<uint64_t, 8>& ProcessSeed() {
  static const std::array<uint64_t, 8> seed = DrawProcessSeed();
  return seed;
}

}  // namespace

HashKey HashKey::ForNewTable() {
  static std::atomic<uint64_t> counter{0};
  const uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  const auto& s = ProcessSeed();
  const uint64_t m0[3] = {n, s[4], s[5]};
  const uint64_t m1[3] = {n, s[6], s[7]};
  return HashKey{SipHash13(HashKey{s[0], s[1]}, m0, sizeof m0),
                 SipHash13(HashKey{s[2], s[3]}, m1, sizeof m1)};
}

uint64_t SipHash13(HashKey key, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  SipState st(key);
  const size_t full = n & ~size_t{7};
  for (size_t i = 0; i < full; i += 8) st.Absorb(LoadLE64(p + i));
  uint64_t last = uint64_t{n & 0xff} << 56;
  switch (n & 7) {
    case 7: last |= uint64_t{p[full + 6]} << 48; [[fallthrough]];
    case 6: last |= uint64_t{p[full + 5]} << 40; [[fallthrough]];
    case 5: last |= uint64_t{p[full + 4]} << 32; [[fallthrough]];
    case 4: last |= uint64_t{p[full + 3]} << 24; [[fallthrough]];
    case 3: last |= uint64_t{p[full + 2]} << 16; [[fallthrough]];
    case 2: last |= uint64_t{p[full + 1]} << 8; [[fallthrough]];
    case 1: last |= uint64_t{p[full]}; break;
    case 0: break;
  }
  st.Absorb(last);
  return st.Finish();
}

uint64_t SipHash13U64(HashKey key, uint64_t value) {
  SipState st(key);
  st.Absorb(value);
  st.Absorb(uint64_t{8} << 56);
  return st.Finish();
}

}  // namespace tarndb

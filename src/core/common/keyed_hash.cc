#include "core/common/keyed_hash.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>

#include "core/common/posix.h"
#include "core/common/unique_fd.h"

namespace tarndb {
namespace {

// N words from getrandom, or /dev/urandom where the call is missing. If both
// fail (a sandbox without either), the clock and the address of a local are
// the last resort so the process still runs, with weaker seeding.
template <size_t N>
std::array<uint64_t, N> DrawSeed() {
  std::array<uint64_t, N> seed{};
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
    Result<UniqueFd> fd = OpenFd("/dev/urandom", O_RDONLY | O_CLOEXEC, 0, "");
    if (fd.ok()) {
      while (got < sizeof seed) {
        const ssize_t n = read(fd.value().get(), out + got, sizeof seed - got);
        if (n > 0) {
          got += static_cast<size_t>(n);
        } else if (!(n < 0 && errno == EINTR)) {
          break;
        }
      }
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
  static const std::array<uint64_t, 8> seed = DrawSeed<8>();
  return seed;
}

}  // namespace

HashKey HashKey::FromRandomSource() {
  const std::array<uint64_t, 2> s = DrawSeed<2>();
  return HashKey{s[0], s[1]};
}

HashKey HashKey::ForNewTable() {
  static std::atomic<uint64_t> counter{0};
  const uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  const auto& s = ProcessSeed();
  const uint64_t m0[3] = {n, s[4], s[5]};
  const uint64_t m1[3] = {n, s[6], s[7]};
  return HashKey{SipHash13(HashKey{s[0], s[1]}, m0, sizeof m0),
                 SipHash13(HashKey{s[2], s[3]}, m1, sizeof m1)};
}

}  // namespace tarndb

// Prints table keys and hashes so the test can check how hash tables are seeded.
//   hash_keys tables N T   the keys of N new tables made by each of T threads at
//                          once, one "k0 k1" line (hex) per table
//   hash_keys hash K0 K1   for each line of hex bytes on stdin, the hash of those
//                          bytes and the hash of their count as a 64-bit value,
//                          both under the key {K0, K1} (hex)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "core/common/keyed_hash.h"

using tarndb::HashKey;

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "tables") == 0) {
    const int n = std::atoi(argv[2]), threads = std::atoi(argv[3]);
    std::vector<HashKey> keys(static_cast<size_t>(n * threads));
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
      pool.emplace_back([&keys, n, t] {
        for (int i = 0; i < n; ++i) keys[static_cast<size_t>(t * n + i)] = HashKey::ForNewTable();
      });
    }
    for (auto& th : pool) th.join();
    for (const HashKey& k : keys) {
      std::printf("%016llx %016llx\n", static_cast<unsigned long long>(k.k0),
                  static_cast<unsigned long long>(k.k1));
    }
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "hash") == 0) {
    const HashKey key{std::strtoull(argv[2], nullptr, 16), std::strtoull(argv[3], nullptr, 16)};
    std::string line;
    while (std::getline(std::cin, line)) {
      std::vector<uint8_t> bytes;
      for (size_t i = 0; i + 1 < line.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
      }
      std::printf("%016llx %016llx\n",
                  static_cast<unsigned long long>(tarndb::SipHash13(key, bytes.data(), bytes.size())),
                  static_cast<unsigned long long>(tarndb::SipHash13U64(key, bytes.size())));
    }
    return 0;
  }
  return 2;
}

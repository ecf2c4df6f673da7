// Prints the CRC-32 of slices of a buffer with every implementation the CPU
// supports, so the test can compare them all with zlib.
//   crc32_levels BUFFER_FILE < "offset length initial" lines
// Output: one line per input line, "crc0 crc1 ..." in hex, one per level.
#include <cstdio>
#include <vector>

#include "core/format/crc32.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::FILE* f = std::fopen(argv[1], "rb");
  if (f == nullptr) return 2;
  std::vector<unsigned char> buf;
  unsigned char chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    buf.insert(buf.end(), chunk, chunk + got);
  std::fclose(f);
  const int top = tarndb::crc32::AccelerationLevel();
  std::printf("levels %d\n", top + 1);
  unsigned long offset, length, initial;
  while (std::scanf("%lu %lu %lu", &offset, &length, &initial) == 3) {
    if (offset + length > buf.size()) return 2;
    for (int level = 0; level <= top; ++level) {
      std::printf("%s%08x", level ? " " : "",
                  tarndb::crc32::ExtendAccelerated(static_cast<uint32_t>(initial),
                                                   buf.data() + offset, length, level));
    }
    std::printf("\n");
  }
  return 0;
}

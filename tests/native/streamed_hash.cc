// Places a hash index with StreamedHashIndex and checks the table it writes.
//   streamed_hash N KEYS INDEX_SIZE DATA_END MEMORY DIR
// adds N items (random hashes, increasing entry positions and record
// offsets below INDEX_SIZE and DATA_END) to an index made for at most KEYS
// keys with MEMORY bytes of items (spilling into DIR), places the table for
// an index of INDEX_SIZE bytes and records ending at DATA_END, and checks
// it: every item is found by linear probing from its home with its own
// slot, nothing else is in the table, max_run is its longest run, and it
// has at least the writer's minimum of slots. Prints "ok WIDTH" or
// the first fault (exit 1).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/format/coding.h"
#include "core/format/hash_index.h"
#include "core/writer/spill_file.h"
#include "core/writer/streamed_hash_index.h"

using namespace tarndb;  // NOLINT: a test tool

namespace {

uint64_t Next(uint64_t* s) {  // splitmix64
  uint64_t z = (*s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

int Fail(const std::string& what) {
  std::printf("fault: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) return 2;
  const uint64_t n = std::strtoull(argv[1], nullptr, 10);
  const StreamedHashBounds bounds{std::strtoull(argv[2], nullptr, 10),
                                  std::strtoull(argv[3], nullptr, 10),
                                  std::strtoull(argv[4], nullptr, 10)};
  StreamedHashIndex index(bounds, std::strtoull(argv[5], nullptr, 10), argv[6]);
  struct Item {
    uint64_t h, pos, offset;
  };
  std::vector<Item> items;
  uint64_t seed = 42;
  for (uint64_t i = 0; i < n; ++i) {
    // Increasing positions and offsets, spread over the bounds.
    const Item it{Next(&seed), (bounds.index_size - 1) / n * i,
                  kDataOffset + (bounds.data_end - kDataOffset - 1) / n * i};
    items.push_back(it);
    if (!index.Add(it.h, it.pos, it.offset).ok()) return Fail("add");
  }
  HashIndexHeader header;
  header.codec = SlotCodec::For(bounds.index_size, bounds.data_end, /*wide_allowed=*/true);
  header.capacity = HashCapacityFor(n);
  header.num_entries = n;
  Result<SpillFile> file = SpillFile::Create(argv[6], "test file");
  if (!file.ok()) return Fail("spill file");
  Appender out(&file.value(), 0, 1 << 16);
  if (!index.Place(&header, &out).ok() || !out.Flush().ok()) return Fail("place");
  const SlotCodec& c = header.codec;
  if (out.appended() != header.slot_count * c.width) return Fail("size");
  if (header.slot_count < MinSlotCount(header.capacity)) return Fail("slot count");
  std::vector<uint8_t> bytes(static_cast<size_t>(out.appended()));
  if (!file.value().ReadAt(bytes.data(), bytes.size(), 0).ok()) return Fail("read");
  const auto word = [&](uint64_t s) { return LoadBE64(bytes.data() + s * c.width); };
  uint64_t occupied = 0, run = 0, longest = 0;
  for (uint64_t s = 0; s < header.slot_count; ++s) {
    run = word(s) != 0 ? run + 1 : 0;
    occupied += word(s) != 0;
    longest = std::max(longest, run);
  }
  if (occupied != n) return Fail("occupied " + std::to_string(occupied));
  if (longest != header.max_run) return Fail("max_run");
  for (const Item& it : items) {
    uint64_t s = HomeSlot(it.h, header.capacity);
    for (; s < header.slot_count && word(s) != 0; ++s) {
      if (word(s) == c.Word(it.h, it.pos, it.offset)) break;
    }
    if (s == header.slot_count || word(s) == 0) return Fail("item not found from its home");
    if (c.width == 16 && LoadBE64(bytes.data() + s * 16 + 8) != it.offset) return Fail("offset");
  }
  std::printf("ok %u\n", c.width);
  return 0;
}

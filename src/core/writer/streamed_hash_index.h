// StreamedHashIndex: the slots of a hash index for keys that arrive once
// each, in index order, before their count, the index's size or the data
// section's end is known (a compaction's merged stream).
//
// Each key leaves an item (its hash, its entry's position and its record's
// offset) in one of B buckets by the top bits of its hash. Since a key's
// home slot grows with its hash, bucket b holds exactly the keys whose
// homes lie in one stretch of the table; buckets in order give the table
// in order. Placing a bucket is linear probing within a window of its
// stretch (small enough to stay in the cache), in any order of its items:
// a key lands at the first free slot from its home, which is all a reader
// relies on. The slots a bucket's runs push past its stretch carry over to
// the next one's window. No sort, and each item is touched twice.
//
// Items are kept in blocks of a fixed pool; when the pool is full, every
// bucket's full blocks go to a spill file, one piece per bucket, and are
// read back bucket by bucket when the table is placed. An item takes 16
// bytes (24 where positions and offsets both pass 2^32).
#ifndef TARNDB_CORE_WRITER_STREAMED_HASH_INDEX_H_
#define TARNDB_CORE_WRITER_STREAMED_HASH_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/common/big_buffer.h"
#include "core/common/result.h"
#include "core/format/hash_index.h"
#include "core/writer/spill_file.h"

namespace tarndb {

struct StreamedHashBounds {
  uint64_t keys = 0;        // at most this many keys are added
  uint64_t index_size = 0;  // every position is below this
  uint64_t data_end = 0;    // every record offset is below this
};

class StreamedHashIndex {
 public:
  // memory: bytes for the pool of items (at least 64 KiB are taken);
  // spill_dir takes the items beyond it.
  StreamedHashIndex(const StreamedHashBounds& bounds, uint64_t memory, std::string spill_dir);

  // The next key in index order: its hash under the table's seed, its
  // entry's position in the index section, its record's offset. Fails
  // only when items must be spilled and cannot be.
  Status Add(uint64_t h, uint64_t pos, uint64_t offset) {
    const uint64_t b = shift_ >= 64 ? 0 : h >> shift_;
    if (fill_[b] == block_items_) {
      if (Status s = NextBlock(b); !s.ok()) return s;
    }
    uint64_t* w = pool() + (uint64_t{current_[b]} * block_items_ + fill_[b]) * stride_;
    w[0] = h;
    if (stride_ == 2) {
      w[1] = pos << off_bits_ | (offset - kDataOffset);
    } else {
      w[1] = pos;
      w[2] = offset;
    }
    ++fill_[b];
    ++added_;
    return OkStatus();
  }

  uint64_t added() const { return added_; }
  // Bytes of memory held: the pool.
  uint64_t memory_bytes() const { return pool_bytes_; }

  // Write every slot of the table that *header describes (codec, capacity
  // and num_entries set; num_entries == added()) to body, in order, and set
  // its slot_count and max_run.
  Status Place(HashIndexHeader* header, Appender* body);

 private:
  struct Piece {  // a bucket's items spilled at once
    uint64_t pos;
    uint64_t items;
  };
  // Bucket b's block is full: keep it and start another, spilling the
  // full blocks when the pool has none free.
  Status NextBlock(uint64_t b);
  Status SpillFullBlocks();
  // Place n items at w into the window, whose first slot is base.
  void PlaceItems(const uint64_t* w, size_t n, const HashIndexHeader& h, uint64_t base);
  Status PlaceBucket(uint64_t b, const HashIndexHeader& header, uint64_t base);
  // Make the window n slots long, the new ones empty.
  void Widen(size_t n, const SlotCodec& codec);
  // Emit the window's first n slots to body.
  Status EmitSlots(size_t n, const SlotCodec& codec, Appender* body);

  unsigned shift_ = 64;  // bucket = h >> shift_ (one bucket when 64)
  unsigned stride_ = 2;  // words per item
  unsigned off_bits_ = 0;
  uint32_t block_items_ = 0;
  uint64_t pool_bytes_ = 0;
  uint64_t* pool() const { return reinterpret_cast<uint64_t*>(pool_.data()); }
  BigBuffer pool_;
  std::vector<uint32_t> free_;
  std::vector<uint32_t> current_;            // per bucket: the block being filled
  std::vector<uint32_t> fill_;               // per bucket: items in it
  std::vector<std::vector<uint32_t>> full_;  // per bucket: its full blocks held
  std::vector<std::vector<Piece>> spilled_;  // per bucket
  std::string spill_dir_;
  std::unique_ptr<SpillFile> spill_;
  uint64_t spill_end_ = 0;
  uint64_t added_ = 0;
  // Placing.
  // The window: slots' first words, and their offsets in 16-byte slots.
  std::vector<uint64_t> words_;
  std::vector<uint64_t> offsets_;
  uint64_t run_ = 0;
  uint64_t longest_ = 0;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_STREAMED_HASH_INDEX_H_

#include "core/writer/streamed_hash_index.h"

#include <algorithm>
#include <bit>
#include <utility>

#include "core/format/coding.h"

namespace tarndb {
namespace {

// Keys per bucket, about: a window of their stretch (16 bytes a slot at a
// load of 0.8) stays near 1.3 MiB, within the cache. (Smaller buckets
// spread the items over more streams, which cost the merge more at 10^7
// keys; larger windows placed more slowly.)
constexpr uint64_t kBucketKeys = uint64_t{1} << 16;
constexpr unsigned kMaxBucketBits = 16;
constexpr uint64_t kMaxBlockItems = 4096;
constexpr uint64_t kMinBlockItems = 16;
constexpr uint64_t kMinPool = uint64_t{64} << 10;
constexpr size_t kReadChunk = size_t{1} << 20;

unsigned BitsFor(uint64_t bound) { return static_cast<unsigned>(std::bit_width(bound)); }

}  // namespace

StreamedHashIndex::StreamedHashIndex(const StreamedHashBounds& bounds, uint64_t memory,
                                     std::string spill_dir)
    : spill_dir_(std::move(spill_dir)) {
  off_bits_ = BitsFor(bounds.data_end);
  stride_ = off_bits_ < 64 && BitsFor(bounds.index_size) + off_bits_ <= 64 ? 2 : 3;
  unsigned bucket_bits = 0;
  while (bucket_bits < kMaxBucketBits && (bounds.keys >> bucket_bits) > kBucketKeys) ++bucket_bits;
  const uint64_t buckets = uint64_t{1} << bucket_bits;
  shift_ = bucket_bits == 0 ? 64 : 64 - bucket_bits;
  const uint64_t item_bytes = uint64_t{stride_} * 8;
  const uint64_t room = std::max(memory, kMinPool);
  // Blocks of up to 4,096 items, small enough that the buckets' partly
  // filled blocks take at most a quarter of the pool; at least two blocks
  // per bucket, so that a spill always frees one.
  block_items_ = static_cast<uint32_t>(
      std::clamp(room / item_bytes / (4 * buckets), kMinBlockItems, kMaxBlockItems));
  const uint64_t needed = bounds.keys / block_items_ + buckets;
  const uint64_t blocks =
      std::max(2 * buckets, std::min(needed, room / (item_bytes * block_items_)));
  pool_bytes_ = blocks * block_items_ * item_bytes;
  pool_ = BigBuffer(static_cast<size_t>(pool_bytes_), BigBuffer::kUninitialised,
                    BigBuffer::kNormalPages);
  current_.resize(buckets);
  for (uint32_t b = 0; b < buckets; ++b) current_[b] = b;
  for (uint64_t k = blocks; k > buckets; --k) free_.push_back(static_cast<uint32_t>(k - 1));
  fill_.assign(buckets, 0);
  full_.resize(buckets);
  spilled_.resize(buckets);
}

Status StreamedHashIndex::NextBlock(uint64_t b) {
  if (free_.empty()) {
    if (Status s = SpillFullBlocks(); !s.ok()) return s;
  }
  full_[b].push_back(current_[b]);
  current_[b] = free_.back();
  free_.pop_back();
  fill_[b] = 0;
  return OkStatus();
}

Status StreamedHashIndex::SpillFullBlocks() {
  if (spill_ == nullptr) {
    Result<SpillFile> made = SpillFile::Create(spill_dir_, "spill file");
    if (!made.ok()) return std::move(made.error());
    spill_ = std::make_unique<SpillFile>(std::move(made.value()));
  }
  const uint64_t block_bytes = uint64_t{block_items_} * stride_ * 8;
  for (size_t b = 0; b < full_.size(); ++b) {
    if (full_[b].empty()) continue;
    const uint64_t start = spill_end_;
    for (const uint32_t block : full_[b]) {
      const auto* p =
          reinterpret_cast<const uint8_t*>(pool() + uint64_t{block} * block_items_ * stride_);
      if (Status s = spill_->WriteAt(p, block_bytes, spill_end_); !s.ok()) return s;
      spill_end_ += block_bytes;
    }
    spilled_[b].push_back(Piece{start, full_[b].size() * uint64_t{block_items_}});
    free_.insert(free_.end(), full_[b].begin(), full_[b].end());
    full_[b].clear();
  }
  return OkStatus();
}

void StreamedHashIndex::PlaceItems(const uint64_t* w, size_t n, const HashIndexHeader& header,
                                   uint64_t base) {
  const SlotCodec& codec = header.codec;
  const uint64_t off_mask = stride_ == 2 ? (uint64_t{1} << off_bits_) - 1 : 0;
  for (size_t i = 0; i < n; ++i, w += stride_) {
    const uint64_t h = w[0];
    const uint64_t pos = stride_ == 2 ? w[1] >> off_bits_ : w[1];
    const uint64_t offset = stride_ == 2 ? (w[1] & off_mask) + kDataOffset : w[2];
    // Homes grow with the hash, so none in this bucket lies before base.
    size_t at = static_cast<size_t>(HomeSlot(h, header.capacity) - base);
    while (at < words_.size() && words_[at] != 0) ++at;
    if (at == words_.size()) {
      words_.push_back(0);
      if (codec.width == 16) offsets_.push_back(0);
    }
    words_[at] = codec.Word(h, pos, offset);
    if (codec.width == 16) offsets_[at] = offset;
  }
}

Status StreamedHashIndex::PlaceBucket(uint64_t b, const HashIndexHeader& header, uint64_t base) {
  if (!spilled_[b].empty()) {
    std::vector<uint8_t> chunk(kReadChunk);
    const uint64_t item_bytes = uint64_t{stride_} * 8;
    for (const Piece& piece : spilled_[b]) {
      for (uint64_t done = 0; done < piece.items;) {
        const uint64_t n = std::min<uint64_t>(piece.items - done, kReadChunk / item_bytes);
        if (Status s = spill_->ReadAt(chunk.data(), n * item_bytes, piece.pos + done * item_bytes);
            !s.ok()) {
          return s;
        }
        PlaceItems(reinterpret_cast<const uint64_t*>(chunk.data()), n, header, base);
        done += n;
      }
    }
  }
  const uint64_t block_words = uint64_t{block_items_} * stride_;
  for (const uint32_t block : full_[b]) {
    PlaceItems(pool() + block * block_words, block_items_, header, base);
  }
  PlaceItems(pool() + current_[b] * block_words, fill_[b], header, base);
  return OkStatus();
}

void StreamedHashIndex::Widen(size_t n, const SlotCodec& codec) {
  words_.resize(n, 0);
  if (codec.width == 16) offsets_.resize(n, 0);
}

Status StreamedHashIndex::EmitSlots(size_t n, const SlotCodec& codec, Appender* body) {
  uint8_t buf[16 * 1024];
  size_t used = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t word = words_[i];
    run_ = word != 0 ? run_ + 1 : 0;
    longest_ = std::max(longest_, run_);
    EncodeSlot(codec, word, codec.width == 16 ? offsets_[i] : 0, buf + used);
    used += codec.width;
    if (used == sizeof buf || i + 1 == n) {
      if (Status s = body->Append(buf, used); !s.ok()) return s;
      used = 0;
    }
  }
  return OkStatus();
}

Status StreamedHashIndex::Place(HashIndexHeader* header, Appender* body) {
  const uint64_t capacity = header->capacity;
  const size_t buckets = current_.size();
  words_.clear();
  offsets_.clear();
  run_ = longest_ = 0;
  uint64_t base = 0;  // the table's slot that the window starts at
  for (size_t b = 0; b < buckets; ++b) {
    const bool last = b + 1 == buckets;
    const uint64_t end = last ? capacity : HomeSlot(uint64_t{b + 1} << shift_, capacity);
    if (words_.size() < end - base) Widen(static_cast<size_t>(end - base), header->codec);
    if (Status s = PlaceBucket(b, *header, base); !s.ok()) return s;
    // Slots past this bucket's stretch, where its runs went on, stay in
    // the window for the next bucket.
    const size_t done = last ? words_.size() : static_cast<size_t>(end - base);
    if (Status s = EmitSlots(done, header->codec, body); !s.ok()) return s;
    words_.erase(words_.begin(), words_.begin() + static_cast<ptrdiff_t>(done));
    if (header->codec.width == 16) {
      offsets_.erase(offsets_.begin(), offsets_.begin() + static_cast<ptrdiff_t>(done));
    }
    base += done;
  }
  // Room for runs that pass the last home: the writer's fixed minimum.
  const uint64_t min_slots = MinSlotCount(capacity);
  if (base < min_slots) {
    words_.clear();
    offsets_.clear();
    Widen(static_cast<size_t>(min_slots - base), header->codec);
    if (Status s = EmitSlots(words_.size(), header->codec, body); !s.ok()) return s;
    base = min_slots;
  }
  words_ = std::vector<uint64_t>();
  offsets_ = std::vector<uint64_t>();
  header->slot_count = base;
  header->max_run = static_cast<uint32_t>(std::min<uint64_t>(longest_, UINT32_MAX));
  return OkStatus();
}

}  // namespace tarndb

// The key filter section: encoder and decoder side by side (layout in
// key_filter.h).
#include "core/format/key_filter.h"

#include <algorithm>

#include "core/format/coding.h"

namespace tarndb {

KeyFilterBuilder::KeyFilterBuilder(uint64_t key_bound, HashKey seed) : seed_(seed) {
  const uint64_t bits = key_bound * kFilterBitsPerKey;
  block_count_ = std::max<uint64_t>(1, (bits + 8 * kFilterBlockBytes - 1) / (8 * kFilterBlockBytes));
  blocks_.assign(block_count_ * kFilterBlockBytes, 0);
}

void KeyFilterBuilder::Add(KeyView key) {
  const uint64_t h = FilterHash(seed_, key);
  uint8_t* block = blocks_.data() + kFilterBlockBytes * FilterBlock(h, block_count_);
  uint64_t g = h;
  for (unsigned i = 0; i < kFilterProbes; ++i) {
    const unsigned b = FilterBit(&g);
    block[b >> 3] = static_cast<uint8_t>(block[b >> 3] | (1u << (b & 7)));
  }
}

SectionBytes KeyFilterBuilder::Finish() const {
  SectionBytes s{kKeyFilterSection, kKeyFilterVersion, {}};
  s.bytes.assign(kKeyFilterHeaderSize, 0);
  s.bytes[0] = kFilterProbes;
  StoreBE64(s.bytes.data() + 8, block_count_);
  StoreBE64(s.bytes.data() + 16, seed_.k0);
  StoreBE64(s.bytes.data() + 24, seed_.k1);
  s.bytes.insert(s.bytes.end(), blocks_.begin(), blocks_.end());
  return s;
}

Result<KeyFilter> KeyFilter::Parse(const uint8_t* data, size_t size) {
  if (size < kKeyFilterHeaderSize) return Error::Corrupt("key filter section truncated");
  KeyFilter f;
  f.probes_ = data[0];
  f.block_count_ = LoadBE64(data + 8);
  f.seed_ = HashKey{LoadBE64(data + 16), LoadBE64(data + 24)};
  f.blocks_ = data + kKeyFilterHeaderSize;
  if (f.probes_ < 1 || f.probes_ > 16) return Error::Corrupt("key filter section: bad probe count");
  // By division: a block count near 2^64 cannot wrap the product.
  if (f.block_count_ == 0 || f.block_count_ != (size - kKeyFilterHeaderSize) / kFilterBlockBytes ||
      (size - kKeyFilterHeaderSize) % kFilterBlockBytes != 0) {
    return Error::Corrupt("key filter section: its length disagrees with its block count");
  }
  return f;
}

}  // namespace tarndb

#include "core/writer/record_copier.h"

#include <algorithm>
#include <string>
#include <utility>

#include "core/format/coding.h"
#include "core/format/crc32.h"
#include "core/format/layout.h"

namespace tarndb {

// Records lie at least 8 bytes apart: (offset - 40) / 8 numbers them
// without collisions, one bit each.
Result<SharedObjects> SharedObjects::Find(const Reader& r, uint64_t memory) {
  SharedObjects shared;
  const uint64_t data = r.index_offset() > kHeaderSize ? r.index_offset() - kHeaderSize : 0;
  const uint64_t bits = data / 8 + 1;
  const uint64_t window = std::max<uint64_t>(uint64_t{1} << 16, memory / 2 * 8);
  std::vector<uint64_t> seen;
  for (uint64_t lo = 0; lo < bits; lo += window) {
    const uint64_t width = std::min(window, bits - lo);
    seen.assign(static_cast<size_t>((width + 63) / 64), 0);
    Result<Reader::Cursor> c = r.At(0);
    if (!c.ok()) return std::move(c.error());
    for (Reader::Cursor& cur = c.value(); !cur.done();) {
      const uint64_t off = cur.offset();
      const uint64_t bit = off >= kHeaderSize ? (off - kHeaderSize) / 8 : 0;
      if (bit >= lo && bit - lo < width) {
        uint64_t& word = seen[static_cast<size_t>((bit - lo) >> 6)];
        const uint64_t mask = uint64_t{1} << ((bit - lo) & 63);
        if ((word & mask) != 0) shared.offsets_.push_back(off);
        word |= mask;
      }
      if (Status s = cur.Next(); !s.ok()) return std::move(s.error());
    }
  }
  std::sort(shared.offsets_.begin(), shared.offsets_.end());
  shared.offsets_.erase(std::unique(shared.offsets_.begin(), shared.offsets_.end()),
                        shared.offsets_.end());
  shared.copies_.assign(shared.offsets_.size(), kNotCopied);
  return shared;
}

Result<uint64_t> RecordCopier::Copy(uint32_t layer, uint64_t offset) {
  uint64_t* copy = shared_[layer].Copy(offset);
  if (copy != nullptr && *copy != SharedObjects::kNotCopied) return *copy;
  const Reader& r = stack_.reader(layer);
  Result<ObjectView> obj = r.ReadObject(offset);
  if (!obj.ok()) return Error::Corrupt(r.path() + ": " + obj.error().message());
  const ObjectView v = obj.value();
  const uint32_t stored = LoadBE32(v.data - 4);  // the head's crc32, just before the payload
  const uint32_t computed = crc32::Value(v.data, v.size);
  if (stored != computed) {
    return Error::Corrupt(r.path() + ": object at " + std::to_string(offset) +
                          ": CRC32 mismatch  stored=" + CrcText(stored) +
                          "  computed=" + CrcText(computed));
  }
  if (records_ >= kMaxCount - 1) return Error::Other("too many objects (limit 4294967294)");
  if (run_.bytes == nullptr || layer != run_.layer || offset != run_.end) {
    if (Status s = FlushRun(); !s.ok()) return std::move(s.error());
    run_ = Run{layer, offset, offset, v.data - kRecordHeadSize, out_->end()};
  }
  const uint64_t at = run_.out_begin + (offset - run_.begin);
  run_.end = offset + kRecordHeadSize + v.size;
  ++records_;
  if (copy != nullptr) *copy = at;
  return at;
}

Status RecordCopier::FlushRun() {
  if (run_.bytes == nullptr) return OkStatus();
  Status s = out_->Append(run_.bytes, static_cast<size_t>(run_.end - run_.begin));
  if (s.ok()) run_ = Run{};
  return s;
}

}  // namespace tarndb

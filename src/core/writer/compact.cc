// Compaction: the shared objects of each layer, then one merge that copies
// every live key's record (once per object) into the writer.
#include "core/writer/compact.h"

#include <errno.h>

#include <algorithm>
#include <utility>

#include "core/common/posix.h"
#include "core/format/coding.h"
#include "core/format/crc32.h"
#include "core/format/layout.h"

namespace tarndb {
namespace {

constexpr uint64_t kProgressEvery = 65536;
constexpr uint32_t kNotCopied = UINT32_MAX;

// The records of one layer that more than one of its entries name, sorted,
// with the object ID each got in the output once copied.
struct SharedObjects {
  std::vector<uint64_t> offsets;
  std::vector<uint32_t> ids;

  uint64_t memory_bytes() const { return offsets.size() * 12; }
  // The ID slot of offset, or null when the record is not shared.
  uint32_t* Find(uint64_t offset) {
    if (offsets.empty()) return nullptr;
    auto it = std::lower_bound(offsets.begin(), offsets.end(), offset);
    if (it == offsets.end() || *it != offset) return nullptr;
    return &ids[static_cast<size_t>(it - offsets.begin())];
  }
};

// Records lie at least 8 bytes apart: (offset - 40) / 8 numbers them
// without collisions, one bit each.
Result<SharedObjects> FindShared(const Reader& r, uint64_t memory) {
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
        if ((word & mask) != 0) shared.offsets.push_back(off);
        word |= mask;
      }
      if (Status s = cur.Next(); !s.ok()) return std::move(s.error());
    }
  }
  std::sort(shared.offsets.begin(), shared.offsets.end());
  shared.offsets.erase(std::unique(shared.offsets.begin(), shared.offsets.end()),
                       shared.offsets.end());
  shared.ids.assign(shared.offsets.size(), kNotCopied);
  return shared;
}

Error CrcMismatch(const Reader& r, uint64_t offset, uint32_t stored, uint32_t computed) {
  return Error::Corrupt(r.path() + ": object at " + std::to_string(offset) +
                        ": CRC32 mismatch  stored=" + CrcText(stored) +
                        "  computed=" + CrcText(computed));
}

// Copy the record at offset of layer r into w, its CRC-32 checked.
Result<uint64_t> CopyRecord(const Reader& r, uint64_t offset, Writer* w) {
  Result<ObjectView> obj = r.ReadObject(offset);
  if (!obj.ok()) return Error::Corrupt(r.path() + ": " + obj.error().message());
  const ObjectView v = obj.value();
  const uint32_t stored = LoadBE32(v.data - 4);  // the head's crc32, just before the payload
  const uint32_t computed = crc32::Value(v.data, v.size);
  if (stored != computed) return CrcMismatch(r, offset, stored, computed);
  return w->AddObject(v.data, v.size, &computed);
}

// The merge: every live key into w, each shared object copied once.
Status MergeInto(const LayerStack& stack, std::vector<SharedObjects>* shared, Writer* w,
                 const CompactOptions& opt, const std::string& path) {
  Result<LayerStack::Merge> begun = stack.Begin(nullptr);
  if (!begun.ok()) return std::move(begun.error());
  LayerStack::Merge& m = begun.value();
  for (uint64_t done = 0; !m.done(); ++done) {
    if (done % kProgressEvery == 0 && done != 0) {
      if (opt.progress && !opt.progress(done)) return IoError("", EINTR, path);
      if (Status s = StopIfInterrupted(path); !s.ok()) return s;
    }
    const Reader& r = stack.reader(m.layer());
    uint32_t* slot = (*shared)[m.layer()].Find(m.offset());
    uint64_t id = slot != nullptr ? *slot : kNotCopied;
    if (id == kNotCopied) {
      Result<uint64_t> copied = CopyRecord(r, m.offset(), w);
      if (!copied.ok()) return std::move(copied.error());
      id = copied.value();
      if (slot != nullptr) *slot = static_cast<uint32_t>(id);
    }
    if (Status s = w->AddKey(m.key(), id); !s.ok()) return s;
    if (Status s = m.Next(); !s.ok()) return s;
  }
  return OkStatus();
}

}  // namespace

Result<BuildFigures> Compact(const LayerStack& stack, const std::string& path,
                             CompactOptions options) {
  const uint64_t budget = options.writer.memory_limit;
  std::vector<SharedObjects> shared;
  uint64_t held = 0;
  for (size_t i = 0; i < stack.size(); ++i) {
    Result<SharedObjects> found = FindShared(stack.reader(i), budget == 0 ? UINT64_MAX / 16
                                                                          : budget);
    if (!found.ok()) return Error::Corrupt(stack.reader(i).path() + ": " +
                                           found.error().message());
    held += found.value().memory_bytes();
    shared.push_back(std::move(found.value()));
  }
  WriterOptions wo = options.writer;
  wo.records = RecordPlace::kDataFile;
  wo.target = path;
  if (budget != 0) wo.memory_limit = std::max(kMinMemoryLimit, budget > held ? budget - held : 0);
  Writer w(std::move(wo));
  for (SectionBytes& s : options.sections) w.SetSection(std::move(s));
  if (Status s = MergeInto(stack, &shared, &w, options, path); !s.ok()) {
    return std::move(s.error());
  }
  return w.Build(path);
}

}  // namespace tarndb

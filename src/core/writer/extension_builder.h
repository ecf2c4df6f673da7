// ExtensionBuilder: the extension block a writer adds to a store, holding a
// hash index over its keys and samples of its entry positions (the layout
// is in core/format/extension.h and core/format/hash_index.h), then any
// sections the writer's caller gave, or only those.
//
// Keys are added in index order with the position of their entry in the
// index section and the offset of their object's record. The hash table
// lives in memory: slot_width / 0.8 bytes per key.
#ifndef TARNDB_CORE_WRITER_EXTENSION_BUILDER_H_
#define TARNDB_CORE_WRITER_EXTENSION_BUILDER_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/common/result.h"
#include "core/format/crc32.h"
#include "core/format/extension.h"
#include "core/format/hash_index.h"
#include "core/format/key_order.h"
#include "core/format/lookup_header.h"

namespace tarndb {

// The sections of an extension block and where they lie: the hash index
// (header and slots) and the samples, then the caller's sections, then the
// lookup header (a copy of the two headers, just before the directory), or
// the caller's sections alone.
struct ExtensionLayout {
  bool hash_index = true;
  uint64_t hidx_size = 0;  // header and slots
  uint64_t sample_count = 0;
  const std::vector<SectionBytes>* extra = nullptr;
  HashIndexHeader header;  // as written, slot_count and max_run included

  uint64_t sections_size() const;
  uint64_t payload_size() const;
  // The directory of every section, laid out from the payload's start.
  std::vector<ExtensionSection> Directory() const;
};

// Hand sink what follows the slots: the samples, the caller's sections, the
// directory and the trailer.
template <typename Sink>
Status EmitAfterSlots(const ExtensionLayout& layout, const std::vector<uint64_t>& samples,
                      Sink&& sink);

class ExtensionBuilder {
 public:
  // For num_entries keys whose index section is index_size bytes, and whose
  // records all start before data_end. seed keys the table's hash.
  // extra (may be null) must outlive the builder.
  ExtensionBuilder(uint64_t num_entries, uint64_t index_size, uint64_t data_end, HashKey seed,
                   const std::vector<SectionBytes>* extra = nullptr);
  // A block of the extra sections alone, without a hash index.
  explicit ExtensionBuilder(const std::vector<SectionBytes>* extra);

  bool hash_index() const { return hash_index_; }

  // The next key in index order. Its slot is placed a few keys later, once
  // the prefetch of its cache line has had time to land; Finish places
  // the rest.
  void Add(KeyView key, uint64_t pos, uint64_t record_offset);
  // Places the keys still pending: after the last Add, before anything else.
  void Finish();

  // Payload bytes, once every key was added.
  uint64_t payload_size() const;

  // Hand the payload to sink(const uint8_t*, size_t) -> Status in pieces,
  // stopping at the first failure.
  template <typename Sink>
  Status Emit(Sink&& sink) const;
  // The whole object record: head (length and the payload's CRC), then the
  // payload.
  template <typename Sink>
  Status EmitRecord(Sink&& sink) const;

 private:
  ExtensionLayout Layout() const;
  void Place(uint64_t home, uint64_t word, uint64_t offset);

  bool hash_index_ = true;
  const std::vector<SectionBytes>* extra_ = nullptr;
  HashIndexHeader header_;
  std::vector<uint64_t> slots_;  // first words; width 16 keeps the offsets beside
  std::vector<uint64_t> offsets_;
  std::vector<uint64_t> samples_;
  uint64_t added_ = 0;
  // Keys whose slot is being fetched, placed first in, first out: the table
  // comes out as if each were placed when it was added.
  struct Pending {
    uint64_t home, word, offset;
  };
  static constexpr size_t kPrefetchDepth = 16;
  Pending pending_[kPrefetchDepth];
  size_t pending_count_ = 0;
};

template <typename Sink>
Status EmitAfterSlots(const ExtensionLayout& layout, const std::vector<uint64_t>& samples,
                      Sink&& sink) {
  uint8_t buf[8 * 4096];
  if (layout.hash_index) {
    uint8_t head[kSamplesHeaderSize];
    SamplesHeader{kSampleShift, samples.size()}.EncodeTo(head);
    if (Status s = sink(head, sizeof head); !s.ok()) return s;
    for (size_t i = 0; i < samples.size();) {
      const size_t m = std::min<size_t>(samples.size() - i, sizeof buf / 8);
      for (size_t k = 0; k < m; ++k, ++i) SamplesHeader::EncodePosition(samples[i], buf + 8 * k);
      if (Status s = sink(buf, 8 * m); !s.ok()) return s;
    }
  }
  if (layout.extra != nullptr) {
    for (const SectionBytes& section : *layout.extra) {
      if (section.bytes.empty()) continue;
      if (Status s = sink(section.bytes.data(), section.bytes.size()); !s.ok()) return s;
    }
  }
  if (layout.hash_index) {
    uint8_t lookup[kLookupHeaderSize];
    LookupHeader{layout.header, SamplesHeader{kSampleShift, samples.size()}}.EncodeTo(lookup);
    if (Status s = sink(lookup, sizeof lookup); !s.ok()) return s;
  }
  const std::vector<uint8_t> tail =
      EncodeExtensionTail(layout.Directory(), layout.sections_size(), kExtensionSortedUnique);
  return sink(tail.data(), tail.size());
}

template <typename Sink>
Status ExtensionBuilder::Emit(Sink&& sink) const {
  if (hash_index_) {
    HashIndexHeader header = header_;
    header.slot_count = slots_.size();
    uint8_t head[kHashIndexHeaderSize];
    header.EncodeTo(head);
    if (Status s = sink(head, sizeof head); !s.ok()) return s;
    // Slots in pieces of 4,096.
    constexpr size_t kPiece = 4096;
    uint8_t buf[kPiece * 16];
    const unsigned width = header_.codec.width;
    for (size_t i = 0; i < slots_.size();) {
      const size_t m = std::min(slots_.size() - i, kPiece);
      for (size_t k = 0; k < m; ++k, ++i) {
        EncodeSlot(header_.codec, slots_[i], width == 16 ? offsets_[i] : 0, buf + k * width);
      }
      if (Status s = sink(buf, m * width); !s.ok()) return s;
    }
  }
  return EmitAfterSlots(Layout(), samples_, sink);
}

template <typename Sink>
Status ExtensionBuilder::EmitRecord(Sink&& sink) const {
  uint32_t payload_crc = 0;
  (void)Emit([&payload_crc](const uint8_t* p, size_t n) {
    payload_crc = crc32::Extend(payload_crc, p, n);
    return OkStatus();
  });
  uint8_t head[kRecordHeadSize];
  RecordHead{static_cast<uint32_t>(payload_size()), payload_crc}.EncodeTo(head);
  if (Status s = sink(head, sizeof head); !s.ok()) return s;
  return Emit(sink);
}

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_EXTENSION_BUILDER_H_

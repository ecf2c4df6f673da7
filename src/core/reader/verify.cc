// Reader::Verify: the deep integrity check.
#include <algorithm>
#include <cstring>
#include <string>

#include "core/common/posix.h"
#include "core/format/crc32.h"
#include "core/format/extension.h"
#include "core/format/hash_index.h"
#include "core/format/layout.h"
#include "core/format/lookup_header.h"
#include "core/format/value_codec.h"
#include "core/reader/offset_groups.h"
#include "core/reader/reader.h"

namespace tarndb {

namespace {

// The record check for one object; the failure texts of the deep check.
Status CheckRecord(const uint8_t* file, uint64_t size, uint64_t o) {
  RecordHead head;
  const RecordFit fit = DecodeRecordHead(file, size, o, &head);
  if (fit != RecordFit::kInside) return RecordFitError(fit, o, "object offset ");
  if (crc32::Value(file + o + kRecordHeadSize, head.length) != head.crc32) {
    return Error::Corrupt("object CRC32 mismatch at offset " + std::to_string(o));
  }
  return OkStatus();
}

// Whether the block's lookup header, when it has one, is a true copy of
// the hash index's and the samples' headers.
bool LookupHeaderIsCopy(const uint8_t* payload, const ExtensionBlock& block) {
  const ExtensionSection* lk = block.Find(kLookupHeaderSection, kLookupHeaderVersion);
  if (lk == nullptr) return true;
  const ExtensionSection* hs = block.Find(kHashIndexSection, kHashIndexVersion);
  const ExtensionSection* ss = block.Find(kSamplesSection, kSamplesVersion);
  if (!LookupHeader::DecodeFrom(payload + lk->offset, lk->length) || hs == nullptr ||
      ss == nullptr || hs->length < kHashIndexHeaderSize || ss->length < kSamplesHeaderSize) {
    return false;
  }
  const uint8_t* copy = payload + lk->offset;
  return std::memcmp(copy, payload + hs->offset, kHashIndexHeaderSize) == 0 &&
         std::memcmp(copy + kHashIndexHeaderSize, payload + ss->offset, kSamplesHeaderSize) == 0;
}

// A long pass stops here, every 65,536 steps, when a signal handler asks
// (Ctrl-C raising KeyboardInterrupt).
inline Status Checkpoint(uint64_t step, const std::string& path) {
  if ((step & 0xFFFF) != 0) return OkStatus();
  return StopIfInterrupted(path);
}

}  // namespace

Status Reader::Verify(bool strict) const {
  // The whole-file checksum, in pieces of 64 MiB between checkpoints.
  constexpr uint64_t kPiece = uint64_t{64} << 20;
  uint32_t computed = 0;
  for (uint64_t at = kHeaderSize; at < file_size_; at += kPiece) {
    if (Status s = StopIfInterrupted(path_); !s.ok()) return s;
    const uint64_t n = std::min(kPiece, file_size_ - at);
    computed = crc32::Extend(computed, mapping_.data() + at, static_cast<size_t>(n));
  }
  if (computed != file_crc32_) return FileCrcMismatch(file_crc32_, computed);

  // Each object once, however many entries name it. Objects are checked in
  // file order, which reads the data section front to back; the failure
  // reported is the one met first in index order, as if the entries had
  // been walked in that order.
  uint64_t index_end = 0;
  Result<OffsetGroups> grouped = OffsetGroups::Of(*this, &index_end);
  if (!grouped.ok()) return std::move(grouped.error());
  const auto& refs = grouped.value().by_offset();
  uint32_t first_failure = UINT32_MAX;
  for (size_t i = 0; i < refs.size();) {
    if (Status s = Checkpoint(i, path_); !s.ok()) return s;
    const uint64_t o = refs[i].offset;
    if (refs[i].entry < first_failure && !CheckRecord(mapping_.data(), file_size_, o).ok()) {
      first_failure = refs[i].entry;
    }
    while (i < refs.size() && refs[i].offset == o) ++i;
  }
  if (first_failure != UINT32_MAX) {
    for (const auto& ref : refs) {
      if (ref.entry == first_failure) return CheckRecord(mapping_.data(), file_size_, ref.offset);
    }
  }
  // With no entries the index is empty and ends where it begins.
  const uint64_t scanned_end = Current().end;  // known when the index was scanned
  uint64_t last_record = UINT64_MAX;
  if (Status s = VerifyStructure(num_keys_ == 0 ? index_offset_
                                 : scanned_end  ? scanned_end
                                                : index_end,
                                 &last_record);
      !s.ok() || !strict) {
    return s;
  }
  if (Status s = VerifyEntryTargets(refs); !s.ok()) return s;
  if (Status s = VerifyKeyOrder(); !s.ok()) return s;
  return VerifyHashIndex(refs, last_record);
}

Status Reader::VerifyEntryTargets(const std::vector<OffsetGroups::Ref>& by_offset) const {
  // Both in ascending order: the offsets the entries name, and the record
  // starts met walking the data section (which VerifyStructure proved
  // whole).
  const uint64_t ext_record = extension_ ? extension_->record_offset : UINT64_MAX;
  uint64_t record = kHeaderSize;
  uint64_t step = 0;
  for (const OffsetGroups::Ref& ref : by_offset) {
    if (Status s = Checkpoint(++step, path_); !s.ok()) return s;
    RecordHead head;
    while (record < ref.offset && record < index_offset_) {
      (void)DecodeRecordHead(mapping_.data(), index_offset_, record, &head);
      record += kRecordHeadSize + head.length;
    }
    if (record != ref.offset || ref.offset >= index_offset_ || ref.offset == ext_record) {
      return Error::Corrupt("index entry " + std::to_string(ref.entry) + " names offset " +
                            std::to_string(ref.offset) +
                            ", which is not the start of a stored object's record");
    }
  }
  return OkStatus();
}

Status Reader::VerifyKeyOrder() const {
  Result<Cursor> c = At(0);
  if (!c.ok()) return std::move(c.error());
  KeyView prev;
  for (Cursor& cur = c.value(); !cur.done();) {
    if (Status s = Checkpoint(cur.index(), path_); !s.ok()) return s;
    if (cur.index() > 0 && CompareKeys(prev, cur.key()) >= 0) {
      return Error::Corrupt(
          "index entry " + std::to_string(cur.index()) +
          (KeysEqual(prev, cur.key()) ? " repeats the key before it" : " is out of key order"));
    }
    prev = cur.key();
    if (Status s = cur.Next(); !s.ok()) return s;
  }
  return OkStatus();
}

Status Reader::VerifyHashIndex(const std::vector<OffsetGroupsRef>& by_offset,
                               uint64_t last_record) const {
  if (!extension_) {
    // A block was written there (the last record ends in the block's magic
    // and its trailer gives the record's size), and no entry names that
    // record, so it is no value of the writer's caller: it was set aside at
    // open because it does not hold together.
    const auto named = [&by_offset](uint64_t o) {
      const auto at = std::lower_bound(
          by_offset.begin(), by_offset.end(), o,
          [](const OffsetGroupsRef& r, uint64_t offset) { return r.offset < offset; });
      return at != by_offset.end() && at->offset == o;
    };
    const uint8_t* file = mapping_.data();
    if (last_record != UINT64_MAX && !last_record_is_value_ && !named(last_record) &&
        (ExtensionTrailerSealed(file, file_size_, index_offset_) ||
         ExtensionTrailerWritten(file, index_offset_, last_record))) {
      return Error::Corrupt("extension block: it does not hold together");
    }
    return OkStatus();
  }
  // The block's own record: no index entry names it, so the per-object
  // checks above did not read it.
  if (Status s = CheckRecord(mapping_.data(), file_size_, extension_->record_offset); !s.ok()) {
    return Error::Corrupt("extension block: " + s.error().message());
  }
  const uint8_t* payload = mapping_.data() + extension_->payload_offset;
  if (const ExtensionSection* vc = extension_->Find(kValueCodecSection, kValueCodecVersion)) {
    Result<ValueCodec> codec = ValueCodec::Decode(payload + vc->offset, vc->length);
    if (!codec.ok()) return std::move(codec.error());
  }
  const ExtensionSection* hs = extension_->Find(kHashIndexSection, kHashIndexVersion);
  if (hs == nullptr) return OkStatus();
  const Error mismatch = Error::Corrupt("hash index does not match the index");
  if (!uses_file_hash_index()) return mismatch;  // set aside at open or since
  Result<bool> found = TableFindsEveryEntry();
  if (!found.ok()) return std::move(found.error());
  if (!found.value()) return mismatch;
  const uint32_t recorded_run = HashIndexHeader::DecodeFrom(payload + hs->offset).max_run;
  Result<bool> only = TableHoldsNothingElse(recorded_run);
  if (!only.ok()) return std::move(only.error());
  if (!only.value()) return mismatch;
  if (!LookupHeaderIsCopy(payload, *extension_)) {
    return Error::Corrupt("extension block: the lookup header is not a copy of the hash index's");
  }
  return OkStatus();
}

Result<bool> Reader::TableFindsEveryEntry() const {
  const Index& ix = Current();
  const IndexSpan span = Span();
  // Every entry is found through the table at its own position, and the
  // samples name every 16th entry. Entries are decoded and hashed kAhead
  // entries before their lookup and their home slots fetched then, so that
  // a table larger than the cache costs overlapping misses rather than one
  // after another.
  constexpr uint64_t kAhead = 16;
  struct Pending {
    IndexEntry entry;
    uint64_t pos = 0;
    uint64_t hash = 0;
  };
  Pending ring[kAhead];
  uint64_t p = index_offset_;
  for (uint64_t i = 0; i < num_keys_ + kAhead; ++i) {
    if (Status s = Checkpoint(i, path_); !s.ok()) return std::move(s.error());
    Pending& slot = ring[i % kAhead];
    if (i >= kAhead) {  // the lookup of entry i - kAhead
      bool contradicted = false, collided = false;
      const std::optional<Hit> hit = ix.table.Find(span, slot.entry.key, slot.hash, &contradicted,
                                                   &collided, /*fetch_record=*/false);
      if (contradicted || !hit || hit->pos != slot.pos || hit->offset != slot.entry.offset) {
        return false;
      }
    }
    if (i >= num_keys_) continue;
    if (DecodeIndexEntry(mapping_.data(), file_size_, p, &slot.entry) != EntryFit::kInside) {
      return false;
    }
    slot.pos = p - index_offset_;
    if ((i & ((uint64_t{1} << EntrySamples::kShift) - 1)) == 0 &&
        ix.samples.At(i >> EntrySamples::kShift) != slot.pos) {
      return false;
    }
    slot.hash = ix.table.Hash(slot.entry.key);
    ix.table.PrefetchSlot(ix.table.Home(slot.hash));
    p += slot.entry.encoded_size();
  }
  return true;
}

Result<bool> Reader::TableHoldsNothingElse(uint32_t recorded_run) const {
  // As many occupied slots as keys, and runs as long as the table says.
  const SlotTable& table = Current().table;
  uint64_t used = 0, run = 0, longest = 0;
  for (uint64_t i = 0; i < table.slot_count(); ++i) {
    if (Status s = Checkpoint(i, path_); !s.ok()) return std::move(s.error());
    const bool occupied = table.Word(i) != 0;
    used += occupied;
    run = occupied ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return used == num_keys_ && (recorded_run == 0 || recorded_run == longest);
}

Status Reader::VerifyStructure(uint64_t index_end, uint64_t* last_record) const {
  // Walk the records from the header on; stop at the first one that would
  // cross index_offset (or the end of the file, if that comes first).
  const uint64_t limit = index_offset_ < file_size_ ? index_offset_ : file_size_;
  uint64_t end = kHeaderSize;
  uint64_t records = 0;
  RecordHead head;
  while (end < limit &&
         DecodeRecordHead(mapping_.data(), limit, end, &head) == RecordFit::kInside) {
    *last_record = end;
    end += kRecordHeadSize + head.length;
    ++records;
  }
  if (records != num_objects_ || end != index_offset_) {
    return Error::Corrupt("data section holds " + std::to_string(records) + " records ending at " +
                          std::to_string(end) + ", header says " + std::to_string(num_objects_) +
                          " ending at " + std::to_string(index_offset_));
  }
  if (index_end != file_size_) {
    return Error::Corrupt("index section ends at " + std::to_string(index_end) + ", file ends at " +
                          std::to_string(file_size_));
  }
  return OkStatus();
}

}  // namespace tarndb

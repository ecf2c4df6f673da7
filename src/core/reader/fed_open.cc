// FedStore::Open: a store read by ranges, from its header and the end of
// its extension block.
#include <algorithm>
#include <cstring>

#include "core/format/layout.h"
#include "core/format/lookup_header.h"
#include "core/reader/fed_store.h"
#include "core/reader/index_scan.h"

namespace tarndb {

Result<std::optional<FedStore>> FedStore::Open(FedBytes& bytes) {
  const uint64_t size = bytes.file_size();
  if (size < kHeaderSize) return Error::Corrupt("file too small for header");
  const uint8_t* h = bytes.Get(0, kHeaderSize, kFirstRange);
  if (h == nullptr) return std::optional<FedStore>();
  const StoreHeader header = StoreHeader::DecodeFrom(h);
  if (!header.HasMagic()) return Error::Corrupt(MagicText(h));
  if (header.version != kFormatVersion) return Error::Version(header.version);
  FedStore s;
  s.file_size_ = size;
  s.num_keys_ = header.num_keys;
  s.num_objects_ = header.num_objects;
  s.index_offset_ = header.index_offset;
  s.file_crc32_ = header.file_crc32;
  const uint64_t io = header.index_offset;
  // An index said to start past the end of the file: what a local reader's
  // pass over it reports.
  if (io > size && s.num_keys_ > 0) return EntryFitError(EntryFit::kNoKeyLength);
  if (io > size || io < kHeaderSize + kRecordHeadSize + kExtensionTrailerSize) {
    return std::optional<FedStore>(std::move(s));
  }
  // The end of the data section, where the block ends: one range that
  // leaves the open within kOpenBytes.
  const uint64_t begin =
      std::max<uint64_t>(kHeaderSize, io - std::min(io, kOpenBytes - kFirstRange));
  const uint8_t* tail = bytes.Get(begin, io - begin);
  if (tail == nullptr) return std::optional<FedStore>();
  uint64_t held = io - begin;
  const uint8_t* end = tail + held;
  if (std::memcmp(end - kExtensionTrailerSize, kExtensionMagic, sizeof kExtensionMagic) == 0) {
    const uint64_t need = ExtensionTailSize(end);
    if (need > held && need <= io - kHeaderSize) {  // a directory larger than the range
      tail = bytes.Get(io - need, need);
      if (tail == nullptr) return std::optional<FedStore>();
      held = need;
      end = tail + held;
    }
  }
  s.extension_ = DecodeExtensionTail(end, held, io);
  // The record head, where the range reached it, must describe this payload.
  if (s.extension_ && s.extension_->record_offset >= io - held &&
      LoadBE32(end - (io - s.extension_->record_offset)) != s.extension_->payload_size) {
    s.extension_.reset();
  }
  Result<bool> taken = s.TakeTables(bytes);
  if (!taken.ok()) return std::move(taken.error());
  if (!taken.value()) return std::optional<FedStore>();
  return std::optional<FedStore>(std::move(s));
}

Result<bool> FedStore::TakeTables(FedBytes& bytes) {
  if (!extension_ || (extension_->flags & kExtensionSortedUnique) == 0) return true;
  const ExtensionBlock& ext = *extension_;
  const ExtensionSection* hs = ext.Find(kHashIndexSection, kHashIndexVersion);
  const ExtensionSection* ss = ext.Find(kSamplesSection, kSamplesVersion);
  if (hs == nullptr || ss == nullptr || hs->length < kHashIndexHeaderSize ||
      ss->length < kSamplesHeaderSize) {
    return true;
  }
  std::optional<LookupHeader> lookup;
  if (const ExtensionSection* lk = ext.Find(kLookupHeaderSection, kLookupHeaderVersion)) {
    const size_t mark = bytes.needed().size();
    const uint8_t* p = lk->length >= kLookupHeaderSize
                           ? bytes.Get(ext.payload_offset + lk->offset, kLookupHeaderSize)
                           : nullptr;
    if (p != nullptr) lookup = LookupHeader::DecodeFrom(p, lk->length);
    bytes.DropNeededFrom(mark);  // not held (or damaged): the headers themselves are read
  }
  lookup_header_ = lookup.has_value();
  if (!lookup) {
    const uint8_t* hp = bytes.Get(ext.payload_offset + hs->offset, kHashIndexHeaderSize);
    const uint8_t* sp = bytes.Get(ext.payload_offset + ss->offset, kSamplesHeaderSize);
    if (hp == nullptr || sp == nullptr) return false;
    lookup = LookupHeader{HashIndexHeader::DecodeFrom(hp), SamplesHeader::DecodeFrom(sp)};
  }
  const HashIndexHeader& hh = lookup->hash_index;
  const SamplesHeader& sh = lookup->samples;
  // The table must describe this index, as a local reader requires.
  if (!hh.Consistent(hs->length) || hh.num_entries != num_keys_ ||
      hh.index_size != file_size_ - index_offset_ || !hh.AsWritten(ext.record_offset) ||
      sh.shift != kSampleShift || sh.count != SamplesHeader::CountFor(num_keys_) ||
      (ss->length - kSamplesHeaderSize) / 8 < sh.count) {
    return true;
  }
  table_ = Table{SlotRun{hh.codec, hh.slot_count, hh.RunLimit()}, hh.capacity, hh.seed,
                 ext.payload_offset + hs->offset + kHashIndexHeaderSize};
  samples_ = Samples{sh.count, ext.payload_offset + ss->offset + kSamplesHeaderSize};
  return true;
}

bool FedStore::Section(FedBytes& bytes, uint32_t type, uint32_t version,
                       std::optional<ObjectView>* out) const {
  const ExtensionSection* s = extension_ ? extension_->Find(type, version) : nullptr;
  if (s == nullptr) {
    *out = std::nullopt;
    return true;
  }
  if (s->length == 0) {
    *out = ObjectView{nullptr, 0};
    return true;
  }
  const uint8_t* p = bytes.Get(extension_->payload_offset + s->offset, s->length);
  if (p == nullptr) return false;
  *out = ObjectView{p, static_cast<size_t>(s->length)};
  return true;
}

}  // namespace tarndb

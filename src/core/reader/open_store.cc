// Reader::Open: map a store file and make its index searchable.
//
// The steps run in a fixed order, so a file with several faults always
// reports the same one: open, size, map, header size, magic, version,
// whole-file CRC (when asked), then the index: through the file's own hash
// index when the caller allows it and it holds together, else by one pass
// over the entries that checks each fits in the file.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "core/common/posix.h"
#include "core/common/unique_fd.h"
#include "core/format/crc32.h"
#include "core/format/hash_index.h"
#include "core/format/layout.h"
#include "core/reader/index_scan.h"
#include "core/reader/reader.h"

namespace tarndb {
std::string MagicText(const uint8_t* p) {
  return "bad magic [" + std::to_string(p[0]) + ", " + std::to_string(p[1]) + ", " +
         std::to_string(p[2]) + ", " + std::to_string(p[3]) + "]";
}

std::string CrcText(uint32_t crc) {
  static const char kHex[] = "0123456789abcdef";
  std::string s = "0x00000000";
  for (int i = 0; i < 8; ++i) s[9 - i] = kHex[(crc >> (4 * i)) & 0xF];
  return s;
}

uint32_t BodyCrc(const uint8_t* file, uint64_t file_size) {
  return crc32::Value(file + kHeaderSize, file_size - kHeaderSize);
}

Error FileCrcMismatch(uint32_t stored, uint32_t computed) {
  return Error::Corrupt("file CRC32 mismatch  stored=" + CrcText(stored) +
                        "  computed=" + CrcText(computed));
}

Result<Reader> Reader::Open(std::string_view path, const Options& options) {
  // Non-blocking, so that opening a FIFO cannot wait for a writer forever;
  // it then fails like any file that cannot be mapped.
  const std::string cannot_open = "cannot open " + std::string(path) + ": ";
  // Its text names the path already.
  const auto named = [path](Error e) {
    return Error::IoNamingPath(e.message(), e.sys_errno(), std::string(path));
  };
  Result<UniqueFd> fd = OpenFd(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0, cannot_open);
  if (!fd.ok()) return named(std::move(fd.error()));

  struct stat st;
  if (::fstat(fd.value().get(), &st) != 0) return IoError("mmap failed: ", errno, path);
  if (options.strict && !S_ISREG(st.st_mode)) {
    if (S_ISDIR(st.st_mode)) return named(IoError(cannot_open, EISDIR, path));
    return named(Error::Io(cannot_open + "not a regular file", 0, std::string(path)));
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  Result<Mapping> mapped = Mapping::Map(fd.value().get(), size, path, options.populate);
  if (!mapped.ok()) return std::move(mapped.error());
  fd.value().reset();  // the mapping stays valid without the descriptor

  const uint8_t* base = mapped.value().data();
  if (size < kHeaderSize) return Error::Corrupt("file too small for header");
  const StoreHeader header = StoreHeader::DecodeFrom(base);
  if (!header.HasMagic()) return Error::Corrupt(MagicText(base));
  if (header.version != kFormatVersion) return Error::Version(header.version);

  if (options.verify) {
    const uint32_t computed = BodyCrc(base, size);
    if (computed != header.file_crc32) return FileCrcMismatch(header.file_crc32, computed);
  }

  Reader r(std::string(path), std::move(mapped.value()), size);
  if (options.strict) r.mapping_.GuardTruncation();
  r.strict_ = options.strict;
  std::memcpy(r.header_, base, kHeaderSize);
  r.num_keys_ = header.num_keys;
  r.num_objects_ = header.num_objects;
  r.index_offset_ = header.index_offset;
  r.file_crc32_ = header.file_crc32;
  if (options.use_extension) r.extension_ = FindExtensionBlock(base, size, header.index_offset);
  if (header.num_keys == 0) {
    r.index_.end = header.index_offset;  // the index is empty; its offset is not examined
  } else if (!options.use_extension || !r.UseExtension()) {
    bool block_named = false;
    Result<Index> scanned = r.ScanToIndex(&block_named);
    if (!scanned.ok()) return std::move(scanned.error());
    r.index_ = std::move(scanned.value());
    if (block_named) {
      // An entry names the record that looked like an extension block: it is
      // a value of the writer's caller, shaped like a block, not one.
      r.extension_.reset();
      r.last_record_is_value_ = true;
    }
    // num_keys and index_offset lie outside every checksum: a verified open
    // also checks that they describe an index ending with the file.
    if (options.strict && options.verify && r.index_.end != size) {
      return Error::Corrupt("index section ends at " + std::to_string(r.index_.end) +
                            ", file ends at " + std::to_string(size));
    }
  }
  return r;
}

Result<Reader::Index> Reader::ScanToIndex(bool* block_named) const {
  const uint8_t* base = mapping_.data();
  Result<IndexScan> scanned =
      ScanIndex(base, file_size_, index_offset_, num_keys_,
                extension_ ? extension_->record_offset : UINT64_MAX);
  if (!scanned.ok()) return std::move(scanned.error());
  IndexScan& scan = scanned.value();
  if (block_named != nullptr) *block_named = scan.names_watched;
  Index ix;
  ix.end = scan.end;
  if (scan.in_order) {
    ix.table = std::move(scan.table);
    ix.samples = std::move(scan.samples);
    return ix;
  }
  // Keys out of order: copy them, so that lookups and prefix scans give the
  // results defined for such an index. The pass above checked every entry.
  const uint64_t section = file_size_ - index_offset_;
  const uint64_t max_keys = std::min<uint64_t>(num_keys_, section / kEntryOverhead);
  auto table =
      std::make_unique<KeyTable>(static_cast<size_t>(max_keys), static_cast<size_t>(section));
  uint64_t p = index_offset_;
  for (uint32_t i = 0; i < num_keys_; ++i) {
    IndexEntry e;
    (void)DecodeIndexEntry(base, file_size_, p, &e);
    table->Append(e.key.data, e.key.size, e.offset);
    p += e.encoded_size();
  }
  table->Finish();
  ix.copied = std::move(table);
  return ix;
}

bool Reader::UseExtension() {
  if (!extension_ || (extension_->flags & kExtensionSortedUnique) == 0) return false;
  const ExtensionSection* hs = extension_->Find(kHashIndexSection, kHashIndexVersion);
  const ExtensionSection* ss = extension_->Find(kSamplesSection, kSamplesVersion);
  if (hs == nullptr || ss == nullptr) return false;
  const uint8_t* payload = mapping_.data() + extension_->payload_offset;
  if (hs->length < kHashIndexHeaderSize || ss->length < kSamplesHeaderSize) return false;
  const HashIndexHeader header = HashIndexHeader::DecodeFrom(payload + hs->offset);
  // The table must describe this index: as many entries, and a section that
  // ends exactly at the end of the file (a file cut short or extended, or a
  // damaged num_keys or index_offset, is read by scanning instead, which
  // reports what is wrong).
  if (!header.Consistent(hs->length) || header.num_entries != num_keys_ ||
      header.index_size != file_size_ - index_offset_ ||
      !header.AsWritten(extension_->record_offset)) {
    return false;
  }
  const uint8_t* samples = payload + ss->offset;
  const SamplesHeader sh = SamplesHeader::DecodeFrom(samples);
  const uint64_t count = sh.count;
  if (sh.shift != kSampleShift || count != SamplesHeader::CountFor(num_keys_) ||
      (ss->length - kSamplesHeaderSize) / 8 < count) {
    return false;
  }
  Index ix;
  ix.table = SlotTable::Mapped(header, payload + hs->offset + kHashIndexHeaderSize);
  ix.samples = EntrySamples::Mapped(samples + kSamplesHeaderSize, count);
  // Spot checks: the first and the last sampled entry must be found through
  // the table at their own positions. They cost a few cache misses and
  // catch a table that belongs to other keys or another seed.
  if (ix.samples.At(0) != 0) return false;
  const IndexSpan span = Span();
  for (const uint64_t k : {uint64_t{0}, count - 1}) {
    const uint64_t pos = ix.samples.At(k);
    IndexEntry e;
    if (!span.Decode(pos, &e)) return false;
    bool contradicted = false, collided = false;
    const std::optional<Hit> hit =
        ix.table.Find(span, e.key, ix.table.Hash(e.key), &contradicted, &collided);
    if (contradicted || !hit || hit->pos != pos || hit->offset != e.offset) return false;
  }
  index_ = std::move(ix);
  return true;
}

}  // namespace tarndb

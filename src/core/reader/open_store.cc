// Reader::Open: map a store file and build the reader state.
//
// The steps run in a fixed order, so a file with several faults always
// reports the same one: open, size, map, header size, magic, version,
// whole-file CRC (when asked), then the index entries one by one.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "core/common/posix.h"
#include "core/common/unique_fd.h"
#include "core/format/crc32.h"
#include "core/format/layout.h"
#include "core/reader/reader.h"

namespace tarndb {
namespace {

std::string MagicText(const uint8_t* p) {
  return "bad magic [" + std::to_string(p[0]) + ", " + std::to_string(p[1]) + ", " +
         std::to_string(p[2]) + ", " + std::to_string(p[3]) + "]";
}

}  // namespace

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

Result<Reader> Reader::Open(std::string_view path, bool verify) {
  Result<UniqueFd> fd =
      OpenFd(path, O_RDONLY | O_CLOEXEC, 0, "cannot open " + std::string(path) + ": ");
  if (!fd.ok()) return std::move(fd.error());

  struct stat st;
  if (::fstat(fd.value().get(), &st) != 0) return IoError("mmap failed: ", errno, path);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  Result<Mapping> mapped = Mapping::Map(fd.value().get(), size, path);
  if (!mapped.ok()) return std::move(mapped.error());
  fd.value().reset();  // the mapping stays valid without the descriptor

  const uint8_t* base = mapped.value().data();
  if (size < kHeaderSize) return Error::Corrupt("file too small for header");
  const StoreHeader header = StoreHeader::DecodeFrom(base);
  if (!header.HasMagic()) return Error::Corrupt(MagicText(base));
  if (header.version != kFormatVersion) return Error::Version(header.version);

  if (verify) {
    const uint32_t computed = BodyCrc(base, size);
    if (computed != header.file_crc32) return FileCrcMismatch(header.file_crc32, computed);
  }

  // Each entry takes at least 10 bytes, so the index section's length bounds
  // how many entries can be real, whatever num_keys claims; and the keys it
  // holds total less than that length.
  const uint32_t num_keys = header.num_keys;
  const uint64_t index_offset = header.index_offset;
  const uint64_t section = index_offset <= size ? size - index_offset : 0;
  const uint64_t max_keys =
      num_keys == 0 ? 0 : std::min<uint64_t>(num_keys, section / kEntryOverhead);
  KeyTable table(static_cast<size_t>(max_keys), num_keys == 0 ? 0 : static_cast<size_t>(section));

  uint64_t p = index_offset;
  for (uint32_t i = 0; i < num_keys; ++i) {
    IndexEntry entry;
    switch (DecodeIndexEntry(base, size, p, &entry)) {
      case EntryFit::kInside:
        break;
      case EntryFit::kNoKeyLength:
        return Error::Corrupt("index section truncated (key_len)");
      case EntryFit::kNoKeyAndOffset:
        return Error::Corrupt("index section truncated (key + offset)");
    }
    table.Append(entry.key.data, entry.key.size, entry.offset);
    p += entry.encoded_size();
  }
  table.Finish();

  Reader r(std::string(path), std::move(mapped.value()), size, std::move(table));
  r.num_keys_ = num_keys;
  r.num_objects_ = header.num_objects;
  r.index_offset_ = index_offset;
  r.file_crc32_ = header.file_crc32;
  r.index_end_ = num_keys == 0 ? index_offset : p;
  return r;
}

}  // namespace tarndb

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

#include "core/common/os_error.h"
#include "core/common/unique_fd.h"
#include "core/format/coding.h"
#include "core/format/crc32.h"
#include "core/format/layout.h"
#include "core/reader/reader.h"

namespace tarndb {
namespace {

std::string MagicText(const uint8_t* p) {
  return "bad magic [" + std::to_string(p[0]) + ", " + std::to_string(p[1]) + ", " +
         std::to_string(p[2]) + ", " + std::to_string(p[3]) + "]";
}

Result<UniqueFd> OpenForReading(std::string_view path) {
  const std::string p(path);
  if (p.find('\0') != std::string::npos) {
    return Error::Io("cannot open " + p + ": " + kNulInPathText);
  }
  int fd;
  do {
    fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Error::Io("cannot open " + p + ": " + OsErrorText(errno));
  return UniqueFd(fd);
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
  Result<UniqueFd> fd = OpenForReading(path);
  if (!fd.ok()) return std::move(fd.error());

  struct stat st;
  if (::fstat(fd.value().get(), &st) != 0) return Error::Io("mmap failed: " + OsErrorText(errno));
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  Result<Mapping> mapped = Mapping::Map(fd.value().get(), size);
  if (!mapped.ok()) return std::move(mapped.error());
  fd.value().reset();  // the mapping stays valid without the descriptor

  const uint8_t* base = mapped.value().data();
  if (size < kHeaderSize) return Error::Corrupt("file too small for header");
  if (!std::equal(kMagic, kMagic + 4, base)) return Error::Corrupt(MagicText(base));
  if (base[kVersionPos] != kFormatVersion) return Error::Version(base[kVersionPos]);

  const uint32_t num_keys = LoadBE32(base + kNumKeysPos);
  const uint64_t index_offset = LoadBE64(base + kIndexOffsetPos);
  const uint32_t stored_crc = LoadBE32(base + kFileCrcPos);

  if (verify) {
    const uint32_t computed = BodyCrc(base, size);
    if (computed != stored_crc) return FileCrcMismatch(stored_crc, computed);
  }

  // Each entry takes at least 10 bytes, so the index section's length bounds
  // how many entries can be real, whatever num_keys claims; and the keys it
  // holds total less than that length.
  const uint64_t section = index_offset <= size ? size - index_offset : 0;
  const uint64_t max_keys = num_keys == 0 ? 0 : std::min<uint64_t>(num_keys, section / kEntryOverhead);
  KeyTable table(static_cast<size_t>(max_keys), num_keys == 0 ? 0 : static_cast<size_t>(section));

  uint64_t p = index_offset;
  for (uint32_t i = 0; i < num_keys; ++i) {
    // Checked by subtraction so that no position + length can wrap.
    if (p > size || size - p < 2) return Error::Corrupt("index section truncated (key_len)");
    const uint16_t key_len = LoadBE16(base + p);
    if (size - p - 2 < uint64_t{key_len} + 8) {
      return Error::Corrupt("index section truncated (key + offset)");
    }
    table.Append(base + p + 2, key_len, LoadBE64(base + p + 2 + key_len));
    p += kEntryOverhead + key_len;
  }
  table.Finish();

  Reader r(std::string(path), std::move(mapped.value()), size, std::move(table));
  r.num_keys_ = num_keys;
  r.num_objects_ = LoadBE32(base + kNumObjectsPos);
  r.index_offset_ = index_offset;
  r.file_crc32_ = stored_crc;
  r.index_end_ = num_keys == 0 ? index_offset : p;
  return r;
}

}  // namespace tarndb

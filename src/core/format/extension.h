// The extension block: optional data a writer may add to a store file
// without changing its format (a hash index, entry samples, and later kinds).
//
// It is stored as one more object record, the last of the data section,
// that no index entry names. A reader that knows only the base format sees
// one more object and reads every key and value as before. A reader that
// knows extensions finds the block in constant time: its payload ends where
// the index section begins, with a fixed-size trailer.
//
//   payload = section bytes ... | directory | trailer
//   trailer (32 bytes, the last of the payload):
//      0  magic "TRNDEXT1"           8  payload_size u64 (= the record's length)
//     16  section_count u32         20  flags u32
//     24  reserved u32 (zero)       28  crc32 u32 of directory + trailer[0, 28)
//   directory: section_count entries of 24 bytes, just before the trailer:
//      0  type u32 (four ASCII bytes)   4  version u32
//      8  offset u64 (from the payload's start)   16  length u64
//
// All integers are big-endian, as everywhere in the file. Readers ignore
// sections of a type or version they do not know.
#ifndef TARNDB_CORE_FORMAT_EXTENSION_H_
#define TARNDB_CORE_FORMAT_EXTENSION_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tarndb {

inline constexpr uint8_t kExtensionMagic[8] = {'T', 'R', 'N', 'D', 'E', 'X', 'T', '1'};
inline constexpr size_t kExtensionTrailerSize = 32;
inline constexpr size_t kExtensionDirEntrySize = 24;

// Flag bit: the index entries are strictly increasing by key (sorted, each
// key once). Readers use the hash index and the samples only when it is set.
inline constexpr uint32_t kExtensionSortedUnique = 1;

// Section types: four ASCII bytes read as a big-endian u32.
constexpr uint32_t SectionType(const char (&name)[5]) {
  return (uint32_t{static_cast<uint8_t>(name[0])} << 24) |
         (uint32_t{static_cast<uint8_t>(name[1])} << 16) |
         (uint32_t{static_cast<uint8_t>(name[2])} << 8) | uint32_t{static_cast<uint8_t>(name[3])};
}

struct ExtensionSection {
  uint32_t type = 0;
  uint32_t version = 0;
  uint64_t offset = 0;  // from the start of the payload
  uint64_t length = 0;
};

// A section a writer stores as given (type and version of its choosing;
// not one of the types above).
struct SectionBytes {
  uint32_t type = 0;
  uint32_t version = 0;
  std::vector<uint8_t> bytes;
};

// Directory entries for sections stored back to back from offset on (from
// the payload's start); returns where the last ends.
uint64_t AppendSectionEntries(const std::vector<SectionBytes>& sections, uint64_t offset,
                              std::vector<ExtensionSection>* directory);

// An extension block found in a mapped file: where its payload lies and what
// it holds. Every section lies inside the payload.
struct ExtensionBlock {
  uint64_t record_offset = 0;   // of the object record that holds it
  uint64_t payload_offset = 0;  // record_offset + 8
  uint64_t payload_size = 0;
  uint32_t flags = 0;
  std::vector<ExtensionSection> sections;

  // The section of this type and version, if the block has one.
  const ExtensionSection* Find(uint32_t type, uint32_t version) const;
};

// The bytes of the directory and trailer whose trailer ends at end, as the
// trailer states them (checked by ExtensionTailSealed).
uint64_t ExtensionTailSize(const uint8_t* end);

// Whether the held bytes that end at end (the file's bytes up to
// index_offset) hold a trailer with the magic and a directory that its
// checksum covers.
bool ExtensionTailSealed(const uint8_t* end, uint64_t held, uint64_t index_offset);

// The block whose directory and trailer are among the held bytes that end
// at end, or nothing when they do not hold together (as FindExtensionBlock,
// without the record head, which lies at the block's other end).
std::optional<ExtensionBlock> DecodeExtensionTail(const uint8_t* end, uint64_t held,
                                                  uint64_t index_offset);

// Whether the data section of a file whose index section starts at
// index_offset ends in an extension trailer that carries the magic and its
// own checksum: a block was written there, whether or not the rest of it
// holds together.
bool ExtensionTrailerSealed(const uint8_t* file, uint64_t file_size, uint64_t index_offset);

// Whether the record at record_offset, the last before index_offset, ends
// in the magic of a trailer that gives the record's payload size: a block
// was written there, whether or not its checksum and sizes still hold.
bool ExtensionTrailerWritten(const uint8_t* file, uint64_t index_offset, uint64_t record_offset);

// The extension block of a file whose index section starts at index_offset,
// or nothing when there is none or it does not hold together (wrong magic or
// checksum, sizes that leave the data section, a record head that does not
// match). Every position is checked against the file; nothing outside
// [0, file_size) is read.
std::optional<ExtensionBlock> FindExtensionBlock(const uint8_t* file, uint64_t file_size,
                                                 uint64_t index_offset);

// The directory and trailer for sections laid out from the payload's start;
// appended after the section bytes they describe, they complete the payload.
std::vector<uint8_t> EncodeExtensionTail(const std::vector<ExtensionSection>& sections,
                                         uint64_t section_bytes, uint32_t flags);

}  // namespace tarndb

#endif  // TARNDB_CORE_FORMAT_EXTENSION_H_

#include "core/format/extension.h"

#include <cstring>

#include "core/format/coding.h"
#include "core/format/crc32.h"
#include "core/format/layout.h"

namespace tarndb {

const ExtensionSection* ExtensionBlock::Find(uint32_t type, uint32_t version) const {
  for (const ExtensionSection& s : sections) {
    if (s.type == type && s.version == version) return &s;
  }
  return nullptr;
}

uint64_t ExtensionTailSize(const uint8_t* end) {
  const uint8_t* trailer = end - kExtensionTrailerSize;
  return kExtensionTrailerSize + uint64_t{LoadBE32(trailer + 16)} * kExtensionDirEntrySize;
}

bool ExtensionTailSealed(const uint8_t* end, uint64_t held, uint64_t index_offset) {
  // The block is a whole record inside the data section: [40, index_offset).
  if (index_offset < kHeaderSize + kRecordHeadSize + kExtensionTrailerSize ||
      held < kExtensionTrailerSize) {
    return false;
  }
  const uint8_t* trailer = end - kExtensionTrailerSize;
  if (std::memcmp(trailer, kExtensionMagic, sizeof kExtensionMagic) != 0) return false;
  const uint64_t room = index_offset - kHeaderSize - kRecordHeadSize - kExtensionTrailerSize;
  const uint64_t dir_size = uint64_t{LoadBE32(trailer + 16)} * kExtensionDirEntrySize;
  if (dir_size > room || dir_size > held - kExtensionTrailerSize) return false;
  return crc32::Value(trailer - dir_size, dir_size + 28) == LoadBE32(trailer + 28);
}

bool ExtensionTrailerSealed(const uint8_t* file, uint64_t file_size, uint64_t index_offset) {
  if (index_offset > file_size) return false;
  return ExtensionTailSealed(file + index_offset, index_offset, index_offset);
}

bool ExtensionTrailerWritten(const uint8_t* file, uint64_t index_offset, uint64_t record_offset) {
  if (record_offset > index_offset ||
      index_offset - record_offset < kRecordHeadSize + kExtensionTrailerSize) {
    return false;
  }
  const uint8_t* trailer = file + index_offset - kExtensionTrailerSize;
  return std::memcmp(trailer, kExtensionMagic, sizeof kExtensionMagic) == 0 &&
         LoadBE64(trailer + 8) == index_offset - record_offset - kRecordHeadSize;
}

std::optional<ExtensionBlock> DecodeExtensionTail(const uint8_t* end, uint64_t held,
                                                  uint64_t index_offset) {
  if (!ExtensionTailSealed(end, held, index_offset)) return std::nullopt;
  const uint8_t* trailer = end - kExtensionTrailerSize;
  const uint64_t payload_size = LoadBE64(trailer + 8);
  const uint32_t count = LoadBE32(trailer + 16);
  const uint64_t room = index_offset - kHeaderSize - kRecordHeadSize;  // largest payload
  if (payload_size > room || payload_size < kExtensionTrailerSize) return std::nullopt;
  const uint64_t dir_size = uint64_t{count} * kExtensionDirEntrySize;
  if (dir_size > payload_size - kExtensionTrailerSize) return std::nullopt;
  const uint8_t* dir = trailer - dir_size;

  ExtensionBlock block;
  block.payload_size = payload_size;
  block.payload_offset = index_offset - payload_size;
  block.record_offset = block.payload_offset - kRecordHeadSize;
  block.flags = LoadBE32(trailer + 20);
  const uint64_t sections_end = payload_size - kExtensionTrailerSize - dir_size;
  block.sections.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = dir + size_t{i} * kExtensionDirEntrySize;
    ExtensionSection s{LoadBE32(e), LoadBE32(e + 4), LoadBE64(e + 8), LoadBE64(e + 16)};
    if (s.offset > sections_end || s.length > sections_end - s.offset) return std::nullopt;
    block.sections.push_back(s);
  }
  return block;
}

std::optional<ExtensionBlock> FindExtensionBlock(const uint8_t* file, uint64_t file_size,
                                                 uint64_t index_offset) {
  if (index_offset > file_size) return std::nullopt;
  std::optional<ExtensionBlock> block =
      DecodeExtensionTail(file + index_offset, index_offset, index_offset);
  // The record head must describe exactly this payload.
  if (block && LoadBE32(file + block->record_offset) != block->payload_size) return std::nullopt;
  return block;
}

uint64_t AppendSectionEntries(const std::vector<SectionBytes>& sections, uint64_t offset,
                              std::vector<ExtensionSection>* directory) {
  for (const SectionBytes& s : sections) {
    directory->push_back({s.type, s.version, offset, s.bytes.size()});
    offset += s.bytes.size();
  }
  return offset;
}

std::vector<uint8_t> EncodeExtensionTail(const std::vector<ExtensionSection>& sections,
                                         uint64_t section_bytes, uint32_t flags) {
  const size_t dir_size = sections.size() * kExtensionDirEntrySize;
  std::vector<uint8_t> tail(dir_size + kExtensionTrailerSize, 0);
  uint8_t* p = tail.data();
  for (const ExtensionSection& s : sections) {
    StoreBE32(p, s.type);
    StoreBE32(p + 4, s.version);
    StoreBE64(p + 8, s.offset);
    StoreBE64(p + 16, s.length);
    p += kExtensionDirEntrySize;
  }
  std::memcpy(p, kExtensionMagic, sizeof kExtensionMagic);
  StoreBE64(p + 8, section_bytes + tail.size());
  StoreBE32(p + 16, static_cast<uint32_t>(sections.size()));
  StoreBE32(p + 20, flags);
  StoreBE32(p + 28, crc32::Value(tail.data(), dir_size + 28));
  return tail;
}

}  // namespace tarndb

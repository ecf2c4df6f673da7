#include "core/format/value_codec.h"

#include <cstdio>

#include "core/format/coding.h"
#include "core/format/crc32.h"

namespace tarndb {
namespace {

constexpr size_t kFixedAfterName = 8 + 8 + 4 + 4;

Error Damaged(const std::string& why) {
  return Error::Corrupt("value codec section damaged: " + why);
}

std::string CrcText(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", v);
  return text;
}

}  // namespace

std::vector<uint8_t> ValueCodec::Encode() const {
  std::vector<uint8_t> out(1 + name.size() + kFixedAfterName + dictionary.size());
  uint8_t* p = out.data();
  *p++ = static_cast<uint8_t>(name.size());
  for (const char c : name) *p++ = static_cast<uint8_t>(c);
  StoreBE64(p, raw_bytes);
  StoreBE64(p + 8, stored_bytes);
  StoreBE32(p + 16, static_cast<uint32_t>(dictionary.size()));
  StoreBE32(p + 20, crc32::Value(dictionary.data(), dictionary.size()));
  if (!dictionary.empty()) std::copy(dictionary.begin(), dictionary.end(), p + kFixedAfterName);
  return out;
}

Result<ValueCodec> ValueCodec::Decode(const uint8_t* data, size_t size) {
  if (size < 1 || size - 1 < size_t{data[0]} + kFixedAfterName) {
    return Damaged("the section is cut short");
  }
  ValueCodec codec;
  const size_t name_len = data[0];
  for (size_t i = 0; i < name_len; ++i) {
    if (data[1 + i] >= 0x80) return Damaged("the codec's name is not ASCII");
    codec.name.push_back(static_cast<char>(data[1 + i]));
  }
  const uint8_t* p = data + 1 + name_len;
  codec.raw_bytes = LoadBE64(p);
  codec.stored_bytes = LoadBE64(p + 8);
  const uint32_t dict_len = LoadBE32(p + 16);
  const uint32_t stored_crc = LoadBE32(p + 20);
  const size_t rest = size - 1 - name_len - kFixedAfterName;
  if (dict_len > rest) return Damaged("the dictionary is cut short");
  const uint8_t* dict = p + kFixedAfterName;
  const uint32_t computed = crc32::Value(dict, dict_len);
  if (computed != stored_crc) {
    return Damaged("dictionary CRC32 mismatch  stored=" + CrcText(stored_crc) +
                   "  computed=" + CrcText(computed));
  }
  codec.dictionary.assign(dict, dict + dict_len);
  return codec;
}

}  // namespace tarndb

// Key text: key bytes read as UTF-8, each maximal ill-formed subsequence
// replaced by one U+FFFD, as the Unicode Standard recommends (and as
// Python's bytes.decode('utf-8', 'replace') does). Decoding never fails.
#ifndef TARNDB_CORE_READER_KEY_TEXT_H_
#define TARNDB_CORE_READER_KEY_TEXT_H_

#include <cstddef>
#include <cstdint>

namespace tarndb {

// Decode p[0, n) into out, which must have room for n code points (there
// are never more code points than bytes). Returns the number written and
// sets *max_code_point to the largest one (0 for empty input).
size_t DecodeKeyText(const uint8_t* p, size_t n, char32_t* out, char32_t* max_code_point);

}  // namespace tarndb

#endif  // TARNDB_CORE_READER_KEY_TEXT_H_

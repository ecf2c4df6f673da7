// UTF-8 decoding with maximal-subpart replacement.
//
// Well-formed sequences (Unicode Table 3-7):
//   00..7F
//   C2..DF 80..BF
//   E0 A0..BF 80..BF      E1..EC 80..BF 80..BF
//   ED 80..9F 80..BF      EE..EF 80..BF 80..BF
//   F0 90..BF 80..BF 80..BF    F1..F3 80..BF 80..BF 80..BF
//   F4 80..8F 80..BF 80..BF
// A byte that cannot start a sequence (80..C1, F5..FF) is one ill-formed
// subsequence. Otherwise the bytes from a lead byte up to the first byte
// that cannot continue the sequence (or the end of the key) are one: a cut
// off or broken sequence becomes a single U+FFFD, and the byte that broke
// it is looked at again as a possible start.
#include "core/reader/key_text.h"

namespace tarndb {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

struct Lead {
  uint8_t continuations;  // bytes after the lead
  uint8_t second_lo;      // allowed range of the second byte
  uint8_t second_hi;
};

inline bool LeadFor(uint8_t b, Lead* lead) {
  if (b >= 0xC2 && b <= 0xDF)
    *lead = {1, 0x80, 0xBF};
  else if (b == 0xE0)
    *lead = {2, 0xA0, 0xBF};
  else if (b == 0xED)
    *lead = {2, 0x80, 0x9F};
  else if (b >= 0xE1 && b <= 0xEF)
    *lead = {2, 0x80, 0xBF};
  else if (b == 0xF0)
    *lead = {3, 0x90, 0xBF};
  else if (b == 0xF4)
    *lead = {3, 0x80, 0x8F};
  else if (b >= 0xF1 && b <= 0xF3)
    *lead = {3, 0x80, 0xBF};
  else
    return false;
  return true;
}

}  // namespace

size_t DecodeKeyText(const uint8_t* p, size_t n, char32_t* out, char32_t* max_code_point) {
  size_t count = 0;
  char32_t top = 0;
  size_t i = 0;
  while (i < n) {
    const uint8_t b = p[i];
    char32_t cp;
    Lead lead;
    if (b < 0x80) {
      cp = b;
      ++i;
    } else if (!LeadFor(b, &lead)) {
      cp = kReplacement;
      ++i;
    } else {
      // The lead byte's payload bits: 5, 4 or 3 of them.
      cp = b & (0x3F >> lead.continuations);
      size_t j = i + 1;
      uint8_t lo = lead.second_lo;
      uint8_t hi = lead.second_hi;
      for (uint8_t k = 0; k < lead.continuations; ++k, lo = 0x80, hi = 0xBF) {
        if (j >= n || p[j] < lo || p[j] > hi) {
          cp = kReplacement;  // the maximal subpart is p[i, j)
          break;
        }
        cp = (cp << 6) | (p[j] & 0x3F);
        ++j;
      }
      i = j;
    }
    out[count++] = cp;
    if (cp > top) top = cp;
  }
  *max_code_point = top;
  return count;
}

}  // namespace tarndb

#include "core/writer/temp_path.h"

#include <cstdint>
#include <cstdio>

namespace tarndb {
namespace {

constexpr std::string_view kTempSuffix = ".trnd.tmp";
// The longest file name Linux file systems take (NAME_MAX).
constexpr size_t kNameMax = 255;

// FNV-1a, 64 bits: stable across processes and builds, which is all the
// name needs (two names that collide only share a lock).
uint64_t NameHash(std::string_view name) {
  uint64_t h = 0xcbf29ce484222325u;
  for (const char c : name) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3u;
  }
  return h;
}

}  // namespace

std::string TempPathFor(std::string_view target) {
  // Find the last component that is neither empty nor ".".
  size_t end = target.size();
  size_t begin = end;
  while (end > 0) {
    const size_t slash = target.rfind('/', end - 1);
    begin = slash == std::string_view::npos ? 0 : slash + 1;
    const std::string_view comp = target.substr(begin, end - begin);
    if (!comp.empty() && comp != ".") break;
    if (slash == std::string_view::npos) {
      end = 0;
      break;
    }
    end = slash;
  }
  if (end == 0) return std::string(target);
  const std::string_view name = target.substr(begin, end - begin);
  if (name == "..") return std::string(target);

  const size_t dot = name.rfind('.');
  const size_t stem_len = (dot == std::string_view::npos || dot == 0) ? name.size() : dot;
  std::string out(target.substr(0, begin + stem_len));
  out += kTempSuffix;
  return out;
}

std::string FittingTempPathFor(std::string_view target) {
  std::string tmp = TempPathFor(target);
  const size_t slash = tmp.rfind('/');
  const size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  const size_t name_len = tmp.size() - name_at;
  if (tmp == target || name_len <= kNameMax) return tmp;
  const std::string stem = tmp.substr(name_at, name_len - kTempSuffix.size());
  char tail[24];
  std::snprintf(tail, sizeof tail, "-%016llx", static_cast<unsigned long long>(NameHash(stem)));
  const std::string_view hash_text(tail);
  size_t keep = kNameMax - hash_text.size() - kTempSuffix.size();
  // Cut before a character, not inside its UTF-8 sequence.
  while (keep > 0 && (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80) --keep;
  std::string out = tmp.substr(0, name_at);
  out.append(stem, 0, keep);
  out += hash_text;
  out += kTempSuffix;
  return out;
}

std::string ContainingDir(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

}  // namespace tarndb

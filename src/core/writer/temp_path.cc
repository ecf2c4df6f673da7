#include "core/writer/temp_path.h"

namespace tarndb {

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
  out += ".trnd.tmp";
  return out;
}

std::string ContainingDir(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

}  // namespace tarndb

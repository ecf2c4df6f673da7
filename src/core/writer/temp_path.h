// Where a build writes before it renames: beside the target, with the
// target's extension replaced by ".trnd.tmp".
#ifndef TARNDB_CORE_WRITER_TEMP_PATH_H_
#define TARNDB_CORE_WRITER_TEMP_PATH_H_

#include <string>
#include <string_view>

namespace tarndb {

// The target path up to the end of the stem of its final name, followed by
// ".trnd.tmp". The final name is the last component that is a plain name
// ("." components and trailing slashes do not count); its extension is the
// text after its last ".", unless that "." is the name's first character.
// Everything before the stem is kept byte for byte. A path whose last
// component is not a plain name ("", "/", ".", "..") has no stem and is
// returned unchanged.
//   "data/store.trnd" -> "data/store.trnd.tmp"   "a.b.c" -> "a.b.trnd.tmp"
//   "data/.hidden" -> "data/.hidden.trnd.tmp"    "store." -> "store.trnd.tmp"
std::string TempPathFor(std::string_view target);

// TempPathFor(target), unless its final name would pass the 255 bytes a
// file name may hold (a legal target name of 247 bytes or more): then the
// stem is cut to at most 229 bytes (never inside a UTF-8 sequence) and
// followed by "-", 16 hexadecimal digits of a hash of the whole stem, and
// ".trnd.tmp". Every builder of one target derives the same name.
std::string FittingTempPathFor(std::string_view target);

// The directory that holds path's final component: the text before the last
// "/" ("/" itself for a file in the root), or "." when there is none.
std::string ContainingDir(std::string_view path);

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_TEMP_PATH_H_

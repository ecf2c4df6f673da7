// Operating-system error texts, in the one shape every message uses:
// the system's description followed by " (os error N)".
#ifndef TARNDB_CORE_COMMON_OS_ERROR_H_
#define TARNDB_CORE_COMMON_OS_ERROR_H_

#include <string>

namespace tarndb {

// "No such file or directory (os error 2)" for ENOENT, and so on.
std::string OsErrorText(int errnum);

// Text used instead of an errno description when a path holds a NUL byte,
// which no system call can take.
inline constexpr const char kNulInPathText[] =
    "file name contained an unexpected NUL byte";

}  // namespace tarndb

#endif  // TARNDB_CORE_COMMON_OS_ERROR_H_

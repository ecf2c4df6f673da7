// POSIX helpers shared by the reader and the writer: opening with EINTR
// retried, the NUL-in-path check, and the one shape of every error that an
// operating-system call produces.
#ifndef TARNDB_CORE_COMMON_POSIX_H_
#define TARNDB_CORE_COMMON_POSIX_H_

#include <sys/types.h>

#include <string>
#include <string_view>

#include "core/common/result.h"
#include "core/common/unique_fd.h"

namespace tarndb {

// "No such file or directory (os error 2)" for ENOENT, and so on.
std::string OsErrorText(int errnum);

// Text used instead of an errno description when a path holds a NUL byte,
// which no system call can take.
inline constexpr const char kNulInPathText[] = "file name contained an unexpected NUL byte";

// What a system call interrupted by a signal (EINTR) does next. The core
// retries it, unless the check installed here says to stop: a binding
// installs one that gives the interpreter's signal handlers a chance to run
// (Ctrl-C then raises KeyboardInterrupt instead of being swallowed by the
// retry). Stopping fails the call with EINTR.
using InterruptCheck = bool (*)();
void SetInterruptCheck(InterruptCheck check);
// Whether an interrupted call should stop instead of being retried.
bool StopOnInterrupt();

// An I/O-kind error whose message is prefix followed by OsErrorText(errnum),
// carrying errnum and the path it concerns.
Error IoError(std::string_view prefix, int errnum, std::string_view path);

// open(2), retried while it is interrupted by a signal (see InterruptCheck). A path holding a NUL
// byte fails with prefix + kNulInPathText; any other failure with
// IoError(prefix, errno, path).
Result<UniqueFd> OpenFd(std::string_view path, int flags, mode_t mode, std::string_view prefix);

// Write all of data[0, n) to fd with write(2): short writes continue and
// EINTR is retried. A write that accepts no bytes fails with
// zero_write_text; any other failure with the system's error text (and no
// prefix). path names the file in the error.
Status WriteAll(int fd, const uint8_t* data, size_t n, const char* zero_write_text,
                std::string_view path);

// fsync(2), retried while interrupted; a failure is IoError(prefix, errno, path).
Status SyncFd(int fd, std::string_view prefix, std::string_view path);

// For a long operation at a point where it may stop: an I/O-kind error with
// errno EINTR naming path when the interrupt check says to stop (a signal
// handler raised), else ok. Never stops without a check installed.
Status StopIfInterrupted(std::string_view path);

// Wait for an exclusive flock(2) on fd. The wait polls (short sleeps that
// grow to 50 ms), consulting the interrupt check between tries, so that it
// ends promptly whichever thread a signal is delivered to; stopping fails
// with IoError(prefix, EINTR, path). A file system without flock (EINVAL,
// ENOLCK, EOPNOTSUPP) leaves fd unlocked and succeeds. Any other failure is
// IoError(prefix, errno, path).
Status LockExclusive(int fd, std::string_view prefix, std::string_view path);

// The system's directory for temporary files: the first of $TMPDIR, $TEMP,
// $TMP, /tmp, /var/tmp and /usr/tmp that is a directory this process may
// write into, else ".".
std::string DefaultTempDir();

}  // namespace tarndb

#endif  // TARNDB_CORE_COMMON_POSIX_H_

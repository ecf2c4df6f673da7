// The files a build touches besides its own data: the target it replaces
// and the temporary file beside it, opened so that concurrent builders,
// files planted at the temporary path and targets that are not files cannot
// corrupt what gets published or be destroyed by it.
#ifndef TARNDB_CORE_WRITER_TEMP_FILE_H_
#define TARNDB_CORE_WRITER_TEMP_FILE_H_

#include <sys/types.h>

#include <optional>
#include <string>

#include "core/common/result.h"
#include "core/common/unique_fd.h"

namespace tarndb {

// What a build is about to replace.
struct TargetState {
  // The permission bits the new file takes: those of the regular file the
  // target is (or a symbolic link there names), else 0666 less the umask
  // (empty when the umask cannot be read: the file keeps what it was
  // created with, 0666 less the umask).
  std::optional<mode_t> mode;
};

// Look at what path names before publishing over it. A regular file or a
// symbolic link (which the rename replaces, not what it names) is fine, and
// so is nothing at all; a device node, FIFO or socket is refused with the
// I/O kind, "target: not a regular file", and a directory too when
// refuse_directory ("target: Is a directory (os error 21)"; without it the
// rename refuses the directory later). A path that cannot be examined is
// left to the later steps, which report what is wrong with it.
Result<TargetState> InspectTarget(const std::string& path, bool refuse_directory);

// Create a fresh temporary file at tmp for writing and take an exclusive
// flock on it, with the permission bits mode (when given; else 0666 less
// the umask).
//
// A file already at tmp (a stale one, or another builder's) is never
// written: once its lock is free and the path still names it, it is
// removed and a new file made, so nobody can hold a descriptor of the file
// from before. Waiting for a lock is interruptible (LockExclusive). The
// descriptor must stay open, and so the lock held, until the file has been
// renamed into place and its directory synced; a builder waiting for the
// lock then finds the path gone or replaced and starts again. Symbolic
// links are not followed, and a FIFO cannot block the open. On file
// systems without flock the file is used unlocked.
//
// Fails with the I/O kind: "open tmp: {error}"; for a file found at tmp,
// "open tmp: not a regular file with a single link" or "open tmp: not owned
// by this user" (which is left as it is).
Result<UniqueFd> CreateLockedTemp(const std::string& tmp, std::optional<mode_t> mode);

// Wait for the lock of the file at tmp, so that it can be removed: an
// invalid descriptor when nothing is there (any more, or another file is
// there by now); else the locked file, checked as CreateLockedTemp checks a
// file it finds.
Result<UniqueFd> LockExistingTemp(const std::string& tmp);

// Remove tmp if it still names the file fd (best effort): a build that
// fails after giving its file the temporary name leaves nothing behind.
// False when tmp still names the file afterwards.
bool RemoveOwnTemp(const std::string& tmp, int fd);

}  // namespace tarndb

#endif  // TARNDB_CORE_WRITER_TEMP_FILE_H_

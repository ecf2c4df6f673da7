#include "core/writer/temp_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/common/posix.h"

namespace tarndb {
namespace {

constexpr std::string_view kOpenTmp = "open tmp: ";

bool LockUnsupported(int errnum) {
  return errnum == EINVAL || errnum == ENOLCK || errnum == EOPNOTSUPP;
}

}  // namespace

Result<UniqueFd> OpenLockedTemp(const std::string& tmp, bool truncate) {
  for (;;) {
    // No O_TRUNC: the file may belong to a builder that holds its lock.
    Result<UniqueFd> opened =
        OpenFd(tmp, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666, kOpenTmp);
    if (!opened.ok()) return std::move(opened.error());
    UniqueFd fd = std::move(opened.value());
    if (fd.get() <= STDERR_FILENO) {
      // Standard streams were closed: keep the store out of descriptors
      // 0 to 2, where a stray print would land in it.
      const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
      if (moved < 0) return IoError(kOpenTmp, errno, tmp);
      fd = UniqueFd(moved);
    }

    int locked;
    do {
      locked = ::flock(fd.get(), LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0 && !LockUnsupported(errno)) return IoError(kOpenTmp, errno, tmp);

    // While we waited, the file may have been renamed into place by the
    // builder that held the lock, and the path may now name another file or
    // nothing at all: then this file is not ours to write.
    struct stat held, named;
    if (::fstat(fd.get(), &held) != 0) return IoError(kOpenTmp, errno, tmp);
    if (::lstat(tmp.c_str(), &named) != 0) {
      if (errno == ENOENT) continue;
      return IoError(kOpenTmp, errno, tmp);
    }
    if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) continue;

    if (!S_ISREG(held.st_mode) || held.st_nlink != 1) {
      return Error::Io("open tmp: not a regular file with a single link", 0, tmp);
    }
    if (truncate && ::ftruncate(fd.get(), 0) != 0) return IoError(kOpenTmp, errno, tmp);
    return fd;
  }
}

}  // namespace tarndb

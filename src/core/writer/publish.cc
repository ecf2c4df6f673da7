#include "core/writer/publish.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

#include "core/common/posix.h"
#include "core/common/unique_fd.h"
#include "core/writer/temp_file.h"
#include "core/writer/temp_path.h"

namespace tarndb {
namespace {

// Take an exclusive flock on fd; file systems without flock go unlocked.
Status Lock(int fd, int op, const std::string& path) {
  while (::flock(fd, op) != 0) {
    if (errno == EINTR) continue;
    if (errno == EINVAL || errno == ENOLCK || errno == EOPNOTSUPP) return OkStatus();
    return IoError("lock: ", errno, path);
  }
  return OkStatus();
}

// Link the unnamed file fd as name: through /proc (any user), or by the
// descriptor itself where /proc is missing (needs privileges). -1 with
// errno set on failure.
int LinkFd(int fd, const std::string& name) {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno != ENOENT || ::access("/proc/self/fd", X_OK) == 0) return -1;
  return ::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH);
}

}  // namespace

Status SyncDir(const std::string& dir) {
  Result<UniqueFd> fd = OpenFd(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0, "sync dir: ");
  if (!fd.ok()) return std::move(fd.error());
  return SyncFd(fd.value().get(), "sync dir: ", dir);
}

Status PublishByLink(const SpillFile& file, std::string_view path, bool* cannot_link) {
  *cannot_link = false;
  const std::string tmp = TempPathFor(path);
  // Held from before the file has a name until the rename is durable.
  if (Status s = Lock(file.fd(), LOCK_EX, tmp); !s.ok()) return s;
  struct Unlock {
    int fd;
    ~Unlock() { ::flock(fd, LOCK_UN); }
  } unlock{file.fd()};
  for (;;) {
    if (LinkFd(file.fd(), tmp) == 0) break;
    const int err = errno;
    if (err != EEXIST) {
      if (err == EXDEV || err == EPERM || err == ENOENT || err == EOPNOTSUPP || err == EMLINK) {
        *cannot_link = true;
      }
      return IoError("link tmp: ", err, tmp);
    }
    // A temporary file is there: a stale one, or another builder's. Wait
    // for its lock, then take its name; a waiter on it starts again.
    Result<UniqueFd> held = OpenLockedTemp(tmp, /*truncate=*/false);
    if (!held.ok()) return std::move(held.error());
    if (::unlink(tmp.c_str()) != 0 && errno != ENOENT) return IoError("open tmp: ", errno, tmp);
  }
  if (::rename(tmp.c_str(), std::string(path).c_str()) != 0) {
    return IoError("rename: ", errno, tmp);
  }
  return SyncDir(ContainingDir(tmp));
}

Status PublishByCopy(int from_fd, uint64_t size, std::string_view path) {
  const std::string tmp = TempPathFor(path);
  Result<UniqueFd> opened = OpenLockedTemp(tmp);
  if (!opened.ok()) return std::move(opened.error());
  // Held, and with it the lock, until the rename is durable.
  const UniqueFd fd = std::move(opened.value());
  if (Status s = CopyRange(from_fd, 0, fd.get(), 0, size, tmp); !s.ok()) return s;
  if (Status s = SyncFd(fd.get(), "", tmp); !s.ok()) return s;
  if (::rename(tmp.c_str(), std::string(path).c_str()) != 0) {
    return IoError("rename: ", errno, tmp);
  }
  return SyncDir(ContainingDir(tmp));
}

}  // namespace tarndb

#include "core/writer/publish.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core/common/posix.h"
#include "core/common/unique_fd.h"
#include "core/writer/temp_file.h"
#include "core/writer/temp_path.h"

namespace tarndb {
namespace {

// Link the unnamed file fd as name: through /proc (any user), or by the
// descriptor itself where /proc is missing (needs privileges). -1 with
// errno set on failure.
int LinkFd(int fd, const std::string& name) {
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno != ENOENT || ::access("/proc/self/fd", X_OK) == 0) return -1;
  return ::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH);
}

// The last steps, with the file complete, synced and named tmp under our
// lock: stop if interrupted, check the target again, rename. On failure
// the temporary name is removed; after the rename, the directory is
// synced whatever happens meanwhile.
Status RenameIntoPlace(const std::string& tmp, int fd, const std::string& target) {
  Status s = StopIfInterrupted(target);
  if (s.ok()) {
    Result<TargetState> now = InspectTarget(target, /*refuse_directory=*/true);
    if (!now.ok()) s = std::move(now.error());
  }
  if (s.ok() && ::rename(tmp.c_str(), target.c_str()) != 0) s = IoError("rename: ", errno, target);
  if (!s.ok()) {
    RemoveOwnTemp(tmp, fd);
    return s;
  }
  return SyncDir(ContainingDir(tmp));
}

}  // namespace

Status SyncDir(const std::string& dir) {
  int fd;
  do {
    fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return IoError("sync dir: ", errno, dir);
  const UniqueFd held(fd);
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return IoError("sync dir: ", errno, dir);
  }
  return OkStatus();
}

Status PublishByLink(const SpillFile& file, std::string_view path, std::optional<mode_t> mode,
                     bool* cannot_link) {
  *cannot_link = false;
  const std::string target(path);
  const std::string tmp = FittingTempPathFor(target);
  // Held from before the file has a name until the rename is durable.
  if (Status s = LockExclusive(file.fd(), "lock: ", tmp); !s.ok()) return s;
  struct Unlock {
    int fd;
    ~Unlock() { ::flock(fd, LOCK_UN); }
  } unlock{file.fd()};
  // The bits it is seen with from the moment it has a name.
  if (mode && ::fchmod(file.fd(), *mode) != 0 && errno != EPERM && errno != EOPNOTSUPP) {
    return IoError("chmod: ", errno, target);
  }
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
    Result<UniqueFd> held = LockExistingTemp(tmp);
    if (!held.ok()) return std::move(held.error());
    if (held.value().valid() && ::unlink(tmp.c_str()) != 0 && errno != ENOENT) {
      return IoError("open tmp: ", errno, tmp);
    }
  }
  return RenameIntoPlace(tmp, file.fd(), target);
}

Status PublishByCopy(int from_fd, uint64_t size, std::string_view path,
                     std::optional<mode_t> mode) {
  const std::string target(path);
  const std::string tmp = FittingTempPathFor(target);
  Result<UniqueFd> opened = CreateLockedTemp(tmp, mode);
  if (!opened.ok()) return std::move(opened.error());
  // Held, and with it the lock, until the rename is durable.
  const UniqueFd fd = std::move(opened.value());
  Status s = CopyRange(from_fd, 0, fd.get(), 0, size, target);
  if (s.ok()) s = SyncFd(fd.get(), "", target);
  if (!s.ok()) {
    RemoveOwnTemp(tmp, fd.get());
    return s;
  }
  return RenameIntoPlace(tmp, fd.get(), target);
}

Status PublishBytes(const uint8_t* data, size_t n, std::string_view path) {
  const std::string target(path);
  Result<TargetState> state = InspectTarget(target, /*refuse_directory=*/true);
  if (!state.ok()) return std::move(state.error());
  const std::optional<mode_t> mode = state.value().mode;
  Result<SpillFile> made = SpillFile::Create(ContainingDir(target), "file");
  if (!made.ok()) return std::move(made.error());
  SpillFile& file = made.value();
  file.set_name(target);
  if (Status s = file.WriteAt(data, n, 0); !s.ok()) return s;
  if (Status s = SyncFd(file.fd(), "sync file: ", target); !s.ok()) return s;
  bool cannot_link = true;
  Status published = OkStatus();
  if (file.linkable()) published = PublishByLink(file, target, mode, &cannot_link);
  if (cannot_link) published = PublishByCopy(file.fd(), n, target, mode);
  return published;
}

}  // namespace tarndb

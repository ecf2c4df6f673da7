#include "core/writer/publish.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core/common/posix.h"
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

// Whether linking failed for a reason that copying gets around.
bool CannotLink(int err) {
  return err == EXDEV || err == EPERM || err == ENOENT || err == EOPNOTSUPP || err == EMLINK;
}

// The last steps, with the file complete, synced and named tmp under our
// lock: stop if interrupted, check the target again, rename, sync the
// directory. *renamed tells whether the rename happened.
Status RenameIntoPlace(const std::string& tmp, const std::string& target, bool refuse_directory,
                       bool* renamed) {
  *renamed = false;
  if (Status s = StopIfInterrupted(target); !s.ok()) return s;
  if (Result<TargetState> now = InspectTarget(target, refuse_directory); !now.ok()) {
    return std::move(now.error());
  }
  if (::rename(tmp.c_str(), target.c_str()) != 0) return IoError("rename: ", errno, target);
  *renamed = true;
  return SyncDir(ContainingDir(tmp));
}

// Lock the complete, unnamed file fd in the target's directory, give it the
// temporary name and rename it over target. *cannot_link is set when it
// cannot be linked there (nothing has changed then).
Status LinkIntoPlace(int fd, const std::string& target, std::optional<mode_t> mode, bool* named,
                     bool* cannot_link) {
  *cannot_link = false;
  const std::string tmp = FittingTempPathFor(target);
  // Held from before the file has a name until the rename is durable.
  if (Status s = LockExclusive(fd, "lock: ", tmp); !s.ok()) return s;
  struct Unlock {
    int fd;
    ~Unlock() { ::flock(fd, LOCK_UN); }
  } unlock{fd};
  // The bits it is seen with from the moment it has a name.
  if (mode && ::fchmod(fd, *mode) != 0 && errno != EPERM && errno != EOPNOTSUPP) {
    return IoError("chmod: ", errno, target);
  }
  while (LinkFd(fd, tmp) != 0) {
    const int err = errno;
    if (err != EEXIST) {
      *cannot_link = CannotLink(err);
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
  bool renamed = false;
  Status s = RenameIntoPlace(tmp, target, /*refuse_directory=*/true, &renamed);
  *named = renamed || (!s.ok() && !RemoveOwnTemp(tmp, fd));
  return s;
}

// Copy the first size bytes of from_fd into a temporary file named from
// its creation, sync it and rename it over target; the name goes again on
// failure. For directories where unnamed files cannot be made.
Status CopyByName(int from_fd, uint64_t size, const std::string& target,
                  std::optional<mode_t> mode) {
  const std::string tmp = FittingTempPathFor(target);
  Result<UniqueFd> opened = CreateLockedTemp(tmp, mode);
  if (!opened.ok()) return std::move(opened.error());
  const UniqueFd fd = std::move(opened.value());  // and with it the lock
  Status s = CopyRange(from_fd, 0, fd.get(), 0, size, target);
  if (s.ok()) s = SyncFd(fd.get(), "", target);
  bool renamed = false;
  if (s.ok()) s = RenameIntoPlace(tmp, target, /*refuse_directory=*/true, &renamed);
  if (!s.ok() && !renamed) RemoveOwnTemp(tmp, fd.get());
  return s;
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

Status PublishFile(const SpillFile& file, uint64_t size, std::string_view path,
                   std::optional<mode_t> mode, bool* named) {
  *named = false;
  const std::string target(path);
  bool cannot_link = !file.linkable();
  if (file.linkable()) {
    Status s = LinkIntoPlace(file.fd(), target, mode, named, &cannot_link);
    if (!cannot_link) return s;
  }
  // Copied into a file without a name beside the target first, so that no
  // name ever shows it incomplete.
  // Where none can be made or linked there, the copy is made under the
  // temporary name (whose errors then say what is wrong).
  Result<SpillFile> made = SpillFile::Create(ContainingDir(target), "copy");
  if (made.ok() && made.value().linkable()) {
    const SpillFile& copy = made.value();
    Status s = CopyRange(file.fd(), 0, copy.fd(), 0, size, target);
    if (s.ok()) s = SyncFd(copy.fd(), "", target);
    if (!s.ok()) return s;
    bool copy_named = false;
    s = LinkIntoPlace(copy.fd(), target, mode, &copy_named, &cannot_link);
    if (!cannot_link) return s;
  }
  return CopyByName(file.fd(), size, target, mode);
}

Status PublishBytes(const uint8_t* data, size_t n, std::string_view path) {
  const std::string target(path);
  Result<TargetState> state = InspectTarget(target, /*refuse_directory=*/true);
  if (!state.ok()) return std::move(state.error());
  Result<SpillFile> made = SpillFile::Create(ContainingDir(target), "file");
  if (!made.ok()) return std::move(made.error());
  SpillFile& file = made.value();
  file.set_name(target);
  if (Status s = file.WriteAt(data, n, 0); !s.ok()) return s;
  if (Status s = SyncFd(file.fd(), "sync file: ", target); !s.ok()) return s;
  bool named = false;
  return PublishFile(file, n, target, state.value().mode, &named);
}

Result<NamedTempFile> NamedTempFile::Create(std::string_view target, std::optional<mode_t> mode) {
  std::string tmp = TempPathFor(target);
  Result<UniqueFd> fd = CreateLockedTemp(tmp, mode);
  if (!fd.ok()) return std::move(fd.error());
  return NamedTempFile(std::move(fd.value()), std::move(tmp));
}

void NamedTempFile::Empty() const {
  while (::ftruncate(fd_.get(), 0) != 0 && errno == EINTR) {
  }
}

Status NamedTempFile::RenameOver(std::string_view target) const {
  bool renamed = false;
  return RenameIntoPlace(path_, std::string(target), /*refuse_directory=*/false, &renamed);
}

}  // namespace tarndb

#include "core/writer/temp_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "core/common/posix.h"

namespace tarndb {
namespace {

constexpr std::string_view kOpenTmp = "open tmp: ";
constexpr mode_t kPermissionBits = 0777;

// Keep a file out of descriptors 0 to 2 (free when the standard streams
// were closed), where a stray print would land in it.
Status MoveAboveStdio(UniqueFd* fd, const std::string& tmp) {
  if (fd->get() > STDERR_FILENO) return OkStatus();
  const int moved = ::fcntl(fd->get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return IoError(kOpenTmp, errno, tmp);
  *fd = UniqueFd(moved);
  return OkStatus();
}

// Lock fd, opened at tmp, and check it: false when tmp no longer names it
// (while we waited, the builder that held the lock renamed or removed it:
// not ours to touch); an error for anything but a regular file with one
// link that this user owns.
Result<bool> LockAndCheck(int fd, const std::string& tmp) {
  if (Status s = LockExclusive(fd, kOpenTmp, tmp); !s.ok()) return std::move(s.error());
  struct stat held, named;
  if (::fstat(fd, &held) != 0) return IoError(kOpenTmp, errno, tmp);
  if (::lstat(tmp.c_str(), &named) != 0) {
    if (errno == ENOENT) return false;
    return IoError(kOpenTmp, errno, tmp);
  }
  if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) return false;
  if (!S_ISREG(held.st_mode) || held.st_nlink != 1) {
    return Error::Io("open tmp: not a regular file with a single link", 0, tmp);
  }
  // Another user's file, in a shared directory such as /tmp: whoever made
  // it may hold it open, and would write into the store once published.
  if (held.st_uid != ::geteuid()) return Error::Io("open tmp: not owned by this user", 0, tmp);
  return true;
}

// 0666 less the process's umask, read where the kernel reports it (setting
// the umask to learn it would race with other threads).
std::optional<mode_t> NewFileMode() {
  std::FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) return std::nullopt;
  char line[256];
  std::optional<mode_t> mode;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    unsigned umask_bits;
    if (std::strncmp(line, "Umask:", 6) == 0 && std::sscanf(line + 6, "%o", &umask_bits) == 1) {
      mode = 0666 & ~static_cast<mode_t>(umask_bits);
      break;
    }
  }
  std::fclose(status);
  return mode;
}

}  // namespace

Result<TargetState> InspectTarget(const std::string& path, bool refuse_directory) {
  TargetState state{NewFileMode()};
  if (path.find('\0') != std::string::npos) return state;  // opening the temporary file says why
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return state;
  if (S_ISLNK(st.st_mode)) {
    // The rename replaces the link; the file it names has the bits its
    // owner chose.
    struct stat named;
    if (::stat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode)) {
      state.mode = named.st_mode & kPermissionBits;
    }
    return state;
  }
  if (S_ISREG(st.st_mode)) {
    state.mode = st.st_mode & kPermissionBits;
    return state;
  }
  if (S_ISDIR(st.st_mode)) {
    if (refuse_directory) return IoError("target: ", EISDIR, path);
    return state;
  }
  // A device node, FIFO or socket: a rename would put a regular file in
  // its place (as root, over /dev/null say).
  return Error::Io("target: not a regular file", 0, path);
}

Result<UniqueFd> LockExistingTemp(const std::string& tmp) {
  // Non-blocking: a FIFO without a reader fails (ENXIO) instead of blocking.
  constexpr int kFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
  Result<UniqueFd> opened = OpenFd(tmp, O_WRONLY | kFlags, 0, kOpenTmp);
  // Only its lock is needed: a file this user may not write will do
  // read-only (it may still be ours, with the bits of a read-only target).
  if (!opened.ok() && opened.error().sys_errno() == EACCES) {
    opened = OpenFd(tmp, O_RDONLY | kFlags, 0, kOpenTmp);
  }
  if (!opened.ok()) {
    if (opened.error().sys_errno() == ENOENT) return UniqueFd();
    return std::move(opened.error());
  }
  UniqueFd fd = std::move(opened.value());
  if (Status s = MoveAboveStdio(&fd, tmp); !s.ok()) return std::move(s.error());
  Result<bool> still = LockAndCheck(fd.get(), tmp);
  if (!still.ok()) return std::move(still.error());
  if (!still.value()) return UniqueFd();
  return fd;
}

Result<UniqueFd> CreateLockedTemp(const std::string& tmp, std::optional<mode_t> mode) {
  for (;;) {
    // Created private when its bits are set below: nobody else opens it
    // meanwhile.
    Result<UniqueFd> made =
        OpenFd(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY,
               mode ? 0600 : 0666, kOpenTmp);
    if (made.ok()) {
      UniqueFd fd = std::move(made.value());
      if (Status s = MoveAboveStdio(&fd, tmp); !s.ok()) return std::move(s.error());
      // Another builder may have opened it before we locked it, taken it
      // for a stale file and removed it: then start again.
      Result<bool> still = LockAndCheck(fd.get(), tmp);
      if (!still.ok()) return std::move(still.error());
      if (!still.value()) continue;
      if (mode && ::fchmod(fd.get(), *mode) != 0 && errno != EPERM && errno != EOPNOTSUPP) {
        // (A file system that keeps no permission bits keeps the file private.)
        const int err = errno;
        RemoveOwnTemp(tmp, fd.get());
        return IoError(kOpenTmp, err, tmp);
      }
      return fd;
    }
    if (made.error().sys_errno() != EEXIST) return std::move(made.error());
    // Something is there: wait for its builder, then take its place. Its
    // waiters find the name moved on once our hold on it ends.
    Result<UniqueFd> found = LockExistingTemp(tmp);
    if (!found.ok()) return std::move(found.error());
    if (found.value().valid() && ::unlink(tmp.c_str()) != 0 && errno != ENOENT) {
      return IoError(kOpenTmp, errno, tmp);
    }
  }
}

bool RemoveOwnTemp(const std::string& tmp, int fd) {
  struct stat held, named;
  if (::fstat(fd, &held) != 0 || ::lstat(tmp.c_str(), &named) != 0) return true;
  if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) return true;
  return ::unlink(tmp.c_str()) == 0 || errno == ENOENT;
}

}  // namespace tarndb

#include "core/common/posix.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>

namespace tarndb {
namespace {

std::atomic<InterruptCheck> g_interrupt_check{nullptr};

}  // namespace

void SetInterruptCheck(InterruptCheck check) { g_interrupt_check.store(check); }

bool StopOnInterrupt() {
  const InterruptCheck check = g_interrupt_check.load();
  return check != nullptr && check();
}

std::string OsErrorText(int errnum) {
  char buf[256];
  // The GNU strerror_r returns a pointer that may or may not be into buf.
  const char* desc = strerror_r(errnum, buf, sizeof buf);
  return std::string(desc) + " (os error " + std::to_string(errnum) + ")";
}

Error IoError(std::string_view prefix, int errnum, std::string_view path) {
  return Error::Io(std::string(prefix) + OsErrorText(errnum), errnum, std::string(path));
}

Result<UniqueFd> OpenFd(std::string_view path, int flags, mode_t mode, std::string_view prefix) {
  const std::string p(path);
  if (p.find('\0') != std::string::npos) {
    return Error::Io(std::string(prefix) + kNulInPathText, 0, p);
  }
  for (;;) {
    const int fd = ::open(p.c_str(), flags, mode);
    if (fd >= 0) return UniqueFd(fd);
    // The check runs signal handlers, which may change errno: keep it first.
    const int err = errno;
    if (err != EINTR || StopOnInterrupt()) return IoError(prefix, err, p);
  }
}

Status SyncFd(int fd, std::string_view prefix, std::string_view path) {
  while (::fsync(fd) != 0) {
    const int err = errno;
    if (err != EINTR || StopOnInterrupt()) return IoError(prefix, err, path);
  }
  return OkStatus();
}

Status StopIfInterrupted(std::string_view path) {
  if (StopOnInterrupt()) return IoError("", EINTR, path);
  return OkStatus();
}

Status LockExclusive(int fd, std::string_view prefix, std::string_view path) {
  long wait_ns = 1'000'000;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return OkStatus();
    const int err = errno;
    if (err == EINVAL || err == ENOLCK || err == EOPNOTSUPP) return OkStatus();
    if (err != EWOULDBLOCK && err != EINTR) return IoError(prefix, err, path);
    // Another process holds it. A blocking flock would end early only for
    // a signal delivered to this very thread; polling hears every one.
    if (StopOnInterrupt()) return IoError(prefix, EINTR, path);
    const timespec pause{0, wait_ns};
    ::nanosleep(&pause, nullptr);
    wait_ns = std::min(wait_ns * 2, 50'000'000L);
  }
}

Status WriteAll(int fd, const uint8_t* data, size_t n, const char* zero_write_text,
                std::string_view path) {
  while (n > 0) {
    // Linux moves at most about 2 GiB per write; ask for no more than SSIZE_MAX.
    const ssize_t w = ::write(fd, data, std::min<size_t>(n, SSIZE_MAX));
    if (w < 0) {
      if (errno == EINTR) continue;
      return IoError("", errno, path);
    }
    if (w == 0) return Error::Io(zero_write_text, 0, std::string(path));
    data += w;
    n -= static_cast<size_t>(w);
  }
  return OkStatus();
}

std::string DefaultTempDir() {
  const auto usable = [](const char* dir) {
    struct stat st;
    return dir != nullptr && *dir != '\0' && ::stat(dir, &st) == 0 && S_ISDIR(st.st_mode) &&
           ::access(dir, W_OK | X_OK) == 0;
  };
  for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
    const char* dir = ::getenv(name);
    if (usable(dir)) return dir;
  }
  for (const char* dir : {"/tmp", "/var/tmp", "/usr/tmp"}) {
    if (usable(dir)) return dir;
  }
  return ".";
}

}  // namespace tarndb

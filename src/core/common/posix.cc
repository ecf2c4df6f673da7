#include "core/common/posix.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

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
  int fd;
  do {
    fd = ::open(p.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR && !StopOnInterrupt());
  if (fd < 0) return IoError(prefix, errno, p);
  return UniqueFd(fd);
}

Status SyncFd(int fd, std::string_view prefix, std::string_view path) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR || StopOnInterrupt()) return IoError(prefix, errno, path);
  }
  return OkStatus();
}

}  // namespace tarndb

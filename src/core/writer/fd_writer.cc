#include "core/writer/fd_writer.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include "core/common/posix.h"

namespace tarndb {

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

Status WriteAllAt(int fd, const uint8_t* data, size_t n, uint64_t pos, std::string_view path) {
  while (n > 0) {
    const ssize_t w = ::pwrite(fd, data, n, static_cast<off_t>(pos));
    if (w < 0) {
      if (errno == EINTR) continue;
      return IoError("", errno, path);
    }
    if (w == 0) return Error::Io("failed to write whole buffer", 0, std::string(path));
    data += w;
    n -= static_cast<size_t>(w);
    pos += static_cast<uint64_t>(w);
  }
  return OkStatus();
}

FdWriter::FdWriter(int fd, std::string_view path)
    : fd_(fd), path_(path), buf_(std::make_unique_for_overwrite<uint8_t[]>(kWriteBufferSize)) {}

Status FdWriter::Flush() {
  if (used_ == 0) return OkStatus();
  const size_t n = std::exchange(used_, 0);
  return WriteAll(fd_, buf_.get(), n, "failed to write the buffered data", path_);
}

Status FdWriter::Write(const uint8_t* data, size_t n) {
  if (n <= kWriteBufferSize - used_) {
    if (n) std::memcpy(buf_.get() + used_, data, n);
    used_ += n;
    return OkStatus();
  }
  if (Status s = Flush(); !s.ok()) return s;
  if (n >= kWriteBufferSize) {
    return WriteAll(fd_, data, n, "failed to write whole buffer", path_);
  }
  std::memcpy(buf_.get(), data, n);
  used_ = n;
  return OkStatus();
}

}  // namespace tarndb

#include "core/writer/spill_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>
#include <vector>

#include "core/common/posix.h"
#include "core/format/crc32.h"

namespace tarndb {
namespace {

constexpr mode_t kFileMode = 0666;

}  // namespace

Result<SpillFile> SpillFile::Create(const std::string& dir, std::string_view role) {
  SpillFile f;
  f.dir_ = dir;
  f.role_ = role;
  const std::string prefix = "create " + std::string(role) + ": ";
  Result<UniqueFd> opened = OpenFd(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, kFileMode, prefix);
  if (opened.ok()) {
    f.fd_ = std::move(opened.value());
    f.linkable_ = true;
  } else {
    // File systems without unnamed files answer EOPNOTSUPP (or EISDIR on
    // kernels that predate the flag): create a named file and unlink it.
    const int err = opened.error().sys_errno();
    if (err != EOPNOTSUPP && err != EISDIR && err != EINVAL) return std::move(opened.error());
    std::random_device rd;
    for (int attempt = 0;; ++attempt) {
      char name[40];
      std::snprintf(name, sizeof name, "/.tarndb-spill-%08x%08x", rd(), rd());
      Result<UniqueFd> named =
          OpenFd(dir + name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600, prefix);
      if (!named.ok()) {
        if (named.error().sys_errno() == EEXIST && attempt < 100) continue;
        return std::move(named.error());
      }
      if (::unlink((dir + name).c_str()) != 0) return IoError(prefix, errno, dir);
      f.fd_ = std::move(named.value());
      break;
    }
  }
  if (f.fd_.get() <= STDERR_FILENO) {
    // Standard streams were closed: keep the file out of descriptors 0 to
    // 2, where a stray print would land in it.
    const int moved = ::fcntl(f.fd_.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) return IoError(prefix, errno, dir);
    f.fd_ = UniqueFd(moved);
  }
  return f;
}

Error SpillFile::Fail(std::string_view op, int errnum) const {
  return IoError(std::string(op) + " " + role_ + ": ", errnum, name());
}

namespace {

// Stretches of the file whose write-back starts once they are written.
constexpr uint64_t kWriteBehindStretch = uint64_t{8} << 20;

// Start write-back of the stretches that a write of [pos, end) completed.
// Best effort: a failure shows again at the sync, which reports it.
void StartWriteBack(int fd, uint64_t pos, uint64_t end) {
  const uint64_t first = pos / kWriteBehindStretch, last = end / kWriteBehindStretch;
  if (last > first) {
    (void)::sync_file_range(fd, static_cast<off_t>(first * kWriteBehindStretch),
                            static_cast<off_t>((last - first) * kWriteBehindStretch),
                            SYNC_FILE_RANGE_WRITE);
  }
}

}  // namespace

Status SpillFile::WriteAt(const uint8_t* data, size_t n, uint64_t pos) const {
  const uint64_t start = pos;
  while (n > 0) {
    const ssize_t w =
        ::pwrite(fd_.get(), data, std::min<size_t>(n, SSIZE_MAX), static_cast<off_t>(pos));
    if (w < 0) {
      if (errno == EINTR) continue;
      return Fail("write", errno);
    }
    if (w == 0) return Fail("write", EIO);
    data += w;
    n -= static_cast<size_t>(w);
    pos += static_cast<uint64_t>(w);
  }
  if (write_behind_) StartWriteBack(fd_.get(), start, pos);
  return OkStatus();
}

Status SpillFile::ReadAt(uint8_t* data, size_t n, uint64_t pos) const {
  while (n > 0) {
    const ssize_t r =
        ::pread(fd_.get(), data, std::min<size_t>(n, SSIZE_MAX), static_cast<off_t>(pos));
    if (r < 0) {
      if (errno == EINTR) continue;
      return Fail("read", errno);
    }
    if (r == 0) return Fail("read", EIO);  // the file is shorter than what was written
    data += r;
    n -= static_cast<size_t>(r);
    pos += static_cast<uint64_t>(r);
  }
  return OkStatus();
}

Status SpillFile::Truncate(uint64_t size) const {
  while (::ftruncate(fd_.get(), static_cast<off_t>(size)) != 0) {
    if (errno != EINTR) return Fail("truncate", errno);
  }
  return OkStatus();
}

void SpillFile::Release(uint64_t pos, uint64_t n) const {
  if (n == 0) return;
  (void)::fallocate(fd_.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(pos),
                    static_cast<off_t>(n));
}

void SpillFile::StartWriteback(uint64_t pos, uint64_t n) const {
  if (n == 0) return;
  (void)::sync_file_range(fd_.get(), static_cast<off64_t>(pos), static_cast<off64_t>(n),
                          SYNC_FILE_RANGE_WRITE);
}

Appender::Appender(const AppendTarget* file, uint64_t start, size_t buffer_size, uint32_t crc)
    : file_(file),
      start_(start),
      flushed_(start),
      flushed_crc_(crc),
      buf_(std::make_unique_for_overwrite<uint8_t[]>(buffer_size)),
      size_(buffer_size) {}

uint32_t Appender::crc() const {
  return crc32::Combine(flushed_crc_, crc32::Value(buf_.get(), used_), used_);
}

Status Appender::Flush() {
  if (used_ == 0) return OkStatus();
  if (Status s = file_->Put(buf_.get(), used_, flushed_, true); !s.ok()) return s;
  flushed_crc_ = crc32::Extend(flushed_crc_, buf_.get(), used_);
  flushed_ += used_;
  used_ = 0;
  return OkStatus();
}

void Appender::AppendBuffered(const uint8_t* data, size_t n) {
  if (n) std::memcpy(buf_.get() + used_, data, n);
  used_ += n;
}

Status Appender::Append(const uint8_t* data, size_t n) {
  if (Fits(n)) {
    AppendBuffered(data, n);
    return OkStatus();
  }
  if (Status s = Flush(); !s.ok()) return s;
  if (n < size_) {
    AppendBuffered(data, n);
    return OkStatus();
  }
  if (Status s = file_->Put(data, n, flushed_, false); !s.ok()) return s;
  flushed_crc_ = crc32::Combine(flushed_crc_, crc32::Value(data, n), n);
  flushed_ += n;
  return OkStatus();
}

Status Appender::AppendPair(const uint8_t* a, size_t na, const uint8_t* b, size_t nb,
                            const uint32_t* crc_b) {
  if (Fits(na + nb)) {
    AppendBuffered(a, na);
    AppendBuffered(b, nb);
    return OkStatus();
  }
  if (Status s = Flush(); !s.ok()) return s;
  if (na + nb < size_) {
    AppendBuffered(a, na);
    AppendBuffered(b, nb);
    return OkStatus();
  }
  // Written in place; nothing counts until both pieces are in the file.
  if (Status s = file_->Put(a, na, flushed_, false); !s.ok()) return s;
  if (Status s = file_->Put(b, nb, flushed_ + na, false); !s.ok()) return s;
  flushed_crc_ = crc32::Combine(crc32::Extend(flushed_crc_, a, na),
                                crc_b != nullptr ? *crc_b : crc32::Value(b, nb), nb);
  flushed_ += na + nb;
  return OkStatus();
}

Status CopyRange(int from_fd, uint64_t from_pos, int to_fd, uint64_t to_pos, uint64_t n,
                 std::string_view path) {
  bool kernel = true;
  std::vector<uint8_t> buf;
  while (n > 0) {
    if (kernel) {
      loff_t in = static_cast<loff_t>(from_pos), out = static_cast<loff_t>(to_pos);
      const ssize_t c =
          ::copy_file_range(from_fd, &in, to_fd, &out, std::min<uint64_t>(n, uint64_t{1} << 30), 0);
      if (c > 0) {
        from_pos += static_cast<uint64_t>(c);
        to_pos += static_cast<uint64_t>(c);
        n -= static_cast<uint64_t>(c);
        continue;
      }
      if (c < 0 && errno == EINTR) continue;
      // Refused (another file system, no support, a filter in the way) or
      // nothing copied: go on by reading and writing.
      if (c < 0 && errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL &&
          errno != EPERM && errno != EBADF && errno != ETXTBSY) {
        return IoError("copy: ", errno, path);
      }
      kernel = false;
      buf.resize(size_t{1} << 20);
    }
    const size_t want = static_cast<size_t>(std::min<uint64_t>(n, buf.size()));
    const ssize_t r = ::pread(from_fd, buf.data(), want, static_cast<off_t>(from_pos));
    if (r < 0) {
      if (errno == EINTR) continue;
      return IoError("copy: ", errno, path);
    }
    if (r == 0) return IoError("copy: ", EIO, path);
    size_t done = 0;
    while (done < static_cast<size_t>(r)) {
      const ssize_t w = ::pwrite(to_fd, buf.data() + done, static_cast<size_t>(r) - done,
                                 static_cast<off_t>(to_pos + done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return IoError("copy: ", errno, path);
      }
      if (w == 0) return IoError("copy: ", EIO, path);
      done += static_cast<size_t>(w);
    }
    from_pos += done;
    to_pos += done;
    n -= done;
  }
  return OkStatus();
}

Status SpillReader::Need(size_t n) {
  if (avail() >= n) return OkStatus();
  std::memmove(buf_.get(), buf_.get() + cur_, avail());
  filled_ -= cur_;
  cur_ = 0;
  const size_t want = static_cast<size_t>(std::min<uint64_t>(size_ - filled_, end_ - pos_));
  if (want == 0) return OkStatus();
  if (Status s = file_->ReadAt(buf_.get() + filled_, want, pos_); !s.ok()) return s;
  filled_ += want;
  pos_ += want;
  return OkStatus();
}

}  // namespace tarndb

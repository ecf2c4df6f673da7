// UniqueFd: owns one file descriptor and closes it when it goes away.
#ifndef TARNDB_CORE_COMMON_UNIQUE_FD_H_
#define TARNDB_CORE_COMMON_UNIQUE_FD_H_

#include <unistd.h>

#include <utility>

namespace tarndb {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Close now. The field is cleared first so a failing close is never
  // retried on a descriptor number that another thread may have reused.
  // Returns close's result (0 when nothing was open).
  int reset() noexcept {
    const int fd = std::exchange(fd_, -1);
    return fd >= 0 ? ::close(fd) : 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace tarndb

#endif  // TARNDB_CORE_COMMON_UNIQUE_FD_H_

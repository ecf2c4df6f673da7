// An LD_PRELOAD library that makes writes to regular files short, as the
// kernel may: write, pwrite, pwrite64, writev and pwritev on a regular file
// move at most SHORT_WRITE_MAX bytes (1 to that many, drawn at random when
// SHORT_WRITE_RANDOM is 1), and one call in SHORT_WRITE_EINTR (0: never)
// fails with EINTR before moving anything. Pipes, terminals and sockets are
// left alone. short_write_counts() tells how often each thing happened, so a
// test can tell that the library was in effect.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

typedef ssize_t (*write_fn)(int, const void*, size_t);
typedef ssize_t (*pwrite_fn)(int, const void*, size_t, off_t);

static size_t max_bytes = 3;
static int random_counts = 1;
static unsigned eintr_every = 0;
static uint64_t rng_state = 0x9E3779B97F4A7C15u;
static long shortened, interrupted, passed;

__attribute__((constructor)) static void configure(void) {
  const char* v;
  if ((v = getenv("SHORT_WRITE_MAX")) != NULL && atol(v) > 0) max_bytes = (size_t)atol(v);
  if ((v = getenv("SHORT_WRITE_RANDOM")) != NULL) random_counts = atoi(v);
  if ((v = getenv("SHORT_WRITE_EINTR")) != NULL) eintr_every = (unsigned)atoi(v);
  if ((v = getenv("SHORT_WRITE_SEED")) != NULL) rng_state ^= strtoull(v, NULL, 10);
}

static uint64_t next_random(void) {  // xorshift64*
  rng_state ^= rng_state >> 12;
  rng_state ^= rng_state << 25;
  rng_state ^= rng_state >> 27;
  return rng_state * 0x2545F4914F6CDD1Du;
}

static int is_regular(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// How many of n bytes this call may move: 0 with errno EINTR for an
// interrupted call, n for a descriptor that is not a regular file.
static size_t allowance(int fd, size_t n) {
  if (n == 0 || !is_regular(fd)) {
    __atomic_add_fetch(&passed, 1, __ATOMIC_RELAXED);
    return n;
  }
  if (eintr_every && next_random() % eintr_every == 0) {
    __atomic_add_fetch(&interrupted, 1, __ATOMIC_RELAXED);
    errno = EINTR;
    return 0;
  }
  size_t k = random_counts ? 1 + next_random() % max_bytes : max_bytes;
  if (k < n) {
    __atomic_add_fetch(&shortened, 1, __ATOMIC_RELAXED);
    return k;
  }
  return n;
}

static write_fn real_write(void) {
  static write_fn f;
  if (!f) f = (write_fn)dlsym(RTLD_NEXT, "write");
  return f;
}

static pwrite_fn real_pwrite(void) {
  static pwrite_fn f;
  if (!f) f = (pwrite_fn)dlsym(RTLD_NEXT, "pwrite");
  return f;
}

ssize_t write(int fd, const void* buf, size_t n) {
  const size_t k = allowance(fd, n);
  if (n && !k) return -1;
  return real_write()(fd, buf, k);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t pos) {
  const size_t k = allowance(fd, n);
  if (n && !k) return -1;
  return real_pwrite()(fd, buf, k, pos);
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off_t pos) { return pwrite(fd, buf, n, pos); }

typedef ssize_t (*writev_fn)(int, const struct iovec*, int);
typedef ssize_t (*pwritev_fn)(int, const struct iovec*, int, off_t);

// The vector forms move a prefix of the first non-empty buffer.
static ssize_t vector_write(int fd, const struct iovec* iov, int count, off_t pos, int at_pos) {
  size_t total = 0;
  const struct iovec* first = NULL;
  for (int i = 0; i < count; ++i) {
    if (!first && iov[i].iov_len) first = &iov[i];
    total += iov[i].iov_len;
  }
  if (!first || !is_regular(fd)) {
    __atomic_add_fetch(&passed, 1, __ATOMIC_RELAXED);
    if (at_pos) return ((pwritev_fn)dlsym(RTLD_NEXT, "pwritev"))(fd, iov, count, pos);
    return ((writev_fn)dlsym(RTLD_NEXT, "writev"))(fd, iov, count);
  }
  size_t k = allowance(fd, total);
  if (!k) return -1;
  if (k > first->iov_len) k = first->iov_len;
  return at_pos ? real_pwrite()(fd, first->iov_base, k, pos) : real_write()(fd, first->iov_base, k);
}

ssize_t writev(int fd, const struct iovec* iov, int count) { return vector_write(fd, iov, count, 0, 0); }

ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t pos) {
  return vector_write(fd, iov, count, pos, 1);
}

ssize_t pwritev64(int fd, const struct iovec* iov, int count, off_t pos) {
  return vector_write(fd, iov, count, pos, 1);
}

void short_write_counts(long out[3]) {
  out[0] = shortened;
  out[1] = interrupted;
  out[2] = passed;
}

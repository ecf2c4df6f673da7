// An LD_PRELOAD library that makes writes to regular files short, as the
// kernel may: write, pwrite and pwrite64 on a regular file move at most
// SHORT_WRITE_MAX bytes (1 to that many, drawn at random when
// SHORT_WRITE_RANDOM is 1), and one call in SHORT_WRITE_EINTR (0: never)
// fails with EINTR before moving anything. Pipes, terminals and sockets are
// left alone. short_write_counts() tells how often each thing happened, so a
// test can tell that the library was in effect (the writer uses no other
// write calls; should it start to, the counts show it).
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

typedef ssize_t (*write_fn)(int, const void*, size_t);
typedef ssize_t (*pwrite_fn)(int, const void*, size_t, off_t);

static size_t max_bytes = 3;
static int random_counts = 1;
static unsigned eintr_every = 0;
static uint64_t rng_state = 0x9E3779B97F4A7C15u;
static long shortened, interrupted;

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
  if (n == 0 || !is_regular(fd)) return n;
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

void short_write_counts(long out[2]) {
  out[0] = shortened;
  out[1] = interrupted;
}

/* Counts a program's heap calls, for the benchmark's "no heap after
 * start-up" figure. Loaded with LD_PRELOAD into a dynamically linked
 * program; the counts live in a small file that the bench maps too:
 *
 *   TRM_ALLOC_COUNT_FILE=<path>   six 64-bit counters, native order:
 *                                 malloc, calloc, realloc, free,
 *                                 aligned (memalign family), total
 *
 * Every call is passed on to the C library's own allocator (glibc's
 * __libc_* entry points, so no dlsym is needed while the loader itself
 * allocates). Calls made before the file is mapped are counted too: they
 * land in a static block that is copied into the file once it is open.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void __libc_free(void *);
extern void *__libc_memalign(size_t, size_t);

enum { C_MALLOC, C_CALLOC, C_REALLOC, C_FREE, C_ALIGNED, C_TOTAL, C_COUNT };

static uint64_t early[C_COUNT];
static uint64_t *volatile counts = early;

static void count(int which) {
  __atomic_add_fetch(&counts[which], 1, __ATOMIC_RELAXED);
  __atomic_add_fetch(&counts[C_TOTAL], 1, __ATOMIC_RELAXED);
}

__attribute__((constructor)) static void map_counters(void) {
  const char *path = getenv("TRM_ALLOC_COUNT_FILE");
  if (path == NULL) return;
  const int saved = errno;
  const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0 && ftruncate(fd, sizeof early) == 0) {
    void *m = mmap(NULL, sizeof early, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m != MAP_FAILED) {
      memcpy(m, early, sizeof early);
      counts = (uint64_t *)m;
    }
  }
  if (fd >= 0) close(fd);
  errno = saved;
}

void *malloc(size_t n) {
  count(C_MALLOC);
  return __libc_malloc(n);
}

void *calloc(size_t k, size_t n) {
  count(C_CALLOC);
  return __libc_calloc(k, n);
}

void *realloc(void *p, size_t n) {
  count(C_REALLOC);
  return __libc_realloc(p, n);
}

void free(void *p) {
  if (p == NULL) return;
  count(C_FREE);
  __libc_free(p);
}

void *memalign(size_t align, size_t n) {
  count(C_ALIGNED);
  return __libc_memalign(align, n);
}

void *aligned_alloc(size_t align, size_t n) { return memalign(align, n); }

int posix_memalign(void **out, size_t align, size_t n) {
  void *p = memalign(align, n);
  if (p == NULL) return ENOMEM;
  *out = p;
  return 0;
}

void *valloc(size_t n) { return memalign((size_t)sysconf(_SC_PAGESIZE), n); }

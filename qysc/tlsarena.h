// The TLS library's memory: every calloc/free the library makes while the
// daemon is inside its TLS code is served from one static arena, so what a
// connection takes is bounded (a request past the arena fails like an
// exhausted heap and the handshake with it) and all of it comes back when
// the link drops. The build links the library with calloc and free wrapped
// (-Wl,--wrap); outside an ArenaScope they go to the C library as before.
#ifndef QYSC_TLSARENA_H
#define QYSC_TLSARENA_H

#include <stddef.h>
#include <stdint.h>

#define TLS_ARENA_SIZE (64 * 1024)

struct TlsArenaStats {
  uint32_t inUse;      // bytes handed out now, headers included
  uint32_t blocks;     // allocations not yet freed
  uint32_t highWater;  // the furthest byte of the arena ever used (pages touched)
  uint32_t peakInUse;  // the most in use at once
  uint32_t allocs;     // allocations since start
  uint32_t failures;   // requests the arena could not serve
};

// While one lives, calloc and free are the arena's (nesting is fine).
class ArenaScope {
 public:
  ArenaScope();
  ~ArenaScope();
  ArenaScope(const ArenaScope &) = delete;
  ArenaScope &operator=(const ArenaScope &) = delete;
};

void *tls_arena_calloc(size_t n, size_t size);
void tls_arena_free(void *p);
const TlsArenaStats *tls_arena_stats(void);
// Forgets the peak figures (the high water stays: those pages are resident).
void tls_arena_reset_peak(void);

#endif

// A first-fit allocator over one static buffer. Blocks lie back to back,
// each behind an 8-byte header (its size with the header, and whether it is
// free); free neighbours are merged while a request scans for room, and a
// free block at the end gives its room back to the untouched top. The TLS
// library allocates a few hundred blocks a handshake, so the scan is cheap
// beside the arithmetic it serves.
#include "tlsarena.h"

#include <stdlib.h>
#include <string.h>

extern "C" {
void *__real_calloc(size_t n, size_t size);
void __real_free(void *p);
void *__wrap_calloc(size_t n, size_t size);
void __wrap_free(void *p);
}

namespace {

struct Header {
  uint32_t size;  // with the header, a multiple of 8
  uint32_t used;  // kUsed or 0
};

constexpr uint32_t kUsed = 0x55534544u;
constexpr uint32_t kAlign = 8;

alignas(8) unsigned char g_arena[TLS_ARENA_SIZE];
uint32_t g_top = 0;  // blocks end here; above is untouched
int g_depth = 0;
TlsArenaStats g_stats;

Header *at(uint32_t off) { return reinterpret_cast<Header *>(g_arena + off); }

bool mine(const void *p) {
  const unsigned char *c = static_cast<const unsigned char *>(p);
  return c >= g_arena && c < g_arena + sizeof g_arena;
}

// Merges the free blocks that follow the free block at off.
void merge_after(uint32_t off) {
  Header *h = at(off);
  uint32_t next = off + h->size;
  while (next < g_top && at(next)->used == 0) {
    h->size += at(next)->size;
    next = off + h->size;
  }
  if (next == g_top) g_top = off;  // the free end goes back to the top
}

void split(uint32_t off, uint32_t need) {
  Header *h = at(off);
  if (h->size - need < sizeof(Header) + kAlign) return;
  Header *rest = at(off + need);
  rest->size = h->size - need;
  rest->used = 0;
  h->size = need;
}

// A free block of at least need bytes: the first that fits, or the top.
int64_t find(uint32_t need) {
  for (uint32_t off = 0; off < g_top; off += at(off)->size) {
    if (at(off)->used != 0) continue;
    merge_after(off);
    if (off >= g_top) break;
    if (at(off)->size >= need) return off;
  }
  if (sizeof g_arena - g_top < need) return -1;
  const uint32_t off = g_top;
  at(off)->size = need;
  g_top += need;
  if (g_top > g_stats.highWater) g_stats.highWater = g_top;
  return off;
}

}  // namespace

ArenaScope::ArenaScope() { g_depth++; }
ArenaScope::~ArenaScope() { g_depth--; }

void *tls_arena_calloc(size_t n, size_t size) {
  if (n != 0 && size > (sizeof g_arena) / n) return nullptr;
  const uint32_t want = static_cast<uint32_t>(n * size);
  const uint32_t need = (want + sizeof(Header) + kAlign - 1) / kAlign * kAlign;
  const int64_t off = find(need);
  if (off < 0) {
    g_stats.failures++;
    return nullptr;
  }
  split(static_cast<uint32_t>(off), need);
  Header *h = at(static_cast<uint32_t>(off));
  h->used = kUsed;
  g_stats.inUse += h->size;
  g_stats.blocks++;
  g_stats.allocs++;
  if (g_stats.inUse > g_stats.peakInUse) g_stats.peakInUse = g_stats.inUse;
  void *p = h + 1;
  memset(p, 0, h->size - sizeof(Header));
  return p;
}

void tls_arena_free(void *p) {
  if (p == nullptr || !mine(p)) return;
  Header *h = static_cast<Header *>(p) - 1;
  if (h->used != kUsed) abort();  // a double free or a stray pointer: never go on
  h->used = 0;
  memset(p, 0, h->size - sizeof(Header));  // nothing a connection held stays behind
  g_stats.inUse -= h->size;
  g_stats.blocks--;
  merge_after(static_cast<uint32_t>(reinterpret_cast<unsigned char *>(h) - g_arena));
}

const TlsArenaStats *tls_arena_stats(void) { return &g_stats; }

void tls_arena_reset_peak(void) {
  g_stats.peakInUse = g_stats.inUse;
  g_stats.allocs = 0;
  g_stats.failures = 0;
}

extern "C" void *__wrap_calloc(size_t n, size_t size) {
  return g_depth > 0 ? tls_arena_calloc(n, size) : __real_calloc(n, size);
}

extern "C" void __wrap_free(void *p) {
  if (mine(p)) {
    tls_arena_free(p);
  } else {
    __real_free(p);
  }
}

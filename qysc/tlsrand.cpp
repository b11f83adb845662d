// Kernel seed without blocking, then CTR_DRBG (AES-256).
#include "tlsrand.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sandbox.h"
#include "settings.h"
#include "tlsarena.h"

namespace {

constexpr unsigned kGrndNonblock = 0x0001;
constexpr char kPersonal[] = "qysc gateway";

mbedtls_ctr_drbg_context g_drbg;
bool g_seeded = false;
int (*g_source)(unsigned char *, size_t) = nullptr;

// Old kernels: bytes from /dev/urandom once /dev/random shows its pool has entropy.
int from_devices(unsigned char *out, size_t len) {
  char mapped[CONFIG_PATH_MAX];
  const char *rnd = sandbox_path("/dev/random", mapped, sizeof mapped);
  const int r = rnd != nullptr ? open(rnd, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
  if (r < 0) return -1;
  struct pollfd p = {r, POLLIN, 0};
  const bool ready = poll(&p, 1, 0) == 1;
  close(r);
  const char *urnd = sandbox_path("/dev/urandom", mapped, sizeof mapped);
  const int u = ready && urnd != nullptr ? open(urnd, O_RDONLY | O_CLOEXEC) : -1;
  if (u < 0) return -1;
  const ssize_t n = read(u, out, len);
  close(u);
  return n == static_cast<ssize_t>(len) ? 0 : -1;
}

int from_kernel(unsigned char *out, size_t len) {
#ifdef SYS_getrandom
  const long n = syscall(SYS_getrandom, out, len, kGrndNonblock);
  if (n == static_cast<long>(len)) return 0;
  if (n >= 0 || errno != ENOSYS) return -1;  // EAGAIN: the pool is not ready yet
#endif
  return from_devices(out, len);
}

int entropy(void *, unsigned char *out, size_t len) {
  const int rc = g_source != nullptr ? g_source(out, len) : from_kernel(out, len);
  return rc == 0 ? 0 : MBEDTLS_ERR_CTR_DRBG_ENTROPY_SOURCE_FAILED;
}

}  // namespace

bool tls_rand_ready(void) {
  if (g_seeded) return true;
  ArenaScope arena;
  unsigned char probe[1];
  // Ask first: a seed attempt on an unready pool would leave the generator half set.
  if ((g_source != nullptr ? g_source(probe, 1) : from_kernel(probe, 1)) != 0) return false;
  mbedtls_ctr_drbg_free(&g_drbg);
  mbedtls_ctr_drbg_init(&g_drbg);
  g_seeded = mbedtls_ctr_drbg_seed(&g_drbg, entropy, nullptr,
                                   reinterpret_cast<const unsigned char *>(kPersonal),
                                   sizeof kPersonal - 1) == 0;
  return g_seeded;
}

mbedtls_ctr_drbg_context *tls_rand(void) { return &g_drbg; }

int tls_rand_fill(void *ctx, unsigned char *out, size_t len) {
  ArenaScope arena;
  return mbedtls_ctr_drbg_random(ctx, out, len);
}

void tls_rand_source_install(int (*source)(unsigned char *out, size_t len)) {
  g_source = source;
  g_seeded = false;
}

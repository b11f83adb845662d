// The random source of the secure link: a CTR_DRBG seeded from the kernel.
// The seed is taken without ever blocking the loop: getrandom() with
// GRND_NONBLOCK fails with EAGAIN while the kernel's pool is not yet
// initialised (early boot), and the caller simply tries again on a later
// pass, so the watchdog and the LED go on. A kernel older than 3.17 has no
// getrandom(): then /dev/random is polled for readability (its pool has
// entropy) and the seed read from /dev/urandom.
#ifndef QYSC_TLSRAND_H
#define QYSC_TLSRAND_H

#include <stddef.h>

#include <mbedtls/ctr_drbg.h>

// Seeds the generator once; true when it is seeded (now or before).
bool tls_rand_ready(void);
// The generator, for the library's f_rng arguments (after tls_rand_ready).
mbedtls_ctr_drbg_context *tls_rand(void);
int tls_rand_fill(void *ctx, unsigned char *out, size_t len);

// For tests: the kernel's answer replaced (null: the kernel again). The
// source gives len bytes and 0, or -1 when it has none yet.
void tls_rand_source_install(int (*source)(unsigned char *out, size_t len));

#endif

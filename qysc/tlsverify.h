// How the hub is checked. tls.ini names a CA (ca=), a pin (pin=: the
// SHA-256 of the hub's SubjectPublicKeyInfo), or both, and every one named
// must hold: with ca= the hub's certificate must chain to it and carry the
// server name; with pin= its key must be the pinned one. With only a pin,
// the pin alone is the hub's identity (no chain, name or dates).
//
// Dates: the board has no reliable clock (no battery; it is set from the
// network some time after boot, if at all). While the clock reads earlier
// than the time this firmware was built, it is plainly unset and validity
// dates are not checked; from then on they are, as usual.
#ifndef QYSC_TLSVERIFY_H
#define QYSC_TLSVERIFY_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <mbedtls/x509_crt.h>

#include "tlsconf.h"

enum class TlsRefusal { kNone, kPin, kCert };

// The state of one check, the verify callback's context.
struct TlsCheck {
  const TlsConf *conf;
  time_t now;
  TlsRefusal why;
};

// mbedtls_ssl_conf_verify's callback.
int tls_verify(void *ctx, mbedtls_x509_crt *crt, int depth, uint32_t *flags);
// Whether validity dates count at the board's time now.
bool tls_dates_checked(time_t now);
// The firmware's build time (seconds since 1970).
time_t tls_build_time(void);

// The CA certificates of the PEM file at path into chain (arena); 0 when at
// least one was read, else -1. An empty path reads nothing and gives 0.
int tls_ca_load(const char *path, mbedtls_x509_crt *chain);
// What is wrong with a verify result, in a few words.
void tls_verify_text(uint32_t flags, char *out, size_t size);

#endif

// The board build's console: no TLS library there, so no TLS listener.
#include <stdio.h>

#include "out.h"
#include "tls.h"

namespace console {

bool tls_setup(const char *cert, const char *, const char *) {
  if (!cert) return true;
  out_line("error: --tls-cert: this build of trm-console has no TLS (use a host build)");
  return false;
}

bool tls_built() { return false; }
bool tls_enabled() { return false; }
void tls_teardown() {}
void tls_own_pin(char *hex, size_t cap) { snprintf(hex, cap, "-"); }
TlsConn *tls_new(int) { return nullptr; }
void tls_free(TlsConn *) {}
int tls_step(TlsConn *, char *, size_t, char *, size_t) { return -1; }
ssize_t tls_read(TlsConn *, uint8_t *, size_t, const char **why) { return *why = "no TLS", -2; }
ssize_t tls_write(TlsConn *, const uint8_t *, size_t, const char **why) {
  return *why = "no TLS", -2;
}
bool tls_pending(const TlsConn *) { return false; }
bool tls_wants_write(const TlsConn *) { return false; }

}  // namespace console

// TLS on the gateway listener (--tls-cert, --tls-key, --tls-ca): the
// link's server policy (tlskit.h: TLS 1.2 and up, ECDHE-ECDSA with AEAD
// ciphers), a client certificate required. With a CA the client's chain
// must verify against it; without one any client key is taken and its
// fingerprint shown. Every connection's handshake runs non-blocking on the
// console's poll loop. The board build has no TLS (tls_none.cpp): the
// options are refused there.
#ifndef CONSOLE_TLS_H
#define CONSOLE_TLS_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

namespace console {

constexpr uint32_t kHandshakeMs = 10000;  // a handshake not done by then is closed

struct TlsConn;

// Reads the files into the listener's context (nothing when cert is null).
// false after an "error: OPTION FILE: why" line.
bool tls_setup(const char *cert, const char *key, const char *ca);
bool tls_built();  // false in the board build: no TLS options there
bool tls_enabled();
void tls_teardown();
// The fingerprint of the console's own key (a gateway's pin=), 64 hex digits.
void tls_own_pin(char *hex, size_t cap);

// A connection's TLS state on the accepted socket fd; null without memory.
TlsConn *tls_new(int fd);
void tls_free(TlsConn *c);  // close_notify when the link was up

// One step of the handshake: 1 done (the client's key in key_hex, 64 hex
// digits), 0 again, -1 failed with the reason in why (never key material).
int tls_step(TlsConn *c, char *why, size_t cap, char *key_hex, size_t key_cap);

// As recv and send: bytes (> 0), 0 the peer closed, -1 again, -2 failed
// (why set).
ssize_t tls_read(TlsConn *c, uint8_t *buf, size_t cap, const char **why);
ssize_t tls_write(TlsConn *c, const uint8_t *p, size_t n, const char **why);

// Decrypted bytes wait inside the TLS state (poll shows nothing for them).
bool tls_pending(const TlsConn *c);
// The last step or I/O waits for the socket to take bytes.
bool tls_wants_write(const TlsConn *c);

}  // namespace console

#endif

// The last session with the hub, kept for the next connect: the ticket the
// hub issued (RFC 5077; the hub keeps no state per gateway) and the session
// ID, so a hub without tickets can resume by ID. Kept serialised in static
// memory, for one server (host and port) at a time: nothing of it stays in
// the arena between connections, and it is lost when the daemon restarts
// (the first handshake after a start is always a full one).
#ifndef QYSC_TLSSESSION_H
#define QYSC_TLSSESSION_H

#include <mbedtls/ssl.h>

// After a handshake: keeps its session for host:port.
void tls_session_keep(mbedtls_ssl_context *ssl, const char *host, int port);
// Before a handshake: offers the kept session if it is for host:port.
void tls_session_offer(mbedtls_ssl_context *ssl, const char *host, int port);
void tls_session_forget(void);

#endif

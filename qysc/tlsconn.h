// The one TLS connection's state, shared by the handshake (tlslink.cpp)
// and the record I/O (tlsio.cpp). The structures are static; what the
// library hangs off them is in the arena from tls_begin to tls_end.
#ifndef QYSC_TLSCONN_H
#define QYSC_TLSCONN_H

#include <stdint.h>

#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include "tlslink.h"
#include "tlsverify.h"

struct TlsConn {
  int fd;
  bool open;        // set up (tls_begin) and not yet ended
  bool done;        // the handshake is over: records carry the link's bytes
  bool torn;        // a record was left half sent: no more writes
  bool full;        // the handshake went through the hub's certificate
  bool sent;        // bytes sent since the last receive (round trips)
  uint32_t start;   // tick the handshake began
  short wants;      // what the handshake waits for on the socket (POLLIN, POLLOUT)
  mbedtls_ssl_context ssl;
  mbedtls_ssl_config conf;
  mbedtls_x509_crt ca;
  mbedtls_x509_crt cert;
  mbedtls_pk_context key;
  TlsCheck check;
};

extern TlsConn tlsConn;
extern TlsStats tlsStats;

// The bio callbacks over the non-blocking socket (tlsio.cpp).
int tls_bio_send(void *ctx, const unsigned char *buf, size_t len);
int tls_bio_recv(void *ctx, unsigned char *buf, size_t len);

#endif

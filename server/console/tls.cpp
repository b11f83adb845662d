// A gateway connection's TLS: the first byte must begin a handshake
// record, then the handshake step by step on the poll loop, then records
// read and written. Failures are named from OpenSSL's reason, never with
// key material.
#include <errno.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include "tls.h"
#include "tls_state.h"
#include "tlskit.h"

namespace console {
namespace {

constexpr uint8_t kHandshakeRecord = 0x16;

const char *reason() {
  const char *r = ERR_reason_error_string(ERR_peek_last_error());
  return r ? r : "unknown error";
}

// 1 a handshake record begins, 0 nothing yet, -1 anything else.
int first_byte(TlsConn *c, char *why, size_t cap) {
  uint8_t b = 0;
  ssize_t n = recv(c->fd, &b, 1, MSG_PEEK);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  if (n <= 0) {
    snprintf(why, cap, "%s before its TLS handshake", n == 0 ? "the peer closed" : strerror(errno));
    return -1;
  }
  if (b != kHandshakeRecord) return snprintf(why, cap, "plain bytes on the TLS port"), -1;
  c->started = true;
  return 1;
}

void handshake_failed(TlsConn *c, int err, char *why, size_t cap) {
  unsigned long e = ERR_peek_last_error();
  int r = ERR_GET_REASON(e);
  if (err == SSL_ERROR_ZERO_RETURN || (err == SSL_ERROR_SYSCALL && e == 0) ||
      r == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
    snprintf(why, cap, "the peer left during the TLS handshake");
  } else if (r == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE) {
    snprintf(why, cap, "TLS: no client certificate");
  } else if (r == SSL_R_CERTIFICATE_VERIFY_FAILED) {
    snprintf(why, cap, "TLS: client certificate not signed by the --tls-ca CA (%s)",
             X509_verify_cert_error_string(SSL_get_verify_result(c->ssl)));
  } else {
    snprintf(why, cap, "TLS handshake failed: %s", reason());
  }
  SSL_set_quiet_shutdown(c->ssl, 1);
  ERR_clear_error();
}

// -1 again, -2 failed, 0 closed (a close_notify or the TCP end alike).
ssize_t io_failed(TlsConn *c, int rc, const char **why) {
  int err = SSL_get_error(c->ssl, rc);
  c->want_write = err == SSL_ERROR_WANT_WRITE;
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return -1;
  SSL_set_quiet_shutdown(c->ssl, 1);
  bool eof = err == SSL_ERROR_ZERO_RETURN || (err == SSL_ERROR_SYSCALL && errno == 0) ||
             ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
  if (eof) return ERR_clear_error(), 0;
  if (err == SSL_ERROR_SYSCALL) {
    snprintf(c->why, sizeof c->why, "%s", strerror(errno));
  } else {
    snprintf(c->why, sizeof c->why, "TLS: %s", reason());
  }
  ERR_clear_error();
  *why = c->why;
  return -2;
}

}  // namespace

TlsConn *tls_new(int fd) {
  SSL *ssl = tlskit::accept_on(g_tls_ctx, fd);
  return ssl ? new TlsConn{ssl, fd, false, false, ""} : nullptr;
}

void tls_free(TlsConn *c) {
  if (!c) return;
  // close_notify, so the gateway may resume the session next time
  if (SSL_is_init_finished(c->ssl)) SSL_shutdown(c->ssl);
  SSL_free(c->ssl);
  ERR_clear_error();
  delete c;
}

int tls_step(TlsConn *c, char *why, size_t cap, char *key_hex, size_t key_cap) {
  if (!c->started) {
    int first = first_byte(c, why, cap);
    if (first <= 0) return first;
  }
  ERR_clear_error();
  int rc = SSL_do_handshake(c->ssl);
  if (rc != 1) {
    int err = SSL_get_error(c->ssl, rc);
    c->want_write = err == SSL_ERROR_WANT_WRITE;
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return 0;
    handshake_failed(c, err, why, cap);
    return -1;
  }
  tlskit::Fingerprint f{};
  if (!tlskit::fingerprint(SSL_get0_peer_certificate(c->ssl), &f)) {
    snprintf(why, cap, "TLS: no client certificate");
    return -1;
  }
  snprintf(key_hex, key_cap, "%s", tlskit::fp_hex(f).c_str());
  return 1;
}

ssize_t tls_read(TlsConn *c, uint8_t *buf, size_t cap, const char **why) {
  ERR_clear_error();
  errno = 0;
  int n = SSL_read(c->ssl, buf, static_cast<int>(cap));
  return n > 0 ? (c->want_write = false, n) : io_failed(c, n, why);
}

ssize_t tls_write(TlsConn *c, const uint8_t *p, size_t n, const char **why) {
  ERR_clear_error();
  errno = 0;
  int rc = SSL_write(c->ssl, p, static_cast<int>(n));
  return rc > 0 ? (c->want_write = false, rc) : io_failed(c, rc, why);
}

bool tls_pending(const TlsConn *c) { return SSL_pending(c->ssl) > 0; }

bool tls_wants_write(const TlsConn *c) { return c->want_write; }

}  // namespace console

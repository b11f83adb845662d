// A connection on the TLS port: its handshake (bounded in time, each way
// of failing refused and counted), then its records read and written for
// the packets, as the plain port's bytes are (link.h).
#include <errno.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>

#include "core/log.h"
#include "core/loop.h"
#include "gateways/ack.h"
#include "gateways/identity.h"
#include "gateways/session.h"
#include "gateways/tls.h"

namespace hub {
namespace {

constexpr uint8_t kHandshakeRecord = 0x16, kTlsMajor = 0x03;

std::string reason_text(unsigned long e) {
  const char *r = e ? ERR_reason_error_string(e) : nullptr;
  return r ? r : "unknown error";
}

// Why a handshake failed, in the refusal's words.
void handshake_failed(Hub &h, Session &s, int err) {
  std::string text;
  const TlsRefusal why = tls_failure(s.tls->ssl, err, "the factory CA", &text);
  gw_refuse(h, s, why, text);
}

// The client has already shut its side: under a wave of connects, one that
// gave up waiting leaves its ClientHello and then its FIN queued, and
// answering it would spend a full handshake's key exchange and signature
// on nobody while the others wait longer still.
bool peer_gone(int fd) {
  pollfd p = {fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// The first bytes must begin a handshake record; then the TLS object is made.
bool begin(Hub &h, Session &s) {
  uint8_t b[2];
  ssize_t n = recv(s.fd, b, sizeof b, MSG_PEEK);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return false;
  if (n <= 0) return gw_end(h, s, n == 0 ? "peer closed" : strerror(errno)), false;
  if (b[0] != kHandshakeRecord || (n > 1 && b[1] != kTlsMajor)) {
    return gw_refuse(h, s, TlsRefusal::kPlainOnTls, "plain bytes on the TLS port"), false;
  }
  if (peer_gone(s.fd)) {
    return gw_refuse(h, s, TlsRefusal::kHandshakeCut, "the peer left before its TLS handshake was answered"), false;
  }
  SSL *ssl = tlskit::accept_on(h.tls->ctx, s.fd);
  if (!ssl) return gw_end(h, s, "no memory for its TLS state"), false;
  s.tls->ssl = ssl;
  return true;
}

void handshake_done(Hub &h, Session &s) {
  TlsLink &t = *s.tls;
  bool resumed = SSL_session_reused(t.ssl) == 1;
  (resumed ? h.m.tls_resumed : h.m.tls_full)++;
  if (!tlskit::fingerprint(SSL_get0_peer_certificate(t.ssl), &t.key)) {
    return gw_refuse(h, s, TlsRefusal::kNoCert, "no client certificate");
  }
  t.factory = h.tls->has_ca && SSL_get_verify_result(t.ssl) == X509_V_OK;
  if (h.tls->ca_only && !t.factory) {
    return gw_refuse(h, s, TlsRefusal::kWrongCa, "certificate not signed by the factory CA (a resumed session)");
  }
  if (!gw_key_usable(h, s)) return;
  s.ack = ack_chosen(t.ssl);
  s.state = Session::State::kWaitInit;
  LOG_DEBUG("connection from %s: %s %s, %s, key %s", gw_peer_text(s).c_str(), SSL_get_version(t.ssl),
            SSL_get_cipher_name(t.ssl), resumed ? "resumed" : "full handshake", fp_hex(t.key).c_str());
  loop_watch(h, s, EPOLLIN);
  tls_read(h, s);  // what came with the handshake's last flight
}

void handshake(Hub &h, Session &s) {
  TlsLink &t = *s.tls;
  if (!t.ssl && !begin(h, s)) return;
  ERR_clear_error();
  int rc = SSL_do_handshake(t.ssl);
  if (rc == 1) return handshake_done(h, s);
  int err = SSL_get_error(t.ssl, rc);
  if (err == SSL_ERROR_WANT_READ) return loop_watch(h, s, EPOLLIN);
  if (err == SSL_ERROR_WANT_WRITE) return loop_watch(h, s, EPOLLIN | EPOLLOUT);
  handshake_failed(h, s, err);
}

// Decrypted bytes left inside OpenSSL: read in the next pass.
void list_pending(Hub &h, Session &s) {
  if (s.tls->listed) return;
  s.tls->listed = true;
  h.tls->pending.push_back(&s);
}

// A connection that failed sends no close_notify.
void failed(Hub &h, Session &s, int err) {
  SSL_set_quiet_shutdown(s.tls->ssl, 1);
  std::string why = err == SSL_ERROR_ZERO_RETURN             ? "peer closed"
                    : err == SSL_ERROR_SYSCALL && errno != 0 ? strerror(errno)
                    : err == SSL_ERROR_SYSCALL               ? "peer closed"
                                                             : "TLS: " + reason_text(ERR_peek_last_error());
  ERR_clear_error();
  gw_end(h, s, why.c_str());
}

}  // namespace

Session &gw_open_tls(Hub &h, int fd, uint32_t addr, uint16_t port) {
  Session &s = gw_open(h, fd, addr, port);
  s.state = Session::State::kHandshake;
  s.tls = new TlsLink;
  return s;
}

void tls_on_events(Hub &h, Session &s, uint32_t events) {
  if (s.state == Session::State::kHandshake) return handshake(h, s);
  if (s.state != Session::State::kClosed && (events & EPOLLOUT) && s.tls->read_wants_write) {
    tls_read(h, s);
    if (s.state != Session::State::kClosed) loop_watch(h, s, s.want_out ? EPOLLIN | EPOLLOUT : EPOLLIN);
  }
  if (s.state != Session::State::kClosed && (events & EPOLLOUT)) gw_writable(h, s);
  if (s.state != Session::State::kClosed && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) tls_read(h, s);
}

// Records until OpenSSL wants more from the socket, at most kReadChunk
// bytes an event, each handed on as the plain port's bytes are.
void tls_read(Hub &h, Session &s) {
  static uint8_t buf[kReadChunk];
  TlsLink &t = *s.tls;
  t.read_wants_write = false;
  for (size_t total = 0; total < kReadChunk;) {
    ERR_clear_error();
    int n = SSL_read(t.ssl, buf, static_cast<int>(kReadChunk - total));
    if (n > 0) {
      total += static_cast<size_t>(n);
      gw_on_wire(h, s, buf, static_cast<size_t>(n));
      if (s.state == Session::State::kClosed) return;
      continue;
    }
    int err = SSL_get_error(t.ssl, n);
    if (err == SSL_ERROR_WANT_READ) return;
    if (err != SSL_ERROR_WANT_WRITE) return failed(h, s, err);
    t.read_wants_write = true;
    return loop_watch(h, s, EPOLLIN | EPOLLOUT);
  }
  if (SSL_pending(t.ssl) > 0) list_pending(h, s);
}

TlsRefusal tls_failure(SSL *ssl, int err, const char *ca_name, std::string *text) {
  unsigned long e = ERR_peek_last_error();
  int reason = ERR_GET_REASON(e);
  long verify = SSL_get_verify_result(ssl);
  *text = reason_text(e);
  ERR_clear_error();
  if (err == SSL_ERROR_ZERO_RETURN || (err == SSL_ERROR_SYSCALL && e == 0) ||
      reason == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
    *text = "the peer left half-way through the TLS handshake";
    return TlsRefusal::kHandshakeCut;
  }
  if (reason == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE) {
    *text = "no client certificate";
    return TlsRefusal::kNoCert;
  }
  if (reason == SSL_R_CERTIFICATE_VERIFY_FAILED) {
    *text = std::string("certificate not signed by ") + ca_name + " (" + X509_verify_cert_error_string(verify) + ")";
    return TlsRefusal::kWrongCa;
  }
  *text = "TLS handshake failed: " + *text;
  return TlsRefusal::kHandshake;
}

long tls_write(Session &s, const uint8_t *p, size_t n, const char **why) {
  return tls_write_ssl(s.tls->ssl, p, n, why);
}

long tls_write_ssl(SSL *ssl, const uint8_t *p, size_t n, const char **why) {
  size_t done = 0;
  while (done < n) {
    ERR_clear_error();
    int rc = SSL_write(ssl, p + done, static_cast<int>(n - done));
    if (rc > 0) {
      done += static_cast<size_t>(rc);
      continue;
    }
    int err = SSL_get_error(ssl, rc);
    if (err == SSL_ERROR_WANT_WRITE || err == SSL_ERROR_WANT_READ) return done ? static_cast<long>(done) : -1;
    SSL_set_quiet_shutdown(ssl, 1);
    *why = err == SSL_ERROR_SYSCALL && errno != 0 ? strerror(errno) : "TLS write failed";
    ERR_clear_error();
    return -2;
  }
  return static_cast<long>(done);
}

void tls_end(Hub &h, Session &s) {
  TlsLink *t = s.tls;
  if (!t) return;
  if (t->listed && h.tls) {
    std::vector<Session *> &p = h.tls->pending;
    p.erase(std::remove(p.begin(), p.end(), &s), p.end());
  }
  if (t->ssl) {
    // close_notify, so the gateway keeps its session for the next connection;
    // nothing to one held (it must not learn of its end before the close)
    if (SSL_is_init_finished(t->ssl) && !s.hold_ms) SSL_shutdown(t->ssl);
    SSL_free(t->ssl);
    ERR_clear_error();
  }
  delete t;
  s.tls = nullptr;
}

bool tls_pump(Hub &h) {
  if (!h.tls || h.tls->pending.empty()) return false;
  std::vector<Session *> now;
  now.swap(h.tls->pending);
  for (Session *s : now) s->tls->listed = false;
  // A session ended by another's bytes (replaced) stays until the pass ends.
  for (Session *s : now) {
    if (s->state != Session::State::kClosed && s->tls) tls_read(h, *s);
  }
  return !h.tls->pending.empty();
}

bool tls_peer_names(const Session &s, const std::string &id) {
  return s.tls && s.tls->ssl && tls_names(SSL_get0_peer_certificate(s.tls->ssl), id);
}

}  // namespace hub

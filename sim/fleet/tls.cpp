// The simulated gateways' TLS: the client context (the daemon's protocol,
// suites, curve and hashes), the hub's key checked against the pin and/or
// its certificate against a CA, a session kept per gateway from the ticket
// the hub gives, and each link's TLS object over its non-blocking socket.
#include "tls.h"

#include <errno.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fleet.h"

namespace fleet {
namespace {

FleetTls &of(SSL *ssl) { return *static_cast<FleetTls *>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl))); }
uint32_t index_of(SSL *ssl) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(SSL_get_app_data(ssl))); }

bool pin_matches(const FleetTls &t, X509 *cert) {
  tlskit::Fingerprint f{};
  return tlskit::fingerprint(cert, &f) && f == t.pin;
}

// The hub's certificate: its key's pin when given (the chain then need not
// verify without a CA), the chain and the address when a CA is given.
int verify_hub(int ok, X509_STORE_CTX *x) {
  SSL *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(x, SSL_get_ex_data_X509_STORE_CTX_idx()));
  const FleetTls &t = of(ssl);
  if (!ok && t.has_ca) return 0;
  if (!t.has_pin || X509_STORE_CTX_get_error_depth(x) != 0) return 1;
  if (pin_matches(t, X509_STORE_CTX_get_current_cert(x))) return 1;
  X509_STORE_CTX_set_error(x, X509_V_ERR_APPLICATION_VERIFICATION);
  return 0;
}

// Why a handshake failed, for the first failure's line.
const char *failure_text(SSL *ssl) {
  const long v = SSL_get_verify_result(ssl);
  if (v == X509_V_ERR_APPLICATION_VERIFICATION) return "the hub's key is not the one pinned (--tls-pin)";
  if (v != X509_V_OK) return X509_verify_cert_error_string(v);
  const char *r = ERR_reason_error_string(ERR_peek_last_error());
  return r != nullptr ? r : "the connection ended";
}

// A new session (a ticket) for a gateway: kept for its next connect.
int keep_session(SSL *ssl, SSL_SESSION *sess) {
  FleetTls &t = of(ssl);
  const uint32_t i = index_of(ssl);
  if (i >= t.sessions.size()) return 0;
  SSL_SESSION_free(t.sessions[i]);
  t.sessions[i] = sess;
  return 1;
}

bool configure(SSL_CTX *ctx, const Options &o) {
  bool ok = tlskit::apply_policy(ctx, tlskit::Role::kGateway);
  if (ok && o.tls_hub_ca != nullptr && SSL_CTX_load_verify_locations(ctx, o.tls_hub_ca, nullptr) != 1) {
    fprintf(stderr, "trm-fleet: --tls-hub-ca %s: cannot read a certificate (PEM)\n", o.tls_hub_ca);
    return false;
  }
  // An end without close_notify (a hub killed) leaves the session usable.
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE |
                            SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, verify_hub);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, keep_session);
  return ok;
}

TlsIo again_or_failed(SSL *ssl, int rc) {
  switch (SSL_get_error(ssl, rc)) {
    case SSL_ERROR_WANT_READ: return TlsIo::kAgainRead;
    case SSL_ERROR_WANT_WRITE: return TlsIo::kAgainWrite;
    case SSL_ERROR_ZERO_RETURN: return TlsIo::kClosed;
    default: ERR_clear_error(); return TlsIo::kFailed;
  }
}

}  // namespace

bool tls_open(Fleet &f) {
  const Options &o = f.opt;
  if (o.tls_ca_key == nullptr) return true;
  FleetTls &t = *(f.tls = new FleetTls);
  t.keys.assign(o.gateways, nullptr);
  t.certs.assign(o.gateways, nullptr);
  t.sessions.assign(o.gateways, nullptr);
  t.has_ca = o.tls_hub_ca != nullptr;
  t.has_pin = o.tls_pin_given;
  t.pin = o.tls_pin;
  if (!tls_load_ca(t, o.tls_ca_key, o.tls_ca_cert)) return false;
  t.ctx = SSL_CTX_new(TLS_client_method());
  if (t.ctx == nullptr || !configure(t.ctx, o)) return false;
  SSL_CTX_set_app_data(t.ctx, &t);
  return true;
}

void tls_close(Fleet &f) {
  FleetTls *t = f.tls;
  if (t == nullptr) return;
  for (EVP_PKEY *k : t->keys) EVP_PKEY_free(k);
  for (X509 *c : t->certs) X509_free(c);
  for (SSL_SESSION *s : t->sessions) SSL_SESSION_free(s);
  for (X509_EXTENSION *e : t->ext) X509_EXTENSION_free(e);
  EVP_PKEY_free(t->ca_key);
  X509_free(t->ca_cert);
  EC_GROUP_free(t->group);
  SSL_CTX_free(t->ctx);
  delete t;
  f.tls = nullptr;
}

bool tls_begin(Fleet &f, uint32_t i) {
  FleetTls &t = *f.tls;
  Gateway &g = f.gw[i];
  if (!tls_credentials(f, i)) return false;
  SSL *ssl = SSL_new(t.ctx);
  bool ok = ssl != nullptr && SSL_set_fd(ssl, g.fd) == 1 && SSL_use_certificate(ssl, t.certs[i]) == 1 &&
            SSL_use_PrivateKey(ssl, t.keys[i]) == 1 &&
            (t.sessions[i] == nullptr || SSL_set_session(ssl, t.sessions[i]) == 1);
  if (ok && t.has_ca) {
    ok = X509_VERIFY_PARAM_set1_ip(SSL_get0_param(ssl), reinterpret_cast<const unsigned char *>(
                                       &f.opt.servers[g.server].sin_addr), 4) == 1;
  }
  if (!ok) {
    SSL_free(ssl);
    ERR_clear_error();
    return false;
  }
  // The gateway's index rides as the connection's app data (never dereferenced).
  SSL_set_app_data(ssl, reinterpret_cast<void *>(static_cast<uintptr_t>(i)));  // NOLINT(performance-no-int-to-ptr)
  SSL_set_connect_state(ssl);
  ack_offer(f, ssl);
  g.ssl = ssl;
  return true;
}

int tls_handshake(Fleet &f, uint32_t i) {
  Gateway &g = f.gw[i];
  ERR_clear_error();
  const int rc = SSL_do_handshake(g.ssl);
  const int err = rc == 1 ? SSL_ERROR_NONE : SSL_get_error(g.ssl, rc);
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return static_cast<int>(again_or_failed(g.ssl, rc));
  if (rc != 1) {
    if (f.st.tls_failed++ == 0) {
      fprintf(stderr, "trm-fleet: gateway %s: TLS handshake failed: %s (the first failure; all are counted)\n",
              g.who.id, failure_text(g.ssl));
    }
    ERR_clear_error();
    return static_cast<int>(TlsIo::kFailed);
  }
  (SSL_session_reused(g.ssl) == 1 ? f.st.tls_resumed : f.st.tls_full)++;
  return 0;
}

ssize_t tls_recv(Fleet &f, uint32_t i, uint8_t *buf, size_t cap) {
  SSL *ssl = f.gw[i].ssl;
  ERR_clear_error();
  const int n = SSL_read(ssl, buf, static_cast<int>(cap));
  return n > 0 ? n : static_cast<ssize_t>(again_or_failed(ssl, n));
}

ssize_t tls_send(Fleet &f, uint32_t i, const uint8_t *buf, size_t len) {
  SSL *ssl = f.gw[i].ssl;
  ERR_clear_error();
  const int n = SSL_write(ssl, buf, static_cast<int>(len));
  return n > 0 ? n : static_cast<ssize_t>(again_or_failed(ssl, n));
}

void tls_end(Fleet &f, uint32_t i) {
  Gateway &g = f.gw[i];
  if (g.ssl == nullptr) return;
  if (SSL_is_init_finished(g.ssl)) SSL_shutdown(g.ssl);
  SSL_free(g.ssl);
  ERR_clear_error();
  g.ssl = nullptr;
}

}  // namespace fleet

// TLS exposures: the context, each client's handshake and the role it
// brings, its records read and written, and the requests its role refuses.
#include "gateways/exp_tls.h"

#include <errno.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>

#include "core/log.h"
#include "core/loop.h"
#include "gateways/exp_kinds.h"
#include "gateways/exposures.h"
#include "gateways/mbroles.h"
#include "gateways/session.h"

namespace hub {
namespace {

constexpr uint8_t kHandshakeRecord = 0x16;
constexpr char kSessionContext[] = "trm-hub exposure";

TlsIdentity identity(const Config &cfg) {
  const ExpTlsConf &t = cfg.exp_tls;
  // The secure link's certificate when none of its own is named.
  return TlsIdentity{t.cert.empty() ? cfg.tls.cert : t.cert, t.key.empty() ? cfg.tls.key : t.key, t.ca,
                     kSessionContext};
}

void unlist(std::vector<ExpClient *> &v, ExpClient *c) { v.erase(std::remove(v.begin(), v.end(), c), v.end()); }

ExpRefusal from_link(TlsRefusal r) {
  switch (r) {
    case TlsRefusal::kHandshakeCut: return ExpRefusal::kHandshakeCut;
    case TlsRefusal::kNoCert: return ExpRefusal::kNoCert;
    case TlsRefusal::kWrongCa: return ExpRefusal::kWrongCa;
    default: return ExpRefusal::kHandshake;
  }
}

void refuse(Hub &h, ExpClient &c, ExpRefusal why, const std::string &text) {
  h.m.exp_tls_refused[static_cast<size_t>(why)]++;
  const Exposure &e = *c.ex;
  LOG_WARN("exposure %s port%u client %s refused: %s", e.conf.gateway.c_str(), e.conf.port, c.peer.c_str(),
           text.c_str());
  if (c.tls->ssl) SSL_set_quiet_shutdown(c.tls->ssl, 1);
  exp_client_end(h, c, kExpRefusalNames[static_cast<size_t>(why)]);
}

// The first byte must begin a handshake record; then the TLS object is made.
bool begin(Hub &h, ExpClient &c) {
  uint8_t b = 0;
  ssize_t n = recv(c.fd, &b, 1, MSG_PEEK);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return false;
  if (n <= 0) return exp_client_end(h, c, n == 0 ? "disconnected" : strerror(errno)), false;
  if (b != kHandshakeRecord) return refuse(h, c, ExpRefusal::kPlain, "plain bytes on a TLS exposure"), false;
  SSL *ssl = tlskit::accept_on(h.ex->tls->ctx, c.fd);
  if (!ssl) return exp_client_end(h, c, "no memory for its TLS state"), false;
  c.tls->ssl = ssl;
  return true;
}

std::string common_name(X509 *cert) {
  char cn[128] = "";
  if (cert) X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn);
  return escaped(reinterpret_cast<const uint8_t *>(cn), strlen(cn));
}

// The role the certificate brings, let in or refused; true when let in.
bool let_in(Hub &h, ExpClient &c, X509 *cert) {
  ExpTlsClient &t = *c.tls;
  std::string role;
  const RoleRead got = mb_cert_role(cert, &role);
  if (got == RoleRead::kNone)
    return refuse(h, c, ExpRefusal::kNoRole, "no role in its certificate (" + t.name + ")"), false;
  if (got == RoleRead::kBad) {
    return refuse(h, c, ExpRefusal::kUnknownRole, "a role that is not one UTF8String (" + t.name + ")"), false;
  }
  t.role = escaped(reinterpret_cast<const uint8_t *>(role.data()), role.size());
  const MbRole *r = mb_find_role(h.cfg.exp_tls.roles, role);
  if (!r) return refuse(h, c, ExpRefusal::kUnknownRole, "role \"" + t.role + "\" is not one of [modbus] roles"), false;
  if (r->perm == MbPerm::kRead && c.ex->conf.kind != ExpKind::kModbus) {
    return refuse(h, c, ExpRefusal::kReadOnly, "role \"" + t.role + "\" may only read: not on a raw or rfc2217 port"),
           false;
  }
  t.perm = r->perm;
  return true;
}

void read_records(Hub &h, ExpClient &c, uint8_t *buf, size_t cap);

void handshake_done(Hub &h, ExpClient &c, uint8_t *buf, size_t cap) {
  ExpTlsClient &t = *c.tls;
  const bool resumed = SSL_session_reused(t.ssl) == 1;
  (resumed ? h.m.exp_tls_resumed : h.m.exp_tls_full)++;
  unlist(h.ex->tls->handshaking, &c);
  X509 *cert = SSL_get0_peer_certificate(t.ssl);
  t.name = common_name(cert);
  if (!cert) return refuse(h, c, ExpRefusal::kNoCert, "no client certificate");
  if (!let_in(h, c, cert)) return;
  t.ready = true;
  const Exposure &e = *c.ex;
  LOG_INFO("exposure %s port%u client %s: %s %s%s, \"%s\" role %s", e.conf.gateway.c_str(), e.conf.port, c.peer.c_str(),
           SSL_get_version(t.ssl), SSL_get_cipher_name(t.ssl), resumed ? " resumed" : "", t.name.c_str(),
           t.role.c_str());
  const KindRow &k = exp_kind(e.conf.kind);
  if (k.opened) k.opened(h, c);
  if (c.closed) return;
  exp_client_flush(h, c);
  read_records(h, c, buf, cap);  // what came with the handshake's last flight
}

void handshake(Hub &h, ExpClient &c, uint8_t *buf, size_t cap) {
  ExpTlsClient &t = *c.tls;
  if (!t.ssl && !begin(h, c)) return;
  ERR_clear_error();
  int rc = SSL_do_handshake(t.ssl);
  if (rc == 1) return handshake_done(h, c, buf, cap);
  int err = SSL_get_error(t.ssl, rc);
  if (err == SSL_ERROR_WANT_READ) return loop_watch(h, c, EPOLLIN);
  if (err == SSL_ERROR_WANT_WRITE) return loop_watch(h, c, EPOLLIN | EPOLLOUT);
  std::string text;
  const ExpRefusal why = from_link(tls_failure(t.ssl, err, "[modbus] tls_ca", &text));
  refuse(h, c, why, text);
}

void list_pending(Hub &h, ExpClient &c) {
  if (c.tls->listed) return;
  c.tls->listed = true;
  h.ex->tls->pending.push_back(&c);
}

void watch(Hub &h, ExpClient &c) {
  uint32_t ev = c.paused ? 0u : static_cast<uint32_t>(EPOLLIN);
  if (!c.out.empty() || c.tls->read_wants_write) ev |= EPOLLOUT;
  loop_watch(h, c, ev);
}

// One read of what the kind takes now (as a plain client's recv); bytes
// left decrypted inside OpenSSL are read in the next pass.
void read_records(Hub &h, ExpClient &c, uint8_t *buf, size_t cap) {
  ExpTlsClient &t = *c.tls;
  t.read_wants_write = false;
  const size_t room = exp_kind(c.ex->conf.kind).room(h, c);
  if (room == 0) {
    c.paused = true;
    if (SSL_has_pending(t.ssl)) list_pending(h, c);
    return watch(h, c);
  }
  ERR_clear_error();
  const int n = SSL_read(t.ssl, buf, static_cast<int>(std::min(room, cap)));
  if (n > 0) {
    exp_client_input(h, c, buf, static_cast<size_t>(n));
    if (!c.closed && SSL_has_pending(t.ssl)) list_pending(h, c);
    return;
  }
  const int err = SSL_get_error(t.ssl, n);
  if (err == SSL_ERROR_WANT_READ) return;
  if (err == SSL_ERROR_WANT_WRITE) {
    t.read_wants_write = true;
    return watch(h, c);
  }
  SSL_set_quiet_shutdown(t.ssl, 1);
  // Closed with close_notify, or without it (many clients just close).
  const bool gone = err == SSL_ERROR_ZERO_RETURN || (err == SSL_ERROR_SYSCALL && errno == 0) ||
                    ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
  ERR_clear_error();
  exp_client_end(h, c, gone ? "disconnected" : "TLS read failed");
}

}  // namespace

ExpTls::~ExpTls() { SSL_CTX_free(ctx); }
ExpTlsClient::~ExpTlsClient() { SSL_free(ssl); }

bool exp_tls_open(Hub &h, std::vector<std::string> *warnings, std::string *why) {
  const ExpTlsConf &c = h.cfg.exp_tls;
  if (c.ca.empty()) return true;
  std::unique_ptr<ExpTls> t(new ExpTls);
  t->tickets.period_s = static_cast<int64_t>(c.session_hours) * 3600;
  t->handshake_ms = c.handshake_s * 1000;
  t->ctx = tls_server_ctx("[modbus]", identity(h.cfg), &t->tickets, warnings, why);
  if (!t->ctx) return false;
  h.ex->tls = std::move(t);
  return true;
}

bool exp_tls_check(const Config &cfg, std::vector<std::string> *warnings, std::string *why) {
  if (cfg.exp_tls.ca.empty()) return true;
  TicketKeys tickets;
  SSL_CTX *ctx = tls_server_ctx("[modbus]", identity(cfg), &tickets, warnings, why);
  SSL_CTX_free(ctx);
  return ctx != nullptr;
}

void exp_tls_start(Hub &h, ExpClient &c) {
  c.tls.reset(new ExpTlsClient);
  c.tls->opened_at = h.now;
  if (h.ex->tls) h.ex->tls->handshaking.push_back(&c);
}

void exp_tls_events(Hub &h, ExpClient &c, uint32_t events, uint8_t *buf, size_t cap) {
  if (!c.tls->ready) return handshake(h, c, buf, cap);
  if ((events & EPOLLOUT) && !c.closed) exp_client_flush(h, c);
  if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) || c.tls->read_wants_write) {
    if (!c.closed) read_records(h, c, buf, cap);
  }
  if (!c.closed) watch(h, c);
}

long exp_tls_write(ExpClient &c, const uint8_t *p, size_t n, const char **why) {
  if (!c.tls->ready) return -1;  // nothing goes out before the client is let in
  return tls_write_ssl(c.tls->ssl, p, n, why);
}

void exp_tls_end(Hub &h, ExpClient &c) {
  ExpTlsClient *t = c.tls.get();
  if (!t) return;
  if (h.ex->tls) {
    unlist(h.ex->tls->handshaking, &c);
    if (t->listed) unlist(h.ex->tls->pending, &c);
  }
  if (t->refused > kAuditedRefusals) {
    LOG_WARN("exposure %s port%u client %s: %u requests refused for its role", c.ex->conf.gateway.c_str(),
             c.ex->conf.port, c.peer.c_str(), t->refused);
  }
  if (t->ssl) {
    // close_notify, so the client keeps its session for the next connection
    if (t->ready && SSL_is_init_finished(t->ssl)) SSL_shutdown(t->ssl);
    SSL_free(t->ssl);
    t->ssl = nullptr;
    ERR_clear_error();
  }
}

bool exp_tls_tick(Hub &h) {
  ExpTls *x = h.ex->tls.get();
  if (!x) return false;
  std::vector<ExpClient *> late;
  for (ExpClient *c : x->handshaking) {
    if (h.now - c->tls->opened_at >= x->handshake_ms) late.push_back(c);
  }
  for (ExpClient *c : late) refuse(h, *c, ExpRefusal::kHandshakeTimeout, "TLS handshake not done in time");
  static uint8_t buf[kReadChunk];
  std::vector<ExpClient *> now;
  now.swap(x->pending);
  for (ExpClient *c : now) c->tls->listed = false;
  for (ExpClient *c : now) {
    if (c->closed) continue;
    if (c->paused) {
      list_pending(h, *c);  // read once the gateway's queue has room
    } else {
      read_records(h, *c, buf, sizeof buf);
    }
  }
  return !x->pending.empty();
}

void exp_tls_refused_request(Hub &h, ExpClient &c, const uint8_t *adu) {
  ExpTlsClient &t = *c.tls;
  h.m.modbus_unauthorized++;
  if (++t.refused > kAuditedRefusals) return;
  const Exposure &e = *c.ex;
  char action[96];
  snprintf(action, sizeof action, "modbus function 0x%02X unit %u on port %u", adu[7], adu[6], e.conf.port);
  LOG_WARN("exposure %s port%u client %s: %s refused: role %s may only read", e.conf.gateway.c_str(), e.conf.port,
           c.peer.c_str(), action, t.role.c_str());
  if (h.ex->audit) {
    h.ex->audit(h, t.name + " (role " + t.role + ")", action, e.conf.gateway, "refused: the role may only read");
  }
}

}  // namespace hub

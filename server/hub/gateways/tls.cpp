// The TLS listener's context: the link's server policy (tlskit.h: TLS 1.2
// at least, 1.3 allowed, TLS 1.2's ciphers only ECDHE-ECDSA with AES-GCM or
// ChaCha20-Poly1305, groups P-256 and X25519, no renegotiation, no
// compression), a client certificate required. Any certificate is let through the
// handshake (trust comes from its key's binding to an ID, identity.h);
// whether it chains to the factory CA is OpenSSL's verify result, kept in
// the session, so a resumed session still knows it. Sessions resume from
// stateless tickets (RFC 5077) sealed with keys derived from a secret for
// each period of tls_session_hours; the hub keeps no state per session
// and hubs given the same secret resume each other's sessions.
#include <errno.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "gateways/ack.h"
#include "gateways/tls.h"

namespace hub {
namespace {

constexpr char kSessionContext[] = "trm-hub";

// What the settings name, read; section names them in errors.
struct Files {
  const char *section = "[gateways]";
  std::vector<X509 *> certs, ca;
  EVP_PKEY *key = nullptr;
  ~Files() {
    for (X509 *c : certs) X509_free(c);
    for (X509 *c : ca) X509_free(c);
    EVP_PKEY_free(key);
  }
};

std::string ssl_error() {
  unsigned long e = ERR_get_error();
  const char *r = e ? ERR_reason_error_string(e) : nullptr;
  ERR_clear_error();
  return r ? r : "unknown error";
}

// The file of a setting, opened; null with "<section> <key> <path>: <why>".
BIO *open_file(const Files &f, const char *key, const std::string &path, std::string *why) {
  FILE *fp = fopen(path.c_str(), "r");
  if (!fp) *why = std::string(f.section) + " " + key + " " + path + ": cannot read: " + strerror(errno);
  return fp ? BIO_new_fp(fp, BIO_CLOSE) : nullptr;
}

bool read_certs(const Files &f, const char *key, const std::string &path, std::vector<X509 *> *out, std::string *why) {
  BIO *in = open_file(f, key, path, why);
  if (!in) return false;
  *out = tls_read_certs(in);
  BIO_free(in);
  if (out->empty()) *why = std::string(f.section) + " " + key + " " + path + ": no certificate in it (PEM)";
  return !out->empty();
}

bool read_key(Files &f, const std::string &path, std::string *why) {
  BIO *in = open_file(f, "tls_key", path, why);
  if (!in) return false;
  std::string bad;
  f.key = tls_read_key(in, &bad);
  BIO_free(in);
  std::string unfit = f.key ? tlskit::key_unfit(f.key) : bad;
  if (!unfit.empty()) *why = std::string(f.section) + " tls_key " + path + ": " + unfit;
  return unfit.empty();
}

void check_dates(const Files &f, const std::string &path, std::vector<std::string> *warnings) {
  const std::string key = std::string(f.section) + " tls_cert " + path;
  X509 *cert = f.certs[0];
  if (X509_cmp_current_time(X509_get0_notAfter(cert)) < 0) {
    warnings->push_back(key + ": expired (gateways pin its key, other clients may refuse it)");
  } else if (X509_cmp_current_time(X509_get0_notBefore(cert)) > 0) {
    warnings->push_back(key + ": not valid yet (other clients than gateways may refuse it)");
  }
}

bool read_files(const TlsIdentity &c, Files *f, std::vector<std::string> *warnings, std::string *why) {
  if (!read_certs(*f, "tls_cert", c.cert, &f->certs, why) || !read_key(*f, c.key, why)) return false;
  if (X509_check_private_key(f->certs[0], f->key) != 1) {
    ERR_clear_error();
    return *why = std::string(f->section) + " tls_key " + c.key + " does not match tls_cert " + c.cert, false;
  }
  check_dates(*f, c.cert, warnings);
  return c.ca.empty() || read_certs(*f, "tls_ca", c.ca, &f->ca, why);
}

// The ticket secret: read, or (make) written with mode 0600 when missing.
bool ticket_secret(const TlsConf &c, bool make, uint8_t out[32], std::vector<std::string> *warnings, std::string *why) {
  if (c.ticket_keys.empty()) return RAND_bytes(out, 32) == 1 || (*why = "random bytes: " + ssl_error(), false);
  const std::string key = "[gateways] tls_ticket_keys " + c.ticket_keys;
  int fd = open(c.ticket_keys.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    if (!make) return true;  // made at start
    if (RAND_bytes(out, 32) != 1) return *why = "random bytes: " + ssl_error(), false;
    fd = open(c.ticket_keys.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    std::string text = fp_hex(*reinterpret_cast<const Fingerprint *>(out)) + "\n";
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (!ok) *why = key + ": cannot make it: " + strerror(errno);
    if (fd >= 0) close(fd);
    return ok;
  }
  if (fd < 0) return *why = key + ": cannot read: " + strerror(errno), false;
  char buf[128];
  ssize_t n = read(fd, buf, sizeof buf);
  struct stat st {};
  fstat(fd, &st);
  close(fd);
  if (n < 0 || !tls_parse_secret(std::string(buf, static_cast<size_t>(n)), out)) {
    return *why = key + ": not a ticket secret (64 hex digits; delete it and one is made)", false;
  }
  if (st.st_mode & 077) warnings->push_back(key + ": readable by others (chmod 600 it)");
  return true;
}

TlsServer *server_of(SSL *ssl) { return static_cast<TlsServer *>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl))); }

// The ticket keys of a context, in its extra data.
int tickets_index() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

TicketKeys *tickets_of(SSL *ssl) {
  return static_cast<TicketKeys *>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), tickets_index()));
}

// Every certificate goes on (the key's binding decides), unless only the
// factory CA's are let in.
int verify_cb(int ok, X509_STORE_CTX *x) {
  if (ok) return 1;
  SSL *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(x, SSL_get_ex_data_X509_STORE_CTX_idx()));
  return ssl && server_of(ssl)->ca_only ? 0 : 1;
}

void roll_keys(TicketKeys &t) {
  int64_t now = static_cast<int64_t>(time(nullptr)) / t.period_s;
  if (t.keys[1].period == now) return;
  for (int i = 0; i < 3; i++) t.keys[i] = tls_ticket_key(t.secret, now - 1 + i);
}

bool mac_key(EVP_MAC_CTX *mac, const TicketKey &k) {
  char digest[] = "SHA256";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_octet_string(OSSL_MAC_PARAM_KEY, const_cast<uint8_t *>(k.mac), sizeof k.mac),
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_construct_end()};
  return EVP_MAC_CTX_set_params(mac, params) == 1;
}

// Seals a new ticket with this period's key; opens one sealed with any of
// the three (one not of this period is sealed again: 2).
int ticket_cb(SSL *ssl, unsigned char *name, unsigned char *iv, EVP_CIPHER_CTX *c, EVP_MAC_CTX *mac, int enc) {
  TicketKeys &t = *tickets_of(ssl);
  roll_keys(t);
  if (enc) {
    const TicketKey &k = t.keys[1];
    memcpy(name, k.name, sizeof k.name);
    static_assert(EVP_MAX_IV_LENGTH >= 16, "room for AES-CBC's IV");
    bool ok =
        RAND_bytes(iv, 16) == 1 && EVP_EncryptInit_ex(c, EVP_aes_256_cbc(), nullptr, k.aes, iv) == 1 && mac_key(mac, k);
    return ok ? 1 : -1;
  }
  for (int i = 0; i < 3; i++) {
    const TicketKey &k = t.keys[i];
    if (memcmp(name, k.name, sizeof k.name) != 0) continue;
    bool ok = EVP_DecryptInit_ex(c, EVP_aes_256_cbc(), nullptr, k.aes, iv) == 1 && mac_key(mac, k);
    return !ok ? -1 : i == 1 ? 1 : 2;
  }
  return 0;  // not ours, or too old: a full handshake
}

bool add_ca(SSL_CTX *ctx, const std::vector<X509 *> &ca) {
  X509_STORE *store = SSL_CTX_get_cert_store(ctx);
  for (X509 *c : ca) {
    if (X509_STORE_add_cert(store, c) != 1 || SSL_CTX_add_client_CA(ctx, c) != 1) return false;
  }
  return true;
}

bool set_identity(SSL_CTX *ctx, Files &f) {
  if (SSL_CTX_use_certificate(ctx, f.certs[0]) != 1 || SSL_CTX_use_PrivateKey(ctx, f.key) != 1) return false;
  for (size_t i = 1; i < f.certs.size(); i++) {
    if (SSL_CTX_add1_chain_cert(ctx, f.certs[i]) != 1) return false;
  }
  return true;
}

// The policy, the hub's identity, the CA (trusted and asked for), tickets.
SSL_CTX *server_ctx(Files &f, const TlsIdentity &c, TicketKeys *tickets) {
  SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
  bool ok = ctx && tlskit::apply_policy(ctx, tlskit::Role::kServer) && set_identity(ctx, f) && add_ca(ctx, f.ca) &&
            SSL_CTX_set_session_id_context(ctx, reinterpret_cast<const unsigned char *>(c.session_context),
                                           static_cast<unsigned>(strlen(c.session_context))) == 1 &&
            SSL_CTX_set_num_tickets(ctx, 1) == 1 && SSL_CTX_set_ex_data(ctx, tickets_index(), tickets) == 1 &&
            SSL_CTX_set_tlsext_ticket_key_evp_cb(ctx, ticket_cb) == 1;
  if (!ok) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_verify_depth(ctx, 4);
  // Tickets carry every session: no cache of them on the hub.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_timeout(ctx, static_cast<long>(tickets->period_s));
  return ctx;
}

SSL_CTX *make_ctx(const TlsConf &c, Files &f, TlsServer *t) {
  const TlsIdentity id{c.cert, c.key, c.ca, kSessionContext};
  SSL_CTX *ctx = server_ctx(f, id, &t->tickets);
  if (!ctx) return nullptr;
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, verify_cb);
  SSL_CTX_set_app_data(ctx, t);
  if (c.ack) ack_offer(ctx);
  return ctx;
}

bool build(const Config &cfg, TlsServer *t, bool make, std::vector<std::string> *warnings, std::string *why) {
  const TlsConf &c = cfg.tls;
  Files f;
  const TlsIdentity id{c.cert, c.key, c.ca, kSessionContext};
  if (!read_files(id, &f, warnings, why) || !ticket_secret(c, make, t->tickets.secret, warnings, why)) return false;
  t->has_ca = !f.ca.empty();
  t->ca_only = c.ca_only;
  t->handshake_ms = c.handshake_s * 1000;
  t->tickets.period_s = static_cast<int64_t>(c.session_hours) * 3600;
  t->ctx = make_ctx(c, f, t);
  if (!t->ctx) *why = "[gateways] tls_listen: " + ssl_error();
  return t->ctx != nullptr;
}

}  // namespace

TlsServer::~TlsServer() { SSL_CTX_free(ctx); }

TicketKey tls_ticket_key(const uint8_t secret[32], int64_t period) {
  TicketKey k;
  k.period = period;
  uint8_t *const parts[] = {k.name, k.aes, k.mac};
  const size_t sizes[] = {sizeof k.name, sizeof k.aes, sizeof k.mac};
  const char *const labels[] = {"trm-hub ticket name", "trm-hub ticket aes", "trm-hub ticket mac"};
  for (int i = 0; i < 3; i++) {
    uint8_t msg[32] = {}, out[32] = {};
    size_t n = strlen(labels[i]), len = 0;
    memcpy(msg, labels[i], n);
    for (int b = 0; b < 8; b++) msg[n + b] = static_cast<uint8_t>(static_cast<uint64_t>(period) >> (56 - 8 * b));
    EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, secret, 32, msg, n + 8, out, sizeof out, &len);
    memcpy(parts[i], out, sizes[i]);
  }
  return k;
}

bool tls_open(const Config &cfg, TlsServer *t, std::vector<std::string> *warnings, std::string *why) {
  return build(cfg, t, true, warnings, why);
}

bool tls_check(const Config &cfg, std::vector<std::string> *warnings, std::string *why) {
  if (!cfg.tls.enabled) return true;
  TlsServer t;
  return build(cfg, &t, false, warnings, why);
}

SSL_CTX *tls_server_ctx(const char *section, const TlsIdentity &id, TicketKeys *tickets,
                        std::vector<std::string> *warnings, std::string *why) {
  Files f;
  f.section = section;
  if (!read_files(id, &f, warnings, why)) return nullptr;
  if (RAND_bytes(tickets->secret, sizeof tickets->secret) != 1) return *why = "random bytes: " + ssl_error(), nullptr;
  SSL_CTX *ctx = server_ctx(f, id, tickets);
  if (!ctx) return *why = std::string(section) + " tls_cert: " + ssl_error(), nullptr;
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  return ctx;
}

}  // namespace hub
